// Full-speed timing of the emulated host in virtual time: frames, bulk bandwidth, interrupt
// polling, control transfers.
#include "usbhost/host_fixture.h"

namespace emu::usb::testing {
namespace {

// The frame after the one `t` falls in: where work submitted at `t` starts.
VirtualTime StartFrame(VirtualTime t) { return static_cast<VirtualTime>(UsbHost::FrameAt(t) + 1); }

TEST(UsbTiming, BulkTransferTakesTheFramesItsPacketsNeed) {
  for (uint16_t mps : {uint16_t{64}, uint16_t{32}}) {
    SCOPED_TRACE("wMaxPacketSize " + std::to_string(mps));
    FakeDevice::Options o;
    o.endpoints = {{0x82, 2, mps, 0}, {0x02, 2, mps, 0}};
    HostFixture f(o);
    ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
    const uint32_t perFrame = BulkPacketsPerFrame(mps);
    EXPECT_EQ(perFrame, mps == 64 ? 19u : 33u);
    const uint32_t packets = 4096 / mps;
    Request& r = f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x02), 0, std::vector<uint8_t>(4096, 0x42)));
    ASSERT_TRUE(f.RunUntilCompleted(r));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    const VirtualTime frames = (packets + perFrame - 1) / perFrame;
    EXPECT_EQ(r.completedAt, (StartFrame(r.submittedAt) + frames) * kFrame)
        << packets << " packets at " << perFrame << " per frame";
    EXPECT_EQ(f.device.outPackets[0x02], packets);
    EXPECT_EQ(f.device.outData[0x02], std::vector<uint8_t>(4096, 0x42));
  }
}

TEST(UsbTiming, BulkEndpointsShareTheFrame) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  for (int i = 0; i < 19; ++i) f.device.QueueIn(0x82, std::vector<uint8_t>(64, static_cast<uint8_t>(i)));
  std::unique_ptr<Request> out = HostFixture::Bulk(f.PipeOf(0x02), 0, std::vector<uint8_t>(19 * 64, 1));
  std::unique_ptr<Request> in =
      HostFixture::Bulk(f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN, std::vector<uint8_t>(19 * 64));
  Request* o = out.get();
  Request* i = in.get();
  f.requests.push_back(std::move(out));
  f.requests.push_back(std::move(in));
  f.machine.RunInSystemThread("both", [&] {
    f.Issue(o, IOCTL_INTERNAL_USB_SUBMIT_URB, o->urb());
    f.Issue(i, IOCTL_INTERNAL_USB_SUBMIT_URB, i->urb());
  });
  ASSERT_TRUE(f.RunUntilCompleted(*o));
  ASSERT_TRUE(f.RunUntilCompleted(*i));
  ASSERT_EQ(o->submittedAt, i->submittedAt);
  // 38 packets of 64 bytes need two frames; round robin keeps both pipes moving in both frames.
  EXPECT_EQ(o->completedAt, (StartFrame(o->submittedAt) + 2) * kFrame);
  EXPECT_EQ(i->completedAt, (StartFrame(i->submittedAt) + 2) * kFrame);
  EXPECT_EQ(i->status, STATUS_SUCCESS);
  EXPECT_EQ(i->buffer[64 * 18], 18) << "IN packets arrive in order";
}

TEST(UsbTiming, InterruptEndpointIsPolledOnceEveryBIntervalFrames) {
  FakeDevice::Options o;
  o.endpoints = {{0x81, 3, 8, 4}};
  HostFixture f(o);
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  for (int i = 0; i < 20; ++i) f.device.QueueIn(0x81, std::vector<uint8_t>(8, static_cast<uint8_t>(i)));
  Request& r =
      f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x81), USBD_TRANSFER_DIRECTION_IN, std::vector<uint8_t>(64)));
  ASSERT_TRUE(f.RunUntilCompleted(r));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(f.device.inTokens[0x81], 8u) << "one packet per poll";
  uint64_t first = (UsbHost::FrameAt(r.submittedAt) + 1 + 3) / 4 * 4;  // first poll frame
  EXPECT_EQ(r.completedAt, static_cast<VirtualTime>(first + 7 * 4 + 1) * kFrame)
      << "eight polls, four frames apart, then the end of the last poll's frame";

  // An endpoint with nothing to say is polled once and then left alone until the device speaks.
  Request& idle =
      f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x81), USBD_TRANSFER_DIRECTION_IN, std::vector<uint8_t>(8)));
  f.device.inData[0x81].clear();
  f.kernel().RunFor(100 * kMillisecond);
  uint32_t tokens = f.device.inTokens[0x81];
  EXPECT_LE(tokens, 8u + 2u);
  f.kernel().RunFor(100 * kMillisecond);
  EXPECT_EQ(f.device.inTokens[0x81], tokens) << "no polling while the endpoint NAKs and the device is quiet";
  f.kernel().ScheduleDeviceEvent(f.kernel().Now() + 1, [&] {
    f.device.QueueIn(0x81, {1, 2, 3, 4, 5, 6, 7, 8});
  });
  ASSERT_TRUE(f.RunUntilCompleted(idle));
  EXPECT_EQ(UsbHost::FrameAt(idle.completedAt - 1) % 4, 0u) << "resumed on a polling frame";
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
  std::vector<Request*> rs;
  for (auto& r : batch) {
    rs.push_back(r.get());
    f.requests.push_back(std::move(r));
  }
  f.machine.RunInSystemThread("batch", [&] {
    for (Request* r : rs) f.Issue(r, IOCTL_INTERNAL_USB_SUBMIT_URB, r->urb());
  });
  ASSERT_TRUE(f.RunUntilCompleted(*rs[2]));
  const VirtualTime start = StartFrame(rs[0]->submittedAt);
  EXPECT_EQ(rs[0]->completedAt, (start + 1) * kFrame);
  EXPECT_EQ(rs[1]->completedAt, (start + 2) * kFrame) << "the default pipe carries one transfer at a time";
  // 4096 bytes in 8-byte packets: 512 data transactions plus setup and status.
  const VirtualTime longFrames =
      (TransactionCost(8) + TransactionCost(0) + 512 * TransactionCost(8) + kFrameBytes - 1) / kFrameBytes;
  EXPECT_EQ(rs[2]->completedAt, (start + 2 + longFrames) * kFrame);
  EXPECT_EQ(rs[2]->urb()->UrbControlVendorClassRequest.TransferBufferLength, 4096u);
}

}  // namespace
}  // namespace emu::usb::testing
