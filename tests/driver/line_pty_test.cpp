// The driver's line on a Linux pty, in real-time mode, with a pyserial program on the pty side
// (line_pty_peer.py): the bytes TransmitImmediate sends arrive in their frame, DTR, RTS and the
// break show on the bridge's control socket, and a character in another parity arrives garbled.
#include "line/pty_bridge.h"
#include "support/peer_program.h"
#include "usb/modem_lines.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

using emu::line::PtyBridge;

// Runs the real-time machine until done() holds, for at most 10 s.
bool RunUntil(emu::Kernel& kernel, const std::function<bool()>& done) {
  return test_support::RunRealTimeUntil(kernel, done, 10 * emu::kSecond);
}

TEST(LinePty, APyserialProgramReceivesTheFramesModemOutputsAndBreakTheDriverSends) {
  // 7E1 on a chip below 0x30 is software parity in bit 7 of 8-bit frames; 6O2 from 0x30 is the
  // chip's own format.
  const struct {
    uint8_t revision;
    ULONG baud;
    UCHAR dataMask, parity, stopBits;
    const char* format;
  } cases[] = {{0x10, 115200, 0x7F, EVEN_PARITY, STOP_BIT_1, "7E1"},
               {0x30, 57600, 0x3F, ODD_PARITY, STOP_BITS_2, "6O2"}};
  const std::string text = "Tarnwire";
  for (const auto& c : cases) {
    SCOPED_TRACE("revision " + Hex(c.revision) + ", " + std::to_string(c.baud) + " " + c.format);
    emu::KernelConfig realTime;
    realTime.realTime = true;
    test_support::PeerProgram peer;  // outlives the machine, whose bridge has its control socket
    ConfiguredPort m(ChipRevision(c.revision), realTime);
    ASSERT_EQ(m.ProgramLine(c.baud, c.dataMask, c.parity, c.stopBits), STATUS_SUCCESS);
    PtyBridge& bridge =
        m.PlugFarEnd<PtyBridge>(m.kernel(), PtyBridge::Options{.controlSocket = peer.ControlSocket()});
    ASSERT_TRUE(peer.Start(TARNWIRE_LINE_PTY_PEER, bridge.SlavePath() + " " + peer.ControlSocket() + " " +
                                                       std::to_string(c.baud) + " " + c.format + " " + text))
        << "cannot start line_pty_peer.py";

    const auto call = [&](std::function<NTSTATUS()> fn) { return m.Call(std::move(fn)) == STATUS_SUCCESS; };
    const auto send = [&](const std::string& bytes) {
      return call([&] {
        NTSTATUS status = STATUS_SUCCESS;
        for (char b : bytes) {
          if (NT_SUCCESS(status)) status = TransmitImmediate(m.device, static_cast<UCHAR>(b));
        }
        return status;
      });
    };
    const auto sentToPty = [&](uint64_t n) {
      return RunUntil(m.kernel(), [&] { return bridge.Count().toPty >= n; });
    };
    // Each step waits for the program or the line; when one fails the program's report tells why.
    const bool done =
        RunUntil(m.kernel(), [&] { return m.chip->Inputs().ri; }) && send(text) && sentToPty(text.size()) &&
        call([&] { return SetDtr(m.device, TRUE); }) && call([&] { return SetRts(m.device, TRUE); }) &&
        call([&] { return SetBreak(m.device, TRUE); }) && (m.kernel().RunFor(20 * emu::kMillisecond), true) &&
        call([&] { return SetBreak(m.device, FALSE); }) && call([&] { return SetDtr(m.device, FALSE); }) &&
        call([&] { return SetRts(m.device, FALSE); }) &&
        RunUntil(m.kernel(), [&] { return !m.chip->Inputs().ri; }) && send("!") && sentToPty(text.size() + 1);
    EXPECT_TRUE(done) << "a step did not complete";
    const auto [status, output] = peer.Finish();
    EXPECT_EQ(status, 0) << "line_pty_peer.py:\n" << output;
    EXPECT_EQ(bridge.Count().toPty, text.size() + 1) << "the text and one character; the break is not one";
    EXPECT_EQ(bridge.Count().garbled, 1u) << "only the character in the other parity is garbled";
    EXPECT_EQ(bridge.Count().dropped, 0u);
  }
}

}  // namespace
}  // namespace drvusb_test
