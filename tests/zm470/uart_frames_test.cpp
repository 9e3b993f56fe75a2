// The UART engine runs at what its registers say, per revision class (below 0x20, 0x20 to 0x2F
// with 0x25, 0x30 and up): rates of the common-rates table, character formats of registers 0x18
// and 0x25, and what a far end off in rate or parity makes of it.
#include <cmath>

#include "chip_fixture.h"

namespace zm470_test {
namespace {

using emu::line::Frame;
using emu::line::Parity;
using emu::line::ScriptedPeer;
using emu::line::StopBits;

constexpr uint8_t kRevisions[] = {0x10, 0x25, 0x30};

Frame F(double baud, uint8_t bits, Parity p = Parity::None, StopBits s = StopBits::One) {
  return {baud, bits, p, s};
}

class UartFrameTest : public ChipTest {
 protected:
  // Programs rate registers as the driver does (bit 7 of 0x12 on 0x30 and up).
  void ProgramRate(uint8_t prescaler, uint8_t divisor) {
    const uint8_t high = chip->GetConfig().revision >= 0x30 ? 0x80 : 0x00;
    WritePair(0x12, static_cast<uint8_t>(prescaler | high), 0x13, divisor);
  }
  // Sends `bytes` from the chip to a peer in `frame` and runs the line until they have arrived.
  const std::vector<ScriptedPeer::Received>& Transmit(const Bytes& bytes, const Frame& frame) {
    AttachPeer(frame.baud).SetFrame(frame);
    EXPECT_EQ(SendBulk(bytes), Handshake::Ack);
    clock.RunUntilIdle();
    return peer->ReceivedCharacters();
  }
  static int Errors(const std::vector<ScriptedPeer::Received>& received) {
    int n = 0;
    for (const auto& r : received) n += r.character.framingError || r.character.parityError;
    return n;
  }
};

TEST_F(UartFrameTest, CommonRatesRunAtClockOverFactorAndAPeerAtTheNominalRateReadsThemCleanly) {
  struct Row {
    double nominal;
    uint8_t prescaler, divisor;
    double rate;  // the chip's clock over the division factor
  };
  const Row rows[] = {
      {300, 0x00, 0xD9, 11719.0 / 39},    {1200, 0x01, 0xB2, 93750.0 / 78}, {9600, 0x02, 0xB2, 750000.0 / 78},
      {19200, 0x02, 0xD9, 750000.0 / 39}, {57600, 0x03, 0x98, 6e6 / 104},   {115200, 0x03, 0xCC, 6e6 / 52},
      {230400, 0x03, 0xE6, 6e6 / 26},     {307200, 0x07, 0xD9, 307200},     {921600, 0x07, 0xF3, 921600},
      {3000000, 0x03, 0xFE, 3e6},
  };
  for (uint8_t rev : kRevisions) {
    for (const Row& row : rows) {
      SCOPED_TRACE(testing::Message()
                   << "revision 0x" << std::hex << int(rev) << std::dec << ", " << row.nominal << " baud");
      MakeConfigured(Rev(rev));
      ProgramRate(row.prescaler, row.divisor);
      EXPECT_DOUBLE_EQ(chip->LineFrame().baud, row.rate);
      const auto& got = Transmit({0x55, 0xA3, 0x0F}, F(row.nominal, 8));
      ASSERT_EQ(got.size(), 3u);
      EXPECT_EQ(peer->ReceivedBytes(), (Bytes{0x55, 0xA3, 0x0F}));
      EXPECT_EQ(Errors(got), 0) << "the table's register values must suit a peer at the nominal rate";
      // 10 bits a character at the register rate, consecutive characters back to back, rounded to
      // 100 ns once per burst.
      const double unit = 1e8 / row.rate;
      EXPECT_NEAR(static_cast<double>(got[0].raw.end - got[0].raw.start), unit, 0.5);
      EXPECT_NEAR(static_cast<double>(got[2].raw.end - got[0].raw.start), 3 * unit, 0.5);
      EXPECT_EQ(got[1].raw.start, got[0].raw.end);
    }
  }
}

TEST_F(UartFrameTest, OlderChipsSendEightBitFramesWithANinthBitAndNewerOnesTheFormatOfRegister0x18) {
  struct Case {
    bool newChip;
    uint8_t reg18, reg25;
    Frame wire;        // what a peer must be set to for a clean reception
    uint8_t sent, as;  // the byte written by the host and the data bits the peer receives
  };
  const Case cases[] = {
      {false, 0x50, 0x07, F(9600, 8), 0xA5, 0xA5},  // ninth-bit mode without 0x18 bit 7
      {false, 0xD0, 0x07, F(9600, 8, Parity::Even), 0x31, 0x31},
      {false, 0xD0, 0x06, F(9600, 8, Parity::Odd), 0x31, 0x31},
      {false, 0xD0, 0x05, F(9600, 8, Parity::Mark), 0x80, 0x80},
      {false, 0xD0, 0x04, F(9600, 8, Parity::Space), 0x7F, 0x7F},
      // 8N2 is sent with a mark ninth bit; 7E2 as 7 data bits with the parity in bit 7 (software
      // parity) followed by a mark ninth bit.
      {false, 0xD0, 0x05, F(9600, 8, Parity::None, StopBits::Two), 0x3C, 0x3C},
      {false, 0xD0, 0x05, F(9600, 7, Parity::Even, StopBits::Two), 0xC3, 0x43},
      {true, 0xC3, 0x00, F(9600, 8), 0xA5, 0xA5},
      {true, 0xC0, 0x00, F(9600, 5), 0xFF, 0x1F},
      {true, 0xC4, 0x00, F(9600, 5, Parity::None, StopBits::OnePointFive), 0x15, 0x15},
      {true, 0xC9, 0x00, F(9600, 6, Parity::Odd), 0x21, 0x21},
      {true, 0xDE, 0x00, F(9600, 7, Parity::Even, StopBits::Two), 0x43, 0x43},
      {true, 0xEB, 0x00, F(9600, 8, Parity::Mark), 0x01, 0x01},
      {true, 0xFF, 0x00, F(9600, 8, Parity::Space, StopBits::Two), 0xFE, 0xFE},
  };
  for (uint8_t rev : kRevisions) {
    for (const Case& c : cases) {
      if (c.newChip != (rev >= 0x30)) continue;
      SCOPED_TRACE(testing::Message()
                   << std::hex << "revision 0x" << int(rev) << ", 0x18 = 0x" << int(c.reg18) << ", 0x25 = 0x"
                   << int(c.reg25) << ", " << c.wire.ToString());
      MakeConfigured(Rev(rev));
      ProgramRate(0x02, 0xB2);
      WritePair(0x18, c.reg18, 0x25, c.reg25);
      Frame wire = c.wire;
      wire.baud = 750000.0 / 78;
      const auto& got = Transmit({c.sent}, wire);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0].character.data, c.as);
      EXPECT_FALSE(got[0].character.parityError || got[0].character.framingError);
      EXPECT_EQ(got[0].raw.end - got[0].raw.start, wire.CharacterTime()) << "character length on the wire";

      // The chip's receiver uses the same frame.
      peer->Send(Bytes{c.as});
      clock.RunUntilIdle();
      EXPECT_EQ(ReadBulk(), Bytes{c.newChip ? c.as : c.sent})
          << "older chips receive software parity as bit 7";
      EXPECT_EQ(chip->PendingLineStatus() & 0x06, 0) << "a matching frame raises no line error";
    }
  }
}

TEST_F(UartFrameTest, APeerMoreThanFivePercentOffOrWithAnotherParityGetsAndCausesErrors) {
  const double rate = 750000.0 / 78;
  for (uint8_t rev : kRevisions) {
    SCOPED_TRACE(testing::Message() << "revision 0x" << std::hex << int(rev));
    // 8N1: within 3% every character is clean, 6% off in either direction garbles every one.
    for (double off : {0.97, 1.03, 0.94, 1.06}) {
      SCOPED_TRACE(testing::Message() << "peer at " << off << " of the chip's rate");
      const bool bad = std::abs(off - 1) > 0.05;
      MakeConfigured(Rev(rev));
      EXPECT_EQ(Errors(Transmit(Bytes{'H', 'e', 'l', 'l', 'o'}, F(rate * off, 8))), bad ? 5 : 0);
      peer->Send("Hello");
      clock.RunUntilIdle();
      const uint8_t status = chip->PendingLineStatus();
      if (!bad) {
        EXPECT_EQ(ReadBulk(), (Bytes{'H', 'e', 'l', 'l', 'o'}));
        EXPECT_EQ(status & 0x06, 0);
        continue;
      }
      // 0x30 and up mark the error for classification through register 5 (bit 1: framing).
      EXPECT_EQ(status & 0x46, rev >= 0x30 ? 0x44 : 0x04);
      if (rev >= 0x30) {
        EXPECT_EQ(chip->Register(5) & 0x02, 0x02);
      }
    }
    // 8E1 against 8O1: every character has a parity error, both ways; 0x30 reports it unmarked.
    MakeConfigured(Rev(rev));
    WritePair(0x18, rev >= 0x30 ? 0xDB : 0xD0, 0x25, rev >= 0x30 ? 0x00 : 0x07);
    const auto& got = Transmit(Bytes{'a', 'b', 'c'}, F(rate, 8, Parity::Odd));
    ASSERT_EQ(got.size(), 3u);
    for (const auto& r : got) EXPECT_TRUE(r.character.parityError && !r.character.framingError);
    peer->Send("x");
    clock.RunUntilIdle();
    EXPECT_EQ(chip->PendingLineStatus() & 0x46, 0x04);
  }
}

}  // namespace
}  // namespace zm470_test
