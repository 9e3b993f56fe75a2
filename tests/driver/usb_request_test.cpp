// URB submission, the hub's port status, pipe requests and the borrowing of the port's control
// URB block.
#include "usb/usb_request.h"

#include "usb/chip_registers.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

using emu::usb::UrbFilter;

UrbFilter VendorFilter(uint8_t request) { return UrbFilter{URB_FUNCTION_VENDOR_DEVICE, {}, request}; }

TEST(SubmitUrb, SynchronousCompletionReturnsTheLowerStatusWithoutWaiting) {
  UsbPortMachine m;
  m.ConfigureOrFail();
  m.usb().ClearUrbLog();
  m.usb().CompleteSynchronously(2, VendorFilter(0x9A));
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, VendorFilter(0x9A));

  NTSTATUS failed = STATUS_PENDING, good = STATUS_PENDING, pended = STATUS_PENDING;
  emu::VirtualTime t0 = -1, t1 = -1, t2 = -1, t3 = -1;
  ASSERT_TRUE(m.InSystemThread([&] {
    t0 = m.kernel().Now();
    failed = WriteRegisterPair(m.device, 0x12, 1, 0x13, 2);
    t1 = m.kernel().Now();
    good = WriteRegisterPair(m.device, 0x12, 3, 0x13, 4);
    t2 = m.kernel().Now();
    pended = WriteRegisterPair(m.device, 0x12, 5, 0x13, 6);
    t3 = m.kernel().Now();
  }));
  EXPECT_EQ(failed, STATUS_DEVICE_DATA_ERROR) << "a synchronous failure must come back unchanged";
  EXPECT_EQ(good, STATUS_SUCCESS);
  EXPECT_EQ(pended, STATUS_SUCCESS);
  EXPECT_EQ(t1, t0) << "a synchronously completed URB must not wait";
  EXPECT_EQ(t2, t1) << "a synchronously completed URB must not wait";
  EXPECT_GT(t3, t2) << "a pending URB is waited for until the bus driver completes it";
  const auto& urbs = m.usb().Urbs();
  ASSERT_EQ(urbs.size(), 3u);
  EXPECT_FALSE(urbs[0].pended);
  EXPECT_FALSE(urbs[1].pended);
  EXPECT_TRUE(urbs[2].pended);
  EXPECT_EQ(m.ext()->UsbBusyCount, 0) << "UsbBusyCount must return to 0";
}

TEST(SubmitUrb, TimeoutFromBelowBecomesIoTimeout) {
  for (bool synchronous : {false, true}) {
    SCOPED_TRACE(synchronous ? "completed synchronously" : "pended");
    UsbPortMachine m;
    m.ConfigureOrFail();
    if (synchronous) m.usb().CompleteSynchronously(1, VendorFilter(0x9A));
    m.usb().FailNext(1, STATUS_TIMEOUT, USBD_STATUS_TIMEOUT, VendorFilter(0x9A));
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.InSystemThread([&] { status = WriteRegisterPair(m.device, 0x12, 1, 0x13, 2); }));
    EXPECT_EQ(status, STATUS_IO_TIMEOUT)
        << "STATUS_TIMEOUT from the bus driver must become STATUS_IO_TIMEOUT";
  }
}

TEST(SubmitUrb, CountsSubmissionsInFlightAndFailsWhenNoRequestCanBeBuilt) {
  ForEachMachine([](emu::KernelConfig kc) {
    UsbPortMachine m({}, kc);
    m.ConfigureOrFail();
    UCHAR a, b, c, d;
    m.StartSystemThread([&] { ReadRegisterPair(m.device, 6, &a, 7, &b); });
    m.StartSystemThread([&] { ReadRegisterPair(m.device, 0x18, &c, 0x25, &d); });
    ASSERT_TRUE(m.kernel().RunUntil([&] { return m.usb().PendingTransfers() == 2; }))
        << "both register reads should be in flight together";
    EXPECT_EQ(m.ext()->UsbBusyCount, 2) << "UsbBusyCount must count every SubmitUrb in progress";
    m.kernel().Run();
    EXPECT_EQ(m.ext()->UsbBusyCount, 0) << "UsbBusyCount must return to 0";
  });

  UsbPortMachine m;
  m.ConfigureOrFail();
  m.usb().ClearUrbLog();
  m.kernel().FailIrpAllocations(1);
  NTSTATUS status = STATUS_PENDING;
  ASSERT_TRUE(m.InSystemThread([&] { status = WriteRegisterPair(m.device, 0x12, 1, 0x13, 2); }));
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "an IRP that cannot be built fails the request";
  EXPECT_EQ(m.usb().Urbs().size(), 0u) << "nothing may be sent without an IRP";
  EXPECT_EQ(m.ext()->UsbBusyCount, 0) << "the failed submission left UsbBusyCount raised";
}

TEST(GetPortStatus, DeviceGoneStatusesBecomeSuccessWithOnlyTheConnectedBitCleared) {
  const NTSTATUS gone[] = {STATUS_NO_SUCH_DEVICE,         STATUS_NO_SUCH_FILE,
                           STATUS_INVALID_DEVICE_REQUEST, STATUS_END_OF_FILE,
                           STATUS_DEVICE_NOT_CONNECTED,   STATUS_DEVICE_NOT_READY,
                           STATUS_DEVICE_DOES_NOT_EXIST,  STATUS_INVALID_DEVICE_STATE,
                           STATUS_DEVICE_REMOVED,         STATUS_DEVICE_OFF_LINE};
  UsbPortMachine m;
  for (NTSTATUS s : gone) {
    SCOPED_TRACE("hub answers " + Hex(static_cast<ULONG>(s)));
    m.usb().FailPortStatus(1, s);
    ULONG word = USBD_PORT_ENABLED | USBD_PORT_CONNECTED | 0x100;
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.InSystemThread([&] { status = GetPortStatus(m.device, &word); }));
    EXPECT_EQ(status, STATUS_SUCCESS) << "a device-gone status must be reported as success";
    EXPECT_EQ(word, static_cast<ULONG>(USBD_PORT_ENABLED | 0x100))
        << "only the connected bit may change; the others stay as preset";
  }
}

TEST(GetPortStatus, OtherAnswersAreReportedAsTheHubGaveThem) {
  UsbPortMachine m;
  struct Case {
    const char* what;
    NTSTATUS hub;
    NTSTATUS expected;
  };
  for (const Case& c : {Case{"unsuccessful", STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
                        Case{"timeout", STATUS_TIMEOUT, STATUS_IO_TIMEOUT}}) {
    SCOPED_TRACE(c.what);
    m.usb().FailPortStatus(1, c.hub);
    ULONG word = USBD_PORT_CONNECTED;
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.InSystemThread([&] { status = GetPortStatus(m.device, &word); }));
    EXPECT_EQ(status, c.expected);
    EXPECT_EQ(word, static_cast<ULONG>(USBD_PORT_CONNECTED)) << "a failed query must leave the word alone";
  }

  ULONG connected = 0, unplugged = USBD_PORT_CONNECTED, hubFails = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
  ULONG noIrp = 0x55;
  NTSTATUS s1 = -1, s2 = -1, s3 = -1, s4 = -1;
  ASSERT_TRUE(m.InSystemThread([&] { s1 = GetPortStatus(m.device, &connected); }));
  m.kernel().FailIrpAllocations(1);
  ASSERT_TRUE(m.InSystemThread([&] { s4 = GetPortStatus(m.device, &noIrp); }));
  m.usb().Unplug();
  ASSERT_TRUE(m.InSystemThread([&] { s2 = GetPortStatus(m.device, &unplugged); }));
  m.usb().FailPortStatusWhenUnplugged(STATUS_DEVICE_NOT_CONNECTED);
  ASSERT_TRUE(m.InSystemThread([&] { s3 = GetPortStatus(m.device, &hubFails); }));

  EXPECT_EQ(s1, STATUS_SUCCESS);
  EXPECT_EQ(connected, static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED))
      << "the hub's word is returned";
  EXPECT_EQ(s2, STATUS_SUCCESS);
  EXPECT_EQ(unplugged & USBD_PORT_CONNECTED, 0u) << "an unplugged device must not read as connected";
  EXPECT_EQ(s3, STATUS_SUCCESS) << "STATUS_DEVICE_NOT_CONNECTED from the hub means the device is gone";
  EXPECT_EQ(hubFails, static_cast<ULONG>(USBD_PORT_ENABLED)) << "bit 0 stays as preset, bit 1 clears";
  EXPECT_EQ(s4, STATUS_INSUFFICIENT_RESOURCES) << "a query that cannot be built reports no resources";
  EXPECT_EQ(noIrp, 0x55u) << "a query that was never sent must leave the word alone";
}

TEST(PipeRequest, UnknownPipesSendNothing) {
  UsbPortMachine m;
  NTSTATUS before = STATUS_PENDING;
  ASSERT_TRUE(m.InSystemThread(
      [&] { before = PipeRequest(m.device, URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_BULK_IN); }));
  EXPECT_EQ(before, STATUS_NO_SUCH_DEVICE) << "a pipe of an unconfigured device does not exist";
  EXPECT_EQ(m.usb().Urbs().size(), 0u) << "nothing may be sent for an unconfigured pipe";
  EXPECT_EQ(m.ext()->ControlUrbSlot, m.PortControlBlock()) << "the control block was not given back";

  m.ConfigureOrFail();
  m.usb().ClearUrbLog();
  for (ULONG selector : {0u, 4u, 8u}) {
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.InSystemThread(
        [&] { status = PipeRequest(m.device, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, selector); }));
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE) << "selector " << selector << " names no pipe";
  }
  EXPECT_EQ(m.usb().Urbs().size(), 0u) << "nothing may be sent for an unknown selector";
}

TEST(PipeRequest, AbortsAndResetsReachTheSelectedEndpoint) {
  UsbPortMachine m;
  m.ConfigureOrFail();
  auto reading =
      StartPipeTransfer(m, m.ext()->BulkInPipe, true, std::vector<uint8_t>(32), &m.ext()->BulkInBusy);
  m.kernel().RunFor(5 * emu::kMillisecond);
  ASSERT_FALSE(reading->done) << "with no data the bulk-in transfer should wait";
  m.usb().ClearUrbLog();

  struct Step {
    USHORT function;
    ULONG selector;
    uint8_t endpoint;
  };
  const Step steps[] = {{URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_BULK_IN, 0x82},
                        {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PIPE_SELECT_BULK_OUT, 0x02},
                        {URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_INTERRUPT, 0x81}};
  for (const Step& s : steps) {
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.InSystemThread([&] { status = PipeRequest(m.device, s.function, s.selector); }));
    EXPECT_EQ(status, STATUS_SUCCESS) << "pipe request " << Hex(s.function) << " on selector " << s.selector;
  }
  const auto& urbs = m.usb().Urbs();
  size_t i = 0;
  for (const Step& s : steps) {
    while (i < urbs.size() && urbs[i].function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) ++i;
    ASSERT_LT(i, urbs.size()) << "a pipe request did not reach the bus driver";
    EXPECT_EQ(urbs[i].function, s.function);
    EXPECT_EQ(urbs[i].endpoint, s.endpoint) << "selector " << s.selector << " reached the wrong endpoint";
    ++i;
  }
  EXPECT_TRUE(reading->done) << "aborting the bulk-in pipe must end its transfer";
  EXPECT_EQ(reading->status, STATUS_CANCELLED);
  EXPECT_EQ(m.ext()->BulkInBusy, 0);
}

TEST(ControlUrbBlock, ConcurrentVendorRequestsUseThePortBlockAndAFreshOne) {
  ForEachMachine([](emu::KernelConfig kc) {
    UsbPortMachine m({}, kc);
    m.ConfigureOrFail();
    m.chip->PokeRegister(0x18, 0x11);
    m.chip->PokeRegister(0x25, 0x22);
    size_t freshBlocks = m.DriverPoolBlocksOfSize(sizeof(URB));
    size_t live = m.kernel().LivePoolBlocks().size();

    UCHAR a = 0, b = 0;
    NTSTATUS s1 = STATUS_PENDING, s2 = STATUS_PENDING;
    m.StartSystemThread([&] { s1 = ReadRegisterPair(m.device, 0x18, &a, 0x25, &b); });
    m.StartSystemThread([&] { s2 = WriteRegisterPair(m.device, 0x2C, 9, 0x0F, 0); });
    ASSERT_TRUE(m.kernel().RunUntil([&] { return m.usb().PendingTransfers() == 2; }))
        << "both vendor requests should be in flight together";
    EXPECT_EQ(m.ext()->ControlUrbSlot, nullptr) << "the slot must be empty while its block is borrowed";
    EXPECT_EQ(m.DriverPoolBlocksOfSize(sizeof(URB)), freshBlocks + 1)
        << "the second request must work on one freshly allocated block";

    m.kernel().Run();
    EXPECT_EQ(s1, STATUS_SUCCESS);
    EXPECT_EQ(s2, STATUS_SUCCESS);
    EXPECT_EQ(a, 0x11);
    EXPECT_EQ(b, 0x22);
    EXPECT_EQ(m.chip->Register(0x2C), 9);
    EXPECT_EQ(m.ext()->ControlUrbSlot, m.PortControlBlock()) << "the slot must hold the port's block again";
    EXPECT_EQ(m.kernel().LivePoolBlocks().size(), live) << "the fresh block was not freed";
  });
}

TEST(ControlUrbBlock, NoFreshBlockMeansInsufficientResourcesAndNothingSent) {
  UsbPortMachine m;
  m.ConfigureOrFail();
  m.usb().ClearUrbLog();
  NTSTATUS pipe = STATUS_PENDING, vendor = STATUS_PENDING;
  UCHAR buf[7];
  ULONG length = sizeof buf;
  ASSERT_TRUE(m.InSystemThread([&] {
    BOOLEAN borrowed = FALSE;
    PURB held = BorrowControlUrb(m.device, sizeof(URB), &borrowed);
    ASSERT_TRUE(borrowed) << "an idle port must lend its own block";
    m.kernel().FailPoolAllocations(2);
    pipe = PipeRequest(m.device, URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_BULK_IN);
    vendor = VendorRequest(m.device, VENDOR_FLAGS_IN, 0x5F, 0, 0, buf, &length);
    ReturnControlUrb(m.device, held, borrowed);
  }));
  EXPECT_EQ(pipe, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(vendor, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(length, 0u) << "a request that was never sent moved no bytes";
  EXPECT_EQ(m.usb().Urbs().size(), 0u) << "nothing may be sent without a URB block";
  EXPECT_EQ(m.ext()->ControlUrbSlot, m.PortControlBlock());
}

}  // namespace
}  // namespace drvusb_test
