// Fault injection of the emulated bus driver, and the URB log tests rely on.
#include <tuple>

#include "usbhost/host_fixture.h"

namespace emu::usb::testing {
namespace {

TEST(UsbFaults, FailNextFailsOnlyTheNextMatchingUrbsWithTheChosenStatusesFromTheDpc) {
  HostFixture f;
  f.port->FailNext(2, STATUS_TIMEOUT, USBD_STATUS_TIMEOUT,
                   UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE).AndRequest(0x95));
  const size_t controlsBefore = f.device.controls.size();
  Request& other = f.VendorOut(0x9A);
  std::vector<Request*> reads = {&f.VendorIn(0x95, 0x0706, 2), &f.VendorIn(0x95, 0x0706, 2)};
  Request& third = f.Finish(f.VendorIn(0x95, 0x0706, 2));
  EXPECT_EQ(other.status, STATUS_SUCCESS) << "a request the filter does not select is not failed";
  for (Request* r : reads) {
    EXPECT_EQ(r->returned, STATUS_PENDING) << "injected failures complete like transfers, from the DPC";
    EXPECT_TRUE(Ended(*r, STATUS_TIMEOUT, USBD_STATUS_TIMEOUT));
    EXPECT_EQ(r->length(), 0u);
  }
  EXPECT_EQ(third.status, STATUS_SUCCESS) << "only the next two matching requests fail";
  EXPECT_EQ(f.device.controls.size(), controlsBefore + 2) << "failed requests never reach the device";
  EXPECT_TRUE(f.port->Urbs()[1].injected);
  EXPECT_FALSE(f.port->Urbs()[3].injected);
}

TEST(UsbFaults, ControlAnswersCanBeTruncatedOrExtendedWithoutOverrunningTheBuffer) {
  HostFixture f;
  f.port->AnswerControlIn(1, 1, UrbFilter::Request(0x95));
  Request& shortAnswer = f.Finish(f.VendorIn(0x95, 0x0706, 2));
  EXPECT_EQ(shortAnswer.status, STATUS_SUCCESS);
  EXPECT_EQ(shortAnswer.length(), 1u);
  EXPECT_EQ(shortAnswer.buffer[0], 0xAB);

  f.port->AnswerControlIn(1, 4, UrbFilter::Request(0x95), 0x5A);
  auto r = HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, 3, 0x95, 0x0706, 0, {0, 0, 0x77});
  r->urb()->UrbControlVendorClassRequest.TransferBufferLength = 2;  // a third byte guards the end
  Request& longAnswer = f.Finish(f.SubmitUrb(std::move(r)));
  EXPECT_EQ(longAnswer.length(), 4u) << "a long answer reports more bytes than were asked for";
  EXPECT_EQ(longAnswer.buffer, (std::vector<uint8_t>{0xAB, 0xCD, 0x77}))
      << "but is never written past the buffer";
}

TEST(UsbFaults, DelayedCompletionsArriveLaterByTheChosenVirtualTime) {
  HostFixture f;
  Request& normal = f.Finish(f.VendorOut(0x9A));
  const VirtualTime usual = normal.completedAt - normal.submittedAt;
  f.port->DelayCompletions(7 * kMillisecond + 300, 1);
  // Submitted at the same offset within its frame as the first one.
  f.kernel().RunFor(kFrame - (f.kernel().Now() - normal.submittedAt) % kFrame);
  Request& delayed = f.Finish(f.VendorOut(0x9A));
  // Give or take the virtual time of a kernel call on the way to the completion routine.
  EXPECT_NEAR(delayed.completedAt - delayed.submittedAt, usual + 7 * kMillisecond + 300, 2);
  EXPECT_EQ(delayed.status, STATUS_SUCCESS);
}

TEST(UsbFaults, SynchronousCompletionReturnsTheStatusFromIoCallDriver) {
  HostFixture f;
  f.port->CompleteSynchronously(1, UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE));
  Request& sync = f.VendorIn(0x95, 0, 2);
  EXPECT_EQ(sync.returned, STATUS_SUCCESS);
  EXPECT_LT(sync.completedAt - sync.submittedAt, kFrame) << "completed inside IoCallDriver";
  EXPECT_EQ(sync.completionIrql, PASSIVE_LEVEL) << "completed in the caller's context";
  EXPECT_EQ(sync.buffer, (std::vector<uint8_t>{0xAB, 0xCD}));
  EXPECT_EQ(f.VendorIn(0x95, 0, 2).returned, STATUS_PENDING)
      << "only the next request was to complete at once";

  f.port->CompleteSynchronously(1);
  f.port->FailNext(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  Request& failed = f.VendorOut(0x9A);
  EXPECT_EQ(failed.returned, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Ended(failed, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
}

TEST(UsbFaults, RandomPendingIsReproducibleBySeedAndOnlyDefersTheCompletion) {
  auto pattern = [](uint64_t seed) {
    HostFixture h;
    h.port->PendAtRandom(seed, 50);
    std::vector<bool> pended;
    for (int i = 0; i < 24; ++i) {
      Request& r = h.PortStatus();
      if (r.returned == STATUS_PENDING) h.Finish(r);
      EXPECT_EQ(r.completionIrql, r.returned == STATUS_PENDING ? DISPATCH_LEVEL : PASSIVE_LEVEL);
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(r.portStatus, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
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

TEST(UsbFaults, TheUrbLogRecordsSetupLengthsDataAndOutcome) {
  HostFixture f;
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  f.device.QueueIn(0x82, {9, 8, 7});
  Request& out = f.Out(0x02, {1, 2, 3, 4});
  f.Finish(f.In(0x82, 64));
  ASSERT_TRUE(out.completed);
  std::vector<UrbRecord> bulk =
      f.port->UrbsMatching(UrbFilter::Function(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER));
  ASSERT_EQ(bulk.size(), 2u);
  using Data = std::vector<uint8_t>;
  EXPECT_EQ(std::tuple(bulk[0].endpoint, bulk[0].outData, bulk[0].requestedLength, bulk[0].actualLength),
            std::tuple(0x02, Data{1, 2, 3, 4}, 4u, 4u));
  EXPECT_EQ(std::tuple(bulk[1].endpoint, bulk[1].inData, bulk[1].requestedLength, bulk[1].actualLength),
            std::tuple(0x82, Data{9, 8, 7}, 64u, 3u));
  EXPECT_EQ(std::tuple(bulk[1].status, bulk[1].usbdStatus, bulk[1].pended),
            std::tuple(STATUS_SUCCESS, 0, true));
  EXPECT_GT(bulk[1].completed, bulk[1].submitted);
  EXPECT_EQ(f.port->CountUrbs(UrbFilter::Function(URB_FUNCTION_SELECT_CONFIGURATION)), 1u);
  EXPECT_EQ(f.port->Urbs().front().setup.bRequest, USB_REQUEST_SET_CONFIGURATION);
  f.port->SetUrbLogCapacity(1);
  ASSERT_EQ(f.port->Urbs().size(), 1u);
  EXPECT_EQ(f.port->Urbs().front().endpoint, 0x82) << "the log keeps the newest records";
}

}  // namespace
}  // namespace emu::usb::testing
