// The pty bridge in real-time mode with a pyserial program on the pty side (pty_peer.py): bytes
// the chip sends arrive in the pty's frame, bytes the program writes reach the chip's receive
// FIFO, modem lines and breaks travel over the control socket, and a wrong rate garbles both ways.
#include "line/pty_bridge.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nt/kernel.h"
#include "support/peer_program.h"
#include "zm470/zm470.h"

namespace {

using emu::usb::Handshake;
using emu::usb::SetupPacket;
using Bytes = std::vector<uint8_t>;

class PtyBridgeTest : public ::testing::Test {
 protected:
  // Runs the machine until `done` holds; the limit is generous (wall-clock time in this mode).
  static bool RunUntil(emu::Kernel& kernel, const std::function<bool()>& done) {
    return test_support::RunRealTimeUntil(kernel, done, 5 * emu::kSecond);
  }
  static Bytes ReadBulk(emu::zm470::Zm470& chip) {
    Bytes buf(64);
    size_t n = 0;
    buf.resize(chip.In(0x82, buf, n) == Handshake::Ack ? n : 0);
    return buf;
  }
  static void Vendor(emu::zm470::Zm470& chip, uint8_t request, uint16_t value, uint16_t index) {
    ASSERT_FALSE(chip.Control(SetupPacket{0x40, request, value, index, 0}, {}).stall);
  }

  test_support::PeerProgram peer_;
};

TEST_F(PtyBridgeTest, PyserialProgramExchangesBytesInThePtysFrameModemLinesAndBreaks) {
  emu::KernelConfig config;
  config.realTime = true;
  emu::Kernel kernel(config);
  emu::zm470::Zm470 chip;
  ASSERT_FALSE(chip.Control(SetupPacket{0x00, 9, 1, 0, 0}, {}).stall);
  Vendor(chip, 0x9A, 0x1312, 0xCC83);  // 6 MHz / 52
  Vendor(chip, 0x9A, 0x2518, 0x00DB);  // 8E1
  emu::line::PtyBridge bridge(kernel, {.controlSocket = peer_.ControlSocket()});
  chip.AttachLine(&bridge);
  ASSERT_TRUE(peer_.Start(TARNWIRE_PTY_PEER, bridge.SlavePath() + " " + peer_.ControlSocket()))
      << "cannot start pty_peer.py";

  // Each step waits for the program's answer; a step that times out lets the program's own
  // report below say why.
  if (RunUntil(kernel, [&] { return chip.RxFifoCount() >= 1; })) {
    EXPECT_EQ(ReadBulk(chip), Bytes{'R'}) << "the program's first byte";
    ASSERT_EQ(chip.Out(0x02, Bytes{'h', 'e', 'l', 'l', 'o'}), Handshake::Ack);
    Vendor(chip, 0xA4, 0xDF, 0);  // DTR on
    if (RunUntil(kernel, [&] { return chip.RxFifoCount() >= 5 && !chip.Inputs().cts; })) {
      EXPECT_EQ(ReadBulk(chip), (Bytes{'w', 'o', 'r', 'l', 'd'})) << "bytes written on the pty";
      EXPECT_EQ(chip.PendingLineStatus() & 0x06, 0) << "the program's 8E1 frames match the chip's";
      EXPECT_EQ(chip.Register(6) & 0x0B, 0x01) << "CTS off from the control socket, DSR and DCD on";
      Bytes report(8);
      size_t n = 0;
      chip.In(0x81, report, n);  // takes the pending line status

      Vendor(chip, 0x9A, 0x1805, 0x8300);  // break on
      kernel.RunFor(10 * emu::kMillisecond);
      Vendor(chip, 0x9A, 0x1805, 0xC301);  // break off
      if (RunUntil(kernel, [&] { return (chip.PendingLineStatus() & 0x44) == 0x44; })) {
        EXPECT_EQ(chip.Register(5) & 0x02, 0x02) << "57600 against 115385 baud is a framing error";
        ASSERT_EQ(chip.Out(0x02, Bytes{'b', 'd', 'f'}), Handshake::Ack);  // start bits seen at half the rate
        RunUntil(kernel, [&] { return bridge.Count().toPty >= 8; });
      }
    }
  }
  const auto [status, output] = peer_.Finish();
  EXPECT_EQ(status, 0) << "pty_peer.py:\n" << output;
  EXPECT_EQ(bridge.Count().toPty, 8u) << "hello and bdf; the break is not a character";
  EXPECT_EQ(bridge.Count().garbled, 3u);
  EXPECT_EQ(bridge.Count().dropped, 0u);
}

}  // namespace
