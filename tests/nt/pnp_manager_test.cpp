// The Plug and Play manager with an emulated USB device and a small function driver that records
// what reaches it: the bus's identification, the start sequence, each operation's IRP order as
// Windows documents it, removal waiting for the last handle, driver unload and the verifier's
// removal rules.
#include <usbhost/fake_device.h>
#include <usbhost/usb_host.h>

#include "nt/io_test_support.h"
#include "nt/io_util.h"
#include "support/schedule_sweep.h"

#include <string>
#include <vector>

namespace {

using emu::Machine;
using emu::PnpManager;
using emu::testing::Addr;
using emu::testing::Complete;
using emu::usb::UsbHost;
using emu::usb::UsbPort;
using emu::usb::testing::FakeDevice;
using State = PnpManager::State;
using Log = std::vector<std::string>;
namespace bc = emu::bugcheck;

constexpr GUID kProbeInterface = {0x1b2c3d4e, 0x1111, 0x4222, {0x83, 0x33, 0, 0, 0, 0, 0, 1}};

// What the probe driver does wrong or refuses, and what it saw.
struct Probe {
  bool failStart = false, failQueryRemove = false, failQueryStop = false;
  bool failSurprise = false, failRemove = false, failCancelRemove = false, failCancelStop = false;
  bool detachInSurprise = false, deleteInSurprise = false, stayAtRemove = false;
  // Every Plug and Play IRP arrived at PASSIVE_LEVEL in the system worker, as STATUS_NOT_SUPPORTED.
  bool deliveredAsWindowsDoes = true;
  std::function<void()> atRemove;  // runs when IRP_MN_REMOVE_DEVICE arrives
  Log log;
  unsigned devices = 0;
} * g_probe;

struct ProbeExtension {
  PDEVICE_OBJECT lower;
  UNICODE_STRING iface;
  unsigned index;
};

std::u16string DeviceName(unsigned i) { return u"\\Device\\PnpProbe" + std::u16string(1, char16_t(u'0' + i)); }
std::u16string LinkName(unsigned i) { return u"\\DosDevices\\PROBE" + std::u16string(1, char16_t(u'0' + i)); }

const char* Minor(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return "QUERY_PNP_DEVICE_STATE";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "QUERY_DEVICE_RELATIONS";
    default: return "other";
  }
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the IRP down and waits for the drivers below.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, &SignalEvent, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS NTAPI ProbePnp(PDEVICE_OBJECT fdo, PIRP irp) {
  auto* x = static_cast<ProbeExtension*>(fdo->DeviceExtension);
  Probe& p = *g_probe;
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  p.log.push_back(Minor(minor));
  if (irp->IoStatus.Status != STATUS_NOT_SUPPORTED || KeGetCurrentIrql() != PASSIVE_LEVEL ||
      emu::Kernel::Current().CurrentContextName() != "pnp")
    p.deliveredAsWindowsDoes = false;
  switch (minor) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(x->lower, irp);
      if (NT_SUCCESS(status) && p.failStart) status = STATUS_UNSUCCESSFUL;
      if (NT_SUCCESS(status)) IoSetDeviceInterfaceState(&x->iface, TRUE);
      return Complete(irp, status);
    }
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE: {
      // The bus first, then each driver on the way up.
      NTSTATUS status = ForwardAndWait(x->lower, irp);
      const bool fail = minor == IRP_MN_CANCEL_REMOVE_DEVICE ? p.failCancelRemove : p.failCancelStop;
      return Complete(irp, fail ? STATUS_UNSUCCESSFUL : status);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
      if (minor == IRP_MN_QUERY_REMOVE_DEVICE ? p.failQueryRemove : p.failQueryStop)
        return Complete(irp, STATUS_UNSUCCESSFUL);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      IoSetDeviceInterfaceState(&x->iface, FALSE);
      if (p.detachInSurprise) IoDetachDevice(x->lower);
      if (p.deleteInSurprise) IoDeleteDevice(fdo);
      if (p.failSurprise) return Complete(irp, STATUS_UNSUCCESSFUL);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      if (p.atRemove) p.atRemove();
      if (p.failRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
      IoSetDeviceInterfaceState(&x->iface, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(x->lower, irp);
      if (p.stayAtRemove) return status;
      emu::testing::UStr link(LinkName(x->index));
      IoDeleteSymbolicLink(link);
      RtlFreeUnicodeString(&x->iface);
      IoDetachDevice(x->lower);
      IoDeleteDevice(fdo);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(x->lower, irp);
}

NTSTATUS NTAPI ProbeFile(PDEVICE_OBJECT, PIRP irp) {
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  g_probe->log.push_back(major == IRP_MJ_CREATE ? "CREATE" : major == IRP_MJ_CLEANUP ? "CLEANUP" : "CLOSE");
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI ProbeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  const unsigned index = g_probe->devices++;
  emu::testing::UStr name(DeviceName(index));
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(ProbeExtension), name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* x = static_cast<ProbeExtension*>(fdo->DeviceExtension);
  x->index = index;
  x->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  IoRegisterDeviceInterface(pdo, &kProbeInterface, nullptr, &x->iface);
  emu::testing::UStr link(LinkName(index));
  IoCreateSymbolicLink(link, name);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  g_probe->log.push_back("AddDevice");
  return STATUS_SUCCESS;
}

VOID NTAPI ProbeUnload(PDRIVER_OBJECT) { g_probe->log.push_back("Unload"); }

NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = &ProbePnp;
  driver->MajorFunction[IRP_MJ_CREATE] = &ProbeFile;
  driver->MajorFunction[IRP_MJ_CLEANUP] = &ProbeFile;
  driver->MajorFunction[IRP_MJ_CLOSE] = &ProbeFile;
  driver->DriverExtension->AddDevice = &ProbeAddDevice;
  driver->DriverUnload = &ProbeUnload;
  g_probe->log.push_back("DriverEntry");
  return STATUS_SUCCESS;
}

// A machine whose PnP manager knows the probe driver for the fake device's hardware id.
struct Rig {
  Probe probe;
  Machine m;
  FakeDevice device;  // outlives the host's port
  UsbHost host;
  UsbPort* port = nullptr;
  PDEVICE_OBJECT pdo = nullptr;

  explicit Rig(emu::KernelConfig config, std::u16string_view id = u"usb\\vid_1234&pid_5678")
      : m(config), host(m) {
    g_probe = &probe;
    m.pnp().RegisterDriver(id, u"pnpprobe", &ProbeEntry);
  }
  ~Rig() { g_probe = nullptr; }
  PnpManager& pnp() { return m.pnp(); }
  void Plug() {
    port = &host.Plug(device);
    pdo = port->Pdo();
    EXPECT_TRUE(pnp().RunUntilIdle()) << "the arrival did not finish";
  }
  // What the driver saw since the last call.
  Log Take() {
    Log out;
    out.swap(probe.log);
    return out;
  }
  void Unplug() {
    port->Unplug();
    pnp().RunUntilIdle();
  }
};

class PnpManagerTest : public ::testing::Test {
 protected:
  explicit PnpManagerTest(emu::KernelConfig config = emu::testing::CurrentConfig()) : r(config) {}
  Rig r;
};

const Log kStart = {"START", "QUERY_CAPABILITIES", "QUERY_PNP_DEVICE_STATE"};

Log Concat(std::initializer_list<Log> parts) {
  Log out;
  for (const Log& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(PnpManagerTest, ArrivalIdentifiesTheDeviceLoadsItsDriverAndStartsTheStack) {
  r.Plug();
  const PnpManager::Ids* ids = r.pnp().IdsOf(r.pdo);
  ASSERT_NE(ids, nullptr);
  EXPECT_EQ(ids->deviceId, u"USB\\VID_1234&PID_5678");
  EXPECT_EQ(ids->hardwareIds, (std::vector<std::u16string>{u"USB\\VID_1234&PID_5678&REV_0100", u"USB\\VID_1234&PID_5678"}));
  EXPECT_EQ(ids->compatibleIds, (std::vector<std::u16string>{u"USB\\Class_FF&SubClass_00&Prot_00",
                                                             u"USB\\Class_FF&SubClass_00", u"USB\\Class_FF"}));
  EXPECT_EQ(ids->instanceId, u"FAKE0001") << "the instance id is the serial number";
  const DEVICE_CAPABILITIES* caps = r.pnp().CapabilitiesOf(r.pdo);
  EXPECT_TRUE(caps->Removable);
  EXPECT_EQ(caps->Address, 1u) << "the hub reports the port number";
  auto hw = r.m.registry().GetValue(r.m.io().HardwareKeyPath(r.pdo), u"HardwareID");
  ASSERT_TRUE(hw) << "the hardware ids are not kept in the hardware key";
  EXPECT_EQ(hw->type, static_cast<ULONG>(REG_MULTI_SZ));

  EXPECT_EQ(r.Take(), Concat({{"DriverEntry", "AddDevice"}, kStart}))
      << "the enumeration queries go to the bus only; the driver sees AddDevice, then the start";
  EXPECT_EQ(r.pnp().StateOf(r.pdo), State::Started);
  EXPECT_TRUE(r.probe.deliveredAsWindowsDoes)
      << "a Plug and Play IRP came at raised IRQL, outside the system worker or with another status";
  ASSERT_EQ(r.pnp().InterfaceEvents().size(), 1u);
  EXPECT_TRUE(r.pnp().InterfaceEvents()[0].arrival) << "the enabled interface's arrival is announced";
}

TEST(PnpManagerMatch, CompatibleIdsMatchAfterHardwareIdsAndAnUnmatchedDeviceOnlyLosesItsPdo) {
  {
    Rig rig(emu::testing::CurrentConfig(), u"USB\\Class_FF&SubClass_00");
    rig.Plug();
    EXPECT_EQ(rig.pnp().StateOf(rig.pdo), State::Started) << "the compatible id did not match";
  }
  Rig rig(emu::testing::CurrentConfig(), u"USB\\VID_1234&PID_9999");
  rig.Plug();
  EXPECT_EQ(rig.pnp().StateOf(rig.pdo), State::NoDriver);
  rig.Unplug();
  EXPECT_EQ(rig.Take(), Log{}) << "no driver should have been loaded";
  EXPECT_EQ(rig.pnp().StateOf(rig.pdo), State::Deleted);
  EXPECT_TRUE(rig.m.io().IsDeleted(rig.pdo)) << "the remove of a driverless device did not reach its bus";
}

TEST_F(PnpManagerTest, TheHubAnswersTheTargetDeviceRelationWithAReferencedPdo) {
  r.Plug();
  ULONG_PTR info = 0;
  ASSERT_EQ(r.m.SendPnp(r.pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                        [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; },
                        &info),
            STATUS_SUCCESS);
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
  ASSERT_NE(relations, nullptr);
  EXPECT_EQ(relations->Count, 1u);
  EXPECT_EQ(relations->Objects[0], r.pdo);
  PDEVICE_OBJECT referenced = relations->Objects[0];
  r.m.RunInSystemThread("requester", [&] { ExFreePool(relations); });
  // The reference keeps the PDO after the device is gone, until the requester drops it.
  r.Unplug();
  EXPECT_TRUE(r.m.io().IsDeleted(r.pdo));
  EXPECT_EQ(r.pdo->Type, IO_TYPE_DEVICE) << "the referenced PDO's memory went away";
  r.m.RunInSystemThread("requester", [&] { ObDereferenceObject(referenced); });
}

// Each operation on a started device, with the minor functions the driver must see in order.
struct Sequence {
  const char* name;
  std::function<void(Probe&)> configure;
  std::function<NTSTATUS(Rig&)> operate;
  NTSTATUS status;
  Log log;
  State state;
};

TEST(PnpManagerSequences, OperationsSendWindowsSequences) {
  const Sequence sequences[] = {
      {"remove", {}, [](Rig& r) { return r.pnp().Remove(r.pdo); }, STATUS_SUCCESS,
       {"QUERY_REMOVE", "REMOVE", "Unload"}, State::Removed},
      {"remove refused", [](Probe& p) { p.failQueryRemove = true; }, [](Rig& r) { return r.pnp().Remove(r.pdo); },
       STATUS_UNSUCCESSFUL, {"QUERY_REMOVE", "CANCEL_REMOVE"}, State::Started},
      {"rebalance", {}, [](Rig& r) { return r.pnp().Rebalance(r.pdo); }, STATUS_SUCCESS,
       {"QUERY_STOP", "STOP", "START"}, State::Started},
      {"rebalance refused", [](Probe& p) { p.failQueryStop = true; },
       [](Rig& r) { return r.pnp().Rebalance(r.pdo); }, STATUS_UNSUCCESSFUL, {"QUERY_STOP", "CANCEL_STOP"},
       State::Started},
      {"disable then enable", {},
       [](Rig& r) {
         NTSTATUS s = r.pnp().Disable(r.pdo);
         EXPECT_EQ(r.pnp().StateOf(r.pdo), State::Disabled);
         EXPECT_EQ(r.pnp().Enable(r.pdo), STATUS_SUCCESS);
         return s;
       },
       STATUS_SUCCESS, Concat({{"QUERY_REMOVE", "REMOVE", "Unload", "DriverEntry", "AddDevice"}, kStart}),
       State::Started},
      {"surprise removal without handles", {}, [](Rig& r) { r.Unplug(); return STATUS_SUCCESS; },
       STATUS_SUCCESS, {"SURPRISE_REMOVAL", "REMOVE", "Unload"}, State::Deleted},
      {"failed start", [](Probe& p) { p.failStart = true; },
       [](Rig& r) { r.pnp().Disable(r.pdo); return r.pnp().Enable(r.pdo); }, STATUS_UNSUCCESSFUL,
       {"QUERY_REMOVE", "REMOVE", "Unload", "DriverEntry", "AddDevice", "START", "REMOVE", "Unload"},
       State::Failed},
  };
  for (const Sequence& s : sequences) {
    SCOPED_TRACE(s.name);
    Rig rig(emu::testing::CurrentConfig());
    rig.Plug();
    rig.Take();
    if (s.configure) s.configure(rig.probe);
    EXPECT_EQ(s.operate(rig), s.status);
    EXPECT_EQ(rig.Take(), s.log);
    EXPECT_TRUE(rig.probe.deliveredAsWindowsDoes);
    EXPECT_EQ(rig.pnp().StateOf(rig.pdo), s.state) << PnpStateName(rig.pnp().StateOf(rig.pdo));
    const bool loaded = rig.pnp().LoadedDriver(u"pnpprobe") != nullptr;
    EXPECT_EQ(loaded, s.state == State::Started) << "the driver stays loaded exactly while it has a device";
  }
}

TEST_F(PnpManagerTest, SurpriseRemovalWaitsForTheLastHandleAndRefusesNewOpens) {
  r.Plug();
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(r.m.Open(u"\\??\\PROBE0", &file), STATUS_SUCCESS);
  r.Take();
  r.Unplug();
  EXPECT_EQ(r.Take(), Log{"SURPRISE_REMOVAL"}) << "the remove must wait for the open handle";
  EXPECT_EQ(r.pnp().StateOf(r.pdo), State::SurpriseRemoved);
  EXPECT_FALSE(r.m.io().IsDeleted(r.pdo));
  PFILE_OBJECT second = nullptr;
  EXPECT_EQ(r.m.Open(u"\\Device\\PnpProbe0", &second), STATUS_DELETE_PENDING);
  EXPECT_EQ(r.Take(), Log{}) << "a refused open reached the driver";

  ASSERT_EQ(r.m.Close(file), STATUS_SUCCESS);
  r.pnp().RunUntilIdle();
  EXPECT_EQ(r.Take(), (Log{"CLEANUP", "CLOSE", "REMOVE", "Unload"}));
  EXPECT_EQ(r.pnp().StateOf(r.pdo), State::Deleted);
  EXPECT_TRUE(r.m.io().IsDeleted(r.pdo)) << "the hub deletes the PDO of a device gone from its port";
  const auto& events = r.pnp().InterfaceEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[1].arrival) << "the interface's removal was not announced";
}

// A restart after rebalance that fails surprise-removes the device (as Windows does): a handle
// opened before the stop is still open, so IRP_MN_REMOVE_DEVICE waits for it; the device then
// stays on its bus as failed, and Enable starts it again.
TEST_F(PnpManagerTest, FailedRestartSurpriseRemovesAndRemovesAfterTheLastHandle) {
  r.Plug();
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(r.m.Open(u"\\??\\PROBE0", &file), STATUS_SUCCESS);
  r.probe.failStart = true;
  r.Take();
  EXPECT_EQ(r.pnp().Rebalance(r.pdo), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.Take(), (Log{"QUERY_STOP", "STOP", "START", "SURPRISE_REMOVAL"}))
      << "a failed restart must surprise-remove, and the remove wait for the open handle";
  EXPECT_EQ(r.pnp().StateOf(r.pdo), State::SurpriseRemoved);

  ASSERT_EQ(r.m.Close(file), STATUS_SUCCESS);
  r.pnp().RunUntilIdle();
  EXPECT_EQ(r.Take(), (Log{"CLEANUP", "CLOSE", "REMOVE", "Unload"}));
  EXPECT_EQ(r.pnp().StateOf(r.pdo), State::Failed) << PnpStateName(r.pnp().StateOf(r.pdo));
  EXPECT_FALSE(r.m.io().IsDeleted(r.pdo)) << "the device is still on its bus";
  r.probe.failStart = false;
  EXPECT_EQ(r.pnp().Enable(r.pdo), STATUS_SUCCESS);
  EXPECT_EQ(r.pnp().StateOf(r.pdo), State::Started);
}

TEST_F(PnpManagerTest, OpensDuringAnOrderlyRemoveAreRefused) {
  r.Plug();
  NTSTATUS during = STATUS_SUCCESS;
  r.probe.atRemove = [&] {
    PFILE_OBJECT file = nullptr;
    during = r.m.io().OpenFile(u"\\??\\PROBE0", GENERIC_READ, &file);
  };
  EXPECT_EQ(r.pnp().Remove(r.pdo), STATUS_SUCCESS);
  EXPECT_EQ(during, STATUS_NO_SUCH_DEVICE) << "an open after the query-remove succeeded went through";
}

// Each removal rule a driver can break, with the bug check and parameters Windows' verifier raises
// (0xC4 0x43006 is the DDI compliance rule PnpRemove; 0xC9 0x21D, 0x241, 0x242 the I/O verifier's).
struct RemovalRule {
  const char* fault;
  std::function<void(Probe&)> configure;
  std::function<void(Rig&)> provoke;
  ULONG code;
  ULONG_PTR param1;
  ULONG_PTR param4;  // 0: the FDO
};

TEST(PnpManagerRules, BreakingARemovalRuleBugChecks) {
  auto unplug = [](Rig& r) { r.Unplug(); };
  auto remove = [](Rig& r) { r.pnp().Remove(r.pdo); };
  auto rebalance = [](Rig& r) { r.pnp().Rebalance(r.pdo); };
  const RemovalRule rules[] = {
      {"surprise removal failed", [](Probe& p) { p.failSurprise = true; }, unplug,
       bc::kDriverVerifierDetectedViolation, 0x43006, IRP_MN_SURPRISE_REMOVAL},
      {"remove failed", [](Probe& p) { p.failRemove = true; }, remove, bc::kDriverVerifierDetectedViolation,
       0x43006, IRP_MN_REMOVE_DEVICE},
      {"cancel remove failed", [](Probe& p) { p.failQueryRemove = p.failCancelRemove = true; }, remove,
       bc::kDriverVerifierDetectedViolation, 0x43006, IRP_MN_CANCEL_REMOVE_DEVICE},
      {"cancel stop failed", [](Probe& p) { p.failQueryStop = p.failCancelStop = true; }, rebalance,
       bc::kDriverVerifierDetectedViolation, 0x43006, IRP_MN_CANCEL_STOP_DEVICE},
      {"detached in surprise removal", [](Probe& p) { p.detachInSurprise = true; }, unplug,
       bc::kDriverVerifierIoManagerViolation, 0x241, 0},
      {"deleted in surprise removal", [](Probe& p) { p.deleteInSurprise = true; }, unplug,
       bc::kDriverVerifierIoManagerViolation, 0x242, 0},
      {"still attached after remove", [](Probe& p) { p.stayAtRemove = true; }, remove,
       bc::kDriverVerifierIoManagerViolation, 0x21D, 0},
  };
  for (const RemovalRule& rule : rules) {
    emu::testing::ForEachModel([&](const emu::KernelConfig& config) {
      SCOPED_TRACE(rule.fault);
      Rig rig(config);
      rig.Plug();
      PDEVICE_OBJECT fdo = rig.pdo->AttachedDevice;
      if (rule.configure) rule.configure(rig.probe);
      EXPECT_BUGCHECK_THAT(rule.code, rule.provoke(rig), {
        EXPECT_EQ(bugcheck.params[0], rule.param1) << bugcheck.report;
        EXPECT_EQ(bugcheck.context.rfind("pnp", 0), 0u) << "raised outside the Plug and Play worker";
        if (rule.code == bc::kDriverVerifierDetectedViolation) {
          EXPECT_EQ(bugcheck.params[2], Addr(fdo)) << "the device at the top of the stack";
          EXPECT_EQ(bugcheck.params[3], rule.param4) << "the minor function";
        } else {
          EXPECT_EQ(bugcheck.params[1], Addr(reinterpret_cast<const void*>(&ProbePnp)));
          EXPECT_EQ(bugcheck.params[3], Addr(fdo));
        }
      });
    });
  }
}

// Handles opened and closed by applications while the device is pulled out: the remove comes
// after the last close, opens after the surprise removal are refused, and the driver goes.
class PnpRaceTest : public PnpManagerTest {
 protected:
  explicit PnpRaceTest(const emu::KernelConfig& config) : PnpManagerTest(config) {}
};
using PnpRemovalRaceTest = test_support::Scheduled<PnpRaceTest>;

TEST_P(PnpRemovalRaceTest, RemoveFollowsTheLastCloseOfRacingHandles) {
  r.Plug();
  r.Take();
  std::vector<NTSTATUS> opens;
  for (int t = 0; t < 3; ++t) {
    r.m.kernel().StartApplicationThread("app" + std::to_string(t), [&, t] {
      for (int i = 0; i < 2; ++i) {
        PFILE_OBJECT file = nullptr;
        NTSTATUS s = r.m.io().OpenFile(t == 0 ? u"\\Device\\PnpProbe0" : u"\\??\\PROBE0", GENERIC_READ, &file);
        opens.push_back(s);
        LARGE_INTEGER due;
        due.QuadPart = -10000LL * (t + 1);
        KeDelayExecutionThread(KernelMode, FALSE, &due);
        if (NT_SUCCESS(s)) r.m.io().CloseFile(file);
      }
    });
  }
  r.m.kernel().ScheduleDeviceEvent(r.m.kernel().Now() + 2 * emu::kMillisecond, [&] { r.port->Unplug(); });
  r.m.kernel().Run();
  ASSERT_TRUE(r.pnp().Idle());
  const Log log = r.Take();
  std::string text;
  for (const auto& l : log) text += l + " ";
  SCOPED_TRACE(text);
  auto count = [&](const char* what) { return std::count(log.begin(), log.end(), what); };
  EXPECT_EQ(count("CREATE"), count("CLOSE")) << "a handle was never closed";
  EXPECT_EQ(count("SURPRISE_REMOVAL"), 1);
  ASSERT_EQ(count("REMOVE"), 1);
  auto remove = std::find(log.begin(), log.end(), "REMOVE");
  EXPECT_EQ(std::find(remove, log.end(), "CLOSE"), log.end()) << "the remove overtook a close";
  EXPECT_EQ(log.back(), "Unload");
  for (NTSTATUS s : opens) {
    EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_DELETE_PENDING || s == STATUS_NO_SUCH_DEVICE ||
                s == STATUS_OBJECT_NAME_NOT_FOUND)
        << "open ended with " << emu::HexStatus(s);
  }
  EXPECT_EQ(r.pnp().StateOf(r.pdo), State::Deleted);
}

INSTANTIATE_TEST_SUITE_P(Schedules, PnpRemovalRaceTest, test_support::AllSchedules(),
                         test_support::ScheduleName);

}  // namespace
