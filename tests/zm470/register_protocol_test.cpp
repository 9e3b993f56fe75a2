// The vendor request and register map: pair reads and writes, revision byte, modem control,
// initialisation, and the revision thresholds 0x20, 0x25 and 0x30.
#include "chip_fixture.h"

namespace zm470_test {
namespace {

Config Rev(uint8_t revision) {
  Config c;
  c.revision = revision;
  return c;
}

TEST_F(ChipTest, RegisterPairReadAnswersExactlyTwoBytesFirstRegisterFirst) {
  Make();
  WritePair(0x12, 0x83, 0x13, 0xF3);
  EXPECT_EQ(chip->Register(0x12), 0x83) << "0x9A low byte of wIndex goes to the low-byte register";
  EXPECT_EQ(chip->Register(0x13), 0xF3);
  ControlReply r = VendorIn(0x95, 0x1213, 0, 7);  // the poll form asks for up to 7 bytes
  EXPECT_EQ(r.data, (std::vector<uint8_t>{0xF3, 0x83})) << "0x95 must answer exactly 2 bytes, A then B";

  WritePair(0x40, 0x11, 0x40, 0x22);
  EXPECT_EQ(chip->Register(0x40), 0x22) << "naming a register twice: the second value is written last";

  Config c;
  c.registerReadLength = 1;
  Make(c);
  EXPECT_EQ(VendorIn(0x95, 0x0706, 0, 2).data.size(), 1u) << "a configured short answer must be short";
}

TEST_F(ChipTest, UnknownOrMisdirectedRequestsStall) {
  Make();
  EXPECT_TRUE(VendorOut(0x77, 0, 0).stall) << "request 0x77 is not in the map";
  EXPECT_TRUE(VendorOut(0x95, 0x0706, 0).stall) << "0x95 is a device-to-host request";
  EXPECT_TRUE(VendorIn(0x9A, 0, 0, 2).stall) << "0x9A is a host-to-device request";
  EXPECT_TRUE(chip->Control(SetupPacket{0x21, 0x20, 0, 0, 7}, {}).stall) << "class requests";
  EXPECT_TRUE(chip->Control(SetupPacket{0x41, 0x9A, 0x1212, 0, 0}, {}).stall) << "vendor to interface";
  EXPECT_EQ(chip->ControlLog().size(), 5u) << "every control transfer must be logged";
  EXPECT_TRUE(chip->ControlLog().back().reply.stall);
}

TEST_F(ChipTest, RevisionRequestAnswersRevisionByteFirst) {
  Make(Rev(0x25));
  EXPECT_EQ(VendorIn(0x5F, 0, 0, 7).data, (std::vector<uint8_t>{0x25, 0x00}));
  Config c = Rev(0x30);
  c.revisionAnswer = std::vector<uint8_t>{0x31, 1, 2, 3, 4, 5, 6, 7, 8};
  Make(c);
  EXPECT_EQ(VendorIn(0x5F, 0, 0, 7).data, (std::vector<uint8_t>{0x31, 1, 2, 3, 4, 5, 6}))
      << "answer must be the configured bytes cut to wLength";
}

TEST_F(ChipTest, ModemControlIsActiveLowAndReadsBackThroughRegister6) {
  for (uint8_t rev : {uint8_t(0x10), uint8_t(0x20), uint8_t(0x30)}) {
    SCOPED_TRACE(testing::Message() << "revision 0x" << std::hex << int(rev));
    Make(Rev(rev));
    const uint8_t complemented = static_cast<uint8_t>(~0x60);  // DTR and RTS asserted
    if (rev < 0x20) {
      EXPECT_TRUE(VendorOut(0xA4, complemented, 0).stall) << "0xA4 must stall below 0x20";
      WritePair(6, complemented, 6, complemented);
    } else {
      ASSERT_FALSE(VendorOut(0xA4, complemented, 0).stall);
    }
    EXPECT_TRUE(chip->Outputs().dtr && chip->Outputs().rts) << "0x9F asserts DTR and RTS";
    EXPECT_FALSE(chip->Outputs().out1);
    EXPECT_EQ(ReadPair(6, 7).first & 0x70, 0x10) << "bits 5 (DTR) and 6 (RTS) read 0 while asserted";
    EXPECT_EQ(ReadPair(6, 7).first & 0x0F, 0x0F) << "no line plugged in: every input deasserted";

    if (rev >= 0x20) {
      WritePair(6, 0xFF, 6, 0xFF);
      EXPECT_TRUE(chip->Outputs().dtr) << "register 6 is not an output register from 0x20 on";
    }
  }
}

TEST_F(ChipTest, Register6LowNibbleShowsFarEndOutputsActiveLow) {
  Make();
  emu::line::ScriptedPeer peer(clock);
  chip->AttachLine(&peer);
  peer.DriveInputs({.cts = true, .dsr = false, .ri = true, .dcd = false});
  EXPECT_EQ(ReadPair(6, 7).first & 0x0F, 0x0A) << "CTS (bit 0) and RI (bit 2) asserted read as 0";
  peer.DriveInputs({.cts = false, .dsr = true, .ri = false, .dcd = true});
  EXPECT_EQ(ReadPair(6, 7).first & 0x0F, 0x05);
}

TEST_F(ChipTest, InitializationDecodesOlderChipForm) {
  Make(Rev(0x10));
  // 19200 8N1 on a 0x10 chip as the driver sends it: flags 0x1F, 0x18 part 0x40, 0x25 part 0.
  ASSERT_FALSE(VendorOut(0xA1, 0x401F, 0xD902).stall);
  EXPECT_EQ(chip->Register(0x18), 0x40);
  EXPECT_EQ(chip->Register(0x25), 0x00);
  EXPECT_EQ(chip->Register(0x12), 0x02);
  EXPECT_EQ(chip->Register(0x13), 0xD9);
  EXPECT_EQ(chip->Register(0x2C), 0x00) << "0x2C takes bits 3-7 of the wIndex low byte";
  EXPECT_NEAR(chip->LineFrame().baud, 19230.8, 0.1);

  ASSERT_FALSE(VendorOut(0xA1, 0xC703, 0).stall);  // 0x18 part 0xC0, 0x25 part 7
  EXPECT_EQ(chip->Register(0x18), 0xC0);
  EXPECT_EQ(chip->Register(0x25), 0x07);
  EXPECT_EQ(chip->LineFrame().parity, emu::line::Parity::Even) << "ninth-bit mode 7 is even parity";
}

TEST_F(ChipTest, InitializationDecodesNewerChipFormAndResetsTheUart) {
  Make(Rev(0x30));
  ASSERT_FALSE(VendorOut(0xA4, 0x9F, 0).stall);
  WritePair(0x12, 0x01, 0x13, 0x01);
  ASSERT_FALSE(VendorOut(0xA1, 0, 0).stall);
  EXPECT_EQ(chip->Register(0x12), 0x01) << "with no flags no register may change";
  EXPECT_EQ(chip->Register(0x13), 0x01);
  EXPECT_FALSE(chip->Outputs().dtr || chip->Outputs().rts) << "initialisation drops the outputs";

  ASSERT_FALSE(VendorOut(0xA1, 0xDA9C, 0xCC8B).stall);  // flags 0x80|0x1C
  EXPECT_EQ(chip->Register(0x18), 0xDA) << "flag 0x80 carries register 0x18 whole";
  EXPECT_EQ(chip->Register(0x12), 0x83) << "prescaler bits 0-2 plus bit 7 on 0x30";
  EXPECT_EQ(chip->Register(0x13), 0xCC);
  EXPECT_EQ(chip->Register(0x2C), 0x08) << "bit 7 belongs to the prescaler on 0x30";
  EXPECT_EQ(chip->Initializations(), 2u);
}

TEST_F(ChipTest, Revision0x25AloneSetsRegister5Bit4AtInitialization) {
  for (uint8_t rev : {uint8_t(0x24), uint8_t(0x25), uint8_t(0x26)}) {
    Make(Rev(rev));
    const bool expected = rev == 0x25;
    EXPECT_EQ((ReadPair(5, 5).first & 0x10) != 0, expected) << "power-on, revision " << int(rev);
    WritePair(5, 0x01, 5, 0x01);
    ASSERT_FALSE(VendorOut(0xA1, 0, 0).stall);
    EXPECT_EQ((ReadPair(5, 5).first & 0x10) != 0, expected) << "after 0xA1, revision " << int(rev);
  }
}

TEST_F(ChipTest, CharacterFormatEncodingChangesAt0x30) {
  using emu::line::Parity;
  using emu::line::StopBits;
  Make(Rev(0x30));
  WritePair(0x18, 0xDA, 0x25, 0x00);  // data code 2, parity enable, even type: 7E1
  emu::line::Frame f = chip->LineFrame();
  EXPECT_EQ(f.dataBits, 7);
  EXPECT_EQ(f.parity, Parity::Even);
  EXPECT_EQ(f.stopBits, StopBits::One);
  WritePair(0x18, 0xC0 | 0x04 | 0x38, 0x25, 0);  // 5 data bits, "two" stop bits, space
  f = chip->LineFrame();
  EXPECT_EQ(f.dataBits, 5);
  EXPECT_EQ(f.stopBits, StopBits::OnePointFive) << "two stop bits with 5 data bits are 1.5";
  EXPECT_EQ(f.parity, Parity::Space);

  Make(Rev(0x2F));
  WritePair(0x18, 0xDA, 0x25, 0x06);
  f = chip->LineFrame();
  EXPECT_EQ(f.dataBits, 8) << "below 0x30 frames are always 8 bits";
  EXPECT_EQ(f.parity, Parity::Odd) << "bit 7 of 0x18 with ninth-bit mode 6";
  WritePair(0x18, 0x5A, 0x25, 0x07);
  EXPECT_EQ(chip->LineFrame().parity, Parity::None) << "ninth bit is off without 0x18 bit 7";
}

TEST_F(ChipTest, PrescalerAndDivisorSetTheLineRate) {
  Make(Rev(0x10));
  struct {
    uint8_t prescaler, divisor;
    double baud;
  } const cases[] = {{0, 0xD9, 11718.75 / 39}, {1, 0xB2, 93750.0 / 78}, {2, 0xB2, 750000.0 / 78},
                     {3, 0xCC, 6e6 / 52},      {3, 0xFE, 3e6},          {7, 0xF3, 12e6 / 13},
                     {0, 0x02, 11718.75 / 254}};
  for (const auto& c : cases) {
    WritePair(0x12, c.prescaler, 0x13, c.divisor);
    EXPECT_DOUBLE_EQ(chip->LineFrame().baud, c.baud)
        << "prescaler " << int(c.prescaler) << " divisor 0x" << std::hex << int(c.divisor);
  }
}

TEST_F(ChipTest, ControlHookReplacesTheChipsAnswer) {
  Make();
  chip->SetControlHook([](const SetupPacket& s, std::span<const uint8_t>) -> std::optional<ControlReply> {
    if (s.bRequest == 0x9A) return ControlReply{true, {}};
    return std::nullopt;
  });
  EXPECT_TRUE(VendorOut(0x9A, 0x1312, 0x0101).stall);
  EXPECT_NE(chip->Register(0x12), 0x01) << "a hooked request must not reach the registers";
  EXPECT_EQ(chip->VendorRequests(0x9A).size(), 1u) << "hooked requests are still logged";
  EXPECT_EQ(VendorIn(0x5F, 0, 0, 2).data.size(), 2u) << "other requests are answered by the chip";
}

}  // namespace
}  // namespace zm470_test
