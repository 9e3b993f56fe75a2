// The chip's UART on a line: timing at the programmed rate, FIFOs, modem lines through a loopback
// plug and a null-modem cable, breaks, line errors and the interrupt-in status report.
#include "chip_fixture.h"

namespace zm470_test {
namespace {

using emu::line::Frame;
using emu::line::LineCharacter;
using emu::line::LoopbackPlug;
using emu::line::Parity;

TEST_F(ChipTest, LoopbackReturnsEachByteAfterItsCharacterTimeWithoutAccumulatingRounding) {
  MakeConfigured();
  LoopbackPlug plug(clock);
  chip->AttachLine(&plug);
  const VirtualTime t0 = 5 * emu::kMillisecond;
  clock.AdvanceTo(t0);
  ASSERT_EQ(SendBulk({0x5A}), Handshake::Ack);
  clock.AdvanceTo(t0 + 10399);  // 10 bits at 9615.4 baud = 1040 us
  EXPECT_EQ(chip->RxFifoCount(), 0u) << "the byte arrived before its stop bit ended";
  EXPECT_EQ(chip->Register(7) & 1, 1) << "register 7 bit 0 must show the transmitter busy";
  clock.AdvanceTo(t0 + 10400);
  EXPECT_EQ(ReadBulk(), Bytes{0x5A}) << "the byte did not come back after 1040 us";
  EXPECT_EQ(chip->Register(7) & 1, 0) << "transmitter still reported busy after draining";

  WritePair(0x12, 0x83, 0x13, 0xCC);  // 6 MHz / 52 = 115384.6 baud, 866.67 units a character
  Bytes data(32);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(SendBulk(data), Handshake::Ack);
  ASSERT_EQ(SendBulk(data), Handshake::Ack);
  clock.RunUntil([&] { return chip->RxFifoCount() == 64; });
  EXPECT_EQ(clock.Now(), t0 + 10400 + 55467) << "64 characters take 64 x 10 bits at 115384.6 baud";
  EXPECT_EQ(ReadBulk(), data) << "first packet came back altered";
}

TEST_F(ChipTest, FullTransmitFifoNaksUntilAPacketFits) {
  MakeConfigured();
  const Bytes packet(32, 0x55);
  ASSERT_EQ(SendBulk(packet), Handshake::Ack);
  ASSERT_EQ(SendBulk(packet), Handshake::Ack);
  EXPECT_EQ(SendBulk(packet), Handshake::Nak) << "64-byte FIFO overfilled";
  activity = 0;
  clock.RunUntil([&] { return activity > 0; });
  EXPECT_EQ(chip->TxFifoCount(), 32u) << "the host is told of room as soon as a packet fits";
  EXPECT_EQ(SendBulk(packet), Handshake::Ack);
  EXPECT_EQ(chip->BytesFromHost(), 96u);
}

TEST_F(ChipTest, BulkInHandsOverTheReceiveFifoInPacketsOfTheEndpointsSize) {
  MakeConfigured();
  AttachPeer().Send(std::string(40, 'q'));
  clock.RunUntil([&] { return chip->RxFifoCount() == 40; });
  EXPECT_EQ(ReadIn(0x82, 64).size(), 32u) << "a packet larger than wMaxPacketSize 32";
  EXPECT_EQ(ReadIn(0x82, 64), Bytes(8, 'q')) << "the rest comes as a short packet";
  EXPECT_EQ(chip->BytesToHost(), 40u);
  EXPECT_TRUE(ReadIn(0x82, 32).empty()) << "an empty FIFO must NAK";
}

TEST_F(ChipTest, PartialPacketWaitsForAQuietLineWhenConfigured) {
  Config c;
  c.bulkInWaitsForQuietLine = true;
  MakeConfigured(c);
  AttachPeer();
  WritePair(0x2C, 4, 0x0F, 0);  // 4 x 256 us
  peer->Send("r");
  clock.RunUntil([&] { return chip->RxFifoCount() == 1; });
  const VirtualTime arrived = clock.Now();
  EXPECT_TRUE(ReadBulk().empty()) << "a partial packet must wait while the line is busy";
  activity = 0;
  clock.RunUntil([&] { return activity > 0; });
  EXPECT_EQ(clock.Now(), arrived + 4 * 2560) << "host must be told when the line has been quiet";
  EXPECT_EQ(ReadBulk(), Bytes{'r'});
}

TEST_F(ChipTest, LineErrorsAreClassifiedPerRevisionAndTheReceiverSamplesAtItsOwnRate) {
  // 0x30: framing error and break both set 0x44; register 5 bit 1 tells them apart.
  MakeConfigured();
  LineCharacter bad = LineCharacter::Of('x', AttachPeer().GetFrame());
  bad.badStop = true;
  peer->SendCharacter(bad);
  clock.RunUntilIdle();
  EXPECT_EQ(ReadReport().at(0) & 0x46, 0x44) << "framing error on 0x30";
  EXPECT_EQ(chip->Register(5) & 0x02, 0x02) << "register 5 bit 1 must say framing";
  EXPECT_EQ(ReadBulk(), Bytes{'x'}) << "the character itself is still delivered";
  peer->DriveBreak(true);
  clock.AdvanceBy(3 * emu::kMillisecond);  // longer than a character
  peer->DriveBreak(false);
  EXPECT_EQ(ReadReport().at(0) & 0x46, 0x44) << "break on 0x30";
  EXPECT_EQ(chip->Register(5) & 0x02, 0) << "register 5 bit 1 must be clear for a break";
  EXPECT_TRUE(ReadBulk().empty()) << "a break puts no character into the FIFO";
  peer->DriveBreak(true);
  clock.AdvanceBy(5000);  // 0.5 ms, shorter than a character
  peer->DriveBreak(false);
  EXPECT_EQ(ReadBulk(), Bytes{0x00}) << "a short space is a 0x00 character with a framing error";
  EXPECT_EQ(chip->Register(5) & 0x02, 0x02) << "register 5 bit 1: framing";

  // Below 0x30 with a hardware (ninth-bit) parity: a parity error is 0x04 alone.
  MakeConfigured(Rev(0x10));
  WritePair(0x12, 0x02, 0x13, 0xB2);
  WritePair(0x18, 0xD0, 0x25, 0x07);  // 8E1
  Frame odd = AttachPeer().GetFrame();
  odd.parity = Parity::Odd;
  peer->SetFrame(odd);
  peer->Send("A");
  clock.RunUntilIdle();
  EXPECT_EQ(chip->PendingLineStatus() & 0x46, 0x04) << "parity error below 0x30";

  AttachPeer(2 * kDefaultBaud).Send("\xF0");  // twice the chip's rate
  clock.RunUntilIdle();
  EXPECT_EQ(ReadBulk(), (Bytes{'A', 0xFE}))
      << "sampling at half the rate takes bits 2, 4, 6 of 0xF0, then stop and idle";
}

TEST_F(ChipTest, OlderChipSoftwareParityBytesReadAsSevenBitParityAtTheFarEnd) {
  MakeConfigured(Rev(0x10));
  Frame f = AttachPeer().GetFrame();
  f.dataBits = 7;
  f.parity = Parity::Even;
  peer->SetFrame(f);
  ASSERT_EQ(SendBulk({0xC3, 0x41}), Handshake::Ack);  // 'C' and 'A' with the parity bit on top
  clock.RunUntilIdle();
  ASSERT_EQ(peer->ReceivedCharacters().size(), 2u);
  for (const auto& r : peer->ReceivedCharacters()) {
    EXPECT_FALSE(r.character.parityError || r.character.framingError)
        << "byte 0x" << std::hex << int(r.raw.data);
  }
  EXPECT_EQ(peer->ReceivedBytes(), (Bytes{'C', 'A'}));
}

TEST_F(ChipTest, ModemOutputsComeBackThroughALoopbackPlugAndReachAChipBehindANullModemCable) {
  for (uint8_t rev : {uint8_t(0x10), uint8_t(0x25), uint8_t(0x30)}) {
    SCOPED_TRACE(testing::Message() << "revision 0x" << std::hex << int(rev));
    // The modem-control byte, outputs active low: register pair 6/6 below 0x20, request 0xA4 above.
    auto outputs = [&](Zm470& c, uint8_t asserted) {
      const uint8_t byte = static_cast<uint8_t>(~asserted);
      const SetupPacket s = rev < 0x20
                                ? SetupPacket{0x40, 0x9A, 0x0606, static_cast<uint16_t>(byte * 0x101), 0}
                                : SetupPacket{0x40, 0xA4, byte, 0, 0};
      ASSERT_FALSE(c.Control(s, {}).stall);
    };
    MakeConfigured(Rev(rev));
    LoopbackPlug plug(clock);
    chip->AttachLine(&plug);
    EXPECT_EQ(chip->Register(6) & 0x0F, 0x0F) << "outputs off: every input off";
    outputs(*chip, 0x20);  // DTR
    EXPECT_EQ(chip->Register(6) & 0x0F, 0x05) << "DTR must come back as DSR and DCD";
    outputs(*chip, 0x40);  // RTS
    EXPECT_EQ(chip->Register(6) & 0x0F, 0x0E) << "RTS must come back as CTS";
    Bytes report = ReadReport();
    if (rev >= 0x20) {
      ASSERT_EQ(report.size(), 4u) << "input changes must raise an interrupt report";
      EXPECT_EQ(report[2] & 0x0F, 0x0E) << "report byte 2 carries the inputs active low";
    }
    EXPECT_TRUE(ReadReport().empty()) << "without a new change the interrupt endpoint must NAK";
    LoopbackPlug ringing(clock, true);
    chip->AttachLine(&ringing);
    outputs(*chip, 0x20);
    EXPECT_EQ(chip->Register(6) & 0x0F, 0x01) << "a plug wiring RI to DTR adds RI";

    Zm470 other(Rev(rev), &clock);
    ASSERT_FALSE(other.Control(SetupPacket{0, 9, 1, 0, 0}, {}).stall);
    emu::line::NullModemCable cable(clock);
    chip->AttachLine(&cable.SideA());
    other.AttachLine(&cable.SideB());
    outputs(*chip, 0x60);
    EXPECT_EQ(other.Register(6) & 0x0F, 0x04) << "DTR and RTS of A must reach DSR, DCD and CTS of B";
    outputs(other, 0x40);
    EXPECT_EQ(chip->Register(6) & 0x0F, 0x0E) << "and RTS of B the CTS of A";
    ASSERT_EQ(SendBulk({'h', 'i'}), Handshake::Ack);
    clock.RunUntilIdle();
    Bytes buf(32);
    size_t n = 0;
    ASSERT_EQ(other.In(0x82, buf, n), Handshake::Ack);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + n), "hi");
    chip->AttachLine(nullptr);
  }
}

TEST_F(ChipTest, InterruptReportAnnouncesAReceiveOverrunOnceAndTheTransmitterRunningEmpty) {
  Config c;
  c.rxFifoDepth = 4;
  MakeConfigured(c);
  AttachPeer().Send("abcdef");
  clock.RunUntilIdle();
  EXPECT_EQ(ReadBulk(), (Bytes{'a', 'b', 'c', 'd'})) << "a full receive FIFO keeps the first bytes";
  EXPECT_EQ(ReadReport().at(0) & 0x02, 0x02) << "an overrun raises a report with line status bit 0x02";
  EXPECT_TRUE(ReadReport().empty()) << "without a new event the interrupt endpoint must NAK";

  ASSERT_EQ(SendBulk({1, 2}), Handshake::Ack);
  EXPECT_TRUE(ReadReport().empty()) << "starting to transmit is not reported";
  peer->DriveCts(true);
  const Bytes busy = ReadReport();
  EXPECT_EQ(busy.at(3) & 1, 1) << "a report while sending must show the transmitter busy";
  EXPECT_EQ(busy.at(0), 0) << "the line status is cleared once reported";
  clock.RunUntilIdle();
  EXPECT_EQ(ReadReport().at(3) & 1, 0) << "running empty must raise a report";
  EXPECT_EQ(peer->ReceivedBytes(), (Bytes{1, 2}));
}

TEST_F(ChipTest, BreakHoldsTheLineForAsLongAsItLastsOnEveryRevision) {
  for (uint8_t rev : {uint8_t(0x10), uint8_t(0x25), uint8_t(0x30)}) {
    SCOPED_TRACE(testing::Message() << "revision 0x" << std::hex << int(rev));
    MakeConfigured(Rev(rev));
    AttachPeer();
    const uint8_t lc = chip->Register(0x18);
    const VirtualTime t0 = clock.Now();
    ASSERT_EQ(SendBulk({'a', 'z'}), Handshake::Ack);
    clock.AdvanceBy(500);  // 'a' is on the wire
    // The driver clears register 5 bit 0 and register 0x18 bit 6; either one alone is a break.
    WritePair(5, 0x01, 0x18, static_cast<uint8_t>(lc & ~0x40));
    EXPECT_FALSE(peer->EndBreak()) << "the break starts after the character on the wire";
    clock.AdvanceBy(10 * emu::kMillisecond);
    EXPECT_TRUE(peer->EndBreak());
    EXPECT_EQ(peer->ReceivedBytes(), Bytes{'a'}) << "data must wait while the break lasts";
    EXPECT_EQ(chip->Register(7) & 1, 1) << "held data counts as the transmitter holding data";
    WritePair(5, 0x00, 0x18, lc);
    clock.AdvanceBy(5 * emu::kMillisecond);
    WritePair(5, 0x01, 0x18, lc);
    EXPECT_FALSE(peer->EndBreak());
    clock.RunUntilIdle();
    EXPECT_EQ(peer->ReceivedBytes(), (Bytes{'a', 'z'})) << "held byte must follow the break";
    std::vector<VirtualTime> edges;
    for (const auto& e : peer->Events()) {
      if (e.kind == emu::line::LineEvent::Kind::Break) edges.push_back(e.time);
    }
    ASSERT_EQ(edges.size(), 2u);
    EXPECT_EQ(edges[0], peer->ReceivedCharacters()[0].raw.end) << "break on when 'a' ended";
    EXPECT_EQ(edges[1], t0 + 500 + 15 * emu::kMillisecond) << "break off when released";
  }
}

TEST_F(ChipTest, Register0x27HoldsTransmissionWhileAnEnabledInputIsOffFrom0x30) {
  struct {
    uint8_t bit;
    void (emu::line::ScriptedPeer::*drive)(bool);
  } const inputs[] = {{0x01, &emu::line::ScriptedPeer::DriveCts},
                      {0x02, &emu::line::ScriptedPeer::DriveDsr},
                      {0x08, &emu::line::ScriptedPeer::DriveDcd}};
  for (const auto& in : inputs) {
    SCOPED_TRACE(testing::Message() << "register 0x27 = " << int(in.bit));
    MakeConfigured();
    AttachPeer();
    WritePair(0x27, in.bit, 0x27, in.bit);
    ASSERT_EQ(SendBulk({'q'}), Handshake::Ack);
    clock.AdvanceBy(10 * emu::kMillisecond);
    EXPECT_TRUE(peer->ReceivedBytes().empty()) << "the input is off: data must be held";
    (peer.get()->*in.drive)(true);
    clock.RunUntilIdle();
    EXPECT_EQ(peer->ReceivedBytes(), Bytes{'q'}) << "the input on must release the data";
  }
  MakeConfigured(Rev(0x2F));
  AttachPeer();
  chip->PokeRegister(0x27, 0x01);
  ASSERT_EQ(SendBulk({'q'}), Handshake::Ack);
  clock.RunUntilIdle();
  EXPECT_EQ(peer->ReceivedBytes(), Bytes{'q'}) << "no output handshake below 0x30";
}

}  // namespace
}  // namespace zm470_test
