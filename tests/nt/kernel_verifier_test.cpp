// The verifier rules of the kernel core: each deliberately faulty snippet must stop the machine
// with the Windows bug check code (and subcode) for its fault.
#include <gtest/gtest.h>

#include <wdk_ke.h>

#include "nt/bugcheck_expect.h"
#include "nt/kernel.h"
#include "nt/kernel_test_support.h"

#include <functional>
#include <memory>
#include <string>

namespace {

using emu::Kernel;
using emu::KernelConfig;
using emu::ProcessorModel;
using emu::testing::ModelName;
using emu::testing::Relative;
using emu::kMillisecond;
namespace bc = emu::bugcheck;

constexpr ULONG kC4 = bc::kDriverVerifierDetectedViolation;
constexpr ProcessorModel kModels[] = {ProcessorModel::Uniprocessor,
                                      ProcessorModel::Multiprocessor};

// Runs `body` in a system thread of a fresh machine until it ends.
void InThread(ProcessorModel model, const std::function<void()>& body) {
  Kernel k(emu::testing::MachineConfig(model));
  k.RunInSystemThread("faulty", body);
}

void RaiseToDispatch() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
}

TEST(KernelVerifier, WaitsAboveTheirIrqlBugCheck) {
  for (ProcessorModel m : kModels) {
    SCOPED_TRACE(ModelName(m));
    EXPECT_BUGCHECK_P1(kC4, 0x122, InThread(m, [] {
                         KEVENT e;
                         KeInitializeEvent(&e, NotificationEvent, FALSE);
                         RaiseToDispatch();
                         LARGE_INTEGER t = Relative(kMillisecond);
                         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
                       }));
    EXPECT_BUGCHECK_P1(kC4, 0x121, InThread(m, [] {
                         KEVENT e;
                         KeInitializeEvent(&e, NotificationEvent, FALSE);
                         RaiseToDispatch();
                         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
                       }));
    EXPECT_BUGCHECK(bc::kIrqlNotLessOrEqual, InThread(m, [] {
                      RaiseToDispatch();
                      LARGE_INTEGER t = Relative(kMillisecond);
                      KeDelayExecutionThread(KernelMode, FALSE, &t);
                    }));
    // A zero time-out is allowed at DISPATCH_LEVEL.
    InThread(m, [] {
      KEVENT e;
      KeInitializeEvent(&e, NotificationEvent, FALSE);
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      LARGE_INTEGER zero;
      zero.QuadPart = 0;
      EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
      KeLowerIrql(old);
    });
  }
}

TEST(KernelVerifier, WaitInADpcRoutineBugChecksAttemptedSwitchFromDpc) {
  for (ProcessorModel m : kModels) {
    Kernel k(emu::testing::MachineConfig(m));
    KEVENT e;
    KDPC dpc;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID ev, PVOID, PVOID) {
          KeWaitForSingleObject(ev, Executive, KernelMode, FALSE, nullptr);
        },
        &e);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_BUGCHECK_THAT(bc::kAttemptedSwitchFromDpc, k.Run(),
                         EXPECT_EQ(bugcheck.context.substr(0, 3), "dpc") << bugcheck.report);
  }
}

TEST(KernelVerifier, PassiveOnlyRoutinesBugCheckAtDispatchLevel) {
  for (ProcessorModel m : kModels) {
    EXPECT_BUGCHECK_P1(kC4, 0x01, InThread(m, [] {
                         RaiseToDispatch();
                         ExAllocatePoolWithTag(PagedPool, 64, 'tseT');
                       }));
    EXPECT_BUGCHECK(bc::kIrqlNotLessOrEqual, InThread(m, [] {
                      RaiseToDispatch();
                      HANDLE h;
                      PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           [](PVOID) {}, nullptr);
                    }));
    EXPECT_BUGCHECK(bc::kIrqlNotLessOrEqual, InThread(m, [] {
                      RaiseToDispatch();
                      KeFlushQueuedDpcs();
                    }));
  }
}

TEST(KernelVerifier, IrqlChangesInTheWrongDirectionBugCheck) {
  EXPECT_BUGCHECK_THAT(kC4, InThread(ProcessorModel::Uniprocessor, [] { KeLowerIrql(APC_LEVEL); }),
                       EXPECT_EQ(bugcheck.params[0], 0x31u);
                       EXPECT_EQ(bugcheck.params[1], PASSIVE_LEVEL);
                       EXPECT_EQ(bugcheck.params[2], APC_LEVEL));
  EXPECT_BUGCHECK_P1(kC4, 0x30, InThread(ProcessorModel::Uniprocessor, [] {
                       RaiseToDispatch();
                       KIRQL old;
                       KeRaiseIrql(APC_LEVEL, &old);
                     }));
  Kernel k;
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_BUGCHECK_THAT(kC4, k.Run(), EXPECT_EQ(bugcheck.params[0], 0x31u);
                       EXPECT_EQ(bugcheck.params[3], 1u) << "lowering below DISPATCH in a DPC");
}

TEST(KernelVerifier, SpinLockMisuseBugChecks) {
  for (ProcessorModel m : kModels) {
    SCOPED_TRACE(ModelName(m));
    EXPECT_BUGCHECK_P1(kC4, 0x32, InThread(m, [] {
                         KSPIN_LOCK l;
                         KeInitializeSpinLock(&l);
                         KIRQL old;
                         KeAcquireSpinLock(&l, &old);
                         KeReleaseSpinLock(&l, old);
                         KeReleaseSpinLock(&l, old);  // released twice: now at PASSIVE_LEVEL
                       }));
    EXPECT_BUGCHECK(bc::kSpinLockNotOwned, InThread(m, [] {
                      KSPIN_LOCK l;
                      KeInitializeSpinLock(&l);
                      RaiseToDispatch();
                      KeReleaseSpinLockFromDpcLevel(&l);
                    }));
    EXPECT_BUGCHECK(bc::kSpinLockAlreadyOwned, InThread(m, [] {
                      KSPIN_LOCK l;
                      KeInitializeSpinLock(&l);
                      KIRQL a, b;
                      KeAcquireSpinLock(&l, &a);
                      KeAcquireSpinLock(&l, &b);
                    }));
    EXPECT_BUGCHECK_P1(kC4, 0x122, InThread(m, [] {
                         KSPIN_LOCK l;
                         KeInitializeSpinLock(&l);
                         KEVENT e;
                         KeInitializeEvent(&e, NotificationEvent, FALSE);
                         KIRQL old;
                         KeAcquireSpinLock(&l, &old);
                         KeLowerIrql(old);  // still holding the lock
                         LARGE_INTEGER t = Relative(kMillisecond);
                         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
                       }));
    EXPECT_BUGCHECK_P1(kC4, 0x40, InThread(m, [] {
                         KSPIN_LOCK l;
                         KeInitializeSpinLock(&l);
                         KeAcquireSpinLockAtDpcLevel(&l);
                       }));
    EXPECT_BUGCHECK_P1(kC4, 0x41, InThread(m, [] {
                         KSPIN_LOCK l;
                         KeInitializeSpinLock(&l);
                         KeReleaseSpinLockFromDpcLevel(&l);
                       }));
    EXPECT_BUGCHECK_P1(kC4, 0x42, InThread(m, [] {
                         KSPIN_LOCK l;
                         KeInitializeSpinLock(&l);
                         KIRQL old, old2;
                         KeRaiseIrql(HIGH_LEVEL, &old);
                         KeAcquireSpinLock(&l, &old2);
                       }));
  }
}

TEST(KernelVerifier, ThreadEndingWithALockOrAtRaisedIrqlBugChecks) {
  for (ProcessorModel m : kModels) {
    SCOPED_TRACE(ModelName(m));
    auto lock = std::make_shared<KSPIN_LOCK>(0);
    EXPECT_BUGCHECK_THAT(kC4, InThread(m, [lock] {
                           KIRQL old;
                           KeAcquireSpinLock(lock.get(), &old);
                         }),
                         EXPECT_EQ(bugcheck.params[0], 0x100Au);
                         EXPECT_EQ(bugcheck.params[2], reinterpret_cast<ULONG_PTR>(lock.get())));
    EXPECT_BUGCHECK_P1(kC4, 0x100A, InThread(m, [] {
                         KSPIN_LOCK l;
                         KeInitializeSpinLock(&l);
                         KIRQL old;
                         KeAcquireSpinLock(&l, &old);
                         PsTerminateSystemThread(STATUS_SUCCESS);
                       }));
    auto mutex = std::make_shared<FAST_MUTEX>();
    EXPECT_BUGCHECK_P1(kC4, 0x100A, InThread(m, [mutex] {
                         ExInitializeFastMutex(mutex.get());
                         ExAcquireFastMutex(mutex.get());
                       }));
    EXPECT_BUGCHECK_THAT(bc::kKernelApcPendingDuringExit, InThread(m, [] {
                           KIRQL old;
                           KeRaiseIrql(APC_LEVEL, &old);
                         }),
                         EXPECT_EQ(bugcheck.params[2], APC_LEVEL) << "the third parameter is the IRQL");
    EXPECT_BUGCHECK_THAT(bc::kTimerOrDpcInvalid, InThread(m, [] {
                           KTIMER onStack;
                           KeInitializeTimer(&onStack);
                           KeSetTimer(&onStack, Relative(kMillisecond), nullptr);
                         }),
                         EXPECT_EQ(bugcheck.params[0], 0u) << "type 0: a timer on the dead stack");
  }
}

TEST(KernelVerifier, FastMutexMisuseBugChecks) {
  for (ProcessorModel m : kModels) {
    auto mutex = std::make_shared<FAST_MUTEX>();
    EXPECT_BUGCHECK_P1(kC4, 0x33, InThread(m, [mutex] {
                         ExInitializeFastMutex(mutex.get());
                         RaiseToDispatch();
                         ExAcquireFastMutex(mutex.get());
                       }));
    EXPECT_BUGCHECK_P1(kC4, 0x1000, InThread(m, [mutex] {
                         ExInitializeFastMutex(mutex.get());
                         ExAcquireFastMutex(mutex.get());
                         ExAcquireFastMutex(mutex.get());
                       }));
    EXPECT_BUGCHECK_P1(kC4, 0x34, InThread(m, [mutex] {
                         ExInitializeFastMutex(mutex.get());
                         ExReleaseFastMutex(mutex.get());
                       }));
    Kernel k(emu::testing::MachineConfig(m));
    ExInitializeFastMutex(mutex.get());
    KEVENT acquired;
    KeInitializeEvent(&acquired, NotificationEvent, FALSE);
    k.StartSystemThread("owner", [&] {
      ExAcquireFastMutex(mutex.get());
      KeSetEvent(&acquired, 0, FALSE);
      LARGE_INTEGER t = Relative(kMillisecond);
      KeDelayExecutionThread(KernelMode, FALSE, &t);
      ExReleaseFastMutex(mutex.get());
    });
    k.StartSystemThread("thief", [&] {
      KeWaitForSingleObject(&acquired, Executive, KernelMode, FALSE, nullptr);
      KIRQL old;
      KeRaiseIrql(APC_LEVEL, &old);
      ExReleaseFastMutex(mutex.get());
    });
    EXPECT_BUGCHECK_THAT(kC4, k.Run(), EXPECT_EQ(bugcheck.params[0], 0x1004u);
                         EXPECT_EQ(bugcheck.context, "thief"));
  }
}

TEST(KernelVerifier, PoolMisuseBugChecks) {
  {
    Kernel k;
    void* p = ExAllocatePoolWithTag(NonPagedPool, 32, 'tseT');
    ExFreePoolWithTag(p, 'tseT');
    EXPECT_BUGCHECK_P1(bc::kBadPoolCaller, 0x07, ExFreePool(p));
  }
  {
    Kernel k;
    int local = 0;
    EXPECT_BUGCHECK_P1(kC4, 0x10, ExFreePool(&local));
  }
  {
    Kernel k;
    char* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 32, 'tseT'));
    // A pointer inside a block is not a block.
    EXPECT_BUGCHECK_P1(kC4, 0x10, ExFreePool(p + 8));
  }
  {
    Kernel k;
    void* p = ExAllocatePoolWithTag(NonPagedPool, 32, 'tseT');
    EXPECT_BUGCHECK_P1(bc::kBadPoolCaller, 0x0A, ExFreePoolWithTag(p, 'xxxx'));
  }
  {
    Kernel k;
    EXPECT_BUGCHECK_P1(kC4, 0x00, ExAllocatePoolWithTag(NonPagedPool, 0, 'tseT'));
  }
  {
    Kernel k;
    k.ScheduleDeviceEvent(0, [] { ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT'); });
    // Pool allocated above DISPATCH_LEVEL.
    EXPECT_BUGCHECK_P1(kC4, 0x02, k.Run());
  }
  {
    Kernel k;
    void* p = ExAllocatePoolWithTag(PagedPool, 16, 'tseT');
    k.StartSystemThread("t", [p] {
      RaiseToDispatch();
      ExFreePool(p);
    });
    EXPECT_BUGCHECK_P1(kC4, 0x11, k.Run());
  }
}

TEST(KernelVerifier, UsingAnObjectInFreedPoolBugChecks) {
  struct Block {
    KEVENT event;
    KDPC dpc;
    KTIMER timer;
    LONG counter;
  };
  auto freedBlock = [] {
    auto* b = static_cast<Block*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Block), 'kolB'));
    KeInitializeEvent(&b->event, NotificationEvent, FALSE);
    KeInitializeDpc(&b->dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    KeInitializeTimer(&b->timer);
    ExFreePool(b);
    return b;
  };
  const ULONG kFreed = bc::kPageFaultInFreedSpecialPool;
  {
    Kernel k;
    Block* b = freedBlock();
    EXPECT_BUGCHECK_THAT(kFreed, KeSetEvent(&b->event, 0, FALSE),
                         EXPECT_EQ(bugcheck.params[0], reinterpret_cast<ULONG_PTR>(&b->event)));
  }
  {
    Kernel k;
    Block* b = freedBlock();
    EXPECT_BUGCHECK(kFreed, KeInsertQueueDpc(&b->dpc, nullptr, nullptr));
  }
  {
    Kernel k;
    Block* b = freedBlock();
    EXPECT_BUGCHECK(kFreed, KeSetTimer(&b->timer, Relative(kMillisecond), nullptr));
  }
  {
    Kernel k;
    Block* b = freedBlock();
    EXPECT_BUGCHECK(kFreed, InterlockedIncrement(&b->counter));
  }
  {
    Kernel k;
    Block* b = freedBlock();
    k.StartSystemThread("waiter", [b] {
      KeWaitForSingleObject(&b->event, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_BUGCHECK_THAT(kFreed, k.Run(), EXPECT_EQ(bugcheck.context, "waiter"));
  }
  {
    // Freeing a block that holds a queued DPC.
    Kernel k;
    auto* b = static_cast<Block*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Block), 'kolB'));
    KeInitializeDpc(&b->dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    KeInsertQueueDpc(&b->dpc, nullptr, nullptr);
    EXPECT_BUGCHECK_THAT(bc::kTimerOrDpcInvalid, ExFreePool(b),
                         EXPECT_EQ(bugcheck.params[0], 1u) << "type 1: a DPC object");
  }
  {
    Kernel k;
    auto* b = static_cast<Block*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Block), 'kolB'));
    KeInitializeTimer(&b->timer);
    KeSetTimer(&b->timer, Relative(kMillisecond), nullptr);
    EXPECT_BUGCHECK_THAT(kC4, ExFreePool(b), EXPECT_EQ(bugcheck.params[0], 0x15u)
                                                 << "freeing pool that holds an active timer");
  }
}

TEST(KernelVerifier, UninitialisedObjectsBugCheck) {
  Kernel k;
  auto* e = static_cast<KEVENT*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), 'tvE '));
  EXPECT_BUGCHECK_P1(kC4, 0x1002, KeSetEvent(e, 0, FALSE));
}

TEST(KernelVerifier, PoolStillAllocatedAtUnloadBugChecksWithTheCount) {
  Kernel k;
  static const char kDriver[] = "tarnwire.sys";
  void* keep1 = ExAllocatePoolWithTag(NonPagedPool, 100, 'LkaL');
  void* keep2 = ExAllocatePoolWithTag(PagedPool, 50, 'LkaL');
  ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 10, 'eerF'));
  ASSERT_EQ(k.LivePoolBlocks().size(), 2u);
  EXPECT_BUGCHECK_THAT(kC4, k.VerifyNoPoolAtUnload(kDriver),
                       EXPECT_EQ(bugcheck.params[0], 0x62u);
                       EXPECT_EQ(bugcheck.params[1], reinterpret_cast<ULONG_PTR>(kDriver));
                       EXPECT_EQ(bugcheck.params[3], 2u) << "the count of blocks not freed";
                       EXPECT_NE(bugcheck.report.find("LakL"), std::string::npos) << bugcheck.report);
  (void)keep1;
  (void)keep2;
}

TEST(KernelVerifier, NoPoolAtUnloadPassesWhenEverythingWasFreed) {
  Kernel k;
  ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 10, 'eerF'));
  EXPECT_NO_THROW(k.VerifyNoPoolAtUnload("tarnwire.sys"));
}

TEST(KernelVerifier, OtherKernelRulesBugCheck) {
  EXPECT_BUGCHECK_P1(kC4, 0x80, InThread(ProcessorModel::Uniprocessor, [] {
                       KEVENT e;
                       KeInitializeEvent(&e, NotificationEvent, FALSE);
                       KIRQL old;
                       KeRaiseIrql(HIGH_LEVEL, &old);
                       KeSetEvent(&e, 0, FALSE);
                     }));
  EXPECT_BUGCHECK(bc::kMaximumWaitObjectsExceeded, InThread(ProcessorModel::Uniprocessor, [] {
                    KEVENT e[4];
                    PVOID objects[4];
                    for (int i = 0; i < 4; ++i) {
                      KeInitializeEvent(&e[i], NotificationEvent, FALSE);
                      objects[i] = &e[i];
                    }
                    // More than THREAD_WAIT_OBJECTS without a wait block array.
                    KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE,
                                             nullptr, nullptr);
                  }));
  EXPECT_BUGCHECK_THAT(0xDEAD, InThread(ProcessorModel::Uniprocessor,
                                        [] { KeBugCheckEx(0xDEAD, 1, 2, 3, 4); }),
                       EXPECT_EQ(bugcheck.params[3], 4u));
}

TEST(KernelVerifier, BugCheckReportNamesTheContextSeedAndRecentTrace) {
  KernelConfig c = emu::testing::MachineConfig(ProcessorModel::Multiprocessor, 4242);
  Kernel k(c);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  // Other contexts are left suspended mid-wait when the machine stops.
  for (int i = 0; i < 3; ++i)
    k.StartSystemThread("bystander" + std::to_string(i), [&] {
      KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
  k.StartSystemThread("culprit", [] {
    LARGE_INTEGER t = Relative(3 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
    RaiseToDispatch();
    KeDelayExecutionThread(KernelMode, FALSE, &t);
  });
  EXPECT_BUGCHECK_THAT(bc::kIrqlNotLessOrEqual, k.Run(), {
    EXPECT_EQ(bugcheck.context, "culprit");
    EXPECT_NE(bugcheck.report.find("IRQL_NOT_LESS_OR_EQUAL"), std::string::npos) << bugcheck.report;
    EXPECT_NE(bugcheck.report.find("culprit"), std::string::npos) << bugcheck.report;
    EXPECT_NE(bugcheck.report.find("seed 4242"), std::string::npos) << bugcheck.report;
    EXPECT_NE(bugcheck.report.find("multiprocessor"), std::string::npos) << bugcheck.report;
    EXPECT_NE(bugcheck.report.find("bystander2"), std::string::npos)
        << "the trace tail should show the recent history\n"
        << bugcheck.report;
  });
  // A stopped machine cannot run again: it raises the same bug check.
  EXPECT_BUGCHECK(bc::kIrqlNotLessOrEqual, k.Run());
}

TEST(KernelVerifier, MachineIsReusableAfterABugCheckInAThread) {
  for (int round = 0; round < 3; ++round) {
    Kernel k;
    FAST_MUTEX m;
    ExInitializeFastMutex(&m);
    k.StartSystemThread("holder", [&] {
      ExAcquireFastMutex(&m);
      LARGE_INTEGER t = Relative(10 * kMillisecond);
      KeDelayExecutionThread(KernelMode, FALSE, &t);
      ExReleaseFastMutex(&m);
    });
    k.StartSystemThread("blocked", [&] {
      ExAcquireFastMutex(&m);
      ExReleaseFastMutex(&m);
    });
    k.StartSystemThread("faulty", [] {
      RaiseToDispatch();
      ExAllocatePoolWithTag(PagedPool, 8, 'tseT');
    });
    EXPECT_BUGCHECK_P1(kC4, 0x01, k.Run());
  }
}

}  // namespace
