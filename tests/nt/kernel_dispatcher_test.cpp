// Dispatcher objects and waits: events, WaitAny/WaitAll, time-outs, delays, semaphores, kernel
// mutexes, fast mutexes, thread objects and the interlocked operations.
#include <algorithm>
#include <string>
#include <vector>

#include "nt/handles.h"
#include "nt/kernel_test_support.h"
#include "nt/machine.h"

namespace {

using emu::Kernel;
using emu::kMillisecond;
using emu::ProcessorModel;
using emu::testing::Delay;
using emu::testing::ForEachMachine;
using emu::testing::kTick;
using emu::testing::MachineConfig;
using emu::testing::RaiseTo;
using emu::testing::Relative;
using emu::testing::StartWaiters;
using emu::testing::TickAfter;
using emu::testing::WaitOn;

TEST(KernelEvents, SignalWakesOneWaiterOfASynchronizationEventAndAllOfANotificationEvent) {
  ForEachMachine([](const emu::KernelConfig& config) {
    for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
      const bool sync = type == SynchronizationEvent;
      SCOPED_TRACE(sync ? "synchronization event" : "notification event");
      Kernel k(config);
      KEVENT e;
      KeInitializeEvent(&e, type, FALSE);
      int woken = 0;
      StartWaiters(k, 3, &e, &woken);
      k.Run();
      ASSERT_EQ(woken, 0);
      EXPECT_EQ(KeSetEvent(&e, EVENT_INCREMENT, FALSE), 0) << "KeSetEvent returns the previous state";
      k.Run();
      EXPECT_EQ(woken, sync ? 1 : 3) << "waiters woken by one signal";
      EXPECT_EQ(KeReadStateEvent(&e), sync ? 0 : 1)
          << "a woken waiter resets a synchronization event; a notification event stays set";
      if (sync) {
        KeSetEvent(&e, 0, FALSE);
        KeSetEvent(&e, 0, FALSE);
        k.Run();
        EXPECT_EQ(woken, 3);
      } else {
        EXPECT_EQ(KeResetEvent(&e), 1) << "KeResetEvent returns the previous state";
        EXPECT_EQ(KeReadStateEvent(&e), 0);
      }
    }
  });
}

TEST(KernelWaits, WaitAnyReturnsTheSignalledIndexAndWaitAllNeedsEveryObject) {
  ForEachMachine([](const emu::KernelConfig& config) {
    Kernel k(config);
    KEVENT ev[3];  // two synchronization events and a notification event
    KeInitializeEvent(&ev[0], SynchronizationEvent, FALSE);
    KeInitializeEvent(&ev[1], SynchronizationEvent, FALSE);
    KeInitializeEvent(&ev[2], NotificationEvent, FALSE);
    PVOID objects[3] = {&ev[0], &ev[1], &ev[2]};
    std::vector<NTSTATUS> results;
    auto waiter = [&](WAIT_TYPE type) {
      return [&, type] {
        results.push_back(
            KeWaitForMultipleObjects(3, objects, type, Executive, KernelMode, FALSE, nullptr, nullptr));
      };
    };
    k.StartSystemThread("any", waiter(WaitAny));
    k.Run();
    KeSetEvent(&ev[2], 0, FALSE);
    k.Run();
    KeSetEvent(&ev[1], 0, FALSE);
    KeSetEvent(&ev[0], 0, FALSE);
    k.StartSystemThread("any2", waiter(WaitAny));
    k.Run();
    EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_WAIT_0 + 2, STATUS_WAIT_0}))
        << "WaitAny returns the index of the signalled object, the lowest when several are";
    EXPECT_EQ(KeReadStateEvent(&ev[1]), 1) << "only the satisfying object is consumed";
    KeClearEvent(&ev[1]);
    k.StartSystemThread("all", waiter(WaitAll));
    k.Run();
    KeSetEvent(&ev[0], 0, FALSE);
    k.Run();
    EXPECT_EQ(results.size(), 2u) << "WaitAll returned with one of three objects not signalled";
    EXPECT_EQ(KeReadStateEvent(&ev[0]), 1) << "a WaitAll consumes nothing until it is satisfied";
    KeSetEvent(&ev[1], 0, FALSE);
    k.Run();
    EXPECT_EQ(results.back(), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&ev[0]) + KeReadStateEvent(&ev[1]), 0) << "synchronization events consumed";
    EXPECT_EQ(KeReadStateEvent(&ev[2]), 1) << "the notification event stays signalled";
  });
}

TEST(KernelWaits, TimeOutsExpireOnTheClockTickAfterTheirDueTime) {
  Kernel k(test_support::CurrentConfig());
  KEVENT e, other;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  KeInitializeEvent(&other, NotificationEvent, FALSE);
  k.RunInSystemThread("t", [&] {
    KeSetEvent(&other, 0, TRUE);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "KeSetEvent with Wait TRUE holds DISPATCH_LEVEL";
    emu::VirtualTime t0 = k.Now();
    LARGE_INTEGER rel = Relative(50 * kMillisecond);
    EXPECT_EQ(WaitOn(&e, &rel), STATUS_TIMEOUT);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "until the next wait returns to the caller's IRQL";
    EXPECT_EQ(k.Now(), TickAfter(t0 + 50 * kMillisecond)) << "relative time-out";
    LARGE_INTEGER abs;
    KeQuerySystemTime(&abs);
    t0 = k.Now();
    abs.QuadPart += 30 * kMillisecond;
    EXPECT_EQ(WaitOn(&e, &abs), STATUS_TIMEOUT);
    EXPECT_EQ(k.Now(), TickAfter(t0 + 30 * kMillisecond)) << "absolute (system time) time-out";
    LARGE_INTEGER zero{};
    t0 = k.Now();
    KIRQL old = RaiseTo(DISPATCH_LEVEL);
    EXPECT_EQ(WaitOn(&e, &zero), STATUS_TIMEOUT) << "a zero time-out polls, even at DISPATCH_LEVEL";
    KeLowerIrql(old);
    EXPECT_LT(k.Now() - t0, kMillisecond) << "a zero time-out waits for no tick";
    t0 = k.Now();
    EXPECT_EQ(Delay(20 * kMillisecond), STATUS_SUCCESS);
    EXPECT_EQ(k.Now(), TickAfter(t0 + 20 * kMillisecond)) << "KeDelayExecutionThread";
  });
  // A signal before the time-out wins, and the stale time-out does not fire later.
  NTSTATUS status = STATUS_PENDING;
  k.StartSystemThread("t2", [&] {
    LARGE_INTEGER rel = Relative(40 * kMillisecond);
    status = WaitOn(&e, &rel);
  });
  const emu::VirtualTime signalled = k.Now() + 10 * kMillisecond;
  k.ScheduleDeviceEvent(signalled, [&] { KeSetEvent(&e, 0, FALSE); });
  k.Run();
  EXPECT_EQ(status, STATUS_WAIT_0);
  EXPECT_EQ(k.Now(), signalled) << "device events keep exact times; nothing remains due after the wake";
}

TEST(KernelSemaphores, ReleaseWakesAsManyWaitersAsTheCountAllows) {
  ForEachMachine([](const emu::KernelConfig& config) {
    Kernel k(config);
    KSEMAPHORE s;
    KeInitializeSemaphore(&s, 0, 5);
    int woken = 0;
    StartWaiters(k, 4, &s, &woken);
    k.Run();
    EXPECT_EQ(KeReleaseSemaphore(&s, 0, 3, FALSE), 0) << "returns the previous count";
    k.Run();
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(KeReadStateSemaphore(&s), 0);
  });
}

TEST(KernelMutexes, KernelAndFastMutexesAdmitOneThreadAtATime) {
  ForEachMachine([](const emu::KernelConfig& config) {
    Kernel k(config);
    KMUTEX km;
    FAST_MUTEX fm;
    KeInitializeMutex(&km, 0);
    ExInitializeFastMutex(&fm);
    int inKernelMutex = 0, inFastMutex = 0, most = 0, rounds = 0;
    LONG dummy = 0;
    for (int i = 0; i < 3; ++i)
      k.StartSystemThread("t" + std::to_string(i), [&] {
        for (int r = 0; r < 3; ++r) {
          WaitOn(&km);
          WaitOn(&km);  // recursive acquisition
          most = std::max(most, ++inKernelMutex);
          InterlockedIncrement(&dummy);
          --inKernelMutex;
          KeReleaseMutex(&km, FALSE);
          KeReleaseMutex(&km, FALSE);
          ExAcquireFastMutex(&fm);
          EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
          most = std::max(most, ++inFastMutex);
          Delay(kMillisecond);  // waiting is allowed at APC_LEVEL
          --inFastMutex;
          ++rounds;
          ExReleaseFastMutex(&fm);
          EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        }
      });
    k.Run();
    EXPECT_EQ(most, 1) << "two threads held a mutex at once";
    EXPECT_EQ(rounds, 9) << "every thread should get both mutexes every time";
    EXPECT_EQ(KeReadStateMutex(&km), 1) << "the kernel mutex is free again";
    EXPECT_EQ(fm.Count, 1) << "the fast mutex is free again";
  });
}

TEST(KernelMutexes, TryToAcquireFastMutexFailsWhileItIsHeld) {
  ForEachMachine([](const emu::KernelConfig& config) {
    Kernel k(config);
    FAST_MUTEX m;
    ExInitializeFastMutex(&m);
    // Delays end on clock ticks: the holder keeps the mutex until the third tick.
    k.StartSystemThread("holder", [&] {
      ExAcquireFastMutex(&m);
      Delay(2 * kTick);
      ExReleaseFastMutex(&m);
    });
    k.StartSystemThread("trier", [&] {
      Delay(kTick);
      EXPECT_FALSE(ExTryToAcquireFastMutex(&m)) << "the holder still has it";
      Delay(2 * kTick);
      EXPECT_TRUE(ExTryToAcquireFastMutex(&m)) << "the holder has released it";
      ExReleaseFastMutex(&m);
    });
    k.Run();
  });
}

TEST(KernelThreads, SystemThreadRunsItsStartRoutineAndItsObjectSignalsAtTheEnd) {
  ForEachMachine([](const emu::KernelConfig& config) {
    Kernel k(config);
    struct Ctx {
      int ran = 0;
      bool afterTerminate = false;
    } ctx;
    HANDLE h = nullptr;
    CLIENT_ID cid{};
    k.RunInSystemThread("creator", [&] {
      ASSERT_EQ(PsCreateSystemThread(
                    &h, THREAD_ALL_ACCESS, nullptr, nullptr, &cid,
                    [](PVOID p) {
                      EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
                      EXPECT_TRUE(PsIsSystemThread(PsGetCurrentThread()));
                      static_cast<Ctx*>(p)->ran++;
                      PsTerminateSystemThread(STATUS_SUCCESS);
                      static_cast<Ctx*>(p)->afterTerminate = true;
                    },
                    &ctx),
                STATUS_SUCCESS);
      auto* thread = static_cast<PKTHREAD>(emu::LookupKernelHandle(h));
      ASSERT_NE(thread, nullptr) << "the handle refers to the thread object";
      EXPECT_EQ(KeSetPriorityThread(thread, LOW_REALTIME_PRIORITY + 2), 8) << "returns the old priority";
      EXPECT_EQ(KeQueryPriorityThread(thread), LOW_REALTIME_PRIORITY + 2);
      EXPECT_EQ(WaitOn(thread), STATUS_WAIT_0) << "the thread object is signalled at the end";
    });
    EXPECT_EQ(ctx.ran, 1);
    EXPECT_FALSE(ctx.afterTerminate) << "PsTerminateSystemThread returned";
    EXPECT_NE(cid.UniqueThread, nullptr);
    EXPECT_TRUE(emu::CloseKernelHandle(h));
  });
}

// A finished thread's context is dropped; its thread object lives on while it is referenced.
TEST(KernelThreads, ThreadObjectOutlivesItsThreadWhileReferenced) {
  emu::Machine m;
  Kernel& k = m.kernel();
  PVOID object = nullptr;
  Kernel::ContextId creator = k.StartSystemThread("creator", [&] {
    HANDLE h = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ZwClose(h);
  });
  k.Run();
  for (int i = 0; i < 300; ++i) k.RunInSystemThread("passer-by", [] {});
  EXPECT_TRUE(k.ContextFinished(creator));
  EXPECT_EQ(k.DescribeContexts(), "") << "finished threads are no longer listed";
  k.RunInSystemThread("waiter", [&] {
    EXPECT_EQ(WaitOn(object), STATUS_WAIT_0) << "the referenced thread object stays valid and signalled";
    ObDereferenceObject(object);
  });
}

TEST(KernelInterlocked, OperationsReturnThePreviousOrNewValueAsDocumented) {
  Kernel k(test_support::CurrentConfig());
  k.RunInSystemThread("t", [] {
    LONG v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6) << "returns the new value";
    EXPECT_EQ(InterlockedDecrement(&v), 5) << "returns the new value";
    EXPECT_EQ(InterlockedExchange(&v, 9), 5) << "returns the old value";
    EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 9) << "returns the old value";
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 7), 12) << "no match: returns the value, no store";
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 12), 12) << "match: stores, returns the old value";
    EXPECT_EQ(InterlockedOr(&v, 6), 1);
    EXPECT_EQ(InterlockedAnd(&v, 3), 7);
    EXPECT_EQ(InterlockedXor(&v, 1), 3);
    EXPECT_EQ(v, 2);
    int a = 0, b = 0;
    PVOID p = &a;
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, &b, nullptr), &a);
    EXPECT_EQ(InterlockedExchangePointer(&p, &b), &a);
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, nullptr, &b), &b);
    EXPECT_EQ(p, nullptr);
  });
}

}  // namespace
