// URB semantics of the emulated bus driver against a fake device: descriptors, configuration,
// control requests, bulk and interrupt transfers, short packets, abort, cancel, reset, unplug.
#include "nt/bugcheck_expect.h"
#include "usbhost/host_fixture.h"

namespace emu::usb::testing {
namespace {

TEST(UsbUrb, PlugNamesThePdoAfterVendorProductAndSerial) {
  HostFixture f;
  EXPECT_EQ(f.port->InstancePath(), "USB\\VID_1234&PID_5678\\FAKE0001");
  EXPECT_EQ(f.machine.io().InstancePath(f.pdo()), u"USB\\VID_1234&PID_5678\\FAKE0001");

  FakeDevice::Options noSerial;
  noSerial.serial.clear();
  FakeDevice second(noSerial);
  UsbPort& p2 = f.host.Plug(second);
  EXPECT_EQ(p2.PortNumber(), 2);
  EXPECT_NE(p2.InstancePath().find("USB\\VID_1234&PID_5678\\5&"), std::string::npos)
      << "a device without a serial number gets a port-based instance id, got " << p2.InstancePath();
}

TEST(UsbUrb, DescriptorRequestsPendAndReturnTheDeviceDescriptors) {
  HostFixture f;
  Request& dev = f.SubmitUrb(HostFixture::Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18));
  EXPECT_EQ(dev.returned, STATUS_PENDING) << "a request that touches the bus must pend";
  ASSERT_TRUE(f.RunUntilCompleted(dev));
  EXPECT_EQ(dev.status, STATUS_SUCCESS);
  EXPECT_EQ(dev.completionIrql, DISPATCH_LEVEL) << "URBs complete from the host controller's DPC";
  EXPECT_EQ(dev.urb()->UrbControlDescriptorRequest.TransferBufferLength, 18u);
  EXPECT_EQ(dev.buffer, f.device.DeviceDescriptor());

  // A configuration descriptor read with a 9-byte buffer returns only the header; a larger buffer
  // than the descriptor ends short without error.
  Request& head = f.SubmitUrb(HostFixture::Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9));
  Request& whole = f.SubmitUrb(HostFixture::Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 255));
  ASSERT_TRUE(f.RunUntilCompleted(whole));
  ASSERT_TRUE(head.completed);
  std::vector<uint8_t> config = f.device.ConfigurationDescriptor();
  EXPECT_EQ(head.urb()->UrbControlDescriptorRequest.TransferBufferLength, 9u);
  EXPECT_TRUE(std::equal(config.begin(), config.begin() + 9, head.buffer.begin()));
  EXPECT_EQ(whole.status, STATUS_SUCCESS);
  EXPECT_EQ(whole.urb()->UrbControlDescriptorRequest.TransferBufferLength, config.size());
  EXPECT_EQ(whole.urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);

  const UrbRecord& rec = f.port->Urbs().back();
  EXPECT_EQ(rec.setup.bmRequestType, 0x80);
  EXPECT_EQ(rec.setup.bRequest, USB_REQUEST_GET_DESCRIPTOR);
  EXPECT_EQ(rec.setup.wValue, 0x0200);
  EXPECT_EQ(rec.setup.wLength, 255);
}

TEST(UsbUrb, SelectConfigurationOpensPipesAndHonoursMaximumTransferSize) {
  HostFixture f;
  ASSERT_EQ(f.Configure(128), STATUS_SUCCESS);
  EXPECT_EQ(f.device.configuration, 1) << "SET_CONFIGURATION must reach the device";
  EXPECT_TRUE(f.port->Configured());
  ASSERT_EQ(f.pipes.size(), 3u);
  EXPECT_NE(f.configurationHandle, nullptr);
  const USBD_PIPE_INFORMATION& intr = f.pipes[0];
  EXPECT_EQ(intr.EndpointAddress, 0x81);
  EXPECT_EQ(intr.PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(intr.MaximumPacketSize, 8);
  EXPECT_EQ(intr.Interval, 4);
  EXPECT_EQ(f.pipes[1].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(f.pipes[1].MaximumPacketSize, 64);
  EXPECT_EQ(f.pipes[2].EndpointAddress, 0x02);
  for (const auto& p : f.pipes) EXPECT_NE(p.PipeHandle, nullptr);
  EXPECT_NE(f.pipes[1].PipeHandle, f.pipes[2].PipeHandle);

  Request& within = f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x02), 0, std::vector<uint8_t>(128, 1)));
  Request& beyond = f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x02), 0, std::vector<uint8_t>(129, 1)));
  EXPECT_EQ(beyond.returned, STATUS_INVALID_PARAMETER) << "a transfer above MaximumTransferSize must fail";
  EXPECT_EQ(beyond.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  ASSERT_TRUE(f.RunUntilCompleted(within));
  EXPECT_EQ(within.status, STATUS_SUCCESS);

  // Deconfiguring closes the pipes: their handles are no longer valid.
  auto deconfig = std::make_unique<Request>();
  deconfig->urb()->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  deconfig->urb()->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  Request& d = f.SubmitUrb(std::move(deconfig));
  ASSERT_TRUE(f.RunUntilCompleted(d));
  EXPECT_EQ(d.status, STATUS_SUCCESS);
  EXPECT_EQ(f.device.configuration, 0);
  Request& stale = f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x02), 0, {1}));
  EXPECT_EQ(stale.returned, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST(UsbUrb, VendorRequestsCarryTheirSetupPacketAndDataStage) {
  HostFixture f;
  f.device.vendor = [](const SetupPacket& s, std::span<const uint8_t>) -> ControlReply {
    if (s.bRequest == 0x95) return {false, {0x11, 0x22, 0x33}};  // answers more than asked
    if (s.bRequest == 0x5F) return {false, {0x30}};              // answers less than asked
    return {false, {}};
  };
  Request& out = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x9A, 0x1312, 0xF383, {}));
  Request& pair = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x95, 0x0706, 0, {0, 0}));
  Request& rev =
      f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x5F, 0, 0, std::vector<uint8_t>(7)));
  Request& iface = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_INTERFACE, 0, 0x01, 0, 0, {9, 8}));
  Request& endpoint = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_ENDPOINT, 1, 0x02, 0, 0x82, {0}));
  Request& other = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_OTHER, 0, 0x03, 0, 0, {}));
  ASSERT_TRUE(f.RunUntilCompleted(other));
  for (Request* r : {&out, &pair, &rev, &iface, &endpoint, &other}) {
    EXPECT_EQ(r->returned, STATUS_PENDING);
    EXPECT_EQ(r->status, STATUS_SUCCESS);
  }
  ASSERT_EQ(f.device.controls.size(), 8u) << "plug reads two descriptors, then the six requests";
  const auto& c = f.device.controls;
  EXPECT_EQ(c[2].setup.bmRequestType, 0x40);
  EXPECT_EQ(c[2].setup.wValue, 0x1312);
  EXPECT_EQ(c[2].setup.wIndex, 0xF383);
  EXPECT_EQ(c[3].setup.bmRequestType, 0xC0);
  EXPECT_EQ(c[3].setup.wLength, 2);
  EXPECT_EQ(c[5].setup.bmRequestType, 0x41);
  EXPECT_EQ(c[5].out, (std::vector<uint8_t>{9, 8})) << "OUT data stage must reach the device";
  EXPECT_EQ(c[6].setup.bmRequestType, 0xC2);
  EXPECT_EQ(c[7].setup.bmRequestType, 0x43);

  EXPECT_EQ(pair.urb()->UrbControlVendorClassRequest.TransferBufferLength, 2u)
      << "the host truncates an answer to wLength";
  EXPECT_EQ(pair.buffer, (std::vector<uint8_t>{0x11, 0x22}));
  EXPECT_EQ(rev.urb()->UrbControlVendorClassRequest.TransferBufferLength, 1u)
      << "a short answer is not an error";
  EXPECT_EQ(rev.buffer[0], 0x30);
}

TEST(UsbUrb, StatusAndFeatureRequestsBecomeStandardRequests) {
  HostFixture f;
  auto st = std::make_unique<Request>();
  st->buffer.assign(2, 0xFF);
  UsbBuildGetStatusRequest(st->urb(), URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, st->buffer.data(), NULL, NULL);
  Request& status = f.SubmitUrb(std::move(st));
  auto ft = std::make_unique<Request>();
  UsbBuildFeatureRequest(ft->urb(), URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0, NULL);
  Request& set = f.SubmitUrb(std::move(ft));
  auto cf = std::make_unique<Request>();
  UsbBuildFeatureRequest(cf->urb(), URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0, NULL);
  Request& clear = f.SubmitUrb(std::move(cf));
  ASSERT_TRUE(f.RunUntilCompleted(clear));
  EXPECT_EQ(status.status, STATUS_SUCCESS);
  EXPECT_EQ(status.buffer, (std::vector<uint8_t>{0x01, 0x00}));
  EXPECT_EQ(set.status, STATUS_SUCCESS);
  const auto& c = f.device.controls;
  ASSERT_GE(c.size(), 3u);
  auto n = c.size();
  EXPECT_EQ(c[n - 3].setup.bmRequestType, 0x80);
  EXPECT_EQ(c[n - 3].setup.bRequest, USB_REQUEST_GET_STATUS);
  EXPECT_EQ(c[n - 2].setup.bRequest, USB_REQUEST_SET_FEATURE);
  EXPECT_EQ(c[n - 2].setup.wValue, USB_FEATURE_REMOTE_WAKEUP);
  EXPECT_EQ(c[n - 1].setup.bRequest, USB_REQUEST_CLEAR_FEATURE);
}

TEST(UsbUrb, ControlStallFailsTheRequestWithStallPid) {
  HostFixture f;  // no vendor handler: the fake device stalls every vendor request
  Request& r = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x42, 0, 0, {}));
  ASSERT_TRUE(f.RunUntilCompleted(r));
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST(UsbUrb, MalformedUrbsFailAtOnceWithInvalidParameter) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  Request& badPipe = f.SubmitUrb(HostFixture::Bulk(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 0, {1}));
  EXPECT_EQ(badPipe.returned, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(badPipe.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_TRUE(badPipe.completed) << "a request refused at submission completes inside IoCallDriver";

  auto shortHeader = HostFixture::Bulk(f.PipeOf(0x02), 0, {1});
  shortHeader->urb()->UrbHeader.Length = 72;  // the 32-bit size: too small for this layout
  Request& tooShort = f.SubmitUrb(std::move(shortHeader));
  EXPECT_EQ(tooShort.returned, STATUS_INVALID_PARAMETER);

  Request& wrongDirection = f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x82), 0, std::vector<uint8_t>(64)));
  EXPECT_EQ(wrongDirection.returned, STATUS_INVALID_PARAMETER)
      << "an OUT transfer on an IN pipe is a driver bug";

  Request& bigControl =
      f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0, 0, std::vector<uint8_t>(4097)));
  EXPECT_EQ(bigControl.returned, STATUS_INVALID_PARAMETER) << "control data stages are limited to 4096 bytes";

  auto unknown = std::make_unique<Request>();
  unknown->urb()->UrbHeader.Length = sizeof(struct _URB_HEADER);
  unknown->urb()->UrbHeader.Function = 0x7777;
  Request& u = f.SubmitUrb(std::move(unknown));
  EXPECT_EQ(u.returned, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(u.urb()->UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
}

TEST(UsbUrb, BulkInPendsUntilTheDeviceHasDataThenCompletesFromTheDpc) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  Request& r = f.SubmitUrb(HostFixture::Bulk(
      f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, std::vector<uint8_t>(64, 0)));
  EXPECT_EQ(r.returned, STATUS_PENDING);
  f.kernel().RunFor(50 * kMillisecond);
  EXPECT_FALSE(r.completed) << "no data: the transfer must stay pending";
  uint32_t tokens = f.device.inTokens[0x82];
  EXPECT_EQ(tokens, 1u) << "a NAK'ing endpoint is not polled again until the device reports activity";

  VirtualTime queuedAt = f.kernel().Now();
  f.kernel().ScheduleDeviceEvent(queuedAt, [&] { f.device.QueueIn(0x82, {1, 2, 3, 4, 5}); });
  ASSERT_TRUE(f.RunUntilCompleted(r));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.completionIrql, DISPATCH_LEVEL);
  EXPECT_EQ(r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
  EXPECT_TRUE(
      std::equal(r.buffer.begin(), r.buffer.begin() + 5, std::vector<uint8_t>{1, 2, 3, 4, 5}.begin()));
  // Resumed at the next frame boundary, completed at the end of that frame.
  VirtualTime resume = (UsbHost::FrameAt(queuedAt) + 1) * kFrame;
  EXPECT_EQ(r.completedAt, resume + kFrame);
}

TEST(UsbUrb, ShortPacketEndsAnInTransferAndIsAnErrorWithoutShortTransferOk) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  f.device.QueueIn(0x82, std::vector<uint8_t>(64, 7));
  f.device.QueueIn(0x82, {8, 9});
  Request& ok = f.SubmitUrb(HostFixture::Bulk(
      f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, std::vector<uint8_t>(256, 0)));
  ASSERT_TRUE(f.RunUntilCompleted(ok));
  EXPECT_EQ(ok.status, STATUS_SUCCESS);
  EXPECT_EQ(ok.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 66u)
      << "the short packet ends the transfer";

  f.device.QueueIn(0x82, {1});
  Request& strict =
      f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN, std::vector<uint8_t>(64)));
  ASSERT_TRUE(f.RunUntilCompleted(strict));
  EXPECT_EQ(strict.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(strict.urb()->UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);
  EXPECT_EQ(strict.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);

  // The endpoint is halted: the next transfer waits until the pipe is reset.
  f.device.QueueIn(0x82, {2});
  Request& next = f.SubmitUrb(HostFixture::Bulk(
      f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, std::vector<uint8_t>(64)));
  f.kernel().RunFor(20 * kMillisecond);
  EXPECT_FALSE(next.completed) << "a halted endpoint must not be serviced";
  Request& reset =
      f.SubmitUrb(HostFixture::Pipe(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, f.PipeOf(0x82)));
  ASSERT_TRUE(f.RunUntilCompleted(next));
  EXPECT_TRUE(reset.completed);
  EXPECT_EQ(reset.status, STATUS_SUCCESS);
  EXPECT_EQ(next.status, STATUS_SUCCESS);
}

TEST(UsbUrb, StalledEndpointFailsAndResetPipeClearsTheStall) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  f.port->StallEndpoint(0x02);
  Request& stalled = f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x02), 0, {1, 2, 3}));
  ASSERT_TRUE(f.RunUntilCompleted(stalled));
  EXPECT_EQ(stalled.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(stalled.urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);

  Request& reset =
      f.SubmitUrb(HostFixture::Pipe(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, f.PipeOf(0x02)));
  EXPECT_EQ(reset.returned, STATUS_PENDING);
  ASSERT_TRUE(f.RunUntilCompleted(reset));
  EXPECT_EQ(reset.status, STATUS_SUCCESS);
  const auto& clear = f.device.controls.back().setup;
  EXPECT_EQ(clear.bmRequestType, 0x02);
  EXPECT_EQ(clear.bRequest, USB_REQUEST_CLEAR_FEATURE);
  EXPECT_EQ(clear.wValue, USB_FEATURE_ENDPOINT_STALL);
  EXPECT_EQ(clear.wIndex, 0x02);

  Request& after = f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x02), 0, {4, 5}));
  ASSERT_TRUE(f.RunUntilCompleted(after));
  EXPECT_EQ(after.status, STATUS_SUCCESS);
  EXPECT_EQ(f.device.outData[0x02], (std::vector<uint8_t>{4, 5}));
}

TEST(UsbUrb, AbortPipeCancelsThePipesPendingTransfersBeforeItCompletes) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  std::vector<Request*> reads;
  for (int i = 0; i < 3; ++i) {
    reads.push_back(&f.SubmitUrb(HostFixture::Bulk(
        f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, std::vector<uint8_t>(32))));
  }
  Request& other = f.SubmitUrb(HostFixture::Bulk(
      f.PipeOf(0x81), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, std::vector<uint8_t>(8)));
  f.kernel().RunFor(5 * kMillisecond);
  Request& abort = f.SubmitUrb(HostFixture::Pipe(URB_FUNCTION_ABORT_PIPE, f.PipeOf(0x82)));
  EXPECT_EQ(abort.returned, STATUS_PENDING);
  ASSERT_TRUE(f.RunUntilCompleted(abort));
  EXPECT_EQ(abort.status, STATUS_SUCCESS);
  for (Request* r : reads) {
    ASSERT_TRUE(r->completed) << "aborted transfers complete before the abort request";
    EXPECT_LE(r->completedAt, abort.completedAt);
    EXPECT_EQ(r->status, STATUS_CANCELLED);
    EXPECT_EQ(r->urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
  }
  EXPECT_FALSE(other.completed) << "abort of one pipe leaves the other pipes alone";
}

TEST(UsbUrb, CancellingTheIrpCancelsTheTransfer) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    KernelConfig config;
    config.processors = model;
    config.seed = seed;
    HostFixture f({}, config);
    ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
    Request& r =
        f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN, std::vector<uint8_t>(64)));
    ASSERT_EQ(r.returned, STATUS_PENDING);
    f.kernel().RunFor(3 * kMillisecond);
    BOOLEAN cancelled = FALSE;
    f.machine.RunInSystemThread("cancel", [&] { cancelled = IoCancelIrp(r.irp); });
    EXPECT_TRUE(cancelled) << "the pending transfer must have a cancel routine";
    ASSERT_TRUE(f.RunUntilCompleted(r));
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_EQ(r.urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(f.port->PendingTransfers(), 0u);
    // The pipe keeps working afterwards.
    f.device.QueueIn(0x82, std::vector<uint8_t>(64, 3));
    Request& next =
        f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN, std::vector<uint8_t>(64)));
    ASSERT_TRUE(f.RunUntilCompleted(next));
    EXPECT_EQ(next.status, STATUS_SUCCESS);
  });
}

TEST(UsbUrb, UnplugFailsPendingAndNewTransfersAndThePortReportsTheDeviceGone) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  Request& before = f.PortStatus();
  EXPECT_EQ(before.status, STATUS_SUCCESS);
  EXPECT_EQ(before.portStatus, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

  Request& pending =
      f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN, std::vector<uint8_t>(64)));
  Request& control = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0, 0, {}));
  f.port->Unplug();
  ASSERT_TRUE(f.RunUntilCompleted(pending));
  ASSERT_TRUE(f.RunUntilCompleted(control));
  for (Request* r : {&pending, &control}) {
    EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r->urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  }
  Request& after = f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x02), 0, {1}));
  EXPECT_EQ(after.returned, STATUS_DEVICE_NOT_CONNECTED) << "new transfers fail at once";
  EXPECT_TRUE(after.completed);

  Request& gone = f.PortStatus();
  EXPECT_EQ(gone.status, STATUS_SUCCESS);
  EXPECT_EQ(gone.portStatus & USBD_PORT_CONNECTED, 0u);
  f.port->FailPortStatusWhenUnplugged(STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(f.PortStatus().status, STATUS_NO_SUCH_DEVICE);
}

TEST(UsbUrb, PlugAndPlayAndPowerRequestsToThePdoAreAnsweredAsABusDriver) {
  HostFixture f;
  EXPECT_EQ(f.machine.SendPnp(f.pdo(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  EXPECT_EQ(
      f.machine.SendPnp(f.pdo(), IRP_MN_QUERY_CAPABILITIES,
                        [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; }),
      STATUS_SUCCESS);
  EXPECT_TRUE(caps.Removable);
  EXPECT_TRUE(caps.UniqueID) << "the device has a serial number";
  EXPECT_EQ(caps.Address, 1u);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
  EXPECT_EQ(f.machine.SendPnp(f.pdo(), IRP_MN_QUERY_RESOURCES), STATUS_NOT_SUPPORTED)
      << "a request the bus driver does not handle keeps its status";
  EXPECT_EQ(f.machine.SendPower(f.pdo(), IRP_MN_SET_POWER), STATUS_SUCCESS);
  EXPECT_EQ(f.machine.SendPnp(f.pdo(), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(f.machine.SendPnp(f.pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
}

TEST(UsbUrb, ResetPortResetsTheDeviceRestoresItsConfigurationAndRequiresPassiveLevel) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  uint32_t resets = f.device.resets;
  Request& pending =
      f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN, std::vector<uint8_t>(64)));
  Request& reset = f.Send(std::make_unique<Request>(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
  EXPECT_EQ(reset.returned, STATUS_PENDING);
  ASSERT_TRUE(f.RunUntilCompleted(reset));
  EXPECT_EQ(reset.status, STATUS_SUCCESS);
  EXPECT_EQ(reset.completedAt - reset.submittedAt,
            (kPortResetFrames + 1) * kFrame - reset.submittedAt % kFrame);
  EXPECT_EQ(f.device.resets, resets + 1);
  EXPECT_EQ(f.device.configuration, 1) << "the hub selects the old configuration again after the reset";
  EXPECT_EQ(pending.status, STATUS_CANCELLED) << "transfers pending across a port reset are cancelled";
  EXPECT_EQ(f.port->PortResets(), 1u);
  // The pipe handles stay valid.
  Request& write = f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x02), 0, {1}));
  ASSERT_TRUE(f.RunUntilCompleted(write));
  EXPECT_EQ(write.status, STATUS_SUCCESS);

  Request atDispatch;
  EXPECT_BUGCHECK(bugcheck::kIrqlNotLessOrEqual, f.machine.RunInSystemThread("dispatch-level reset", [&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    f.Issue(&atDispatch, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
  }));
}

}  // namespace
}  // namespace emu::usb::testing
