// The I/O verifier: each rule a driver can break stops the machine with the Windows bug check
// code and parameters.
#include "nt/bugcheck_expect.h"
#include "nt/io_test_support.h"

namespace {

using emu::Machine;
using emu::testing::LambdaDriver;
using emu::testing::StubBus;
namespace bugcheck = emu::bugcheck;
namespace iov = emu::iov;

constexpr ULONG kIoViolation = bugcheck::kDriverVerifierIoManagerViolation;

struct Bus {
  Machine m;
  StubBus bus;
  PDEVICE_OBJECT pdo = m.CreatePhysicalDevice(u"USB\\VID_1234&PID_0001\\7&1", bus);
};

TEST(IoVerifier, CompletingAnIrpTwiceIsMultipleIrpCompleteRequests) {
  Bus b;
  PIRP seen = nullptr;
  b.bus.handler = [&](PDEVICE_OBJECT, PIRP irp) {
    seen = irp;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  EXPECT_BUGCHECK_THAT(bugcheck::kMultipleIrpCompleteRequests, b.m.SendPnp(b.pdo, 0),
                       EXPECT_EQ(bugcheck.params[0], reinterpret_cast<ULONG_PTR>(seen))
                           << "parameter 1 is the IRP");
}

VOID NTAPI UnusedCancel(PDEVICE_OBJECT, PIRP) {}

TEST(IoVerifier, CompletingWithACancelRoutineSetIsCancelStateInCompletedIrp) {
  Bus b;
  b.bus.handler = [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, &UnusedCancel);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  EXPECT_BUGCHECK_THAT(bugcheck::kCancelStateInCompletedIrp, b.m.SendPnp(b.pdo, 0),
                       EXPECT_EQ(bugcheck.params[1], reinterpret_cast<ULONG_PTR>(&UnusedCancel))
                           << "parameter 2 is the cancel routine left in the IRP");
}

TEST(IoVerifier, ReturningPendingWithoutMarkingTheIrpPendingIsCaught) {
  Bus b;
  b.bus.handler = [&](PDEVICE_OBJECT, PIRP irp) {
    b.m.kernel().StartSystemThread("late", [irp] {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;  // no IoMarkIrpPending
  };
  EXPECT_BUGCHECK_P1(kIoViolation, iov::kPendingNotMarked, b.m.SendPnp(b.pdo, 0));
}

TEST(IoVerifier, ReturningSuccessWithoutCompletingIsCaught) {
  Bus b;
  b.bus.handler = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
  EXPECT_BUGCHECK_P1(kIoViolation, iov::kNotCompletedNorPending, b.m.SendPnp(b.pdo, 0));
}

TEST(IoVerifier, ReturningAStatusOtherThanTheCompletedOneIsCaught) {
  Bus b;
  b.bus.handler = [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  EXPECT_BUGCHECK_P1(kIoViolation, iov::kStatusMismatch, b.m.SendPnp(b.pdo, 0));
}

TEST(IoVerifier, UsingAFreedIrpFaultsInFreedPool) {
  Bus b;
  PIRP freed = nullptr;
  EXPECT_BUGCHECK_THAT(bugcheck::kDriverPageFaultInFreedSpecialPool,
                       b.m.RunInSystemThread("driver", [&] {
                         freed = IoAllocateIrp(1, FALSE);
                         IoFreeIrp(freed);
                         IoCallDriver(b.pdo, freed);
                       }),
                       EXPECT_EQ(bugcheck.params[0], reinterpret_cast<ULONG_PTR>(freed)));
}

TEST(IoVerifier, FreeingAnIrpStillInUseIsCaught) {
  Bus b;
  b.bus.handler = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return STATUS_PENDING;  // keeps it
  };
  EXPECT_BUGCHECK_P1(kIoViolation, iov::kFreeIrpInUse, b.m.RunInSystemThread("driver", [&] {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    IoCallDriver(b.pdo, irp);
    IoFreeIrp(irp);
  }));
}

TEST(IoVerifier, FreeingAnIrpTheIoManagerOwnsIsCaught) {
  Bus b;
  b.bus.handler = [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  EXPECT_BUGCHECK_P1(kIoViolation, iov::kFreeThreadedIrp, b.m.RunInSystemThread("driver", [&] {
    KEVENT e;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, b.pdo, nullptr, 0, nullptr, 0, TRUE, &e,
                                             &iosb);
    IoFreeIrp(irp);
  }));
}

TEST(IoVerifier, CompletionRunningPastTheTopOfADriversOwnIrpIsCaught) {
  Bus b;
  EXPECT_BUGCHECK_P1(kIoViolation, iov::kUnknown, b.m.RunInSystemThread("driver", [&] {
    PIRP irp = IoAllocateIrp(1, FALSE);  // no completion routine returning MORE_PROCESSING
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    IoCallDriver(b.pdo, irp);
  }));
}

TEST(IoVerifier, IoCallDriverAboveDispatchLevelIsCaught) {
  Bus b;
  EXPECT_BUGCHECK_P1(kIoViolation, iov::kCallDriverAboveDispatch,
                     b.m.RunInSystemThread("driver", [&] {
                       PIRP irp = IoAllocateIrp(1, FALSE);
                       KIRQL old;
                       KeRaiseIrql(HIGH_LEVEL, &old);
                       IoCallDriver(b.pdo, irp);
                     }));
}

TEST(IoVerifier, IoCompleteRequestAboveDispatchLevelIsCaught) {
  Bus b;
  // Hardware events run above DISPATCH_LEVEL; a device model must complete through a DPC.
  b.bus.handler = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    b.m.kernel().ScheduleDeviceEvent(b.m.kernel().Now() + emu::kMillisecond, [irp] {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
  };
  EXPECT_BUGCHECK_P1(kIoViolation, iov::kCompleteAboveDispatch, b.m.SendPnp(b.pdo, 0));
}

TEST(IoVerifier, DispatchRoutineReturningAtAnotherIrqlIsCaught) {
  Bus b;
  b.bus.handler = [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // and never lowered
    return STATUS_SUCCESS;
  };
  EXPECT_BUGCHECK_P1(kIoViolation, iov::kIrqlChangedInDispatch, b.m.SendPnp(b.pdo, 0));
}

VOID NTAPI CancelKeepingTheLock(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);  // forgets IoReleaseCancelSpinLock
}

TEST(IoVerifier, CancelRoutineReturningWithTheCancelLockIsCaught) {
  Bus b;
  PIRP parked = nullptr;
  b.bus.handler = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &CancelKeepingTheLock);
    parked = irp;
    return STATUS_PENDING;
  };
  b.m.kernel().StartApplicationThread("caller", [&] { b.m.io().SendToStack(b.pdo, {}); });
  b.m.kernel().Run();
  ASSERT_NE(parked, nullptr);
  EXPECT_BUGCHECK(0x11B, b.m.RunInSystemThread("canceller", [&] { IoCancelIrp(parked); }));
}

TEST(IoVerifier, DeviceStackRulesAreEnforced) {
  {
    Bus b;
    LambdaDriver d(b.m, u"filter");
    PDEVICE_OBJECT dev = d.AddDevice(b.pdo);
    SCOPED_TRACE("deleting a device still attached to the one below");
    EXPECT_BUGCHECK_P1(kIoViolation, iov::kDeleteWhileAttached, IoDeleteDevice(dev));
  }
  {
    Bus b;
    SCOPED_TRACE("detaching from a device nothing is attached to");
    EXPECT_BUGCHECK_P1(kIoViolation, iov::kDetachNotAttached, IoDetachDevice(b.pdo));
  }
  {
    Bus b;
    LambdaDriver d(b.m, u"twice");
    PDEVICE_OBJECT dev = d.AddDevice();
    IoDeleteDevice(dev);
    SCOPED_TRACE("deleting a device twice");
    EXPECT_BUGCHECK_P1(kIoViolation, iov::kDeleteDeletedDevice, IoDeleteDevice(dev));
  }
}

// A driver for the load/unload/AddDevice rules.
struct ProbeDriver {
  static inline bool leaveDevice = false;
  static inline bool leavePool = false;
  static inline bool clearInitializing = true;
  static VOID NTAPI Unload(PDRIVER_OBJECT) {}
  static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS s = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(s)) return s;
    IoAttachDeviceToDeviceStack(fdo, pdo);
    if (clearInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = &Unload;
    driver->DriverExtension->AddDevice = &AddDevice;
    if (leaveDevice) {
      PDEVICE_OBJECT d;
      IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
    }
    if (leavePool) ExAllocatePoolWithTag(NonPagedPool, 32, 'kaeL');
    return STATUS_SUCCESS;
  }
};

TEST(IoVerifier, UnloadingWithADeviceObjectLeftIsCaught) {
  ProbeDriver::leaveDevice = true;
  ProbeDriver::leavePool = false;
  Machine m;
  PDRIVER_OBJECT d = m.LoadDriver(u"probe", &ProbeDriver::Entry);
  ASSERT_NE(d, nullptr);
  EXPECT_BUGCHECK(bugcheck::kDriverUnloadedWithoutCancellingPendingOperations, m.UnloadDriver(d));
  ProbeDriver::leaveDevice = false;
}

TEST(IoVerifier, UnloadingWithPoolLeftIsCaught) {
  ProbeDriver::leaveDevice = false;
  ProbeDriver::leavePool = true;
  Machine m;
  PDRIVER_OBJECT d = m.LoadDriver(u"probe", &ProbeDriver::Entry);
  ASSERT_NE(d, nullptr);
  EXPECT_BUGCHECK_P1(bugcheck::kDriverVerifierDetectedViolation, 0x62, m.UnloadDriver(d));
  ProbeDriver::leavePool = false;
}

TEST(IoVerifier, AddDeviceLeavingDeviceInitializingSetIsCaught) {
  ProbeDriver::clearInitializing = false;
  Machine m;
  StubBus bus;
  PDEVICE_OBJECT pdo = m.CreatePhysicalDevice(u"USB\\VID_1234&PID_0001\\7&2", bus);
  PDRIVER_OBJECT d = m.LoadDriver(u"probe", &ProbeDriver::Entry);
  ASSERT_NE(d, nullptr);
  EXPECT_BUGCHECK_P1(kIoViolation, iov::kInitializingNotCleared, m.AddDevice(d, pdo));
  ProbeDriver::clearInitializing = true;
}

TEST(IoVerifier, ClosingAnInvalidKernelHandleIsInvalidKernelHandle) {
  Machine m;
  EXPECT_BUGCHECK(0x93, m.RunInSystemThread("driver", [] {
    ZwClose(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1234)));
  }));
}

}  // namespace
