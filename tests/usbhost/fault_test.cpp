// Fault injection of the emulated bus driver, and the URB log tests rely on.
#include "usbhost/host_fixture.h"

namespace emu::usb::testing {
namespace {

ControlReply RegisterPair(const SetupPacket&, std::span<const uint8_t>) { return {false, {0xAB, 0xCD}}; }

TEST(UsbFaults, FailNextFailsOnlyMatchingUrbsWithTheChosenStatuses) {
  HostFixture f;
  f.device.vendor = RegisterPair;
  f.port->FailNext(2, STATUS_TIMEOUT, USBD_STATUS_TIMEOUT,
                   UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE).AndRequest(0x95));
  size_t controlsBefore = f.device.controls.size();
  Request& other = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x9A, 0, 0, {}));
  Request& first = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x95, 0x0706, 0, {0, 0}));
  Request& second = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x95, 0x0706, 0, {0, 0}));
  Request& third = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x95, 0x0706, 0, {0, 0}));
  ASSERT_TRUE(f.RunUntilCompleted(third));
  EXPECT_EQ(other.status, STATUS_SUCCESS) << "a request the filter does not select is not failed";
  for (Request* r : {&first, &second}) {
    EXPECT_EQ(r->returned, STATUS_PENDING) << "injected failures complete like transfers, from the DPC";
    EXPECT_EQ(r->status, STATUS_TIMEOUT);
    EXPECT_EQ(r->urb()->UrbHeader.Status, USBD_STATUS_TIMEOUT);
    EXPECT_EQ(r->urb()->UrbControlVendorClassRequest.TransferBufferLength, 0u);
  }
  EXPECT_EQ(third.status, STATUS_SUCCESS) << "only the next two matching requests fail";
  EXPECT_EQ(f.device.controls.size(), controlsBefore + 2) << "failed requests never reach the device";
  EXPECT_TRUE(f.port->Urbs()[1].injected);
  EXPECT_FALSE(f.port->Urbs()[3].injected);
}

TEST(UsbFaults, ControlAnswersCanBeTruncatedOrExtendedWithoutOverrunningTheBuffer) {
  HostFixture f;
  f.device.vendor = RegisterPair;
  f.port->AnswerControlIn(1, 1, UrbFilter::Request(0x95));
  Request& shortAnswer =
      f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x95, 0x0706, 0, {0, 0}));
  ASSERT_TRUE(f.RunUntilCompleted(shortAnswer));
  EXPECT_EQ(shortAnswer.status, STATUS_SUCCESS);
  EXPECT_EQ(shortAnswer.urb()->UrbControlVendorClassRequest.TransferBufferLength, 1u);
  EXPECT_EQ(shortAnswer.buffer[0], 0xAB);

  f.port->AnswerControlIn(1, 4, UrbFilter::Request(0x95), 0x5A);
  auto r = HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x95, 0x0706, 0, {0, 0, 0x77});
  r->urb()->UrbControlVendorClassRequest.TransferBufferLength = 2;  // a third byte guards the end
  Request& longAnswer = f.SubmitUrb(std::move(r));
  ASSERT_TRUE(f.RunUntilCompleted(longAnswer));
  EXPECT_EQ(longAnswer.urb()->UrbControlVendorClassRequest.TransferBufferLength, 4u)
      << "a long answer reports more bytes than were asked for";
  EXPECT_EQ(longAnswer.buffer, (std::vector<uint8_t>{0xAB, 0xCD, 0x77}))
      << "but is never written past the buffer";
}

TEST(UsbFaults, DelayedCompletionsArriveLaterByTheChosenVirtualTime) {
  HostFixture f;
  f.device.vendor = RegisterPair;
  Request& normal = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x9A, 0, 0, {}));
  ASSERT_TRUE(f.RunUntilCompleted(normal));
  VirtualTime usual = normal.completedAt - normal.submittedAt;
  f.port->DelayCompletions(7 * kMillisecond + 300, 1);
  // Submitted at the same offset within its frame as the first one.
  f.kernel().RunFor(kFrame - (f.kernel().Now() - normal.submittedAt) % kFrame);
  Request& delayed = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x9A, 0, 0, {}));
  ASSERT_TRUE(f.RunUntilCompleted(delayed));
  EXPECT_EQ(delayed.completedAt - delayed.submittedAt, usual + 7 * kMillisecond + 300);
  EXPECT_EQ(delayed.status, STATUS_SUCCESS);
}

TEST(UsbFaults, SynchronousCompletionReturnsTheStatusFromIoCallDriver) {
  HostFixture f;
  f.device.vendor = RegisterPair;
  f.port->CompleteSynchronously(1, UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE));
  Request& sync = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x95, 0, 0, {0, 0}));
  EXPECT_EQ(sync.returned, STATUS_SUCCESS);
  EXPECT_TRUE(sync.completed) << "completed inside IoCallDriver";
  EXPECT_EQ(sync.completedAt, sync.submittedAt);
  EXPECT_EQ(sync.completionIrql, PASSIVE_LEVEL) << "completed in the caller's context";
  EXPECT_EQ(sync.buffer, (std::vector<uint8_t>{0xAB, 0xCD}));
  Request& pended = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x95, 0, 0, {0, 0}));
  EXPECT_EQ(pended.returned, STATUS_PENDING) << "only the next request was asked to complete synchronously";

  f.port->CompleteSynchronously(1);
  f.port->FailNext(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  Request& failed = f.SubmitUrb(HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x9A, 0, 0, {}));
  EXPECT_EQ(failed.returned, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(failed.urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST(UsbFaults, RandomPendingIsReproducibleBySeedAndOnlyDefersTheCompletion) {
  auto pattern = [](uint64_t seed) {
    HostFixture f;
    f.port->PendAtRandom(seed, 50);
    std::vector<bool> pended;
    for (int i = 0; i < 24; ++i) {
      Request& r = f.PortStatus();
      EXPECT_TRUE(r.completed || f.RunUntilCompleted(r));
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(r.portStatus, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
      if (r.returned == STATUS_PENDING) {
        EXPECT_EQ(r.completionIrql, DISPATCH_LEVEL);
      }
      pended.push_back(r.returned == STATUS_PENDING);
    }
    return pended;
  };
  std::vector<bool> a = pattern(7);
  EXPECT_EQ(a, pattern(7)) << "the same seed must pend the same requests";
  EXPECT_NE(a, pattern(8));
  EXPECT_NE(std::count(a.begin(), a.end(), true), 0);
  EXPECT_NE(std::count(a.begin(), a.end(), false), 0);
}

TEST(UsbFaults, PortStatusCanFail) {
  HostFixture f;
  f.port->FailPortStatus(1, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(f.PortStatus().status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(f.PortStatus().status, STATUS_SUCCESS);
  EXPECT_EQ(f.port->PortStatusQueries(), 2u);
}

TEST(UsbFaults, TheUrbLogRecordsSetupLengthsDataAndOutcome) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  f.device.QueueIn(0x82, {9, 8, 7});
  Request& out = f.SubmitUrb(HostFixture::Bulk(f.PipeOf(0x02), 0, {1, 2, 3, 4}));
  Request& in = f.SubmitUrb(HostFixture::Bulk(
      f.PipeOf(0x82), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, std::vector<uint8_t>(64)));
  ASSERT_TRUE(f.RunUntilCompleted(in));
  ASSERT_TRUE(out.completed);
  std::vector<UrbRecord> bulk =
      f.port->UrbsMatching(UrbFilter::Function(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER));
  ASSERT_EQ(bulk.size(), 2u);
  EXPECT_EQ(bulk[0].endpoint, 0x02);
  EXPECT_EQ(bulk[0].outData, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(bulk[0].actualLength, 4u);
  EXPECT_EQ(bulk[1].endpoint, 0x82);
  EXPECT_EQ(bulk[1].requestedLength, 64u);
  EXPECT_EQ(bulk[1].actualLength, 3u);
  EXPECT_EQ(bulk[1].inData, (std::vector<uint8_t>{9, 8, 7}));
  EXPECT_EQ(bulk[1].status, STATUS_SUCCESS);
  EXPECT_TRUE(bulk[1].pended);
  EXPECT_GT(bulk[1].completed, bulk[1].submitted);
  EXPECT_EQ(f.port->CountUrbs(UrbFilter::Function(URB_FUNCTION_SELECT_CONFIGURATION)), 1u);
  const UrbRecord& select = f.port->Urbs().front();
  EXPECT_EQ(select.setup.bRequest, USB_REQUEST_SET_CONFIGURATION);
  f.port->SetUrbLogCapacity(1);
  EXPECT_EQ(f.port->Urbs().size(), 1u);
  EXPECT_EQ(f.port->Urbs().front().endpoint, 0x82) << "the log keeps the newest records";
}

}  // namespace
}  // namespace emu::usb::testing
