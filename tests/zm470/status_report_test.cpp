// The interrupt-in status report and the registers 5, 6 and 7 a host reads beside it, per
// revision class: below 0x20 (no report; registers 6/7 are polled), 0x20 to 0x2F (0x25) and 0x30
// and up, for each thing the UART or the far end does.
#include <array>
#include <functional>
#include <optional>

#include "chip_fixture.h"

namespace zm470_test {
namespace {

using emu::line::LineCharacter;
using emu::line::Parity;
using Report = std::array<uint8_t, 4>;

class StatusReportTest : public ChipTest {
 protected:
  // A configured chip of `revision` with a 2-byte receive FIFO, a peer at its rate and the
  // report of attaching it consumed.
  void Start(uint8_t revision) {
    Config c = Rev(revision);
    c.rxFifoDepth = 2;
    MakeConfigured(c);
    AttachPeer();
  }
  void FramingError() {
    LineCharacter bad = LineCharacter::Of('x', peer->GetFrame());
    bad.badStop = true;
    peer->SendCharacter(bad);
    clock.RunUntilIdle();
  }
  void Break() {
    peer->DriveBreak(true);
    clock.AdvanceBy(3 * emu::kMillisecond);  // longer than a character at 9615 baud
    peer->DriveBreak(false);
    clock.RunUntilIdle();
  }
  // Even parity on the chip (ninth bit below 0x30, register 0x18 from 0x30), odd at the peer.
  void ParityError() {
    const bool newChip = chip->GetConfig().revision >= 0x30;
    WritePair(0x18, newChip ? 0xDB : 0xD0, 0x25, newChip ? 0x00 : 0x07);
    emu::line::Frame odd = peer->GetFrame();
    odd.parity = Parity::Odd;
    peer->SetFrame(odd);
    peer->Send("A");
    clock.RunUntilIdle();
  }
};

// Register 6 reads the inputs active low in bits 0-3 under the outputs, all deasserted (0xF0).
constexpr uint8_t Inputs(uint8_t activeLowNibble) { return static_cast<uint8_t>(0xF0 | activeLowNibble); }

TEST_F(StatusReportTest, EachEventGivesTheReportAndRegisterReadingsOfItsRevisionClass) {
  struct Case {
    const char* event;
    std::function<void()> act;
    std::optional<Report> report25;  // 0x20 to 0x2F; nullopt: the endpoint NAKs
    std::optional<Report> report30;  // 0x30 and up
    uint8_t reg5Bit1On30;            // register 5 bit 1 afterwards on 0x30
    uint8_t reg6;
    uint8_t reg7;
  };
  const Case cases[] = {
      {"overrun: a third character for a 2-byte FIFO",
       [this] {
         peer->Send("abc");
         clock.RunUntilIdle();
       },
       Report{0x02, 0, Inputs(0xF), 0}, Report{0x02, 0, Inputs(0xF), 0}, 0, Inputs(0xF), 0},
      {"framing error", [this] { FramingError(); }, Report{0x04, 0, Inputs(0xF), 0},
       Report{0x44, 0, Inputs(0xF), 0}, 0x02, Inputs(0xF), 0},
      {"parity error", [this] { ParityError(); }, Report{0x04, 0, Inputs(0xF), 0},
       Report{0x04, 0, Inputs(0xF), 0}, 0, Inputs(0xF), 0},
      {"break after a reported framing error",
       [this] {
         FramingError();
         ReadReport();
         Break();
       },
       Report{0x04, 0, Inputs(0xF), 0}, Report{0x44, 0, Inputs(0xF), 0}, 0, Inputs(0xF), 0},
      {"CTS on", [this] { peer->DriveCts(true); }, Report{0, 0, Inputs(0xE), 0}, Report{0, 0, Inputs(0xE), 0},
       0, Inputs(0xE), 0},
      {"DSR on", [this] { peer->DriveDsr(true); }, Report{0, 0, Inputs(0xD), 0}, Report{0, 0, Inputs(0xD), 0},
       0, Inputs(0xD), 0},
      {"RI on", [this] { peer->DriveRi(true); }, Report{0, 0, Inputs(0xB), 0}, Report{0, 0, Inputs(0xB), 0},
       0, Inputs(0xB), 0},
      {"DCD on", [this] { peer->DriveDcd(true); }, Report{0, 0, Inputs(0x7), 0}, Report{0, 0, Inputs(0x7), 0},
       0, Inputs(0x7), 0},
      {"DCD off again",
       [this] {
         peer->DriveDcd(true);
         ReadReport();
         peer->DriveDcd(false);
       },
       Report{0, 0, Inputs(0xF), 0}, Report{0, 0, Inputs(0xF), 0}, 0, Inputs(0xF), 0},
      {"transmitter starts: busy but not reported",
       [this] {
         EXPECT_EQ(SendBulk({1, 2}), Handshake::Ack);
       },
       std::nullopt, std::nullopt, 0, Inputs(0xF), 1},
      {"CTS on while transmitting",
       [this] {
         EXPECT_EQ(SendBulk({1, 2}), Handshake::Ack);
         peer->DriveCts(true);
       },
       Report{0, 0, Inputs(0xE), 1}, Report{0, 0, Inputs(0xE), 1}, 0, Inputs(0xE), 1},
      {"transmitter runs empty",
       [this] {
         EXPECT_EQ(SendBulk({1, 2}), Handshake::Ack);
         clock.RunUntilIdle();
       },
       Report{0, 0, Inputs(0xF), 0}, Report{0, 0, Inputs(0xF), 0}, 0, Inputs(0xF), 0},
  };
  for (uint8_t rev : {uint8_t(0x10), uint8_t(0x25), uint8_t(0x30)}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "revision 0x" << std::hex << int(rev) << ": " << c.event);
      Start(rev);
      c.act();
      const std::optional<Report>& want = rev < 0x20 ? std::nullopt : rev < 0x30 ? c.report25 : c.report30;
      const Bytes report = ReadReport();
      if (want) {
        EXPECT_EQ(report, Bytes(want->begin(), want->end())) << "interrupt report";
      } else {
        EXPECT_TRUE(report.empty()) << "the interrupt endpoint must NAK";
      }
      EXPECT_TRUE(ReadReport().empty()) << "a report is answered once";
      EXPECT_EQ(ReadPair(6, 7), (Bytes{c.reg6, c.reg7})) << "registers 6 and 7";
      if (rev >= 0x30) {
        const uint8_t reg5 = static_cast<uint8_t>(0x01 | c.reg5Bit1On30);
        EXPECT_EQ(ReadPair(5, 5), (Bytes{reg5, reg5})) << "register 5: break released, bit 1 framing";
      }
    }
  }
}

TEST_F(StatusReportTest, OlderChipsNeverReportButKeepRegisters6And7CurrentForPolling) {
  Config everyPoll = Rev(0x10);
  everyPoll.interruptReportsEveryPoll = true;
  MakeConfigured(everyPoll);
  AttachPeer().DriveDsr(true);
  chip->InjectLineStatus(0x10);
  EXPECT_TRUE(ReadReport().empty()) << "below 0x20 the endpoint NAKs even when set to answer every poll";
  EXPECT_FALSE(chip->ReportPending());
  EXPECT_EQ(ReadPair(6, 7), (Bytes{Inputs(0xD), 0}));

  Config noEndpoint = Rev(0x10);
  noEndpoint.endpoints.pop_back();  // the interrupt-in endpoint
  MakeConfigured(noEndpoint);
  Bytes buf(8);
  size_t n = 0;
  EXPECT_EQ(chip->In(0x81, buf, n), Handshake::Stall) << "an endpoint the descriptors lack stalls";
}

TEST_F(StatusReportTest, EventBitAndErrorsAccumulateUntilReportedAndRegister5WritesKeepTheErrorKind) {
  Start(0x30);
  chip->InjectLineStatus(0x10);
  peer->Send("abc");  // overrun
  clock.RunUntilIdle();
  EXPECT_EQ(ReadBulk(), (Bytes{'a', 'b'}));
  FramingError();
  EXPECT_EQ(ReadReport().at(0), 0x02 | 0x04 | 0x10 | 0x40) << "every bit raised since the last report";
  EXPECT_EQ(ReadReport(), Bytes{}) << "and then nothing until a new event";

  // The host's break on and off rewrite register 5 from a reading taken before the error.
  WritePair(5, 0x00, 0x18, 0x83);
  EXPECT_EQ(ReadPair(5, 5), (Bytes{0x02, 0x02})) << "a break-on write leaves the framing bit set";
  WritePair(5, 0x01, 0x18, 0xC3);
  EXPECT_EQ(ReadPair(5, 5), (Bytes{0x03, 0x03})) << "so does break off";
  Break();
  EXPECT_EQ(ReadPair(5, 5), (Bytes{0x01, 0x01})) << "a received break clears it";

  // 0xA1 restarts the UART and drops line status not yet reported.
  FramingError();
  ASSERT_TRUE(chip->ReportPending());
  ASSERT_FALSE(VendorOut(0xA1, 0x0004, 0x0002).stall);
  EXPECT_EQ(ReadReport().at(0), 0) << "pending line status dropped by initialisation";
}

}  // namespace
}  // namespace zm470_test
