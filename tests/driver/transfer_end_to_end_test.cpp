// End to end through the driver's read and write paths: 100 KB each way between two bridges
// joined by a null-modem cable at 921600 baud, with RTS/CTS and with XON/XOFF, and 100 KB through
// a loopback plug at 115200, under every schedule. The receiving applications read slowly enough
// that flow control must hold the sender off: every byte still arrives in order, and the hold
// shows on the ports (hold bits set), on the line (RTS dropped or XOFF sent) and in the sender's
// pause.
#include <algorithm>
#include <cstdlib>

#include "driver_fixture.h"
#include "serial_rig.h"

namespace tarnwire::testing {
namespace {

using emu::VirtualTime;
using emu::line::LineEvent;
using serial_rig::Flow;
using serial_rig::SerialRig;

// 100 KB each way by default; TARNWIRE_TRANSFER_KB sets another amount for long runs.
size_t TransferBytes() {
  const char* kb = std::getenv("TARNWIRE_TRANSFER_KB");
  return (kb != nullptr && std::atol(kb) > 0 ? static_cast<size_t>(std::atol(kb)) : 100) * 1024;
}
constexpr ULONG kReadChunk = 1024;
constexpr UCHAR kXoff = 0x13;
// Longer than any gap the USB frames or the write pieces leave in a stream.
constexpr VirtualTime kHeldPause = 50 * ms;

// The longest time between two characters in `ends`.
VirtualTime LongestPause(const std::vector<VirtualTime>& ends) {
  VirtualTime longest = 0;
  for (size_t i = 1; i < ends.size(); ++i) longest = std::max(longest, ends[i] - ends[i - 1]);
  return longest;
}

// Whether `side` of the line asked its far end to hold after `since`: RTS dropped, or an XOFF
// character sent.
bool HoldSignalled(const SerialRig& rig, int side, Flow flow, VirtualTime since) {
  return std::any_of(rig.LineEvents().begin(), rig.LineEvents().end(), [&](const LineEvent& e) {
    if (e.side != side || e.time <= since) return false;
    if (flow == Flow::RtsCts) return e.kind == LineEvent::Kind::Outputs && !e.outputs.rts;
    return e.kind == LineEvent::Kind::Character && e.character.data == kXoff;
  });
}

// The machine runs without DriverMachine's paged-pool page protection: it costs an mprotect per
// paged block at every DISPATCH_LEVEL crossing, thirty times the run time of these streams; the
// read and write paths' own tests run with it.
class TransferTest : public ::testing::Test {
 protected:
  explicit TransferTest(emu::KernelConfig config = test_support::CurrentConfig()) : config_(config) {}

  // Sends TransferBytes() each way at `baud` with `flow` and checks what arrived and that the hold
  // acted.
  void Transfer(SerialRig::FarEnd farEnd, ULONG baud, Flow flow) {
    const size_t kBytes = TransferBytes();
    SerialRig rig(farEnd, config_);
    ASSERT_EQ("", rig.Error());
    for (serial_rig::Bridge* b : {&rig.A(), &rig.B()}) {
      ASSERT_EQ(STATUS_SUCCESS, rig.Apply(*b, {baud, flow, serial_rig::ReturnOnFirstByte()}));
    }
    // The applications read an eighth of what the line carries.
    const emu::line::Frame frame = rig.A().chip->LineFrame();
    const double lineBytesPerSecond = frame.baud / (frame.HalfBits() / 2.0);
    const auto pause = static_cast<VirtualTime>(kReadChunk * 8 / lineBytesPerSecond * emu::kSecond);

    std::vector<serial_rig::Stream> streams;
    streams.push_back({&rig.A(), &rig.B(), serial_rig::Payload(kBytes, 1), 16384, kReadChunk, pause});
    if (farEnd == SerialRig::FarEnd::NullModem) {
      streams.push_back({&rig.B(), &rig.A(), serial_rig::Payload(kBytes, 2), 16384, kReadChunk, pause});
    }
    // Reading takes kBytes / kReadChunk pauses; the rest of the run is far shorter.
    const VirtualTime limit =
        static_cast<VirtualTime>(kBytes / kReadChunk + 1) * pause * 2 + 60 * emu::kSecond;
    const std::vector<serial_rig::StreamResult> results = rig.Run(streams, limit, true);

    for (size_t s = 0; s < streams.size(); ++s) {
      SCOPED_TRACE(s == 0 ? "from A" : "from B");
      const serial_rig::Stream& st = streams[s];
      const serial_rig::StreamResult& r = results[s];
      EXPECT_EQ(STATUS_SUCCESS, r.writeStatus);
      EXPECT_EQ(kBytes, r.written) << "the writes did not take every byte";
      const serial_rig::Delivery d = serial_rig::CompareDelivery(st.data, r.received);
      EXPECT_TRUE(r.received == st.data) << r.received.size() << " bytes arrived: " << d.matched
                                         << " in order, " << d.lost << " lost, " << d.garbled << " not sent";
      EXPECT_TRUE(r.receiveHoldSeen) << "the receiving port never set a receive hold bit";
      if (flow == Flow::XonXoff) {
        EXPECT_TRUE(r.transmitHoldSeen) << "the sending port never held on XOFF";
      }
      EXPECT_TRUE(HoldSignalled(rig, st.to->lineSide, flow, r.start))
          << "the receiving side never asked for a hold";
      EXPECT_GT(LongestPause(rig.CharacterEnds(st.from->lineSide)), kHeldPause) << "the sender never paused";
    }
    EXPECT_EQ("", rig.Shutdown());
  }

  emu::KernelConfig config_;
};

using TransferEndToEndTest = Scheduled<TransferTest>;

TEST(TransferDelivery, GapsCountAsLostAndStrayBytesAsNotSent) {
  const std::vector<uint8_t> sent = serial_rig::Payload(200, 7);
  for (uint8_t b : sent) ASSERT_TRUE(b != 0x11 && b != 0x13) << "XON or XOFF in the payload";
  EXPECT_NE(sent, serial_rig::Payload(200, 8)) << "seeds must give different payloads";

  std::vector<uint8_t> received = sent;
  received.erase(received.begin() + 50, received.begin() + 70);  // a gap of 20
  received.insert(received.begin() + 100, 0x13);                 // a byte never sent
  received.resize(received.size() - 5);                          // the last 5 missing
  const serial_rig::Delivery d = serial_rig::CompareDelivery(sent, received);
  EXPECT_EQ(d.matched, 175u);
  EXPECT_EQ(d.lost, 25u);
  EXPECT_EQ(d.garbled, 1u);
  const serial_rig::Delivery same = serial_rig::CompareDelivery(sent, sent);
  EXPECT_EQ(same.matched, sent.size());
  EXPECT_EQ(same.lost + same.garbled, 0u);
}

TEST_P(TransferEndToEndTest, NullModemAt921600WithRtsCts) {
  Transfer(SerialRig::FarEnd::NullModem, 921600, Flow::RtsCts);
}

TEST_P(TransferEndToEndTest, NullModemAt921600WithXonXoff) {
  Transfer(SerialRig::FarEnd::NullModem, 921600, Flow::XonXoff);
}

TEST_P(TransferEndToEndTest, LoopbackAt115200WithRtsCts) {
  Transfer(SerialRig::FarEnd::Loopback, 115200, Flow::RtsCts);
}

TEST_P(TransferEndToEndTest, LoopbackAt115200WithXonXoff) {
  Transfer(SerialRig::FarEnd::Loopback, 115200, Flow::XonXoff);
}

INSTANTIATE_TEST_SUITE_P(Schedules, TransferEndToEndTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
