// URB submission, the hub's port status, pipe requests and the borrowing of the port's control
// URB block.
#include "usb/usb_request.h"

#include "usb/chip_registers.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

const UrbFilter kWrites = UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE).AndRequest(0x9A);

TEST(SubmitUrb, ReturnsTheLowerStatusAndWaitsOnlyForAPendingUrb) {
  // clang-format off
  const struct { const char* what; bool synchronous; NTSTATUS lower; bool noIrp; NTSTATUS expected; }
  cases[] = {
      {"pended success",       false, STATUS_SUCCESS,           false, STATUS_SUCCESS},
      {"synchronous success",  true,  STATUS_SUCCESS,           false, STATUS_SUCCESS},
      {"synchronous failure",  true,  STATUS_DEVICE_DATA_ERROR, false, STATUS_DEVICE_DATA_ERROR},
      {"pended time-out",      false, STATUS_TIMEOUT,           false, STATUS_IO_TIMEOUT},
      {"synchronous time-out", true,  STATUS_TIMEOUT,           false, STATUS_IO_TIMEOUT},
      {"no IRP",               false, STATUS_SUCCESS,           true,  STATUS_INSUFFICIENT_RESOURCES},
  };
  // clang-format on
  ConfiguredPort m;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m.usb().ClearUrbLog();
    if (c.synchronous) m.usb().CompleteSynchronously(1, kWrites);
    if (c.lower != STATUS_SUCCESS) m.usb().FailNext(1, c.lower, USBD_STATUS_CRC, kWrites);
    if (c.noIrp) m.kernel().FailIrpAllocations(1);
    emu::VirtualTime start = m.kernel().Now();
    EXPECT_EQ(m.Call([&] { return WriteRegisterPair(m.device, 0x12, 1, 0x13, 2); }), c.expected);
    bool sent = !c.noIrp;
    EXPECT_EQ(m.usb().Urbs().size(), sent ? 1u : 0u);
    // A pending URB completes at a frame's end; the other cases cost only their kernel calls.
    EXPECT_EQ(m.kernel().Now() - start >= emu::kMillisecond / 10, sent && !c.synchronous)
        << "only a pending URB is waited for, until the bus driver completes it";
    EXPECT_EQ(m.ext()->UsbBusyCount, 0) << "UsbBusyCount must return to 0";
  }
}

TEST(GetPortStatus, DeviceGoneStatusesBecomeSuccessWithTheConnectedBitCleared) {
  struct Case {
    std::string what;
    std::function<void(UsbPortMachine&)> fault;
    ULONG preset;
    NTSTATUS expected;
    ULONG word;
  };
  const ULONG kPreset = USBD_PORT_ENABLED | USBD_PORT_CONNECTED | 0x100;
  const auto hub = [](NTSTATUS s) { return [s](UsbPortMachine& m) { m.usb().FailPortStatus(1, s); }; };
  // clang-format off
  std::vector<Case> cases = {
      {"connected", {}, 0, STATUS_SUCCESS, USBD_PORT_ENABLED | USBD_PORT_CONNECTED},
      {"unplugged", [](UsbPortMachine& m) { m.usb().Unplug(); }, USBD_PORT_CONNECTED, STATUS_SUCCESS, 0},
      {"hub answers unsuccessful", hub(STATUS_UNSUCCESSFUL), kPreset, STATUS_UNSUCCESSFUL, kPreset},
      {"hub times out", hub(STATUS_TIMEOUT), kPreset, STATUS_IO_TIMEOUT, kPreset},
      {"no IRP", [](UsbPortMachine& m) { m.kernel().FailIrpAllocations(1); }, kPreset,
       STATUS_INSUFFICIENT_RESOURCES, kPreset},
  };
  // clang-format on
  for (NTSTATUS gone :
       {STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_FILE, STATUS_INVALID_DEVICE_REQUEST, STATUS_END_OF_FILE,
        STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_READY, STATUS_DEVICE_DOES_NOT_EXIST,
        STATUS_INVALID_DEVICE_STATE, STATUS_DEVICE_REMOVED, STATUS_DEVICE_OFF_LINE}) {
    cases.push_back({"hub answers " + Hex(static_cast<ULONG>(gone)), hub(gone), kPreset, STATUS_SUCCESS,
                     USBD_PORT_ENABLED | 0x100});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UsbPortMachine m;
    if (c.fault) c.fault(m);
    ULONG word = c.preset;
    EXPECT_EQ(m.Call([&] { return GetPortStatus(m.device, &word); }), c.expected);
    EXPECT_EQ(word, c.word) << "wrong port status word (a failed query leaves it alone; a device-gone "
                               "answer clears only the connected bit)";
  }
}

TEST(PipeRequest, ReachesTheSelectedEndpointAndSendsNothingForAnUnknownPipe) {
  UsbPortMachine m;
  EXPECT_EQ(m.Call([&] { return PipeRequest(m.device, URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_BULK_IN); }),
            STATUS_NO_SUCH_DEVICE)
      << "a pipe of an unconfigured device does not exist";
  EXPECT_EQ(m.usb().Urbs().size(), 0u) << "nothing may be sent for an unconfigured pipe";
  EXPECT_EQ(m.ext()->ControlUrbSlot, m.PortControlBlock()) << "the control block was not given back";

  ASSERT_EQ(m.Configure(), STATUS_SUCCESS);
  m.usb().ClearUrbLog();
  EXPECT_EQ(m.Call([&] {
    return PipeRequest(m.device, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PIPE_SELECT_BULK_OUT);
  }),
            STATUS_DEVICE_NOT_READY)
      << "a port not started (stopped or asleep) resets no pipe: its handles are rewritten by the next start";
  EXPECT_EQ(m.usb().Urbs().size(), 0u) << "a refused reset must send nothing";
  m.ext()->Started = TRUE;
  auto reading = StartPipeTransfer(m, m.ext()->BulkInPipe, true, 32, &m.ext()->BulkInBusy);
  m.kernel().RunFor(5 * emu::kMillisecond);
  ASSERT_FALSE(reading->done) << "with no data the bulk-in transfer should wait";
  m.usb().ClearUrbLog();
  const struct {
    USHORT function;
    ULONG selector;
    uint8_t endpoint;  // 0: no such pipe
  } steps[] = {{URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_BULK_IN, 0x82},
               {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PIPE_SELECT_BULK_OUT, 0x02},
               {URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_INTERRUPT, 0x81},
               {URB_FUNCTION_ABORT_PIPE, 0, 0},
               {URB_FUNCTION_ABORT_PIPE, 4, 0},
               {URB_FUNCTION_ABORT_PIPE, 8, 0}};
  std::vector<std::pair<uint16_t, uint8_t>> expected, sent;
  for (const auto& s : steps) {
    EXPECT_EQ(m.Call([&] { return PipeRequest(m.device, s.function, s.selector); }),
              s.endpoint != 0 ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE)
        << "pipe request " << Hex(s.function) << " on selector " << s.selector;
    if (s.endpoint != 0) expected.emplace_back(s.function, s.endpoint);
  }
  for (const auto& u : m.usb().Urbs())
    if (u.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) sent.emplace_back(u.function, u.endpoint);
  EXPECT_EQ(sent, expected) << "pipe requests reached the wrong endpoints";
  EXPECT_TRUE(reading->done) << "aborting the bulk-in pipe must end its transfer";
  EXPECT_EQ(reading->status, STATUS_CANCELLED);
}

TEST(ControlUrbBlock, ConcurrentVendorRequestsUseThePortBlockAndAFreshOne) {
  ForEachMachine([](emu::KernelConfig kc) {
    ConfiguredPort m({}, kc);
    m.chip->PokeRegister(0x18, 0x11);
    m.chip->PokeRegister(0x25, 0x22);
    size_t freshBlocks = m.DriverPoolBlocksOfSize(sizeof(URB));
    size_t pool = m.PoolBlocks();

    UCHAR a = 0, b = 0;
    NTSTATUS s1 = STATUS_PENDING, s2 = STATUS_PENDING;
    m.kernel().StartSystemThread("read", [&] { s1 = ReadRegisterPair(m.device, 0x18, &a, 0x25, &b); });
    m.kernel().StartSystemThread("write", [&] { s2 = WriteRegisterPair(m.device, 0x2C, 9, 0x0F, 0); });
    ASSERT_TRUE(m.kernel().RunUntil([&] { return m.usb().PendingTransfers() == 2; }))
        << "both vendor requests should be in flight together";
    EXPECT_EQ(m.ext()->UsbBusyCount, 2) << "UsbBusyCount must count every SubmitUrb in progress";
    EXPECT_EQ(m.ext()->ControlUrbSlot, nullptr) << "the slot must be empty while its block is borrowed";
    EXPECT_EQ(m.DriverPoolBlocksOfSize(sizeof(URB)), freshBlocks + 1)
        << "the second request must work on one freshly allocated block";

    m.kernel().Run();
    EXPECT_EQ(s1, STATUS_SUCCESS);
    EXPECT_EQ(s2, STATUS_SUCCESS);
    EXPECT_EQ(a, 0x11);
    EXPECT_EQ(b, 0x22);
    EXPECT_EQ(m.chip->Register(0x2C), 9);
    EXPECT_EQ(m.ext()->UsbBusyCount, 0) << "UsbBusyCount must return to 0";
    EXPECT_EQ(m.ext()->ControlUrbSlot, m.PortControlBlock()) << "the slot must hold the port's block again";
    EXPECT_EQ(m.PoolBlocks(), pool) << "the fresh block was not freed";
  });
}

TEST(ControlUrbBlock, NoFreshBlockMeansInsufficientResourcesAndNothingSent) {
  ConfiguredPort m;
  NTSTATUS pipe = STATUS_PENDING, vendor = STATUS_PENDING;
  UCHAR buf[7];
  ULONG length = sizeof buf;
  ASSERT_TRUE(m.machine.RunInSystemThread("test", [&] {
    BOOLEAN borrowed = FALSE;
    PURB held = BorrowControlUrb(m.device, sizeof(URB), &borrowed);
    EXPECT_TRUE(borrowed) << "an idle port must lend its own block";
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
