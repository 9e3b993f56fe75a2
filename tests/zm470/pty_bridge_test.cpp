// The pty bridge in real-time mode with a pyserial program on the pty side (pty_peer.py): bytes
// the chip sends arrive in the pty's frame, bytes the program writes reach the chip's receive
// FIFO, modem lines and breaks travel over the control socket, and a wrong rate garbles both ways.
#include "line/pty_bridge.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "nt/kernel.h"
#include "zm470/zm470.h"

namespace {

using emu::VirtualTime;
using emu::usb::Handshake;
using emu::usb::SetupPacket;
using Bytes = std::vector<uint8_t>;

class PtyBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tarnwire-pty-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { rmdir(dir_.c_str()); }
  // Starts pty_peer.py; its output comes with its exit status from Finish().
  void StartPeer(const std::string& tty, const std::string& control) {
    const std::string command =
        std::string(TARNWIRE_PYTHON3) + " " + TARNWIRE_PTY_PEER + " " + tty + " " + control + " 2>&1";
    peer_.reset(popen(command.c_str(), "r"));
  }
  std::pair<int, std::string> Finish() {
    std::string output;
    char buf[256];
    while (fgets(buf, sizeof buf, peer_.get())) output += buf;
    return {pclose(peer_.release()), output};
  }
  // Runs the machine until `done` holds; the limit is generous (wall-clock time in this mode).
  // The kernel checks done() after work posted from outside only at its next event or limit, so
  // it runs in slices of 10 ms.
  static bool RunUntil(emu::Kernel& kernel, const std::function<bool()>& done) {
    const VirtualTime limit = kernel.Now() + 5 * emu::kSecond;
    while (!done() && kernel.Now() < limit) {
      kernel.RunUntil(done, std::min(limit, kernel.Now() + 10 * emu::kMillisecond));
    }
    return done();
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

  std::string dir_;
  std::unique_ptr<FILE, int (*)(FILE*)> peer_{nullptr, pclose};
};

TEST_F(PtyBridgeTest, PyserialProgramExchangesBytesInThePtysFrameModemLinesAndBreaks) {
  emu::KernelConfig config;
  config.realTime = true;
  emu::Kernel kernel(config);
  emu::zm470::Zm470 chip;
  ASSERT_FALSE(chip.Control(SetupPacket{0x00, 9, 1, 0, 0}, {}).stall);
  Vendor(chip, 0x9A, 0x1312, 0xCC83);  // 6 MHz / 52
  Vendor(chip, 0x9A, 0x2518, 0x00DB);  // 8E1
  emu::line::PtyBridge bridge(kernel, {.controlSocket = dir_ + "/control"});
  chip.AttachLine(&bridge);
  StartPeer(bridge.SlavePath(), dir_ + "/control");
  ASSERT_TRUE(peer_) << "cannot start " << TARNWIRE_PYTHON3;

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
  const auto [status, output] = Finish();
  EXPECT_EQ(status, 0) << "pty_peer.py:\n" << output;
  EXPECT_EQ(bridge.Count().toPty, 8u) << "hello and bdf; the break is not a character";
  EXPECT_EQ(bridge.Count().garbled, 3u);
  EXPECT_EQ(bridge.Count().dropped, 0u);
}

}  // namespace
