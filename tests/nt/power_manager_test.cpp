// The power manager with two emulated USB devices under a small power policy owner: the order of
// the system power IRPs over the device tree, the device IRP a driver requests running through
// its stack before the system IRP goes on, a veto by query-power, shutdown, and how the IRPs are
// delivered (PASSIVE_LEVEL, system workers, STATUS_NOT_SUPPORTED).
#include <usbhost/fake_device.h>
#include <usbhost/usb_host.h>

#include <memory>
#include <string>
#include <vector>

#include "nt/io_test_support.h"
#include "nt/io_util.h"

namespace {

using emu::Machine;
using emu::testing::Complete;
using emu::usb::UsbHost;
using emu::usb::UsbPort;
using emu::usb::testing::FakeDevice;
using Log = std::vector<std::string>;

// What the policy driver refuses, and what it saw.
struct PowerProbe {
  int vetoQueryOf = -1;          // the device (by arrival) that fails a system query-power
  bool failDeviceQuery = false;  // device query-power requests are failed
  // Every power IRP arrived at PASSIVE_LEVEL as STATUS_NOT_SUPPORTED, system IRPs in the Plug and
  // Play worker and requested device IRPs in a power worker; every completion function ran at or
  // below DISPATCH_LEVEL.
  bool deliveredAsWindowsDoes = true;
  std::vector<POWER_ACTION> actions;  // ShutdownType of each system IRP
  Log log;
  unsigned devices = 0;
} * g_power;

struct ProbeExtension {
  PDEVICE_OBJECT lower;
  unsigned index;
};

std::string StateName(const IO_STACK_LOCATION& sp) {
  if (sp.Parameters.Power.Type == SystemPowerState)
    return "S" + std::to_string(sp.Parameters.Power.State.SystemState - 1);
  return "D" + std::to_string(sp.Parameters.Power.State.DeviceState - 1);
}

struct DeviceRequest {
  KEVENT done;
  unsigned index;
};

VOID NTAPI DeviceIrpDone(PDEVICE_OBJECT, UCHAR, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK iosb) {
  auto* request = static_cast<DeviceRequest*>(context);
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) g_power->deliveredAsWindowsDoes = false;
  g_power->log.push_back("done D" + std::to_string(state.DeviceState - 1) + " #" +
                         std::to_string(request->index) + " " + emu::HexStatus(iosb->Status));
  KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS PassDown(ProbeExtension* x, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(x->lower, irp);
}

NTSTATUS NTAPI ProbePower(PDEVICE_OBJECT fdo, PIRP irp) {
  auto* x = static_cast<ProbeExtension*>(fdo->DeviceExtension);
  PowerProbe& p = *g_power;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const bool system = sp->Parameters.Power.Type == SystemPowerState;
  const std::string self = " #" + std::to_string(x->index);
  p.log.push_back(std::string(sp->MinorFunction == IRP_MN_QUERY_POWER ? "query " : "set ") + StateName(*sp) +
                  self);
  if (irp->IoStatus.Status != STATUS_NOT_SUPPORTED || KeGetCurrentIrql() != PASSIVE_LEVEL ||
      emu::Kernel::Current().CurrentContextName() != (system ? "pnp" : "power"))
    p.deliveredAsWindowsDoes = false;
  if (system) p.actions.push_back(sp->Parameters.Power.ShutdownType);

  if (sp->MinorFunction == IRP_MN_QUERY_POWER &&
      (system ? static_cast<int>(x->index) == p.vetoQueryOf : p.failDeviceQuery)) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_UNSUCCESSFUL);
  }
  if (sp->MinorFunction == IRP_MN_SET_POWER && system) {
    // The policy owner's device state for the system state, before the system IRP goes on.
    DeviceRequest request{{}, x->index};
    KeInitializeEvent(&request.done, NotificationEvent, FALSE);
    POWER_STATE device;
    device.DeviceState =
        sp->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    if (PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, device, &DeviceIrpDone, &request, nullptr) == STATUS_PENDING)
      KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
    p.log.push_back("pass " + StateName(*sp) + self);
  } else if (sp->MinorFunction == IRP_MN_SET_POWER) {
    PoSetPowerState(fdo, DevicePowerState, sp->Parameters.Power.State);
  }
  return PassDown(x, irp);
}

NTSTATUS NTAPI ProbePnp(PDEVICE_OBJECT fdo, PIRP irp) {
  auto* x = static_cast<ProbeExtension*>(fdo->DeviceExtension);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_START_DEVICE) irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(x->lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(x->lower);
    IoDeleteDevice(fdo);
  }
  return status;
}

NTSTATUS NTAPI ProbeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(ProbeExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* x = static_cast<ProbeExtension*>(fdo->DeviceExtension);
  x->index = g_power->devices++;
  x->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI ProbeUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = &ProbePnp;
  driver->MajorFunction[IRP_MJ_POWER] = &ProbePower;
  driver->DriverExtension->AddDevice = &ProbeAddDevice;
  driver->DriverUnload = &ProbeUnload;
  return STATUS_SUCCESS;
}

// Two devices of the probe driver on one bus, #0 plugged first.
struct PowerRig {
  PowerProbe probe;
  Machine m;
  FakeDevice first{{.serial = "FAKE0001"}};
  FakeDevice second{{.serial = "FAKE0002"}};
  UsbHost host;
  std::vector<UsbPort*> ports;

  explicit PowerRig(emu::KernelConfig config) : m(config), host(m) {
    g_power = &probe;
    m.pnp().RegisterDriver(u"usb\\vid_1234&pid_5678", u"powerprobe", &ProbeEntry);
    for (FakeDevice* d : {&first, &second}) {
      ports.push_back(&host.Plug(*d));
      EXPECT_TRUE(m.pnp().RunUntilIdle()) << "the arrival did not finish";
    }
  }
  ~PowerRig() { g_power = nullptr; }
  PDEVICE_OBJECT Pdo(int i) const { return ports[static_cast<size_t>(i)]->Pdo(); }
  PDEVICE_OBJECT Fdo(int i) const { return Pdo(i)->AttachedDevice; }
  Log Take() {
    Log out;
    out.swap(probe.log);
    return out;
  }
};

// The device IRP the driver requests runs through its stack and completes before the system IRP
// goes on.
Log SetVia(const std::string& system, const std::string& device, int i) {
  const std::string self = " #" + std::to_string(i);
  return {"set " + system + self, "set " + device + self, "done " + device + self + " 0x00000000",
          "pass " + system + self};
}

Log Concat(std::initializer_list<Log> parts) {
  Log out;
  for (const Log& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class PowerManagerTest : public ::testing::Test {
 protected:
  PowerRig r{emu::testing::CurrentConfig()};
};

TEST_F(PowerManagerTest, SleepQueriesEveryStackThenSetsLeavesFirstAndWakeSetsParentsFirst) {
  ASSERT_EQ(r.m.Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(r.Take(), Concat({{"query S3 #0", "query S3 #1"}, SetVia("S3", "D3", 1), SetVia("S3", "D3", 0)}))
      << "every stack is queried before any is set, and the last device to arrive is set first";
  EXPECT_EQ(r.m.power().SystemState(), PowerSystemSleeping3);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(r.m.power().DeviceState(r.Fdo(i)), PowerDeviceD3) << "the driver's PoSetPowerState of #" << i;
    EXPECT_EQ(r.m.power().DeviceState(r.Pdo(i)), PowerDeviceD3) << "the hub's PoSetPowerState of #" << i;
  }

  ASSERT_EQ(r.m.Wake(), STATUS_SUCCESS);
  EXPECT_EQ(r.Take(), Concat({SetVia("S0", "D0", 0), SetVia("S0", "D0", 1)}))
      << "the first device is resumed first";
  EXPECT_EQ(r.m.power().SystemState(), PowerSystemWorking);
  EXPECT_EQ(r.m.power().DeviceState(r.Fdo(1)), PowerDeviceD0);
  EXPECT_EQ(r.probe.actions, std::vector<POWER_ACTION>(6, PowerActionSleep))
      << "queries, sets and the resume all name the sleep action";
  EXPECT_TRUE(r.probe.deliveredAsWindowsDoes);
  r.m.kernel().RunFor(emu::kMillisecond);
  EXPECT_EQ(r.m.io().LiveIrpCount(), 0u) << "a requested power IRP was not freed";
  EXPECT_EQ(r.m.Wake(), STATUS_INVALID_DEVICE_STATE) << "a working system cannot resume";
}

TEST_F(PowerManagerTest, AVetoedQueryLeavesTheSystemWorkingAndReaffirmsItToTheQueriedStacks) {
  r.probe.vetoQueryOf = 1;
  EXPECT_EQ(r.m.Sleep(PowerSystemHibernate), STATUS_UNSUCCESSFUL) << "the veto's status is the result";
  EXPECT_EQ(r.Take(), Concat({{"query S4 #0", "query S4 #1"}, SetVia("S0", "D0", 0), SetVia("S0", "D0", 1)}));
  EXPECT_EQ(r.m.power().SystemState(), PowerSystemWorking);
  EXPECT_TRUE(r.host.Ports()[0]->Connected());
  EXPECT_EQ(r.m.Sleep(PowerSystemWorking), STATUS_INVALID_PARAMETER) << "S0 is not a sleeping state";
  EXPECT_TRUE(r.probe.deliveredAsWindowsDoes);
}

TEST_F(PowerManagerTest, ShutdownIsNotQueriedAndTheMachineStaysOff) {
  ASSERT_EQ(r.m.Shutdown(), STATUS_SUCCESS);
  EXPECT_EQ(r.Take(), Concat({SetVia("S5", "D3", 1), SetVia("S5", "D3", 0)}));
  EXPECT_EQ(r.probe.actions, std::vector<POWER_ACTION>(2, PowerActionShutdownOff));
  EXPECT_EQ(r.m.Wake(), STATUS_INVALID_DEVICE_STATE) << "a machine that was shut down does not resume";
  EXPECT_EQ(r.m.Sleep(PowerSystemSleeping1), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(r.m.Shutdown(), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(PowerManagerTest, ARequestedIrpReportsItsFinalStatusAndIsFreedAndSetPowerStateAnswersTheOldState) {
  r.probe.failDeviceQuery = true;
  const size_t before = r.m.io().LiveIrpCount();
  NTSTATUS invalid = STATUS_SUCCESS;
  ASSERT_TRUE(r.m.RunInSystemThread("requester", [&] {
    DeviceRequest request{{}, 1};
    KeInitializeEvent(&request.done, NotificationEvent, FALSE);
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    // Sent to the stack of the device named, from its top, whichever device of it is named.
    ASSERT_EQ(PoRequestPowerIrp(r.Pdo(1), IRP_MN_QUERY_POWER, d2, &DeviceIrpDone, &request, nullptr),
              STATUS_PENDING);
    KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
    invalid = PoRequestPowerIrp(r.Fdo(1), IRP_MN_POWER_SEQUENCE, d2, &DeviceIrpDone, &request, nullptr);
    // PoSetPowerState answers the state it replaces, per device and per type.
    POWER_STATE d3, s1;
    d3.DeviceState = PowerDeviceD3;
    s1.SystemState = PowerSystemSleeping1;
    EXPECT_EQ(PoSetPowerState(r.Fdo(0), DevicePowerState, d2).DeviceState, PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(r.Fdo(0), DevicePowerState, d3).DeviceState, PowerDeviceD2);
    EXPECT_EQ(PoSetPowerState(r.Fdo(0), SystemPowerState, s1).SystemState, PowerSystemWorking);
    EXPECT_EQ(PoSetPowerState(r.Fdo(1), DevicePowerState, d3).DeviceState, PowerDeviceD0);
  }));
  r.m.kernel().RunFor(emu::kMillisecond);  // the power worker frees the IRP after the completion function
  EXPECT_EQ(r.Take(), (Log{"query D2 #1", "done D2 #1 0xC0000001"}))
      << "the completion function gets the status the driver failed the IRP with";
  EXPECT_EQ(r.m.power().DeviceState(r.Fdo(0)), PowerDeviceD3);
  EXPECT_EQ(invalid, STATUS_INVALID_PARAMETER_2)
      << "only query-power, set-power and wait-wake can be requested";
  EXPECT_EQ(r.m.io().LiveIrpCount(), before) << "the power manager did not free its IRP";
  EXPECT_TRUE(r.probe.deliveredAsWindowsDoes);
}

}  // namespace
