// Full-speed timing of the emulated host in virtual time: frames, bulk bandwidth, interrupt
// polling, control transfers; and the bridge chip's bulk pipes paced by the frames and its line.
#include <numeric>

#include "line/far_ends.h"
#include "usbhost/host_fixture.h"
#include "zm470/zm470.h"

namespace emu::usb::testing {
namespace {

// The frame after the one `t` falls in: where work submitted at `t` starts.
VirtualTime StartFrame(VirtualTime t) { return static_cast<VirtualTime>(UsbHost::FrameAt(t) + 1); }

TEST(UsbTiming, BulkTransferTakesTheFramesItsPacketsNeed) {
  struct {
    uint16_t maxPacket;
    uint32_t perFrame;  // 1500 bytes of frame, 13 bytes of overhead a transaction
  } const cases[] = {{64, 19}, {32, 33}};
  for (const auto& c : cases) {
    SCOPED_TRACE("wMaxPacketSize " + std::to_string(c.maxPacket));
    HostFixture f(FakeDeviceOptions{.endpoints = {{0x02, 2, c.maxPacket, 0}}});
    ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
    Request& r = f.Finish(f.Out(0x02, std::vector<uint8_t>(4096, 0x42)));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    const uint32_t packets = 4096 / c.maxPacket;
    EXPECT_EQ(BoundaryBefore(r.completedAt), (StartFrame(r.submittedAt) + (packets + c.perFrame - 1) / c.perFrame) * kFrame)
        << packets << " packets at " << c.perFrame << " per frame";
    EXPECT_EQ(f.device.outPackets[0x02], packets);
    EXPECT_EQ(f.device.outData[0x02], std::vector<uint8_t>(4096, 0x42));
  }
}

TEST(UsbTiming, BulkEndpointsShareTheFrame) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  for (int i = 0; i < 19; ++i) f.device.QueueIn(0x82, std::vector<uint8_t>(64, static_cast<uint8_t>(i)));
  std::vector<std::unique_ptr<Request>> both;
  both.push_back(HostFixture::Bulk(f.PipeOf(0x02), 0, std::vector<uint8_t>(19 * 64, 1)));
  both.push_back(
      HostFixture::Bulk(f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN, std::vector<uint8_t>(19 * 64)));
  std::vector<Request*> rs = f.SendAll(std::move(both), IOCTL_INTERNAL_USB_SUBMIT_URB);
  // 38 packets of 64 bytes need two frames; round robin keeps both pipes moving in both frames.
  for (Request* r : rs) {
    EXPECT_EQ(f.Finish(*r).status, STATUS_SUCCESS);
    EXPECT_EQ(BoundaryBefore(r->completedAt), (StartFrame(r->submittedAt) + 2) * kFrame);
  }
  EXPECT_EQ(rs[1]->buffer[64 * 18], 18) << "IN packets arrive in order";
}

TEST(UsbTiming, InterruptEndpointIsPolledOnceEveryBIntervalFramesWhileItHasData) {
  HostFixture f(FakeDeviceOptions{.endpoints = {{0x81, 3, 8, 4}}});
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  for (int i = 0; i < 20; ++i) f.device.QueueIn(0x81, std::vector<uint8_t>(8, static_cast<uint8_t>(i)));
  Request& r = f.Finish(f.In(0x81, 64, USBD_TRANSFER_DIRECTION_IN));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(f.device.inTokens[0x81], 8u) << "one packet per poll";
  const uint64_t first = (UsbHost::FrameAt(r.submittedAt) + 1 + 3) / 4 * 4;  // first poll frame
  EXPECT_EQ(BoundaryBefore(r.completedAt), static_cast<VirtualTime>(first + 7 * 4 + 1) * kFrame)
      << "eight polls, four frames apart, then the end of the last poll's frame";

  // An endpoint with nothing to say is polled once and then left alone until the device speaks.
  f.device.inData[0x81].clear();
  Request& idle = f.In(0x81, 8);
  f.kernel().RunFor(100 * kMillisecond);
  EXPECT_EQ(f.device.inTokens[0x81], 9u) << "no polling while the endpoint NAKs and the device is quiet";
  f.kernel().ScheduleDeviceEvent(f.kernel().Now() + 1, [&] {
    f.device.QueueIn(0x81, {1, 2, 3, 4, 5, 6, 7, 8});
  });
  f.Finish(idle);
  EXPECT_EQ(UsbHost::FrameAt(BoundaryBefore(idle.completedAt) - 1) % 4, 0u) << "resumed on a polling frame";
}

TEST(UsbTiming, ControlTransfersTakeAtLeastAFrameEachAndLongOnesMore) {
  HostFixture f;
  f.device.vendor = [](const SetupPacket& s, std::span<const uint8_t>) -> ControlReply {
    return {false, std::vector<uint8_t>(s.wLength, 0x33)};
  };
  std::vector<std::unique_ptr<Request>> batch;
  batch.push_back(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x9A, 0, 0, {}));
  batch.push_back(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x9A, 0, 0, {}));
  batch.push_back(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x42, 0, 0, std::vector<uint8_t>(4096)));
  std::vector<Request*> rs = f.SendAll(std::move(batch), IOCTL_INTERNAL_USB_SUBMIT_URB);
  f.Finish(*rs[2]);
  const VirtualTime start = StartFrame(rs[0]->submittedAt);
  EXPECT_EQ(BoundaryBefore(rs[0]->completedAt), (start + 1) * kFrame);
  EXPECT_EQ(BoundaryBefore(rs[1]->completedAt), (start + 2) * kFrame) << "the default pipe carries one transfer at a time";
  // 4096 bytes in 8-byte packets: setup, 512 data transactions of 21 bytes and status take 8 frames.
  EXPECT_EQ(BoundaryBefore(rs[2]->completedAt), (start + 2 + 8) * kFrame);
  EXPECT_EQ(rs[2]->length(), 4096u);
}

// The chip on the host, its line at `clock` / (256 - `divisor`) with a scripted peer at the same
// rate and format on the far end.
struct ChipOnHost : DeviceHostFixture<zm470::Zm470, zm470::Config> {
  ChipOnHost(uint8_t prescaler, uint8_t divisor) {
    EXPECT_EQ(Configure(), STATUS_SUCCESS);
    device.PokeRegister(zm470::reg::kPrescaler, prescaler);
    device.PokeRegister(zm470::reg::kDivisor, divisor);
    peer.SetFrame(device.LineFrame());
    device.AttachLine(&peer);
  }
  ~ChipOnHost() { device.AttachLine(nullptr); }
  line::ScriptedPeer peer{line::Clock::Kernel()};
};

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> bytes(n);
  std::iota(bytes.begin(), bytes.end(), uint8_t{1});
  return bytes;
}

TEST(UsbTiming, ChipBulkInDeliversItsReceiveFifoInPacketsOfAtMost32BytesAndAShortPacketEndsTheTransfer) {
  ChipOnHost f(0x87, 0xF3);  // 921600 baud
  const std::vector<uint8_t> sent = Counting(70);
  f.peer.Send(sent);
  ASSERT_TRUE(
      f.kernel().RunUntil([&] { return f.device.RxFifoCount() == sent.size(); }, f.kernel().Now() + kSecond));

  uint64_t tokens = f.host.Transactions();
  Request& full = f.Finish(f.In(0x82, 64));
  EXPECT_TRUE(Ended(full, STATUS_SUCCESS, USBD_STATUS_SUCCESS));
  ASSERT_EQ(full.length(), 64u);
  EXPECT_EQ(f.host.Transactions() - tokens, 2u) << "64 bytes must come as two 32-byte packets";
  EXPECT_TRUE(std::equal(full.buffer.begin(), full.buffer.end(), sent.begin()));
  EXPECT_EQ(f.device.RxFifoCount(), 6u);

  tokens = f.host.Transactions();
  Request& rest = f.Finish(f.In(0x82, 64));
  EXPECT_TRUE(Ended(rest, STATUS_SUCCESS, USBD_STATUS_SUCCESS));
  ASSERT_EQ(rest.length(), 6u) << "the transfer must take what the FIFO holds";
  EXPECT_EQ(f.host.Transactions() - tokens, 1u);
  EXPECT_EQ(BoundaryBefore(rest.completedAt), (StartFrame(rest.submittedAt) + 1) * kFrame)
      << "the short packet ends the transfer in its first frame";
  EXPECT_TRUE(std::equal(rest.buffer.begin(), rest.buffer.begin() + 6, sent.begin() + 64));

  // With the FIFO empty the transfer pends; a byte from the line ends it at the next frame's end.
  Request& waiting = f.In(0x82, 32);
  f.kernel().RunFor(5 * kFrame);
  EXPECT_FALSE(waiting.completed) << "an empty FIFO must NAK, not end the transfer";
  f.peer.Send(std::vector<uint8_t>{0xA5});
  f.Finish(waiting);
  ASSERT_EQ(waiting.length(), 1u);
  EXPECT_EQ(waiting.buffer[0], 0xA5);
  EXPECT_EQ(f.device.PendingLineStatus() & zm470::line_status::kOverrun, 0);
}

TEST(UsbTiming, ChipBulkOutFillsTheTransmitFifoAndPendsWhileItIsFullPacedByTheLine) {
  ChipOnHost f(0x83, 0xCC);  // 6 MHz / 52: 115384.6 baud, 11538 bytes a second at 8N1
  const size_t depth = f.device.GetConfig().txFifoDepth;
  const std::vector<uint8_t> data = Counting(4096);
  Request& r = f.Finish(f.Out(0x02, data), kSecond);
  EXPECT_TRUE(Ended(r, STATUS_SUCCESS, USBD_STATUS_SUCCESS));
  EXPECT_EQ(r.length(), data.size());
  // The last packet went in once the FIFO had room for it, so everything but at most the FIFO's
  // depth (and the character on the wire) had reached the far end; the transfer ended within
  // two frames of that room appearing.
  const size_t atCompletion = f.peer.ReceivedCharacters().size();
  const double perFrame = f.device.LineFrame().baud / 10 / 1000;
  EXPECT_GE(atCompletion, data.size() - depth - 1) << "the FIFO took more than its depth";
  EXPECT_LE(atCompletion, data.size() - depth + static_cast<size_t>(2 * perFrame) + 1)
      << "the transfer ended later than the frame after the last packet fitted";
  ASSERT_TRUE(f.kernel().RunUntil([&] { return f.peer.ReceivedCharacters().size() == data.size(); },
                                  f.kernel().Now() + kSecond));
  EXPECT_EQ(f.peer.ReceivedBytes(), data);
}

TEST(UsbTiming, ChipBulkOutOnAFastLineTakesAFifoFullAFrame) {
  // 921600 baud sends 64 characters in 0.69 ms: the FIFO is empty at every frame start, and the
  // host, which retries a NAK'ed endpoint only in the next frame, puts in one FIFO-full a frame.
  ChipOnHost f(0x87, 0xF3);
  const size_t depth = f.device.GetConfig().txFifoDepth;
  const std::vector<uint8_t> data = Counting(4096);
  Request& r = f.Finish(f.Out(0x02, data), kSecond);
  EXPECT_TRUE(Ended(r, STATUS_SUCCESS, USBD_STATUS_SUCCESS));
  EXPECT_EQ(BoundaryBefore(r.completedAt), (StartFrame(r.submittedAt) + data.size() / depth) * kFrame);
  ASSERT_TRUE(f.kernel().RunUntil([&] { return f.peer.ReceivedCharacters().size() == data.size(); },
                                  f.kernel().Now() + kSecond));
  EXPECT_EQ(f.peer.ReceivedBytes(), data);
}

}  // namespace
}  // namespace emu::usb::testing
