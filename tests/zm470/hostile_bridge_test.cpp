// The hostile bridge: every answer on a hostile channel comes from its script (chip, replaced,
// resized, corrupted, stall, NAK, disconnect), channels it was not given stay the chip's, nothing
// is hostile before it is armed, and once the script runs out the chip answers; a recording of a
// sound chip's answers replays to the same answers.
#include "zm470/hostile_bridge.h"

#include <gtest/gtest.h>

#include "line/clock.h"

namespace zm470_test {
namespace {

using emu::usb::ControlReply;
using emu::usb::Handshake;
using emu::usb::SetupPacket;
using emu::zm470::HostileBridge;
namespace hostile = emu::zm470::hostile;
using Bytes = std::vector<uint8_t>;

constexpr SetupPacket kRevision{0xC0, 0x5F, 0, 0, 2};
constexpr SetupPacket kDeviceDescriptor{0x80, 6, 0x0100, 0, 18};
constexpr SetupPacket kSetConfiguration{0x00, 9, 1, 0, 0};

struct Bridge {
  explicit Bridge(const Bytes& s, uint32_t channels = hostile::kAll)
      : script(s), bridge(script, channels, {}, &clock) {
    bridge.SetActivityCallback([this] { ++activity; });
    bridge.Arm([this] { ++disconnects; });
  }
  ControlReply Control(const SetupPacket& setup) { return bridge.Control(setup, {}); }
  Handshake In(uint8_t address, Bytes* packet) {
    uint8_t buf[32];
    size_t length = 99;
    const Handshake h = bridge.In(address, buf, length);
    packet->assign(buf, buf + (h == Handshake::Ack ? length : 0));
    return h;
  }

  emu::line::ManualClock clock;
  Bytes script;
  HostileBridge bridge;
  int activity = 0;
  int disconnects = 0;
};

TEST(HostileBridgeTest, ControlAnswersFollowTheScriptThenTheChip) {
  Bridge b({/*chip*/ 0, /*replace*/ 2, 3, 0xAA, 0xBB, 0xCC, /*stall*/ 3, /*resize*/ 1, 5, 0, 0x11, 0x22, 0x33,
            /*corrupt*/ 4, 1, 0x77, /*chip*/ 0});
  ASSERT_FALSE(b.Control(kSetConfiguration).stall);
  EXPECT_EQ((Bytes{0xAA, 0xBB, 0xCC}), b.Control(kRevision).data) << "replaced answer";
  EXPECT_TRUE(b.Control(kRevision).stall) << "stall";
  EXPECT_EQ((Bytes{0x30, 0x00, 0x11, 0x22, 0x33}), b.Control(kRevision).data)
      << "the chip's two revision bytes extended to 5 from the script";
  EXPECT_EQ((Bytes{0x30, 0x77}), b.Control(kRevision).data) << "byte 1 corrupted";
  EXPECT_EQ((Bytes{0x30, 0x00}), b.Control(kRevision).data) << "the chip's own answer";
  EXPECT_TRUE(b.bridge.Script().Exhausted());
  EXPECT_EQ((Bytes{0x30, 0x00}), b.Control(kRevision).data) << "an exhausted script leaves the chip";
  EXPECT_EQ(4u, b.bridge.HostileAnswers());
}

TEST(HostileBridgeTest, NothingIsHostileBeforeArmingOrOnChannelsNotGiven) {
  emu::line::ManualClock clock;
  const Bytes script{3, 3, 3, 3};
  HostileBridge bridge(script, hostile::kBulkIn, {}, &clock);
  EXPECT_FALSE(bridge.Control(kDeviceDescriptor, {}).stall) << "unarmed: the chip answers enumeration";
  bridge.Arm([] {});
  EXPECT_FALSE(bridge.Control(kDeviceDescriptor, {}).stall) << "control is not a hostile channel here";
  EXPECT_EQ(0u, bridge.Script().Consumed()) << "a plain channel must not consume the script";
}

TEST(HostileBridgeTest, TokensOnEndpointsFollowTheScript) {
  Bridge c({/*chip*/ 0,
            /*packet*/ 2,
            40,
            1,
            2,
            3,
            4,
            5,
            6,
            7,
            8,
            9,
            10,
            11,
            12,
            13,
            14,
            15,
            16,
            17,
            18,
            19,
            20,
            21,
            22,
            23,
            24,
            25,
            26,
            27,
            28,
            29,
            30,
            31,
            32,
            33,
            /*nak*/ 1,
            /*stall*/ 3,
            /*disconnect*/ 5,
            2,
            1,
            9});
  ASSERT_FALSE(c.Control(kSetConfiguration).stall);
  Bytes packet;
  ASSERT_EQ(Handshake::Ack, c.In(0x81, &packet));
  EXPECT_EQ(32u, packet.size()) << "a packet is cut to the endpoint's buffer";
  EXPECT_EQ(1, packet.front());
  // The 40 announced bytes are taken from the script only up to the buffer (32); the next choice
  // is the byte 33 (33 % 8 == 1: NAK).
  EXPECT_EQ(Handshake::Nak, c.In(0x82, &packet));
  c.clock.AdvanceBy(emu::kMillisecond);
  EXPECT_EQ(1, c.activity) << "a scripted NAK is followed by activity, so the host comes back";
  EXPECT_EQ(Handshake::Nak, c.In(0x82, &packet)) << "NAK";
  EXPECT_EQ(Handshake::Stall, c.In(0x81, &packet));
  EXPECT_EQ(Handshake::Nak, c.In(0x82, &packet)) << "disconnect: NAK, then gone";
  c.clock.AdvanceBy(0);
  EXPECT_EQ(1, c.disconnects) << "the disconnect runs from a device event";
  EXPECT_TRUE(c.bridge.Disconnected());
  const size_t consumed = c.bridge.Script().Consumed();
  EXPECT_EQ(Handshake::Nak, c.In(0x82, &packet)) << "a gone device's chip has nothing to say";
  EXPECT_EQ(consumed, c.bridge.Script().Consumed()) << "nothing more is scripted after a disconnect";
}

TEST(HostileBridgeTest, RecordingOfTheChipReplaysToTheSameAnswers) {
  Bytes recorded;
  std::vector<ControlReply> sound;
  {
    Bridge b({});
    b.bridge.RecordInto(&recorded);
    for (const SetupPacket& s : {kDeviceDescriptor, kSetConfiguration, kRevision})
      sound.push_back(b.Control(s));
    Bytes packet;
    EXPECT_EQ(Handshake::Nak, b.In(0x82, &packet));
  }
  ASSERT_FALSE(recorded.empty());
  Bridge replay(recorded);
  size_t i = 0;
  for (const SetupPacket& s : {kDeviceDescriptor, kSetConfiguration, kRevision}) {
    const ControlReply r = replay.Control(s);
    EXPECT_EQ(sound[i].stall, r.stall);
    EXPECT_EQ(sound[i].data, r.data) << "answer " << i;
    ++i;
  }
  Bytes packet;
  EXPECT_EQ(Handshake::Nak, replay.In(0x82, &packet));
  EXPECT_TRUE(replay.bridge.Script().Exhausted()) << "the recording holds exactly the run's answers";
}

}  // namespace
}  // namespace zm470_test
