// Pool tracking by tag, the I/O verifier's rules on new and cancelled IRPs and on WMI, deadlock
// detection and completing under a spin lock: each faulty snippet stops the machine with Windows'
// code and parameters under both processor models, and its correct form runs through.
#include "nt/io_test_support.h"
#include "nt/lock_order.h"
#include "nt/verifier.h"

namespace {

using emu::testing::Addr;
using emu::testing::BusAnswers;
using emu::testing::Complete;
using emu::testing::ExpectRuleFires;
using emu::testing::ForEachModel;
using emu::testing::InThread;
using emu::testing::LambdaDriver;
using emu::testing::OwnIrp;
using emu::testing::Rule;
using emu::testing::RuleRig;
namespace bc = emu::bugcheck;
namespace iov = emu::iov;

constexpr ULONG kIo = bc::kDriverVerifierIoManagerViolation;
constexpr ULONG kC4 = bc::kDriverVerifierDetectedViolation;

NTSTATUS NTAPI KeepAndSignal(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a new IRP of the caller's own to the rig's PDO, waits for it and frees it.
void SendOwn(RuleRig& r, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, &KeepAndSignal, &done, TRUE, TRUE, TRUE);
  r.expect[2] = Addr(irp);
  r.expect[3] = Addr(r.pdo);
  if (IoCallDriver(r.pdo, irp) == STATUS_PENDING) emu::testing::WaitOn(&done);
  IoFreeIrp(irp);
}

// A cancel routine that lets go of the cancel spin lock and forgets the request.
VOID NTAPI CancelAndForget(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }
VOID NTAPI CancelAndComplete(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

// Parks the next request to the PDO with `cancel` as its cancel routine, sends one from an
// application thread and cancels it from a system thread.
void ParkAndCancel(RuleRig& r, PDRIVER_CANCEL cancel) {
  PIRP parked = nullptr;
  r.ParkNext(&parked, cancel);
  r.m.kernel().StartApplicationThread("caller", [&r] { r.m.io().SendToStack(r.pdo, {}); });
  r.m.kernel().Run();
  r.expect[2] = Addr(parked);
  r.expect[3] = Addr(r.pdo);
  r.m.RunInSystemThread("canceller", [parked] { IoCancelIrp(parked); });
  r.m.kernel().Run();
}

NTSTATUS NTAPI LeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  ExAllocatePoolWithTag(NonPagedPool, 100, 'LkaL');
  ExAllocatePoolWithTag(PagedPool, 50, 'LkaL');
  ExAllocatePoolWithTag(NonPagedPool, 8, 'enO1');
  ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 10, 'eerF'));
  return STATUS_SUCCESS;
}

void Take(PKSPIN_LOCK a, PKSPIN_LOCK b) {
  KIRQL first, second;
  KeAcquireSpinLock(a, &first);
  KeAcquireSpinLock(b, &second);
  KeReleaseSpinLock(b, second);
  KeReleaseSpinLock(a, first);
}

const Rule kRules[] = {
    // Pool tracking.
    Rule("pool left at unload, reported per tag", kC4, {0x62, {}, {}, 3},
         [](RuleRig& r) {
           r.inReport = "'LakL': 2 blocks, 150 bytes; '1One': 1 block, 8 bytes;";
           r.m.UnloadDriver(r.m.LoadDriver(u"leaky", &LeakingEntry));
         }),
    // New IRPs a driver sends: PnP, power and WMI requests start at STATUS_NOT_SUPPORTED.
    Rule("a PnP IRP sent with another status", kIo, {iov::kPnpIrpBadStatus, 0},
         InThread([](RuleRig& r) { SendOwn(r, OwnIrp(IRP_MJ_PNP, STATUS_SUCCESS)); })),
    Rule("a power IRP sent with another status", kIo, {iov::kPowerIrpBadStatus, 0},
         InThread([](RuleRig& r) { SendOwn(r, OwnIrp(IRP_MJ_POWER, STATUS_SUCCESS)); })),
    Rule("a WMI IRP sent with another status", kIo, {iov::kWmiIrpBadStatus, 0},
         InThread([](RuleRig& r) { SendOwn(r, OwnIrp(IRP_MJ_SYSTEM_CONTROL, STATUS_PENDING)); })),
    // Cancellation and WMI.
    Rule("a cancelled IRP not completed in time", kIo, {iov::kUnknown, reinterpret_cast<ULONG_PTR>(&CancelAndForget)},
         [](RuleRig& r) { ParkAndCancel(r, &CancelAndForget); }),
    Rule("a device object deleted while registered with WMI", kIo,
         {iov::kUnknown, reinterpret_cast<ULONG_PTR>(&LambdaDriver::Dispatch), 0}, InThread([](RuleRig& r) {
           LambdaDriver d(r.m, u"provider");
           PDEVICE_OBJECT dev = d.AddDevice();
           r.expect[3] = Addr(dev);
           ASSERT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(dev, WMIREG_ACTION_REGISTER));
           IoDeleteDevice(dev);
         })),
    // Completing under a spin lock.
    Rule("an IRP completed holding a spin lock", kC4, {emu::verifier::kRuleSpinLock},
         BusAnswers([](RuleRig& r, PIRP irp) {
           r.expect[2] = Addr(&r.lock);
           r.expect[3] = Addr(irp);
           KIRQL old = r.Lock();
           Complete(irp, STATUS_SUCCESS);
           KeReleaseSpinLock(&r.lock, old);
           return STATUS_SUCCESS;
         })),
    Rule("an IRP completed holding the cancel spin lock", kC4, {emu::verifier::kRuleSpinLock},
         BusAnswers([](RuleRig& r, PIRP irp) {
           r.expect[3] = Addr(irp);
           KIRQL old;
           IoAcquireCancelSpinLock(&old);
           Complete(irp, STATUS_SUCCESS);
           IoReleaseCancelSpinLock(old);
           return STATUS_SUCCESS;
         })),
    // Deadlock detection: the locks being taken when the orders cross.
    Rule("two spin locks taken in both orders", kC4, {0x1001}, InThread([](RuleRig& r) {
           KSPIN_LOCK other;
           KeInitializeSpinLock(&other);
           Take(&r.lock, &other);
           r.expect[1] = Addr(&r.lock);
           Take(&other, &r.lock);
         })),
    Rule("three spin locks taken in a cycle", kC4, {0x1001}, InThread([](RuleRig& r) {
           KSPIN_LOCK b, c;
           KeInitializeSpinLock(&b);
           KeInitializeSpinLock(&c);
           Take(&r.lock, &b);
           Take(&b, &c);
           r.expect[1] = Addr(&r.lock);
           Take(&c, &r.lock);
         })),
    Rule("a spin lock and the cancel spin lock taken in both orders", kC4, {0x1001}, InThread([](RuleRig& r) {
           KIRQL cancel, lock = r.Lock();
           IoAcquireCancelSpinLock(&cancel);
           IoReleaseCancelSpinLock(cancel);
           KeReleaseSpinLock(&r.lock, lock);
           IoAcquireCancelSpinLock(&cancel);
           r.expect[1] = Addr(&r.lock);
           KeAcquireSpinLockAtDpcLevel(&r.lock);
         })),
    Rule("two fast mutexes taken in both orders by two threads", kC4, {0x1001}, [](RuleRig& r) {
           static FAST_MUTEX second;
           ExInitializeFastMutex(&second);
           r.m.RunInSystemThread("first", [&r] {
             ExAcquireFastMutex(&r.mutex);
             ExAcquireFastMutex(&second);
             ExReleaseFastMutex(&second);
             ExReleaseFastMutex(&r.mutex);
           });
           r.expect[1] = Addr(&r.mutex);
           InThread([](RuleRig& rig) {
             ExAcquireFastMutex(&second);
             ExAcquireFastMutex(&rig.mutex);
           })(r);
         }),
};

TEST(VerifierRules, EveryRuleBugChecksWithItsCodeAndParameters) {
  for (const Rule& rule : kRules) ExpectRuleFires(rule);
}

// The correct forms of the snippets above run through without a bug check.
TEST(VerifierRules, CorrectSnippetsPass) {
  ForEachModel([](const emu::KernelConfig& config) {
    RuleRig r(config);
    const bool done = r.m.RunInSystemThread("correct", [&r] {
      for (UCHAR major : {IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL}) SendOwn(r, OwnIrp(major));
      // One lock order, kept; a lock initialised again starts without one.
      KSPIN_LOCK other;
      KeInitializeSpinLock(&other);
      Take(&r.lock, &other);
      Take(&r.lock, &other);
      KeInitializeSpinLock(&other);
      Take(&other, &r.lock);
      // A provider deregistered before its device object goes.
      LambdaDriver d(r.m, u"provider");
      PDEVICE_OBJECT dev = d.AddDevice();
      EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(dev, WMIREG_ACTION_REGISTER));
      EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(dev, WMIREG_ACTION_DEREGISTER));
      IoDeleteDevice(dev);
    });
    EXPECT_TRUE(done);
    // Completing after letting go of the lock.
    r.bus.handler = [&r](PDEVICE_OBJECT, PIRP irp) {
      KIRQL old = r.Lock();
      irp->IoStatus.Status = STATUS_SUCCESS;
      KeReleaseSpinLock(&r.lock, old);
      return Complete(irp, STATUS_SUCCESS);
    };
    EXPECT_EQ(STATUS_SUCCESS, r.m.SendPnp(r.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE));
  });
}

// A cancelled request is given the I/O manager's time-out, from its cancellation; completed in
// time, the check goes away and does not keep the machine running.
TEST(VerifierRules, ACancelledIrpHasFiveMinutesFromItsCancellation) {
  ForEachModel([](const emu::KernelConfig& config) {
    {
      RuleRig r(config);
      EXPECT_BUGCHECK_THAT(kIo, ParkAndCancel(r, &CancelAndForget), {
        EXPECT_GE(r.m.kernel().Now(), emu::IoManager::kCancelTimeout);
        EXPECT_LT(r.m.kernel().Now(), emu::IoManager::kCancelTimeout + emu::kSecond);
      });
    }
    RuleRig r(config);
    ParkAndCancel(r, &CancelAndComplete);
    EXPECT_LT(r.m.kernel().Now(), emu::kSecond) << "the completed request's check still ran";
  });
}

// The lock hierarchy itself: orders are transitive, and the orders of locks whose memory went
// away are forgotten in both directions.
TEST(LockOrder, CyclesAreFoundThroughOtherLocksAndForgottenLocksLoseTheirOrders) {
  emu::LockOrder order;
  alignas(8) KSPIN_LOCK locks[4];
  const void* a = &locks[0];
  const void* b = &locks[1];
  const void* c = &locks[2];
  const void* d = &locks[3];
  EXPECT_EQ(nullptr, order.Acquire(b, {a}));
  EXPECT_EQ(nullptr, order.Acquire(c, {b}));
  EXPECT_EQ(nullptr, order.Acquire(d, {a, c}));
  EXPECT_EQ(d, order.Acquire(a, {d})) << "d was taken after a";
  EXPECT_EQ(c, order.Acquire(a, {c, b})) << "the first held lock taken after a, through b";
  EXPECT_EQ(nullptr, order.Acquire(b, {a})) << "an order already known is no violation";
  order.Forget(reinterpret_cast<uintptr_t>(b), sizeof(KSPIN_LOCK));
  EXPECT_TRUE(order.After(b).empty());
  EXPECT_EQ(std::vector<const void*>{d}, order.After(a)) << "a's order before b went with b";
  EXPECT_EQ(nullptr, order.Acquire(a, {c})) << "c came after a only through b";
  EXPECT_EQ(a, order.Acquire(c, {a})) << "the new order c -> a is kept";
}

}  // namespace
