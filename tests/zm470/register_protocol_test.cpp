// The vendor request and register map: pair reads and writes, revision byte, modem control,
// initialisation, the auxiliary byte store, and the revision thresholds 0x20, 0x25 and 0x30.
#include "chip_fixture.h"

namespace zm470_test {
namespace {

TEST_F(ChipTest, RegisterPairAndRevisionReadsAnswerTheirOwnLengthNotWLength) {
  Make(Rev(0x25));
  WritePair(0x12, 0x83, 0x13, 0xF3);
  EXPECT_EQ(Registers({0x12, 0x13}), (Bytes{0x83, 0xF3}))
      << "0x9A: wValue names the registers, wIndex the values";
  EXPECT_EQ(VendorIn(0x95, 0x1213, 0, 7).data, (Bytes{0xF3, 0x83}))
      << "asked for 7, 0x95 answers 2 bytes, A then B";
  WritePair(0x2C, 0x11, 0x2C, 0x22);
  EXPECT_EQ(chip->Register(0x2C), 0x22) << "naming a register twice: the second value is written last";
  EXPECT_EQ(VendorIn(0x5F, 0, 0, 7).data, (Bytes{0x25, 0x00})) << "0x5F: the revision byte first";

  Config c = Rev(0x30);
  c.registerReadLength = 1;
  c.revisionAnswer = Bytes{0x31, 1, 2, 3, 4, 5, 6, 7, 8};
  Make(c);
  EXPECT_EQ(ReadPair(7, 6).size(), 1u) << "a configured short answer must be short";
  EXPECT_EQ(VendorIn(0x5F, 0, 0, 7).data, (Bytes{0x31, 1, 2, 3, 4, 5, 6}))
      << "configured bytes cut to wLength";
}

TEST_F(ChipTest, ModemLinesAreActiveLowAndReadBackThroughRegister6) {
  for (uint8_t rev : {uint8_t(0x10), uint8_t(0x20), uint8_t(0x30)}) {
    SCOPED_TRACE(testing::Message() << "revision 0x" << std::hex << int(rev));
    Make(Rev(rev));
    const uint8_t dtrAndRts = static_cast<uint8_t>(~0x60);
    if (rev < 0x20) {
      WritePair(6, dtrAndRts, 6, dtrAndRts);
    } else {
      ASSERT_FALSE(VendorOut(0xA4, dtrAndRts, 0).stall) << "0xA4 exists from 0x20 on";
    }
    EXPECT_TRUE(chip->Outputs().dtr && chip->Outputs().rts && !chip->Outputs().out1);
    EXPECT_EQ(ReadPair(6, 7).at(0) & 0x7F, 0x1F)
        << "bits 5 (DTR) and 6 (RTS) read 0 while asserted; no line: inputs off";
  }
  AttachPeer().DriveInputs({.cts = true, .dsr = false, .ri = true, .dcd = false});
  EXPECT_EQ(ReadPair(6, 7).at(0) & 0x0F, 0x0A)
      << "the far end's CTS (bit 0) and RI (bit 2) asserted read as 0";
}

TEST_F(ChipTest, InitializationDecodesTheOlderAndNewerChipFormsAndResetsTheUart) {
  Make(Rev(0x10));
  // 19200 8N1 as the driver sends it: flags 0x1F, 0x18 part 0x40, 0x25 part 0.
  ASSERT_FALSE(VendorOut(0xA1, 0x401F, 0xD902).stall);
  EXPECT_EQ(Registers({0x18, 0x25, 0x12, 0x13, 0x2C}), (Bytes{0x40, 0x00, 0x02, 0xD9, 0x00}))
      << "0x2C takes bits 3-7 of the wIndex low byte";
  EXPECT_NEAR(chip->LineFrame().baud, 19230.8, 0.1);
  ASSERT_FALSE(VendorOut(0xA1, 0xC703, 0).stall);  // 0x18 part 0xC0, 0x25 part 7
  EXPECT_EQ(Registers({0x18, 0x25}), (Bytes{0xC0, 0x07}));
  EXPECT_EQ(Format(), "8E1") << "ninth-bit mode 7 is even parity";

  Make(Rev(0x30));
  ASSERT_FALSE(VendorOut(0xA4, 0x9F, 0).stall);
  WritePair(0x12, 0x01, 0x13, 0x01);
  WritePair(5, 0x00, 0x18, 0x83);  // break on
  ASSERT_FALSE(VendorOut(0xA1, 0, 0).stall);
  EXPECT_EQ(Registers({0x12, 0x13}), (Bytes{0x01, 0x01})) << "with no flags no rate register may change";
  EXPECT_EQ(Registers({5, 0x18}), (Bytes{0x01, 0xC3})) << "the restart releases the break through both bits";
  EXPECT_FALSE(chip->Outputs().dtr || chip->Outputs().rts) << "initialisation drops the outputs";
  ASSERT_FALSE(VendorOut(0xA1, 0xDA9C, 0xCC8B).stall);  // flags 0x80|0x1C
  EXPECT_EQ(Registers({0x18, 0x12, 0x13, 0x2C}), (Bytes{0xDA, 0x83, 0xCC, 0x08}))
      << "flag 0x80 carries 0x18 whole; on 0x30 bit 7 of the wIndex low byte is prescaler, not 0x2C";
  EXPECT_EQ(chip->Initializations(), 2u);
}

TEST_F(ChipTest, Revision0x25AloneSetsRegister5Bit4AtPowerOnAndInitialization) {
  for (uint8_t rev : {uint8_t(0x24), uint8_t(0x25), uint8_t(0x26)}) {
    Make(Rev(rev));
    EXPECT_EQ((ReadPair(5, 5).at(0) & 0x10) != 0, rev == 0x25) << "power-on, revision " << int(rev);
    WritePair(5, 0x01, 5, 0x01);
    ASSERT_FALSE(VendorOut(0xA1, 0, 0).stall);
    EXPECT_EQ((ReadPair(5, 5).at(0) & 0x10) != 0, rev == 0x25) << "after 0xA1, revision " << int(rev);
  }
}

// --- The auxiliary byte store: polled (0x53/0x52) below revision 0x20, direct (0x54/0x5E) from 0x20 on.

Config Polled(uint32_t busyPolls, VirtualTime busyTime = 0, size_t statusBlockLength = 8) {
  Config c = Rev(0x10);
  c.auxBusyPolls = busyPolls;
  c.auxBusyTime = busyTime;
  c.statusBlockLength = statusBlockLength;
  return c;
}
bool AuxBusy(const ControlReply& status) { return status.data.size() > 5 && (status.data[5] & 1) != 0; }

TEST_F(ChipTest, PolledAuxReadIsBusyForTheConfiguredPollsThenCarriesTheByte) {
  Make(Polled(3));
  chip->SetAuxByte(0x42, 0x5A);
  ASSERT_FALSE(VendorOut(0x53, 0x00, 0x0342).stall) << "command 0x03 (read), address 0x42";
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(AuxBusy(VendorIn(0x52, 0, 0, 8))) << "poll " << i << " must be busy";
  ControlReply done = VendorIn(0x52, 0, 0, 8);
  ASSERT_EQ(done.data.size(), 8u);
  EXPECT_FALSE(AuxBusy(done)) << "the fourth poll must report done";
  EXPECT_EQ(done.data[4], 0x5A) << "byte 4 carries the byte read";
  EXPECT_EQ(VendorIn(0x52, 0, 0, 8).data[4], 0x5A) << "status stays readable after completion";
}

TEST_F(ChipTest, PolledAuxWriteLandsWhenBothBusyPollsAndBusyTimeHavePassed) {
  Make(Polled(1, 5 * emu::kMillisecond));
  ASSERT_FALSE(VendorOut(0x53, 0x77, 0x0210).stall) << "command 0x02 (write), address 0x10";
  EXPECT_TRUE(AuxBusy(VendorIn(0x52, 0, 0, 8)));
  EXPECT_TRUE(AuxBusy(VendorIn(0x52, 0, 0, 8))) << "busy until 5 ms of virtual time passed";
  EXPECT_NE(chip->AuxByte(0x10), 0x77) << "the write must not land while busy";
  clock.AdvanceBy(5 * emu::kMillisecond);
  EXPECT_FALSE(AuxBusy(VendorIn(0x52, 0, 0, 8)));
  EXPECT_EQ(chip->AuxByte(0x10), 0x77);

  Make(Polled(UINT32_MAX, 0, 5));
  ASSERT_FALSE(VendorOut(0x53, 0, 0x0101).stall);
  for (int i = 0; i < 150; ++i) ASSERT_EQ(VendorIn(0x52, 0, 0, 8).data.size(), 5u) << "a short status block";
  EXPECT_TRUE(chip->AuxBusy()) << "an access configured never to finish finished";
}

TEST_F(ChipTest, DirectAuxAccessFrom0x20WritesCommitsAndReadsBack) {
  Make(Rev(0x20));
  EXPECT_FALSE(VendorIn(0x52, 0, 0, 8).stall) << "the status block stays readable";
  ASSERT_FALSE(VendorOut(0x54, 0x10AB, 0x0201).stall) << "write 0xAB to 0x10";
  ASSERT_FALSE(VendorOut(0x5E, 0x0A, 0).stall);
  EXPECT_EQ(chip->AuxByte(0x10), 0xAB);
  EXPECT_EQ(chip->AuxCommits(), 1u);
  EXPECT_EQ(VendorIn(0x54, 0x1000, 0x0201, 1).data, Bytes{0xAB}) << "read back";
}

}  // namespace
}  // namespace zm470_test
