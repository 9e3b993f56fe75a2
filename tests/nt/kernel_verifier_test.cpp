// The verifier rules of the kernel core: each deliberately faulty snippet must stop the machine
// with the Windows bug check code and parameters for its fault, under both processor models.
#include <string>

#include "nt/handles.h"
#include "nt/io_test_support.h"
#include "nt/verifier.h"

namespace {

using emu::Kernel;
using emu::kMillisecond;
using emu::ProcessorModel;
using emu::testing::Addr;
using emu::testing::Delay;
using emu::testing::ExpectRuleFires;
using emu::testing::InThread;
using emu::testing::RaiseTo;
using emu::testing::Relative;
using emu::testing::Rule;
using emu::testing::RuleRig;
using emu::testing::WaitOn;
namespace bc = emu::bugcheck;

constexpr ULONG kC4 = bc::kDriverVerifierDetectedViolation;
constexpr ULONG kFreed = bc::kPageFaultInFreedSpecialPool;
constexpr ULONG kIrql = bc::kIrqlNotLessOrEqual;

VOID NoDpc(PKDPC, PVOID, PVOID, PVOID) {}

HANDLE NewThread() {
  HANDLE h = nullptr;
  PsCreateSystemThread(
      &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
  return h;
}

struct Block {
  KEVENT event;
  KDPC dpc;
  KTIMER timer;
  LONG counter;
};

Block* NewBlock() { return static_cast<Block*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Block), 'kolB')); }

// A block of pool holding initialised objects, already freed.
Block* FreedBlock() {
  Block* b = NewBlock();
  KeInitializeEvent(&b->event, NotificationEvent, FALSE);
  KeInitializeDpc(&b->dpc, &NoDpc, nullptr);
  KeInitializeTimer(&b->timer);
  ExFreePool(b);
  return b;
}

// Runs `body` at device IRQL (above DISPATCH_LEVEL), as a hardware event does.
std::function<void(RuleRig&)> InDeviceEvent(std::function<void()> body) {
  return [body](RuleRig& r) {
    r.m.kernel().ScheduleDeviceEvent(0, body);
    r.m.kernel().Run();
  };
}

// Runs `body` in a system thread after raising the IRQL.
std::function<void(RuleRig&)> At(KIRQL irql, std::function<void(RuleRig&)> body) {
  return InThread([irql, body](RuleRig& r) {
    RaiseTo(irql);
    body(r);
  });
}

std::function<void(RuleRig&)> InDpc(PKDEFERRED_ROUTINE routine) {
  return [routine](RuleRig& r) { r.RunDpc(routine); };
}

LARGE_INTEGER g_ms = Relative(kMillisecond), g_zero{};

const Rule kKernelRules[] = {
    // IRQL and waits.
    Rule("waiting with a time-out at DISPATCH_LEVEL", kC4, {0x122},
         At(DISPATCH_LEVEL, [](RuleRig& r) { WaitOn(&r.event, &g_ms); })),
    Rule("waiting without a time-out at DISPATCH_LEVEL", kC4, {0x121},
         At(DISPATCH_LEVEL, [](RuleRig& r) { WaitOn(&r.event); })),
    Rule("waiting above DISPATCH_LEVEL", kC4, {0x120},
         At(HIGH_LEVEL, [](RuleRig& r) { WaitOn(&r.event, &g_zero); })),
    Rule("waiting while holding a spin lock", kC4, {0x122}, InThread([](RuleRig& r) {
           KeLowerIrql(r.Lock());  // still holding the lock
           WaitOn(&r.event, &g_ms);
         })),
    Rule("KeDelayExecutionThread at DISPATCH_LEVEL", kIrql, {},
         At(DISPATCH_LEVEL, [](RuleRig&) { Delay(kMillisecond); })),
    Rule("waiting in a DPC routine", bc::kAttemptedSwitchFromDpc, {},
         InDpc([](PKDPC, PVOID ev, PVOID, PVOID) { WaitOn(ev); })),
    Rule("a wait on more than THREAD_WAIT_OBJECTS without wait blocks", bc::kMaximumWaitObjectsExceeded, {4},
         InThread([](RuleRig& r) {
           PVOID objects[4] = {&r.event, &r.event, &r.event, &r.event};
           KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
         })),
    Rule("paged pool allocated at DISPATCH_LEVEL", kC4, {0x01},
         At(DISPATCH_LEVEL, [](RuleRig&) { ExAllocatePoolWithTag(PagedPool, 64, 'tseT'); })),
    Rule("PsCreateSystemThread at DISPATCH_LEVEL", kIrql, {},
         At(DISPATCH_LEVEL, [](RuleRig&) { NewThread(); })),
    Rule("KeFlushQueuedDpcs at DISPATCH_LEVEL", kIrql, {},
         At(DISPATCH_LEVEL, [](RuleRig&) { KeFlushQueuedDpcs(); })),
    Rule("KeSetTimer above DISPATCH_LEVEL", kIrql, {}, InThread([](RuleRig&) {
           KTIMER timer;
           KeInitializeTimer(&timer);
           RaiseTo(HIGH_LEVEL);
           KeSetTimer(&timer, g_ms, nullptr);
         })),
    Rule("KeSetPriorityThread above DISPATCH_LEVEL", kIrql, {},
         At(HIGH_LEVEL, [](RuleRig&) { KeSetPriorityThread(KeGetCurrentThread(), 9); })),
    Rule("PsTerminateSystemThread in a DPC routine", kIrql, {},
         InDpc([](PKDPC, PVOID, PVOID, PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); })),
    Rule("KeSetEvent above DISPATCH_LEVEL", kC4, {0x80},
         At(HIGH_LEVEL, [](RuleRig& r) { KeSetEvent(&r.event, 0, FALSE); })),
    Rule("KeLowerIrql to a higher IRQL", kC4, {0x31, PASSIVE_LEVEL, APC_LEVEL},
         InThread([](RuleRig&) { KeLowerIrql(APC_LEVEL); })),
    Rule("KeRaiseIrql to a lower IRQL", kC4, {0x30},
         At(DISPATCH_LEVEL, [](RuleRig&) { RaiseTo(APC_LEVEL); })),
    Rule("a DPC routine lowering the IRQL below DISPATCH_LEVEL", kC4, {0x31, {}, {}, 1},
         InDpc([](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); })),
    Rule("a DPC routine returning at another IRQL", bc::kIrqlUnexpectedValue,
         {(HIGH_LEVEL << 16) | (DISPATCH_LEVEL << 8)},
         InDpc([](PKDPC, PVOID, PVOID, PVOID) { RaiseTo(HIGH_LEVEL); })),
    Rule("a DPC routine returning with a spin lock held", kC4, {emu::verifier::kRuleSpinLock}, [](RuleRig& r) {
           r.expect[2] = Addr(&r.lock);
           KeInitializeDpc(
               &r.dpc, [](PKDPC, PVOID lock, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(lock)); },
               &r.lock);
           KeInsertQueueDpc(&r.dpc, nullptr, nullptr);
           r.context = "dpc";
           r.m.kernel().Run();
         }),
    // KeSetEvent, KeReleaseSemaphore and KeReleaseMutex with Wait TRUE.
    Rule("KeSetEvent with Wait TRUE in a DPC routine", kC4, {emu::verifier::kRuleIrqlKeSetEvent},
         InDpc([](PKDPC, PVOID ev, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(ev), 0, TRUE); })),
    Rule("KeReleaseSemaphore with Wait TRUE at DISPATCH_LEVEL", kIrql,
         {reinterpret_cast<ULONG_PTR>(&KeReleaseSemaphore), DISPATCH_LEVEL}, At(DISPATCH_LEVEL, [](RuleRig&) {
           KSEMAPHORE s;
           KeInitializeSemaphore(&s, 0, 1);
           KeReleaseSemaphore(&s, 0, 1, TRUE);
         })),
    Rule("KeSetEvent with Wait TRUE followed by another call than a wait", bc::kIrqlUnexpectedValue,
         {(DISPATCH_LEVEL << 16) | (PASSIVE_LEVEL << 8)}, InThread([](RuleRig& r) {
           KeSetEvent(&r.event, 0, TRUE);
           KeClearEvent(&r.event);
         })),
    Rule("KeBugCheckEx", 0xDEAD, {1, 2, 3, 4}, InThread([](RuleRig&) { KeBugCheckEx(0xDEAD, 1, 2, 3, 4); })),
    // Locks, mutexes and the end of a thread.
    Rule("a spin lock released twice", kC4, {0x32}, InThread([](RuleRig& r) {
           KIRQL old = r.Lock();
           KeReleaseSpinLock(&r.lock, old);
           KeReleaseSpinLock(&r.lock, old);  // now at PASSIVE_LEVEL
         })),
    Rule("releasing a spin lock not held", bc::kSpinLockNotOwned, {},
         At(DISPATCH_LEVEL, [](RuleRig& r) { KeReleaseSpinLockFromDpcLevel(&r.lock); })),
    Rule("acquiring a spin lock already held", bc::kSpinLockAlreadyOwned, {}, InThread([](RuleRig& r) {
           r.Lock();
           r.Lock();
         })),
    Rule("KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL", kC4, {0x40},
         InThread([](RuleRig& r) { KeAcquireSpinLockAtDpcLevel(&r.lock); })),
    Rule("KeReleaseSpinLockFromDpcLevel below DISPATCH_LEVEL", kC4, {0x41},
         InThread([](RuleRig& r) { KeReleaseSpinLockFromDpcLevel(&r.lock); })),
    Rule("KeAcquireSpinLock above DISPATCH_LEVEL", kC4, {0x42}, At(HIGH_LEVEL, [](RuleRig& r) { r.Lock(); })),
    Rule("a thread terminating with a spin lock held", kC4, {0x100A}, InThread([](RuleRig& r) {
           r.expect[2] = Addr(&r.lock);
           r.Lock();
           PsTerminateSystemThread(STATUS_SUCCESS);
         })),
    Rule("a thread returning with a fast mutex held", kC4, {0x100A}, InThread([](RuleRig& r) {
           r.expect[2] = Addr(&r.mutex);
           ExAcquireFastMutex(&r.mutex);
         })),
    Rule("a thread returning at APC_LEVEL", bc::kKernelApcPendingDuringExit, {{}, {}, APC_LEVEL},
         At(APC_LEVEL, [](RuleRig&) {})),
    Rule("a fast mutex acquired at DISPATCH_LEVEL", kC4, {0x33},
         At(DISPATCH_LEVEL, [](RuleRig& r) { ExAcquireFastMutex(&r.mutex); })),
    Rule("a fast mutex acquired recursively", kC4, {0x1000}, InThread([](RuleRig& r) {
           ExAcquireFastMutex(&r.mutex);
           ExAcquireFastMutex(&r.mutex);
         })),
    Rule("a fast mutex released below APC_LEVEL", kC4, {0x34},
         InThread([](RuleRig& r) { ExReleaseFastMutex(&r.mutex); })),
    Rule("a fast mutex released that nobody holds", kC4, {0x1007},
         At(APC_LEVEL, [](RuleRig& r) { ExReleaseFastMutex(&r.mutex); })),
    Rule("a fast mutex released by a thread that does not own it", kC4, {0x1004},
         [](RuleRig& r) {
           r.m.kernel().StartSystemThread("owner", [&] {
             ExAcquireFastMutex(&r.mutex);
             KeSetEvent(&r.event, 0, FALSE);
             Delay(kMillisecond);
             ExReleaseFastMutex(&r.mutex);
           });
           r.m.kernel().StartSystemThread("thief", [&] {
             WaitOn(&r.event);
             RaiseTo(APC_LEVEL);
             ExReleaseFastMutex(&r.mutex);
           });
           r.context = "thief";
           r.m.kernel().Run();
         }),
    Rule("a kernel mutex released by a thread that does not own it", bc::kThreadNotMutexOwner, {},
         InThread([](RuleRig&) {
           KMUTEX m;
           KeInitializeMutex(&m, 0);
           KeReleaseMutex(&m, FALSE);
         })),
    Rule("a semaphore released past its limit", bc::kSystemThreadExceptionNotHandled, {0xC0000047},
         InThread([](RuleRig&) {
           KSEMAPHORE s;
           KeInitializeSemaphore(&s, 0, 5);
           KeReleaseSemaphore(&s, 0, 6, FALSE);
         })),
    Rule("an event re-initialised while a thread waits on it", kC4, {0x1005},
         [](RuleRig& r) {
           r.m.kernel().StartSystemThread("waiter", [&] { WaitOn(&r.event); });
           r.m.kernel().Run();
           r.expect[1] = Addr(&r.event);
           KeInitializeEvent(&r.event, NotificationEvent, FALSE);
         }),
    // Pool and the memory of kernel objects.
    Rule("pool freed twice", bc::kBadPoolCaller, {0x07}, InThread([](RuleRig&) {
           void* p = NewBlock();
           ExFreePoolWithTag(p, 'kolB');
           ExFreePool(p);
         })),
    Rule("freeing an address inside a pool block", kC4, {0x10},
         InThread([](RuleRig&) { ExFreePool(reinterpret_cast<char*>(NewBlock()) + 8); })),
    Rule("freeing pool with another tag", bc::kBadPoolCaller, {0x0A},
         InThread([](RuleRig&) { ExFreePoolWithTag(NewBlock(), 'xxxx'); })),
    Rule("allocating zero bytes", kC4, {0x00},
         InThread([](RuleRig&) { ExAllocatePoolWithTag(NonPagedPool, 0, 'tseT'); })),
    Rule("allocating must-succeed pool", bc::kBadPoolCaller, {0x9A},
         InThread([](RuleRig&) { ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, 'tseT'); })),
    Rule("allocating with a zero tag", bc::kBadPoolCaller, {0x9B},
         InThread([](RuleRig&) { ExAllocatePoolWithTag(NonPagedPool, 8, 0); })),
    Rule("allocating pool above DISPATCH_LEVEL", kC4, {0x02},
         InDeviceEvent([] { ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT'); })),
    Rule("freeing paged pool at DISPATCH_LEVEL", kC4, {0x11}, InThread([](RuleRig&) {
           void* p = ExAllocatePoolWithTag(PagedPool, 16, 'tseT');
           RaiseTo(DISPATCH_LEVEL);
           ExFreePool(p);
         })),
    Rule("freeing nonpaged pool above DISPATCH_LEVEL", kC4, {0x12},
         [](RuleRig& r) { InDeviceEvent([p = NewBlock()] { ExFreePool(p); })(r); }),
    Rule("signalling an event in freed pool", kFreed, {}, InThread([](RuleRig& r) {
           Block* b = FreedBlock();
           r.expect[0] = Addr(&b->event);
           KeSetEvent(&b->event, 0, FALSE);
         })),
    Rule("waiting on an event in freed pool", kFreed, {},
         InThread([](RuleRig&) { WaitOn(&FreedBlock()->event); })),
    Rule("queueing a DPC in freed pool", kFreed, {},
         InThread([](RuleRig&) { KeInsertQueueDpc(&FreedBlock()->dpc, nullptr, nullptr); })),
    Rule("setting a timer in freed pool", kFreed, {},
         InThread([](RuleRig&) { KeSetTimer(&FreedBlock()->timer, g_ms, nullptr); })),
    Rule("an interlocked operation on freed pool", kFreed, {},
         InThread([](RuleRig&) { InterlockedIncrement(&FreedBlock()->counter); })),
    Rule("an interlocked operation on pool freed since the last one", kFreed, {},
         InThread([](RuleRig& r) {
           ExFreePool(NewBlock());  // the first increment then looks through freed pool
           Block* b = NewBlock();
           InterlockedIncrement(&b->counter);
           ExFreePool(b);
           r.expect[0] = Addr(&b->counter);
           InterlockedIncrement(&b->counter);
         })),
    Rule("freeing pool that holds a queued DPC", bc::kTimerOrDpcInvalid, {1},
         [](RuleRig&) {
           Block* b = NewBlock();
           KeInitializeDpc(&b->dpc, &NoDpc, nullptr);
           KeInsertQueueDpc(&b->dpc, nullptr, nullptr);
           ExFreePool(b);
         }),
    Rule("freeing pool that holds an active timer", kC4, {0x15},
         [](RuleRig&) {
           Block* b = NewBlock();
           KeInitializeTimer(&b->timer);
           KeSetTimer(&b->timer, g_ms, nullptr);
           ExFreePool(b);
         }),
    Rule("a thread ending with a timer on its stack", bc::kTimerOrDpcInvalid, {0}, InThread([](RuleRig&) {
           KTIMER onStack;
           KeInitializeTimer(&onStack);
           KeSetTimer(&onStack, g_ms, nullptr);
         })),
    Rule("a timer re-initialised while it is set", kC4, {0x1005},
         [](RuleRig&) {
           KTIMER timer;
           KeInitializeTimer(&timer);
           KeSetTimer(&timer, g_ms, nullptr);
           KeInitializeTimer(&timer);
         }),
    Rule("a DPC re-initialised while it is queued", kC4, {0x1005},
         [](RuleRig& r) {
           KeInitializeDpc(&r.dpc, &NoDpc, nullptr);
           KeInsertQueueDpc(&r.dpc, nullptr, nullptr);
           KeInitializeDpc(&r.dpc, &NoDpc, nullptr);
         }),
    Rule("an event never initialised", kC4, {0x1002},
         [](RuleRig&) { KeSetEvent(reinterpret_cast<KEVENT*>(NewBlock()), 0, FALSE); }),
    Rule("a thread object dereferenced more often than referenced", kC4, {0x3F}, InThread([](RuleRig&) {
           HANDLE h = NewThread();
           PVOID thread = emu::LookupKernelHandle(h);
           WaitOn(thread);
           ZwClose(h);
           ObDereferenceObject(thread);
         })),
};

TEST(KernelVerifier, EveryKernelRuleBugChecksWithItsCodeAndParameters) {
  for (const Rule& rule : kKernelRules) ExpectRuleFires(rule);
}

TEST(KernelVerifier, BugCheckReportNamesTheContextSeedAndRecentTrace) {
  Kernel k(emu::testing::MachineConfig(ProcessorModel::Multiprocessor, 4242));
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  // Other contexts are left suspended mid-wait when the machine stops.
  for (int i = 0; i < 3; ++i) k.StartSystemThread("bystander" + std::to_string(i), [&] { WaitOn(&never); });
  k.StartSystemThread("culprit", [] {
    Delay(3 * kMillisecond);
    RaiseTo(DISPATCH_LEVEL);
    Delay(3 * kMillisecond);
  });
  EXPECT_BUGCHECK_THAT(bc::kIrqlNotLessOrEqual, k.Run(), {
    EXPECT_EQ(bugcheck.context, "culprit");
    for (const char* part :
         {"IRQL_NOT_LESS_OR_EQUAL", "culprit", "seed 4242", "multiprocessor", "bystander2"})
      EXPECT_NE(bugcheck.report.find(part), std::string::npos) << "the report lacks '" << part << "'\n"
                                                               << bugcheck.report;
  });
  // A stopped machine cannot run again: it raises the same bug check.
  EXPECT_BUGCHECK(bc::kIrqlNotLessOrEqual, k.Run());
}

}  // namespace
