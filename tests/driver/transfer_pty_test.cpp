// The driver's read and write paths on a Linux pty, in real-time mode, with a pyserial program on
// the pty side (transfer_pty_peer.py): an application's write requests carry a pseudo-random
// stream to the program, which checks it byte for byte, while the program's own stream comes back
// through the application's read requests, at 115200 8N1 without flow control.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "line/pty_bridge.h"
#include "serial_rig.h"
#include "support/peer_program.h"

namespace tarnwire::testing {
namespace {

using emu::line::PtyBridge;
using serial_rig::SerialRig;

constexpr size_t kBytes = 4096;
constexpr ULONG kWriteChunk = 1024;
constexpr ULONG kReadChunk = 512;
constexpr ULONG kBaud = 115200;
constexpr uint32_t kToProgramSeed = 1;
constexpr uint32_t kFromProgramSeed = 2;

TEST(TransferPty, ReadAndWriteRequestsExchangeAStreamEachWayWithAPyserialProgram) {
  emu::KernelConfig realTime;
  realTime.realTime = true;
  test_support::PeerProgram peer;  // outlives the bridge, whose control socket is in its directory
  SerialRig rig(SerialRig::FarEnd::Loopback, realTime);
  ASSERT_EQ("", rig.Error());
  // Destroyed before the rig: the bridge unplugs itself from the chip.
  PtyBridge bridge(rig.kernel(),
                   PtyBridge::Options{.controlSocket = peer.ControlSocket(), .initialBaud = kBaud});
  rig.A().chip->AttachLine(&bridge);  // in place of the loopback plug
  ASSERT_EQ(STATUS_SUCCESS,
            rig.Apply(rig.A(), {kBaud, serial_rig::Flow::None, serial_rig::ReturnOnFirstByte()}));
  ASSERT_TRUE(peer.Start(TARNWIRE_TRANSFER_PTY_PEER,
                         bridge.SlavePath() + " " + peer.ControlSocket() + " " + std::to_string(kBaud) + " " +
                             std::to_string(kBytes) + " " + std::to_string(kToProgramSeed) + " " +
                             std::to_string(kFromProgramSeed)))
      << "cannot start transfer_pty_peer.py";

  // The program raises RI once it has opened the pty: opening it discards what the pty holds.
  const bool ready = test_support::RunRealTimeUntil(
      rig.kernel(), [&] { return rig.A().chip->Inputs().ri; }, 10 * emu::kSecond);
  EXPECT_TRUE(ready) << "the program never raised RI";
  // One port writes the stream to the program and reads the program's stream of the same length.
  std::vector<serial_rig::Stream> streams{
      {&rig.A(), &rig.A(), serial_rig::Payload(kBytes, kToProgramSeed), kWriteChunk, kReadChunk}};
  std::vector<serial_rig::StreamResult> results(1);
  if (ready) results = rig.Run(streams, 10 * emu::kSecond);

  const auto [status, output] = peer.Finish();
  EXPECT_EQ(status, 0) << "transfer_pty_peer.py:\n" << output;
  EXPECT_EQ(output, "ok: received " + std::to_string(kBytes) + ", sent " + std::to_string(kBytes) + "\n");
  const serial_rig::StreamResult& r = results[0];
  EXPECT_EQ(STATUS_SUCCESS, r.writeStatus);
  EXPECT_EQ(kBytes, r.written) << "the writes did not take every byte";
  EXPECT_EQ(STATUS_SUCCESS, r.readStatus);
  const std::vector<uint8_t> expected = serial_rig::Payload(kBytes, kFromProgramSeed);
  const serial_rig::Delivery d = serial_rig::CompareDelivery(expected, r.received);
  EXPECT_TRUE(r.received == expected) << r.received.size() << " bytes read: " << d.matched << " in order, "
                                      << d.lost << " lost, " << d.garbled << " not sent";
  // The stream arrives at line rate, and a read returns what the ring holds without filling up.
  EXPECT_GT(r.reads.size(), kBytes / kReadChunk) << "the reads waited to fill their buffers";
  EXPECT_EQ(bridge.Count().toPty, kBytes);
  EXPECT_EQ(bridge.Count().fromPty, kBytes);
  EXPECT_EQ(bridge.Count().garbled, 0u);
  EXPECT_EQ(bridge.Count().dropped, 0u);
  EXPECT_EQ("", rig.Shutdown());
}

}  // namespace
}  // namespace tarnwire::testing
