// Full-speed timing of the emulated host in virtual time: frames, bulk bandwidth, interrupt
// polling, control transfers.
#include "usbhost/host_fixture.h"

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

}  // namespace
}  // namespace emu::usb::testing
