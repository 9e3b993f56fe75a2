// Plug and Play of a port: the driver registered for the bridge's hardware id and driven by the
// emulated Plug and Play manager (start, rebalance, removal queries, unplug, unload), and single
// requests sent to a port over a stub bus where a test needs to steer what lies below.
#include <memory>

#include "driver/port_teardown.h"
#include "driver/request_accounting.h"
#include "driver_fixture.h"
#include "queue_fixture.h"
#include "serial/request_queue.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace tarnwire::testing {
namespace {

using State = emu::PnpManager::State;

constexpr std::u16string_view kBridgeHardwareId = u"USB\\VID_0A5D&PID_0023";

// Sends a request of the given major function (no parameters, initial status
// STATUS_NOT_SUPPORTED) to the port and waits for its completion. Runs inside the machine.
NTSTATUS SendAndWait(PDEVICE_OBJECT port, UCHAR major) {
  PIRP irp = IoAllocateIrp(port->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
        KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &done, TRUE, TRUE, TRUE);
  IoCallDriver(port, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

// A machine whose Plug and Play manager loads the driver for the bridge's hardware id.
class PluggedBridgeTest : public ::testing::Test {
 protected:
  explicit PluggedBridgeTest(emu::KernelConfig config = test_support::CurrentConfig())
      : machine(DriverMachine(config)), host(machine) {
    machine.pnp().RegisterDriver(kBridgeHardwareId, kServiceName, DriverEntry);
  }
  ~PluggedBridgeTest() override {
    if (usbPort != nullptr) Unplug();
  }

  void Plug() {
    usbPort = &host.Plug(chip);
    pdo = usbPort->Pdo();
    ASSERT_TRUE(machine.pnp().RunUntilIdle()) << "the arrival did not finish";
    port = PortOf(pdo);
    ASSERT_NE(nullptr, port) << "plugging the bridge created no port";
  }
  void Unplug() {
    usbPort->Unplug();
    usbPort = nullptr;
    ASSERT_TRUE(machine.pnp().RunUntilIdle()) << "the unplug did not finish";
    ExpectDriverGone();
  }
  void ExpectDriverGone() {
    EXPECT_EQ(nullptr, machine.pnp().LoadedDriver(kServiceName)) << "the driver stayed loaded";
    size_t driverBlocks = 0;
    for (const auto& b : machine.kernel().LivePoolBlocks()) driverBlocks += b.tag == TARNWIRE_POOL_TAG;
    EXPECT_EQ(0u, driverBlocks) << "the driver left pool behind";
  }
  PPORT_EXTENSION ext() const { return PortExtension(port); }
  size_t Initializations() { return chip.VendorRequests(0xA1).size(); }

  emu::Machine machine;
  emu::zm470::Zm470 chip;
  emu::usb::UsbHost host;
  emu::usb::UsbPort* usbPort = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT port = nullptr;
};

TEST_F(PluggedBridgeTest, PlugStartsThePortAndUnplugRemovesItAndUnloadsTheDriver) {
  Plug();
  EXPECT_EQ(State::Started, machine.pnp().StateOf(pdo));
  EXPECT_TRUE(ext()->Started);
  EXPECT_FALSE(ext()->Removed || ext()->RemovePending);
  EXPECT_TRUE(chip.Configured()) << "start did not configure the USB device";
  EXPECT_EQ(1u, Initializations()) << "start did not initialise the chip";
  EXPECT_TRUE(machine.io().WmiRegistered(port));
  ASSERT_EQ(1u, machine.pnp().InterfaceEvents().size());
  EXPECT_TRUE(machine.pnp().InterfaceEvents()[0].arrival) << "the COM-port interface was not enabled";
  Unplug();  // checks the unload and the pool
  EXPECT_EQ(State::Deleted, machine.pnp().StateOf(pdo));
  EXPECT_EQ(0u, machine.configuration().SerialCount);
}

// Rebalance (query-stop, stop, start) with a handle open and idle, then refused while a request
// is counted.
TEST_F(PluggedBridgeTest, QueryStopLooksOnlyAtCountedRequestsAndStartAfterStopInitialisesAgain) {
  Plug();
  ext()->OpenState = PORT_OPEN;  // an idle open handle
  ext()->BaudRate = 57600;       // set before the stop
  usbPort->ClearUrbLog();
  ASSERT_EQ(STATUS_SUCCESS, machine.pnp().Rebalance(pdo)) << "query-stop refused with only an idle handle";
  EXPECT_EQ(State::Started, machine.pnp().StateOf(pdo));
  EXPECT_TRUE(ext()->Started);
  EXPECT_EQ(2u, Initializations()) << "the new start did not initialise the chip again";
  bool sawInit = false;
  for (const auto& u : usbPort->Urbs()) sawInit |= u.hasSetup && u.setup.bRequest == 0xA1;
  EXPECT_TRUE(sawInit) << "request 0xA1 is missing from the URB log of the new start";
  EXPECT_EQ(57600u, ext()->BaudRate) << "the stop lost the settings";
  EXPECT_NEAR(57600.0, chip.LineFrame().baud, 57600.0 * 0.03) << "the kept rate was not programmed again";

  InterlockedIncrement(&ext()->PendingRequests);
  EXPECT_EQ(STATUS_DEVICE_BUSY, machine.pnp().Rebalance(pdo));
  EXPECT_TRUE(ext()->Started) << "the refused stop (then cancelled) left the port stopped";
  EXPECT_EQ(2u, Initializations());
  InterlockedDecrement(&ext()->PendingRequests);
  ext()->OpenState = PORT_CLOSED;
}

// Writes counted in the window between query-stop's look at the count and its clearing of
// Started are queued across the stop. The next start begins with empty queues and no output
// count: what was queued is cancelled, the current request is marked cancelled for its service
// code to finish.
TEST_F(PluggedBridgeTest, StartAfterStopEmptiesTheQueues) {
  Plug();
  ASSERT_EQ(STATUS_SUCCESS, machine.SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE));
  struct Queued {
    PIRP irp = nullptr;
    NTSTATUS status = STATUS_PENDING;
  } writes[2];
  auto startPending = [](PPORT_EXTENSION) -> NTSTATUS { return STATUS_PENDING; };
  ASSERT_TRUE(machine.RunInSystemThread("write", [&] {
    for (Queued& w : writes) {
      w.irp = IoAllocateIrp(port->StackSize + 1, FALSE);
      IoSetCompletionRoutine(
          w.irp,
          [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
            static_cast<Queued*>(context)->status = irp->IoStatus.Status;
            return STATUS_MORE_PROCESSING_REQUIRED;
          },
          &w, TRUE, TRUE, TRUE);
      IoSetNextIrpStackLocation(w.irp);
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(w.irp);
      sp->MajorFunction = IRP_MJ_WRITE;
      sp->Parameters.Write.Length = 100;
      sp->DeviceObject = port;
      InterlockedIncrement(&ext()->PendingRequests);  // admitted just before Started was cleared
      EXPECT_EQ(STATUS_PENDING,
                StartOrQueueRequest(port, w.irp, &ext()->WriteQueue, &ext()->CurrentWrite, startPending));
    }
  }));
  ASSERT_EQ(writes[0].irp, ext()->CurrentWrite);
  ASSERT_EQ(200u, ext()->TxPending);

  ASSERT_EQ(STATUS_SUCCESS, machine.SendPnp(pdo, IRP_MN_STOP_DEVICE));
  ASSERT_EQ(STATUS_SUCCESS, machine.SendPnp(pdo, IRP_MN_START_DEVICE));
  EXPECT_EQ(STATUS_CANCELLED, writes[1].status) << "the queued write survived the new start";
  EXPECT_TRUE(IsListEmpty(&ext()->WriteQueue));
  EXPECT_TRUE(writes[0].irp->Cancel) << "the current write was not marked for its service code";
  EXPECT_EQ(0u, ext()->TxPending) << "the new start keeps no output count";

  // The service code of the current write ends it.
  ASSERT_TRUE(machine.RunInSystemThread("finish", [&] {
    writes[0].irp->IoStatus.Status = STATUS_CANCELLED;
    AdvanceQueue(&ext()->CurrentWrite, &ext()->WriteQueue, ext());
  }));
  EXPECT_EQ(STATUS_CANCELLED, writes[0].status);
  EXPECT_EQ(0, ext()->PendingRequests);
  for (Queued& w : writes) IoFreeIrp(w.irp);
}

TEST_F(PluggedBridgeTest, QueryRemoveWithAHandleOpenIsRefusedAndRemovePendingLastsUntilCancelRemove) {
  Plug();
  ext()->OpenState = PORT_OPEN;
  ULONG_PTR information = 1;
  EXPECT_EQ(STATUS_DEVICE_BUSY, machine.SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE, {}, &information));
  EXPECT_EQ(0u, information);
  EXPECT_TRUE(ext()->RemovePending) << "a refused query-remove must still mark the removal pending";
  EXPECT_FALSE(ext()->Removed);
  EXPECT_TRUE(ext()->Started);
  EXPECT_EQ(STATUS_SUCCESS, machine.SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE));
  EXPECT_FALSE(ext()->RemovePending);
  ext()->OpenState = PORT_CLOSED;

  ASSERT_EQ(STATUS_SUCCESS, machine.pnp().Remove(pdo)) << "an orderly removal of an idle port failed";
  EXPECT_EQ(nullptr, PortOf(pdo));
  EXPECT_EQ(nullptr, machine.pnp().LoadedDriver(kServiceName));
}

// USB requests that never finish: removal gives up after 32 passes of 20 ms, each with a drain
// (which asks the hub for the port status first); requests that finish end the wait at the next
// pass. The first drain also aborts the reader thread's bulk-in transfers and takes a pass of its
// own to see them back.
TEST_F(PluggedBridgeTest, RemoveWaitsAtMost32PassesForUsbRequestsInFlight) {
  struct Case {
    const char* name;
    emu::VirtualTime releaseAfter;  // 0: never
    uint32_t minDrains, maxDrains;
    emu::VirtualTime atLeast;
  };
  const Case cases[] = {{"stuck", 0, 32, 33, 32 * 20 * ms}, {"done after 90 ms", 90 * ms, 2, 5, 80 * ms}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Plug();
    PPORT_EXTENSION e = ext();
    InterlockedIncrement(&e->UsbBusyCount);  // a synchronous request that does not return
    if (c.releaseAfter != 0) {
      machine.kernel().StartSystemThread("request", [e, &c] {
        LARGE_INTEGER delay;
        delay.QuadPart = -c.releaseAfter;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        InterlockedDecrement(&e->UsbBusyCount);
      });
    }
    const emu::VirtualTime start = machine.kernel().Now();
    const uint32_t queries = usbPort->PortStatusQueries();
    ASSERT_EQ(STATUS_SUCCESS, machine.pnp().Remove(pdo));
    EXPECT_GE(machine.kernel().Now() - start, c.atLeast);
    // Teardown's deconfiguration asks once more.
    const uint32_t drains = usbPort->PortStatusQueries() - queries - 1;
    EXPECT_GE(drains, c.minDrains);
    EXPECT_LE(drains, c.maxDrains);
    EXPECT_EQ(nullptr, PortOf(pdo)) << "teardown did not run";
    Unplug();
  }
}

// --- Requests steered below the port (stub bus) ---------------------------------------------------

// The Device Fundamentals operations on a port with an application's handle open through the
// operation and reads and writes pending on it, under every schedule: each ends in the state
// Windows leaves, the pending requests go on or end as the state asks, the handle keeps working or
// is refused, and nothing is left after the last device goes.
class PnpScenarioTest : public Scheduled<PluggedBridgeTest> {
 protected:
  // A read or write sent from an application thread and not waited for.
  struct Io {
    IO_STATUS_BLOCK iosb{};
    std::vector<uint8_t> buffer;
    bool Done() const { return iosb.Status != STATUS_PENDING; }
  };

  NTSTATUS Open(PFILE_OBJECT* file) { return machine.Open(dosName, file); }
  // A request on the open handle that the port serves in every started state.
  NTSTATUS Query(PFILE_OBJECT file) {
    FILE_STANDARD_INFORMATION info{};
    return machine.QueryInformation(file, FileStandardInformation, &info, sizeof info);
  }
  void PlugAndName() {
    Plug();
    dosName = ToU16(ext()->DosLinkName);
  }
  // With the default time-outs a read waits for all its bytes; nothing is on the line.
  void StartRead(PFILE_OBJECT file, Io& io) { Start(file, IRP_MJ_READ, io, 64); }
  // At the default 9600 baud 2000 bytes take about two seconds.
  void StartWrite(PFILE_OBJECT file, Io& io) { Start(file, IRP_MJ_WRITE, io, 2000); }
  // A wait-on-mask for a received byte or a ring, neither of which comes.
  void StartWait(PFILE_OBJECT file, Io& io) {
    ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_RING;
    ASSERT_EQ(STATUS_SUCCESS, machine.DeviceIoControl(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask,
                                                      nullptr, 0, nullptr));
    Start(file, IRP_MJ_DEVICE_CONTROL, io, sizeof(ULONG));
  }
  // Plugs the bridge, opens its port and leaves a read, a write and a wait-on-mask pending on the
  // handle.
  void PlugAndOpenWithIoPending(PFILE_OBJECT* file, Io& read, Io& write, Io& wait) {
    ASSERT_NO_FATAL_FAILURE(PlugAndName());
    ASSERT_EQ(STATUS_SUCCESS, Open(file));
    ASSERT_NO_FATAL_FAILURE(StartRead(*file, read));
    ASSERT_NO_FATAL_FAILURE(StartWrite(*file, write));
    ASSERT_NO_FATAL_FAILURE(StartWait(*file, wait));
  }
  bool RunUntilDone(const Io& io, emu::VirtualTime limit) {
    return machine.kernel().RunUntil([&] { return io.Done(); }, machine.kernel().Now() + limit);
  }
  std::u16string dosName;

 private:
  void Start(PFILE_OBJECT file, UCHAR major, Io& io, ULONG length) {
    io.buffer.assign(length, 0x5A);
    io.iosb.Status = STATUS_PENDING;
    emu::IoRequest request;
    request.majorFunction = major;
    if (major == IRP_MJ_DEVICE_CONTROL) {
      request.ioControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
      request.outputBuffer = io.buffer.data();
      request.outputLength = length;
    } else if (major == IRP_MJ_READ) {
      request.outputBuffer = io.buffer.data();
      request.outputLength = length;
    } else {
      request.inputBuffer = io.buffer.data();
      request.inputLength = length;
    }
    ASSERT_TRUE(machine.RunInApplicationThread(
        "io", [&] { machine.io().StartRequest(file, request, nullptr, &io.iosb); }));
    ASSERT_FALSE(io.Done()) << "the request did not stay pending";
  }
};

TEST_P(PnpScenarioTest, DisableEnableRemoveAndCancelRemoveAroundAnOpenHandleWithIoPending) {
  PFILE_OBJECT file = nullptr;
  Io read, write, wait;
  ASSERT_NO_FATAL_FAILURE(PlugAndOpenWithIoPending(&file, read, write, wait));
  EXPECT_EQ(STATUS_DEVICE_BUSY, machine.pnp().Remove(pdo)) << "removal granted under an open handle";
  EXPECT_EQ(State::Started, machine.pnp().StateOf(pdo));
  EXPECT_EQ(STATUS_SUCCESS, Query(file)) << "the cancelled removal left the handle unusable";
  EXPECT_EQ(STATUS_DEVICE_BUSY, machine.pnp().Disable(pdo));
  ASSERT_TRUE(RunUntilDone(write, 5 * emu::kSecond)) << "the write stalled after the refused removals";
  EXPECT_EQ(STATUS_SUCCESS, write.iosb.Status);
  EXPECT_EQ(2000u, write.iosb.Information);
  EXPECT_FALSE(read.Done()) << "the refused removals ended the read";
  EXPECT_FALSE(wait.Done()) << "the refused removals ended the wait";
  ASSERT_EQ(STATUS_SUCCESS, machine.Close(file));
  EXPECT_EQ(STATUS_CANCELLED, read.iosb.Status) << "cleanup left the read pending";
  EXPECT_EQ(STATUS_CANCELLED, wait.iosb.Status) << "cleanup left the wait pending";

  const size_t initializations = Initializations();
  ASSERT_EQ(STATUS_SUCCESS, machine.pnp().Disable(pdo));
  EXPECT_EQ(State::Disabled, machine.pnp().StateOf(pdo));
  EXPECT_EQ(nullptr, PortOf(pdo));
  ExpectDriverGone();
  ASSERT_EQ(STATUS_SUCCESS, machine.pnp().Enable(pdo));
  port = PortOf(pdo);
  ASSERT_NE(nullptr, port) << "enable created no port";
  EXPECT_EQ(initializations + 1, Initializations()) << "the new start did not initialise the chip";
  ASSERT_EQ(STATUS_SUCCESS, Open(&file)) << "the re-enabled port does not open";
  Io again;
  ASSERT_NO_FATAL_FAILURE(StartWrite(file, again));
  ASSERT_TRUE(RunUntilDone(again, 5 * emu::kSecond));
  EXPECT_EQ(STATUS_SUCCESS, again.iosb.Status) << "the re-enabled port does not write";
  ASSERT_EQ(STATUS_SUCCESS, machine.Close(file));

  ASSERT_EQ(STATUS_SUCCESS, machine.pnp().Remove(pdo));
  EXPECT_EQ(State::Removed, machine.pnp().StateOf(pdo));
  ExpectDriverGone();
}

TEST_P(PnpScenarioTest, RebalanceWaitsForPendingIoAndCancelStopKeepsItGoing) {
  ASSERT_NO_FATAL_FAILURE(PlugAndName());
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Open(&file));
  ASSERT_EQ(STATUS_SUCCESS, machine.pnp().Rebalance(pdo)) << "query-stop refused with only an idle handle";
  EXPECT_EQ(State::Started, machine.pnp().StateOf(pdo));
  EXPECT_EQ(STATUS_SUCCESS, Query(file)) << "the handle stopped working after the rebalance";

  Io read, write;
  ASSERT_NO_FATAL_FAILURE(StartRead(file, read));
  ASSERT_NO_FATAL_FAILURE(StartWrite(file, write));
  EXPECT_EQ(STATUS_DEVICE_BUSY, machine.pnp().Rebalance(pdo)) << "stopped under pending requests";
  EXPECT_EQ(State::Started, machine.pnp().StateOf(pdo));
  ASSERT_TRUE(RunUntilDone(write, 5 * emu::kSecond)) << "the write stalled after the cancelled stop";
  EXPECT_EQ(STATUS_SUCCESS, write.iosb.Status);
  EXPECT_FALSE(read.Done()) << "the cancelled stop ended the read";
  ASSERT_TRUE(machine.RunInApplicationThread("CancelIo", [&] { machine.io().CancelFileRequests(file); }));
  ASSERT_TRUE(RunUntilDone(read, emu::kSecond));
  EXPECT_EQ(STATUS_CANCELLED, read.iosb.Status);
  EXPECT_EQ(0u, read.iosb.Information);

  EXPECT_EQ(STATUS_SUCCESS, machine.pnp().Rebalance(pdo)) << "refused once the requests had ended";
  Io after;
  ASSERT_NO_FATAL_FAILURE(StartWrite(file, after));
  ASSERT_TRUE(RunUntilDone(after, 5 * emu::kSecond));
  EXPECT_EQ(STATUS_SUCCESS, after.iosb.Status) << "the port does not write after the rebalance";
  ASSERT_EQ(STATUS_SUCCESS, machine.Close(file));
}

TEST_P(PnpScenarioTest, SurpriseRemovalEndsPendingIoAtOnceWaitsForTheLastHandleAndABridgePluggedAgainServes) {
  PFILE_OBJECT file = nullptr;
  Io read, write, wait;
  ASSERT_NO_FATAL_FAILURE(PlugAndOpenWithIoPending(&file, read, write, wait));
  usbPort->Unplug();
  usbPort = nullptr;
  ASSERT_TRUE(machine.pnp().RunUntilIdle());
  EXPECT_EQ(State::SurpriseRemoved, machine.pnp().StateOf(pdo)) << "removed under the open handle";
  EXPECT_EQ(STATUS_CANCELLED, read.iosb.Status) << "the pending read outlived the surprise removal";
  EXPECT_EQ(STATUS_CANCELLED, wait.iosb.Status) << "the pending wait outlived the surprise removal";
  // The write ends as soon as the writer thread sees its transfer fail or its cancel.
  EXPECT_TRUE(RunUntilDone(write, 100 * emu::kMillisecond))
      << "the pending write outlived the surprise removal";
  EXPECT_NE(STATUS_SUCCESS, write.iosb.Status);
  EXPECT_EQ(STATUS_DELETE_PENDING, Query(file));
  PFILE_OBJECT second = nullptr;
  EXPECT_NE(STATUS_SUCCESS, Open(&second)) << "a surprise-removed port opened";
  // The port is no longer started, so its cleanup reports an invalid request; the handle goes
  // all the same, as CloseHandle ignores what cleanup and close return.
  (void)machine.Close(file);
  ASSERT_TRUE(machine.pnp().RunUntilIdle());
  EXPECT_EQ(State::Deleted, machine.pnp().StateOf(pdo));
  ExpectDriverGone();

  ASSERT_NO_FATAL_FAILURE(PlugAndName());
  ASSERT_EQ(STATUS_SUCCESS, Open(&file)) << "the bridge plugged again does not open";
  EXPECT_EQ(STATUS_SUCCESS, Query(file));
  ASSERT_EQ(STATUS_SUCCESS, machine.Close(file));
}

INSTANTIATE_TEST_SUITE_P(Schedules, PnpScenarioTest, AllSchedules(), ScheduleName);

// Completes IRP_MN_QUERY_CAPABILITIES with `status` after setting what a bus driver might say:
// LockSupported and UniqueID set, Removable and SurpriseRemovalOK clear.
class CapabilitiesBus : public emu::BusDriver {
 public:
  NTSTATUS status = STATUS_SUCCESS;
  NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) override {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS result = irp->IoStatus.Status;
    if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      caps->LockSupported = 1;
      caps->UniqueID = 1;
      caps->Removable = 0;
      caps->SurpriseRemovalOK = 0;
      result = status;
    } else if (sp->MajorFunction == IRP_MJ_PNP) {
      result = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = result;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
  }
};

class CapabilitiesTest : public DriverTest {};

TEST_F(CapabilitiesTest, UserRemovalZeroMakesThePortRemovableWhateverTheBusSaysUnlessTheBusFails) {
  struct Case {
    const char* name;
    ULONG userRemoval;
    NTSTATUS busStatus;
    bool lockSupported, uniqueId, removable, surpriseRemovalOk, silentInstall;
    DEVICE_POWER_STATE deviceWake;
    ULONG d1Latency;
  };
  const Case cases[] = {
      {"adjusted", 0, STATUS_SUCCESS, false, false, true, true, true, PowerDeviceUnspecified, 0},
      // Adjusted before forwarding, not again over the failed answer.
      {"bus fails", 0, STATUS_UNSUCCESSFUL, true, true, false, false, true, PowerDeviceUnspecified, 0},
      {"user removal", 1, STATUS_SUCCESS, true, true, false, false, false, PowerDeviceD2, 7},
  };
  registry().SetDword(ServiceKey(), u"UserRemoval", 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    registry().SetDword(ServiceKey(), u"UserRemoval", c.userRemoval);
    ASSERT_EQ(STATUS_SUCCESS, Load());
    CapabilitiesBus bus;
    bus.status = c.busStatus;
    PDEVICE_OBJECT pdo = machine().CreatePhysicalDevice(u"USB\\ZM470\\CAPS" + U16(c.name).substr(0, 3), bus);
    PDEVICE_OBJECT port = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, AddPort(pdo, &port));
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.DeviceWake = PowerDeviceD2;
    caps.D1Latency = 7;
    caps.NoDisplayInUI = 1;
    NTSTATUS status = machine().SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION sp) {
      sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    EXPECT_EQ(c.busStatus, status);
    EXPECT_EQ(c.lockSupported, caps.LockSupported != 0);
    EXPECT_EQ(c.uniqueId, caps.UniqueID != 0);
    EXPECT_EQ(c.removable, caps.Removable != 0);
    EXPECT_EQ(c.surpriseRemovalOk, caps.SurpriseRemovalOK != 0);
    EXPECT_EQ(c.silentInstall, caps.SilentInstall != 0);
    EXPECT_EQ(c.userRemoval != 0, caps.NoDisplayInUI != 0);
    EXPECT_EQ(c.deviceWake, caps.DeviceWake);
    EXPECT_EQ(c.d1Latency, caps.D1Latency);
    RemoveAllAndUnload();
  }
}

class PortNameTakeOverTest : public LoadedDriverTest {};

TEST_F(PortNameTakeOverTest, ARemovedPortThatLostItsComNameDeletesNeitherLinkNorValue) {
  PDEVICE_OBJECT old = AddBridge(u"COM8");
  ASSERT_NE(nullptr, old);
  const std::u16string oldName = ToU16(Ext(old)->DeviceName);
  // Interrupt mode: woken by the surprise removal, the status thread of an unstarted port goes
  // back to an untimed wait instead of polling once a second, so the machine can fall idle.
  Ext(old)->ChipVersion = 0x30;
  machine().SendPnp(Ext(old)->PhysicalDeviceObject, IRP_MN_SURPRISE_REMOVAL);
  ASSERT_TRUE(Ext(old)->Removed);
  PDEVICE_OBJECT newer = AddBridge(u"COM8");
  ASSERT_NE(nullptr, newer);
  const std::u16string newName = ToU16(Ext(newer)->DeviceName);
  ASSERT_EQ(newName, LinkTarget(u"COM8")) << "the newer port did not take the name over";

  RemovePort(old);
  EXPECT_EQ(newName, LinkTarget(u"COM8")) << "removing the old port deleted the newer port's link";
  EXPECT_EQ(u"COM8", SerialCommValue(newName)) << "removing the old port deleted the newer port's value";
  EXPECT_FALSE(SerialCommValue(oldName).has_value());
  EXPECT_EQ(1u, SerialCount());
}

// Surprise removal with requests waiting on an open handle.
class SurpriseRemovalTest : public QueueTest {};

TEST_F(SurpriseRemovalTest, CancelsQueuedRequestsAtOnceAndLaterRequestsGetDeletePending) {
  size_t read = Start(IRP_MJ_READ, 10);
  size_t queuedRead = Start(IRP_MJ_READ, 10);
  size_t wait = Start(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK);
  ASSERT_EQ(STATUS_PENDING, Status(read).Status);
  ASSERT_EQ(STATUS_PENDING, Status(wait).Status);
  ext()->ChipVersion = 0x30;  // the status thread in interrupt mode, as in the take-over test
  const emu::VirtualTime before = kernel().Now();
  machine().SendPnp(Ext(port())->PhysicalDeviceObject, IRP_MN_SURPRISE_REMOVAL);
  EXPECT_LT(kernel().Now() - before, 1 * ms) << "surprise removal waited";
  for (size_t r : {read, queuedRead, wait}) EXPECT_EQ(STATUS_CANCELLED, Status(r).Status) << "request " << r;
  EXPECT_EQ(0, ext()->PendingRequests);
  EXPECT_FALSE(ext()->Started);
  EXPECT_TRUE(ext()->Removed && ext()->RemovePending);
  EXPECT_EQ(STATUS_DELETE_PENDING, machine().Write(file(), "x", 1));
  EXPECT_EQ(STATUS_DELETE_PENDING, machine().Read(file(), nullptr, 0));
  EXPECT_EQ(0, ext()->PendingRequests);
}

// Removal racing a request that is inside its dispatch routine: the request's routine still uses
// the port when the remove arrives, and teardown must wait for it.
class RemoveRaceTest : public Scheduled<LoadedDriverTest> {};

struct RacingRequest {
  static inline bool sawPortAlive = false;
  static inline bool ran = false;
  // Admits the request, spends 30 ms in a stand-in for a synchronous USB request, then uses the
  // port and completes the request.
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    NTSTATUS status = AdmitRequest(device, irp);
    if (status != STATUS_SUCCESS) return status;
    LARGE_INTEGER delay;
    delay.QuadPart = -30 * ms;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    PPORT_EXTENSION ext = PortExtension(device);
    ran = true;
    sawPortAlive = ext->BufferBlock != nullptr && PortOf(ext->PhysicalDeviceObject) == device;
    irp->IoStatus.Status = STATUS_SUCCESS;
    return CompleteRequest(ext, irp, IO_NO_INCREMENT);
  }
};

TEST_P(RemoveRaceTest, RemoveWaitsForARequestStillInItsDispatchRoutine) {
  RacingRequest::sawPortAlive = false;
  RacingRequest::ran = false;
  driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RacingRequest::Dispatch;
  PDEVICE_OBJECT port = AddBridge();
  ASSERT_NE(nullptr, port);
  Ext(port)->Started = TRUE;
  Ext(port)->OpenState = PORT_OPEN;
  PDEVICE_OBJECT pdo = Ext(port)->PhysicalDeviceObject;
  ObReferenceObject(port);  // the request's own reference on the device, as a file object holds
  NTSTATUS requestStatus = STATUS_PENDING;
  kernel().StartSystemThread("request", [&] { requestStatus = SendAndWait(port, IRP_MJ_DEVICE_CONTROL); });
  LARGE_INTEGER delay;
  delay.QuadPart = -5 * ms;
  machine().RunInSystemThread("later", [&] { KeDelayExecutionThread(KernelMode, FALSE, &delay); });
  machine().SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
  kernel().Run();
  EXPECT_TRUE(RacingRequest::ran);
  EXPECT_TRUE(RacingRequest::sawPortAlive) << "teardown freed the port under a dispatch routine";
  EXPECT_EQ(STATUS_SUCCESS, requestStatus);
  EXPECT_EQ(nullptr, PortOf(pdo));
  machine().RunInSystemThread("release", [port] { ObDereferenceObject(port); });
}

INSTANTIATE_TEST_SUITE_P(Schedules, RemoveRaceTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
