// The I/O verifier: each rule a driver can break stops the machine with the Windows bug check
// code and parameters, under both processor models.

#include "nt/io_test_support.h"

namespace {

using emu::testing::Addr;
using emu::testing::BusAnswers;
using emu::testing::Complete;
using emu::testing::ExpectRuleFires;
using emu::testing::InThread;
using emu::testing::LambdaDriver;
using emu::testing::OwnIrp;
using emu::testing::RaiseTo;
using emu::testing::Rule;
using emu::testing::RuleRig;
namespace bc = emu::bugcheck;
namespace iov = emu::iov;

constexpr ULONG kIo = bc::kDriverVerifierIoManagerViolation;

VOID NTAPI UnusedCancel(PDEVICE_OBJECT, PIRP) {}

// A completion routine for a dispatch routine that waits for the lower driver: it must not
// propagate the pending mark, since its dispatch routine does not return STATUS_PENDING.
NTSTATUS NTAPI MarkAndSignal(PDEVICE_OBJECT, PIRP irp, PVOID event) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI CancelKeepingTheLock(PDEVICE_OBJECT, PIRP) {}  // forgets IoReleaseCancelSpinLock

// A driver for the load, unload and AddDevice rules; `flaw` is what it does wrong.
enum class Flaw { None, LeavesDevice, LeavesPool, LeavesInitializing };
Flaw g_flaw = Flaw::None;

VOID NTAPI ProbeUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI ProbeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS s = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(s)) return s;
  IoAttachDeviceToDeviceStack(fdo, pdo);
  if (g_flaw != Flaw::LeavesInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = &ProbeUnload;
  driver->DriverExtension->AddDevice = &ProbeAddDevice;
  PDEVICE_OBJECT d;
  if (g_flaw == Flaw::LeavesDevice) IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
  if (g_flaw == Flaw::LeavesPool) {
    ExAllocatePoolWithTag(NonPagedPool, 100, 'LkaL');
    ExAllocatePoolWithTag(PagedPool, 50, 'LkaL');
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 10, 'eerF'));
  }
  return STATUS_SUCCESS;
}

std::function<void(RuleRig&)> LoadAndUnloadProbe(Flaw flaw) {
  return [flaw](RuleRig& r) {
    g_flaw = flaw;
    PDRIVER_OBJECT d = r.m.LoadDriver(u"probe", &ProbeEntry);
    ASSERT_NE(d, nullptr);
    r.m.UnloadDriver(d);
  };
}

const Rule kIoRules[] = {
    // Dispatch and completion.
    Rule("an IRP completed twice", bc::kMultipleIrpCompleteRequests, {}, BusAnswers([](RuleRig& r, PIRP irp) {
           r.expect[0] = Addr(irp);
           Complete(irp, STATUS_SUCCESS);
           IoCompleteRequest(irp, IO_NO_INCREMENT);  // the IRP is not the driver's to touch now
           return STATUS_SUCCESS;
         })),
    Rule("an IRP completed with its cancel routine set", bc::kCancelStateInCompletedIrp, {},
         BusAnswers([](RuleRig& r, PIRP irp) {
           r.expect[1] = reinterpret_cast<ULONG_PTR>(&UnusedCancel);
           IoSetCancelRoutine(irp, &UnusedCancel);
           return Complete(irp, STATUS_SUCCESS);
         })),
    Rule("STATUS_PENDING returned without IoMarkIrpPending", kIo, {iov::kPendingNotMarked},
         BusAnswers([](RuleRig& r, PIRP irp) {
           r.m.kernel().StartSystemThread("late", [irp] { Complete(irp, STATUS_SUCCESS); });
           return STATUS_PENDING;
         })),
    Rule("IoMarkIrpPending and then another status than STATUS_PENDING returned", kIo,
         {iov::kMarkedButNotPending}, BusAnswers([](RuleRig& r, PIRP irp) {
           r.expect[2] = Addr(irp);
           r.expect[3] = Addr(r.pdo);
           IoMarkIrpPending(irp);
           return Complete(irp, STATUS_SUCCESS);
         })),
    Rule("a completion routine marking pending while its dispatch routine waits and returns success", kIo,
         {iov::kMarkedButNotPending, reinterpret_cast<ULONG_PTR>(&LambdaDriver::Dispatch)}, [](RuleRig& r) {
           LambdaDriver filter(r.m, u"waiter");
           PDEVICE_OBJECT dev = filter.AddDevice(r.pdo);
           r.bus.handler = [&r](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             r.m.kernel().StartSystemThread("late", [irp] { Complete(irp, STATUS_SUCCESS); });
             return STATUS_PENDING;
           };
           filter.dispatch = [&r, dev](PDEVICE_OBJECT, PIRP irp) {
             r.expect[2] = Addr(irp);
             r.expect[3] = Addr(dev);
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(irp, &MarkAndSignal, &r.event, TRUE, TRUE, TRUE);
             if (IoCallDriver(r.pdo, irp) == STATUS_PENDING) emu::testing::WaitOn(&r.event);
             return Complete(irp, STATUS_SUCCESS);
           };
           r.m.SendPnp(r.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
         }),
    Rule("success returned without completing", kIo, {iov::kNotCompletedNorPending},
         BusAnswers([](RuleRig&, PIRP) { return STATUS_SUCCESS; })),
    Rule("a status returned other than the one completed", kIo, {iov::kStatusMismatch},
         BusAnswers([](RuleRig&, PIRP irp) {
           Complete(irp, STATUS_UNSUCCESSFUL);
           return STATUS_SUCCESS;
         })),
    Rule("an IRP completed with STATUS_PENDING", kIo, {iov::kCompleteWithPendingStatus},
         BusAnswers([](RuleRig&, PIRP irp) { return Complete(irp, STATUS_PENDING); })),
    Rule("IoCompleteRequest above DISPATCH_LEVEL", kIo, {iov::kCompleteAboveDispatch},
         BusAnswers([](RuleRig& r, PIRP irp) {
           // Hardware events run above DISPATCH_LEVEL; a device model must complete through a DPC.
           IoMarkIrpPending(irp);
           r.m.kernel().ScheduleDeviceEvent(emu::kMillisecond, [irp] { Complete(irp, STATUS_SUCCESS); });
           return STATUS_PENDING;
         })),
    Rule("a dispatch routine returning at another IRQL", kIo, {iov::kIrqlChangedInDispatch},
         BusAnswers([](RuleRig&, PIRP irp) {
           Complete(irp, STATUS_SUCCESS);
           RaiseTo(DISPATCH_LEVEL);
           return STATUS_SUCCESS;
         })),
    Rule("completion running past the top of a driver's own IRP", kIo, {iov::kUnknown},
         InThread([](RuleRig& r) { IoCallDriver(r.pdo, OwnIrp()); })),
    Rule("a cancel routine returning with the cancel lock held", 0x11B, {},
         [](RuleRig& r) {
           PIRP parked = nullptr;
           r.ParkNext(&parked, &CancelKeepingTheLock);
           r.m.kernel().StartApplicationThread("caller", [&] { r.m.io().SendToStack(r.pdo, {}); });
           r.m.kernel().Run();
           r.context = "canceller";
           r.m.RunInSystemThread("canceller", [&] { IoCancelIrp(parked); });
         }),
    // IRPs of a driver's own.
    Rule("a freed IRP used again", bc::kDriverPageFaultInFreedSpecialPool, {}, InThread([](RuleRig& r) {
           PIRP irp = OwnIrp();
           IoFreeIrp(irp);
           r.expect[0] = Addr(irp);
           IoCallDriver(r.pdo, irp);
         })),
    Rule("an IRP freed while a driver holds it", kIo, {iov::kFreeIrpInUse}, InThread([](RuleRig& r) {
           PIRP parked = nullptr;
           r.ParkNext(&parked);
           PIRP irp = OwnIrp();
           IoCallDriver(r.pdo, irp);
           IoFreeIrp(irp);
         })),
    Rule("an IRP freed that the I/O manager owns", kIo, {iov::kFreeThreadedIrp}, InThread([](RuleRig& r) {
           KEVENT e;
           IO_STATUS_BLOCK iosb;
           KeInitializeEvent(&e, NotificationEvent, FALSE);
           IoFreeIrp(IoBuildDeviceIoControlRequest(0x220003, r.pdo, nullptr, 0, nullptr, 0, TRUE, &e, &iosb));
         })),
    Rule("IoFreeIrp on memory that is not an IRP", kIo, {iov::kFreeNonIrp}, InThread([](RuleRig&) {
           ULONG_PTR junk[32]{};
           IoFreeIrp(reinterpret_cast<PIRP>(junk));
         })),
    Rule("IoCallDriver with memory that is not an IRP", kIo, {iov::kCallDriverNonIrp},
         InThread([](RuleRig& r) {
           ULONG_PTR junk[32]{};
           IoCallDriver(r.pdo, reinterpret_cast<PIRP>(junk));
         })),
    Rule("IoInitializeIrp on an IRP from IoAllocateIrp", kIo, {0x20D}, InThread([](RuleRig&) {
           PIRP irp = OwnIrp();
           IoInitializeIrp(irp, irp->Size, 1);
         })),
    Rule("an IRP passed on with no stack location left", 0x35, {}, InThread([](RuleRig& r) {
           r.bus.handler = [](PDEVICE_OBJECT self, PIRP irp) { return IoCallDriver(self, irp); };
           PIRP irp = OwnIrp();
           r.expect[0] = Addr(irp);
           IoCallDriver(r.pdo, irp);
         })),
    Rule("IoCallDriver above DISPATCH_LEVEL", kIo, {iov::kCallDriverAboveDispatch}, InThread([](RuleRig& r) {
           PIRP irp = OwnIrp();
           RaiseTo(HIGH_LEVEL);
           IoCallDriver(r.pdo, irp);
         })),
    Rule("IoCallDriver to a deleted device", kIo, {iov::kCallDriverBadDevice}, InThread([](RuleRig& r) {
           LambdaDriver d(r.m, u"gone");
           PDEVICE_OBJECT dev = d.AddDevice();
           IoDeleteDevice(dev);
           r.expect[1] = Addr(dev);
           IoCallDriver(dev, OwnIrp());
         })),
    // Devices and drivers.
    Rule("a device deleted while attached", kIo, {iov::kDeleteWhileAttached},
         [](RuleRig& r) {
           LambdaDriver d(r.m, u"filter");
           IoDeleteDevice(d.AddDevice(r.pdo));
         }),
    Rule("detaching from a device nothing is attached to", kIo, {iov::kDetachNotAttached},
         [](RuleRig& r) { IoDetachDevice(r.pdo); }),
    Rule("a device deleted twice", kIo, {iov::kDeleteDeletedDevice},
         [](RuleRig& r) {
           LambdaDriver d(r.m, u"twice");
           PDEVICE_OBJECT dev = d.AddDevice();
           IoDeleteDevice(dev);
           IoDeleteDevice(dev);
         }),
    Rule("AddDevice leaving DO_DEVICE_INITIALIZING set", kIo, {iov::kInitializingNotCleared},
         [](RuleRig& r) {
           g_flaw = Flaw::LeavesInitializing;
           r.m.AddDevice(r.m.LoadDriver(u"probe", &ProbeEntry), r.pdo);
         }),
    Rule("a driver unloading with a device object left",
         bc::kDriverUnloadedWithoutCancellingPendingOperations, {}, LoadAndUnloadProbe(Flaw::LeavesDevice)),
    Rule("a driver unloading while a deleted device holds a request",
         bc::kDriverUnloadedWithoutCancellingPendingOperations, {},
         [](RuleRig& r) {
           LambdaDriver d(r.m, u"holder");
           PDEVICE_OBJECT dev = d.AddDevice(r.pdo);
           d.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
             r.expect[0] = Addr(irp);
             IoMarkIrpPending(irp);
             return STATUS_PENDING;
           };
           r.m.kernel().StartApplicationThread("caller", [&] { r.m.io().SendToStack(r.pdo, {}); });
           r.m.kernel().Run();
           IoDetachDevice(r.pdo);
           IoDeleteDevice(dev);
           r.m.UnloadDriver(d.object);
         }),
    Rule("a driver unloading with pool left", bc::kDriverVerifierDetectedViolation, {0x62, {}, {}, 2},
         [](RuleRig& r) {
           r.inReport = "LakL";  // the tag of the blocks left
           LoadAndUnloadProbe(Flaw::LeavesPool)(r);
         }),
    Rule("closing an invalid kernel handle", 0x93, {0x1234, 1},
         InThread([](RuleRig&) { ZwClose(reinterpret_cast<HANDLE>(uintptr_t{0x1234})); })),
    Rule("a registry routine at DISPATCH_LEVEL", bc::kIrqlNotLessOrEqual, {}, InThread([](RuleRig&) {
           RaiseTo(DISPATCH_LEVEL);
           RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"tarnwire"));
         })),
};

TEST(IoVerifier, EveryIoRuleBugChecksWithItsCodeAndParameters) {
  for (const Rule& rule : kIoRules) ExpectRuleFires(rule);
}

TEST(IoVerifier, APendingMarkBeforeSkippingDownIsTheCallersToAnswerFor) {
  RuleRig r(emu::testing::MachineConfig(emu::ProcessorModel::Uniprocessor));
  LambdaDriver filter(r.m, u"skipper");
  filter.AddDevice(r.pdo);
  filter.dispatch = [&r](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSkipCurrentIrpStackLocation(irp);
    IoCallDriver(r.pdo, irp);  // the bus completes it at once and returns STATUS_SUCCESS
    return STATUS_PENDING;
  };
  EXPECT_EQ(r.m.SendPnp(r.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_SUCCESS);
}

TEST(IoVerifier, ACleanDriverLoadsAddsADeviceAndUnloads) {
  RuleRig r(emu::testing::CurrentConfig());
  g_flaw = Flaw::None;
  PDRIVER_OBJECT d = r.m.LoadDriver(u"probe", &ProbeEntry);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(r.m.AddDevice(d, r.pdo), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = r.pdo->AttachedDevice;
  ASSERT_NE(fdo, nullptr);
  IoDetachDevice(r.pdo);
  IoDeleteDevice(fdo);
  EXPECT_NO_THROW(r.m.UnloadDriver(d)) << "nothing was left behind";
}

}  // namespace
