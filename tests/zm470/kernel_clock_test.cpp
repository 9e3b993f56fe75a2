// The chip and the line inside an emulated machine: their events run on the kernel's virtual clock.
#include <gtest/gtest.h>

#include <cctype>

#include "line/far_ends.h"
#include "nt/kernel.h"
#include "zm470/zm470.h"

namespace {

using emu::usb::Handshake;
using emu::usb::SetupPacket;

class KernelClockTest : public ::testing::Test {
 protected:
  emu::Kernel kernel;
  emu::zm470::Zm470 chip;  // on the kernel's clock
  int activity = 0;

  void SetUp() override {
    chip.SetActivityCallback([this] { ++activity; });
    ASSERT_FALSE(chip.Control(SetupPacket{0x00, 9, 1, 0, 0}, {}).stall);
  }
  void WritePair(uint8_t a, uint8_t va, uint8_t b, uint8_t vb) {
    ASSERT_FALSE(
        chip.Control(SetupPacket{0x40, 0x9A, uint16_t(a | b << 8), uint16_t(va | vb << 8), 0}, {}).stall);
  }
};

TEST_F(KernelClockTest, ByteAt300BaudReturnsThroughLoopbackAfterItsCharacterTime) {
  emu::line::LoopbackPlug plug;
  chip.AttachLine(&plug);
  WritePair(0x12, 0x80, 0x13, 0xD9);  // 11718.75 Hz / 39 = 300.48 baud
  const emu::VirtualTime t0 = kernel.Now();
  ASSERT_EQ(chip.Out(0x02, std::vector<uint8_t>{'K'}), Handshake::Ack);
  activity = 0;
  kernel.RunFor(332799);  // 10 bits x 39 x 1024 / 12 MHz = 33.28 ms
  EXPECT_EQ(chip.RxFifoCount(), 0u) << "byte arrived early at " << kernel.Now() - t0;
  kernel.RunFor(1);
  EXPECT_EQ(chip.RxFifoCount(), 1u) << "byte not back after 33.28 ms of virtual time";
  kernel.RunFor(1);
  EXPECT_GT(activity, 0) << "the host must be told that bulk-in has data";
}

TEST_F(KernelClockTest, ScriptedPeerAnswersWhatItReceives) {
  emu::line::Frame frame;
  frame.baud = 750000.0 / 78;  // the chip's default rate
  emu::line::ScriptedPeer peer(emu::line::Clock::Kernel(), frame);
  peer.OnCharacter([&](const emu::line::ScriptedPeer::Received& r) {
    peer.Send(std::string(1, static_cast<char>(std::toupper(r.character.data))));
  });
  chip.AttachLine(&peer);
  ASSERT_EQ(chip.Out(0x02, std::vector<uint8_t>{'o', 'k'}), Handshake::Ack);
  kernel.RunFor(10 * emu::kMillisecond);
  std::vector<uint8_t> buf(32);
  size_t n = 0;
  ASSERT_EQ(chip.In(0x82, buf, n), Handshake::Ack) << "no answer from the peer";
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + n), "OK");
}

}  // namespace
