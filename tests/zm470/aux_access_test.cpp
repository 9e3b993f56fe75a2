// The auxiliary byte store: the polled form (0x53/0x52) below revision 0x20, the direct form
// (0x54/0x5E) from 0x20 on.
#include "chip_fixture.h"

namespace zm470_test {
namespace {

Config Polled(uint32_t busyPolls, emu::VirtualTime busyTime = 0) {
  Config c;
  c.revision = 0x10;
  c.auxBusyPolls = busyPolls;
  c.auxBusyTime = busyTime;
  return c;
}

TEST_F(ChipTest, PolledReadIsBusyForConfiguredPollsThenCarriesTheByte) {
  Make(Polled(3));
  chip->SetAuxByte(0x42, 0x5A);
  ASSERT_FALSE(VendorOut(0x53, 0x00, 0x0342).stall) << "command 0x03 (read), address 0x42";
  for (int i = 0; i < 3; ++i) {
    ControlReply r = VendorIn(0x52, 0, 0, 8);
    ASSERT_EQ(r.data.size(), 8u);
    EXPECT_EQ(r.data[5] & 1, 1) << "poll " << i << " must still report busy";
  }
  ControlReply done = VendorIn(0x52, 0, 0, 8);
  EXPECT_EQ(done.data[5] & 1, 0) << "the fourth poll must report done";
  EXPECT_EQ(done.data[4], 0x5A) << "byte 4 carries the byte read";
  EXPECT_EQ(VendorIn(0x52, 0, 0, 8).data[4], 0x5A) << "status stays readable after completion";
}

TEST_F(ChipTest, PolledWriteLandsWhenTheAccessCompletes) {
  Make(Polled(1, 5 * emu::kMillisecond));
  ASSERT_FALSE(VendorOut(0x53, 0x77, 0x0210).stall) << "command 0x02 (write), address 0x10";
  EXPECT_EQ(VendorIn(0x52, 0, 0, 8).data[5] & 1, 1);
  EXPECT_EQ(VendorIn(0x52, 0, 0, 8).data[5] & 1, 1) << "busy until 5 ms of virtual time passed";
  EXPECT_NE(chip->AuxByte(0x10), 0x77) << "the write must not land while busy";
  clock.AdvanceBy(5 * emu::kMillisecond);
  EXPECT_EQ(VendorIn(0x52, 0, 0, 8).data[5] & 1, 0);
  EXPECT_EQ(chip->AuxByte(0x10), 0x77);
}

TEST_F(ChipTest, PolledAccessCanBeMadeToNeverFinishOrAnswerShort) {
  Config c = Polled(UINT32_MAX);
  c.statusBlockLength = 5;
  Make(c);
  ASSERT_FALSE(VendorOut(0x53, 0, 0x0101).stall);
  for (int i = 0; i < 150; ++i) ASSERT_EQ(VendorIn(0x52, 0, 0, 8).data.size(), 5u);
  EXPECT_TRUE(chip->AuxBusy()) << "an access configured never to finish finished";
}

TEST_F(ChipTest, AuxiliaryRequestFormsFollowRevision0x20) {
  Make(Polled(0));
  EXPECT_TRUE(VendorIn(0x54, 0x1000, 0x0201, 1).stall) << "0x54 must stall below 0x20";
  EXPECT_TRUE(VendorOut(0x5E, 0x0A, 0).stall) << "0x5E must stall below 0x20";

  Config c;
  c.revision = 0x20;
  Make(c);
  EXPECT_TRUE(VendorOut(0x53, 0, 0x0101).stall) << "0x53 must stall from 0x20 on";
  EXPECT_FALSE(VendorIn(0x52, 0, 0, 8).stall) << "the status block stays readable";

  ASSERT_FALSE(VendorOut(0x54, 0x10AB, 0x0201).stall) << "write 0xAB to 0x10";
  ASSERT_FALSE(VendorOut(0x5E, 0x0A, 0).stall);
  EXPECT_EQ(chip->AuxByte(0x10), 0xAB);
  EXPECT_EQ(chip->AuxCommits(), 1u);
  EXPECT_EQ(VendorIn(0x54, 0x1000, 0x0201, 1).data, std::vector<uint8_t>{0xAB}) << "read back";
  EXPECT_TRUE(VendorIn(0x54, 0x1000, 0x0200, 1).stall) << "wIndex low byte must be 1";
  EXPECT_TRUE(VendorOut(0x5E, 0x0B, 0).stall) << "0x5E takes only wValue 0x0A";
}

}  // namespace
}  // namespace zm470_test
