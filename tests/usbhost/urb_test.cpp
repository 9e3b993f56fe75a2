// URB semantics of the emulated bus driver against a fake device: descriptors, configuration,
// control requests, bulk and interrupt transfers, short packets, abort, cancel, reset, unplug.
#include <tuple>

#include "nt/bugcheck_expect.h"
#include "usbhost/host_fixture.h"

namespace emu::usb::testing {
namespace {

TEST(UsbUrb, SelectConfigurationOpensPipesHonoursMaximumTransferSizeAndDeconfigures) {
  HostFixture f;
  ASSERT_EQ(f.Configure(128), STATUS_SUCCESS);
  EXPECT_EQ(f.device.configuration, 1) << "SET_CONFIGURATION must reach the device";
  EXPECT_TRUE(f.port->Configured());
  EXPECT_NE(f.configurationHandle, nullptr);
  const std::vector<FakeEndpoint> endpoints = FakeDeviceOptions().endpoints;
  ASSERT_EQ(f.pipes.size(), endpoints.size());
  for (size_t i = 0; i < endpoints.size(); ++i) {
    const USBD_PIPE_INFORMATION& p = f.pipes[i];
    const FakeEndpoint& e = endpoints[i];  // bmAttributes 2 and 3 are UsbdPipeTypeBulk and Interrupt
    EXPECT_EQ(std::tuple(p.EndpointAddress, p.PipeType, p.MaximumPacketSize, p.MaximumTransferSize),
              std::tuple(e.address, USBD_PIPE_TYPE(e.attributes), e.maxPacket, 128u))
        << "pipe " << i;
    EXPECT_NE(p.PipeHandle, i == 0 ? nullptr : f.pipes[i - 1].PipeHandle) << "pipe " << i;
  }
  EXPECT_EQ(f.pipes[0].Interval, 4) << "the interrupt pipe's bInterval";

  Request& within = f.Out(0x02, std::vector<uint8_t>(128, 1));
  Request& beyond = f.Out(0x02, std::vector<uint8_t>(129, 1));
  EXPECT_TRUE(Ended(beyond, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER))
      << "a transfer above MaximumTransferSize must fail";
  EXPECT_TRUE(Ended(f.Finish(within), STATUS_SUCCESS, USBD_STATUS_SUCCESS));

  // Deconfiguring closes the pipes: their handles are no longer valid.
  auto deconfig = std::make_unique<Request>();
  deconfig->urb()->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  deconfig->urb()->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  EXPECT_EQ(f.Finish(f.SubmitUrb(std::move(deconfig))).status, STATUS_SUCCESS);
  EXPECT_EQ(f.device.configuration, 0);
  EXPECT_TRUE(Ended(f.Out(0x02, {1}), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE));
}

TEST(UsbUrb, ControlUrbsBecomeSetupPacketsWithDataStagesCutToTheBufferAndCompleteFromTheDpc) {
  HostFixture f;
  f.device.vendor = [](const SetupPacket& s, std::span<const uint8_t>) -> ControlReply {
    if (s.bRequest == 0x95) return {false, {0x11, 0x22, 0x33}};  // answers more than asked
    if (s.bRequest == 0x5F) return {false, {0x30}};              // answers less than asked
    return {s.bRequest == 0x42, {}};                             // 0x42 stalls
  };
  std::vector<std::unique_ptr<Request>> batch;
  batch.push_back(HostFixture::Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18));
  batch.push_back(HostFixture::Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9));
  batch.push_back(HostFixture::Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 255));
  batch.push_back(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x9A, 0x1312, 0xF383, {}));
  batch.push_back(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x95, 0x0706, 0, {0, 0}));
  batch.push_back(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x5F, 0, 0, std::vector<uint8_t>(7)));
  batch.push_back(HostFixture::Vendor(URB_FUNCTION_VENDOR_INTERFACE, 0, 0x01, 0, 0, {9, 8}));
  batch.push_back(HostFixture::Vendor(URB_FUNCTION_VENDOR_ENDPOINT, 1, 0x02, 0, 0x82, {0}));
  batch.push_back(HostFixture::Vendor(URB_FUNCTION_VENDOR_OTHER, 0, 0x03, 0, 0, {}));
  batch.push_back(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x42, 0, 0, {}));
  batch.push_back(std::make_unique<Request>());
  batch.back()->buffer.assign(2, 0xFF);
  UsbBuildGetStatusRequest(batch.back()->urb(), URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0,
                           batch.back()->buffer.data(), NULL, NULL);
  for (USHORT function : {URB_FUNCTION_SET_FEATURE_TO_DEVICE, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE}) {
    batch.push_back(std::make_unique<Request>());
    UsbBuildFeatureRequest(batch.back()->urb(), function, USB_FEATURE_REMOTE_WAKEUP, 0, NULL);
  }
  batch.push_back(HostFixture::Descriptor(USB_STRING_DESCRIPTOR_TYPE, 255, 3));
  const char* setups[] = {"80 06 0100 0000 0012", "80 06 0200 0000 0009", "80 06 0200 0000 00ff",
                          "40 9a 1312 f383 0000", "c0 95 0706 0000 0002", "c0 5f 0000 0000 0007",
                          "41 01 0000 0000 0002", "c2 02 0000 0082 0001", "43 03 0000 0000 0000",
                          "40 42 0000 0000 0000", "80 00 0000 0000 0002", "00 03 0001 0000 0000",
                          "00 01 0001 0000 0000", "80 06 0303 0000 00ff"};
  std::vector<Request*> rs = f.SendAll(std::move(batch), IOCTL_INTERNAL_USB_SUBMIT_URB);
  f.Finish(*rs.back());
  const auto& c = f.device.controls;
  ASSERT_EQ(c.size(), 2 + rs.size()) << "plug reads two descriptors, then one transfer per URB";
  for (size_t i = 0; i < rs.size(); ++i) {
    EXPECT_EQ(Hex(c[2 + i].setup), setups[i]) << "URB " << i;
    EXPECT_EQ(rs[i]->returned, STATUS_PENDING) << "URB " << i << ": a request that touches the bus pends";
    EXPECT_EQ(rs[i]->completionIrql, DISPATCH_LEVEL) << "URB " << i << ": completed from the DPC";
    const bool stall = i == 9;
    EXPECT_TRUE(Ended(*rs[i], stall ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS,
                      stall ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS))
        << "URB " << i;
  }
  const std::vector<uint8_t> config = f.device.ConfigurationDescriptor();
  EXPECT_EQ(rs[0]->buffer, f.device.DeviceDescriptor());
  EXPECT_EQ(rs[1]->buffer, std::vector<uint8_t>(config.begin(), config.begin() + 9))
      << "only the header fits";
  EXPECT_EQ(rs[2]->length(), config.size()) << "a longer buffer ends short without error";
  EXPECT_EQ(c[8].out, (std::vector<uint8_t>{9, 8})) << "OUT data stage must reach the device";
  EXPECT_EQ(rs[4]->length(), 2u) << "the host truncates an answer to wLength";
  EXPECT_EQ(rs[4]->buffer, (std::vector<uint8_t>{0x11, 0x22}));
  EXPECT_EQ(rs[5]->length(), 1u) << "a short answer is not an error";
  EXPECT_EQ(rs[5]->buffer[0], 0x30);
  EXPECT_EQ(rs[10]->buffer, (std::vector<uint8_t>{0x01, 0x00})) << "GET_STATUS answer";
  EXPECT_EQ(rs[13]->length(), 2u + 2 * 8) << "string descriptor 3: the serial number";
}

TEST(UsbUrb, MalformedUrbsFailAtOnceWithInvalidParameter) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  auto shortHeader = HostFixture::Bulk(f.PipeOf(0x02), 0, {1});
  shortHeader->urb()->UrbHeader.Length = 72;  // the 32-bit size: too small for this layout
  auto unknown = std::make_unique<Request>();
  unknown->urb()->UrbHeader.Length = sizeof(struct _URB_HEADER);
  unknown->urb()->UrbHeader.Function = 0x7777;
  struct {
    const char* what;
    Request& r;
    USBD_STATUS usbd;
  } const cases[] = {
      {"unknown pipe handle",
       f.SubmitUrb(HostFixture::Bulk(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 0, {1})),
       USBD_STATUS_INVALID_PIPE_HANDLE},
      {"header length too small", f.SubmitUrb(std::move(shortHeader)), USBD_STATUS_INVALID_PARAMETER},
      {"OUT transfer on an IN pipe", f.Out(0x82, std::vector<uint8_t>(64)), USBD_STATUS_INVALID_PARAMETER},
      {"control data stage over 4096 bytes",
       f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0, 0, std::vector<uint8_t>(4097))),
       USBD_STATUS_INVALID_PARAMETER},
      {"unknown function", f.SubmitUrb(std::move(unknown)), USBD_STATUS_INVALID_URB_FUNCTION},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.r.returned, STATUS_INVALID_PARAMETER) << c.what;
    EXPECT_TRUE(Ended(c.r, STATUS_INVALID_PARAMETER, c.usbd)) << c.what;
  }
}

TEST(UsbUrb, BulkInPendsUntilTheDeviceHasDataThenCompletesFromTheDpc) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  Request& r = f.In(0x82, 64);
  EXPECT_EQ(r.returned, STATUS_PENDING);
  f.kernel().RunFor(50 * kMillisecond);
  EXPECT_FALSE(r.completed) << "no data: the transfer must stay pending";
  EXPECT_EQ(f.device.inTokens[0x82], 1u) << "a NAK'ing endpoint is not polled again until the device speaks";

  const VirtualTime queuedAt = f.kernel().Now();
  f.kernel().ScheduleDeviceEvent(queuedAt, [&] { f.device.QueueIn(0x82, {1, 2, 3, 4, 5}); });
  EXPECT_TRUE(Ended(f.Finish(r), STATUS_SUCCESS, USBD_STATUS_SUCCESS));
  EXPECT_EQ(r.completionIrql, DISPATCH_LEVEL);
  EXPECT_EQ(r.length(), 5u);
  EXPECT_EQ(std::vector<uint8_t>(r.buffer.begin(), r.buffer.begin() + 5),
            (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(BoundaryBefore(r.completedAt), (UsbHost::FrameAt(queuedAt) + 2) * kFrame)
      << "resumed at the next frame boundary, completed at the end of that frame";
}

TEST(UsbUrb, ShortPacketsEndInTransfersAndStallsHoldThePipeUntilResetPipe) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  f.device.QueueIn(0x82, std::vector<uint8_t>(64, 7));
  f.device.QueueIn(0x82, {8, 9});
  Request& ok = f.Finish(f.In(0x82, 256));
  EXPECT_TRUE(Ended(ok, STATUS_SUCCESS, USBD_STATUS_SUCCESS));
  EXPECT_EQ(ok.length(), 66u) << "the short packet ends the transfer";

  f.device.QueueIn(0x82, {1});
  Request& strict = f.Finish(f.In(0x82, 64, USBD_TRANSFER_DIRECTION_IN));
  EXPECT_TRUE(Ended(strict, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN))
      << "without USBD_SHORT_TRANSFER_OK";
  EXPECT_EQ(strict.length(), 1u);
  // The endpoint is halted: the next transfer waits until the pipe is reset.
  f.device.QueueIn(0x82, {2});
  Request& next = f.In(0x82, 64);
  f.kernel().RunFor(20 * kMillisecond);
  EXPECT_FALSE(next.completed) << "a halted endpoint must not be serviced";
  Request& reset =
      f.SubmitUrb(HostFixture::Pipe(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, f.PipeOf(0x82)));
  EXPECT_EQ(reset.returned, STATUS_PENDING);
  EXPECT_TRUE(Ended(f.Finish(next), STATUS_SUCCESS, USBD_STATUS_SUCCESS));
  EXPECT_TRUE(Ended(reset, STATUS_SUCCESS, USBD_STATUS_SUCCESS));

  // An injected stall fails the transfer; resetting the pipe sends CLEAR_FEATURE(ENDPOINT_HALT).
  f.port->StallEndpoint(0x82);
  f.port->StallEndpoint(0x02);
  EXPECT_TRUE(Ended(f.Finish(f.In(0x82, 64)), STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
  EXPECT_TRUE(Ended(f.Finish(f.Out(0x02, {1})), STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
  Request& held = f.In(0x82, 64);
  f.kernel().RunFor(20 * kMillisecond);
  EXPECT_FALSE(held.completed) << "a stall halts the endpoint";
  f.Finish(f.SubmitUrb(HostFixture::Pipe(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, f.PipeOf(0x82))));
  EXPECT_EQ(Hex(f.device.controls.back().setup), "02 01 0000 0082 0000");
  f.device.QueueIn(0x82, {4, 5});
  EXPECT_TRUE(Ended(f.Finish(held), STATUS_SUCCESS, USBD_STATUS_SUCCESS)) << "the stall is cleared";
  EXPECT_EQ(held.length(), 2u);
}

TEST(UsbUrb, AbortPipeCancelsThePipesPendingTransfersBeforeItCompletes) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  std::vector<Request*> reads = {&f.In(0x82, 32), &f.In(0x82, 32), &f.In(0x82, 32)};
  Request& other = f.In(0x81, 8);
  f.kernel().RunFor(5 * kMillisecond);
  Request& abort = f.SubmitUrb(HostFixture::Pipe(URB_FUNCTION_ABORT_PIPE, f.PipeOf(0x82)));
  EXPECT_EQ(abort.returned, STATUS_PENDING);
  EXPECT_EQ(f.Finish(abort).status, STATUS_SUCCESS);
  for (Request* r : reads) {
    EXPECT_TRUE(Ended(*r, STATUS_CANCELLED, USBD_STATUS_CANCELED));
    EXPECT_LE(r->completedAt, abort.completedAt) << "aborted transfers complete before the abort request";
  }
  EXPECT_FALSE(other.completed) << "abort of one pipe leaves the other pipes alone";
}

TEST(UsbUrb, CancellingTheIrpCancelsTheTransfer) {
  ForEachMachine([](const KernelConfig& config) {
    HostFixture f({}, config);
    ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
    Request& r = f.In(0x82, 64, USBD_TRANSFER_DIRECTION_IN);
    ASSERT_EQ(r.returned, STATUS_PENDING);
    f.kernel().RunFor(3 * kMillisecond);
    BOOLEAN cancelled = FALSE;
    f.machine.RunInSystemThread("cancel", [&] { cancelled = IoCancelIrp(r.irp); });
    EXPECT_TRUE(cancelled) << "the pending transfer must have a cancel routine";
    EXPECT_TRUE(Ended(f.Finish(r), STATUS_CANCELLED, USBD_STATUS_CANCELED));
    EXPECT_EQ(f.port->PendingTransfers(), 0u);
    f.device.QueueIn(0x82, std::vector<uint8_t>(64, 3));
    EXPECT_EQ(f.Finish(f.In(0x82, 64)).status, STATUS_SUCCESS) << "the pipe keeps working afterwards";
  });
}

TEST(UsbUrb, PortStatusReportsTheConnectionAndUnplugFailsPendingAndNewTransfers) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  Request& before = f.PortStatus();
  EXPECT_EQ(before.status, STATUS_SUCCESS);
  EXPECT_EQ(before.portStatus, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
  f.port->FailPortStatus(1, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(f.PortStatus().status, STATUS_DEVICE_NOT_READY) << "injected port status failure";
  EXPECT_EQ(f.PortStatus().status, STATUS_SUCCESS) << "only the next query was to fail";
  EXPECT_EQ(f.port->PortStatusQueries(), 3u);

  Request& pending = f.In(0x82, 64);
  Request& control = f.VendorOut(1);
  f.port->Unplug();
  for (Request* r : {&pending, &control}) {
    EXPECT_TRUE(Ended(f.Finish(*r), STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE));
  }
  Request& after = f.Out(0x02, {1});
  EXPECT_EQ(after.returned, STATUS_DEVICE_NOT_CONNECTED) << "new transfers fail at once";
  EXPECT_TRUE(after.completed);
  Request& gone = f.PortStatus();
  EXPECT_EQ(gone.status, STATUS_SUCCESS);
  EXPECT_EQ(gone.portStatus & USBD_PORT_CONNECTED, 0u);
  f.port->FailPortStatusWhenUnplugged(STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(f.PortStatus().status, STATUS_NO_SUCH_DEVICE);
}

TEST(UsbUrb, ThePdoIsNamedAfterVendorProductAndSerialAndAnswersPnpAndPowerAsABusDriver) {
  FakeDevice second(FakeDeviceOptions{.serial = ""});  // plugged later; outlives the host's port
  HostFixture f;
  EXPECT_EQ(f.port->InstancePath(), "USB\\VID_1234&PID_5678\\FAKE0001");
  EXPECT_EQ(f.machine.io().InstancePath(f.pdo()), u"USB\\VID_1234&PID_5678\\FAKE0001");
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

  UsbPort& p2 = f.host.Plug(second);
  EXPECT_EQ(p2.PortNumber(), 2);
  EXPECT_EQ(p2.InstancePath().rfind("USB\\VID_1234&PID_5678\\5&", 0), 0u)
      << "a device without a serial number gets a port-based instance id, got " << p2.InstancePath();
  caps.UniqueID = TRUE;
  f.machine.SendPnp(p2.Pdo(), IRP_MN_QUERY_CAPABILITIES,
                    [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
  EXPECT_FALSE(caps.UniqueID) << "a port-based instance id is not unique";
}

TEST(UsbUrb, ResetPortResetsTheDeviceRestoresItsConfigurationAndRequiresPassiveLevel) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  Request& pending = f.In(0x82, 64);
  Request& reset = f.Send(std::make_unique<Request>(), IOCTL_INTERNAL_USB_RESET_PORT);
  EXPECT_EQ(reset.returned, STATUS_PENDING);
  EXPECT_EQ(f.Finish(reset).status, STATUS_SUCCESS);
  EXPECT_EQ(BoundaryBefore(reset.completedAt), (UsbHost::FrameAt(reset.submittedAt) + kPortResetFrames + 1) * kFrame);
  EXPECT_EQ(f.device.resets, 2u) << "one reset when plugged, one now";
  EXPECT_EQ(f.port->PortResets(), 1u);
  EXPECT_EQ(f.device.configuration, 1) << "the hub selects the old configuration again after the reset";
  EXPECT_EQ(pending.status, STATUS_CANCELLED) << "transfers pending across a port reset are cancelled";
  EXPECT_EQ(f.Finish(f.Out(0x02, {1})).status, STATUS_SUCCESS) << "the pipe handles stay valid";

  Request atDispatch;
  EXPECT_BUGCHECK(bugcheck::kIrqlNotLessOrEqual, f.machine.RunInSystemThread("dispatch-level reset", [&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    f.Issue(&atDispatch, IOCTL_INTERNAL_USB_RESET_PORT);
  }));
}

}  // namespace
}  // namespace emu::usb::testing
