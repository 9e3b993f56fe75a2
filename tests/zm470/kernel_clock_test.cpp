// The chip and the line inside an emulated machine: their events run on the kernel's virtual clock.
#include <gtest/gtest.h>

#include "line/far_ends.h"
#include "nt/kernel.h"
#include "support/current_schedule.h"
#include "zm470/zm470.h"

namespace {

using emu::usb::Handshake;
using emu::usb::SetupPacket;

TEST(ChipOnKernelClock, ByteAt300BaudReturnsThroughLoopbackAfterItsCharacterTime) {
  emu::Kernel kernel(test_support::CurrentConfig());
  emu::zm470::Zm470 chip;  // on the kernel's clock, like the plug
  emu::line::LoopbackPlug plug;
  int activity = 0;
  chip.SetActivityCallback([&] { ++activity; });
  chip.AttachLine(&plug);
  ASSERT_FALSE(chip.Control(SetupPacket{0x00, 9, 1, 0, 0}, {}).stall);
  ASSERT_FALSE(chip.Control(SetupPacket{0x40, 0x9A, 0x1312, 0xD980, 0}, {}).stall);  // 11719 Hz / 39
  ASSERT_EQ(chip.Out(0x02, std::vector<uint8_t>{'K'}), Handshake::Ack);
  activity = 0;
  kernel.RunFor(332792);  // 10 bits at 11719 Hz / 39 = 300.49 baud: 33.2793 ms
  EXPECT_EQ(chip.RxFifoCount(), 0u) << "byte arrived early";
  kernel.RunFor(1);
  EXPECT_EQ(chip.RxFifoCount(), 1u) << "byte not back after 33.2793 ms of virtual time";
  kernel.RunFor(1);
  EXPECT_GT(activity, 0) << "the host must be told that bulk-in has data";
}

}  // namespace
