// Dispatcher objects and waits: events, WaitAny/WaitAll, time-outs, delays, semaphores, kernel
// mutexes, fast mutexes and thread objects.
#include <gtest/gtest.h>

#include <wdk_ke.h>

#include "nt/bugcheck_expect.h"
#include "nt/handles.h"
#include "nt/kernel.h"
#include "nt/kernel_test_support.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using emu::Kernel;
using emu::ProcessorModel;
using emu::testing::ForEachMachine;
using emu::testing::Relative;
using emu::kMillisecond;

NTSTATUS WaitOn(PVOID object, PLARGE_INTEGER timeout = nullptr) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

TEST(KernelEvents, SynchronizationEventWakesExactlyOneWaiterPerSignal) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    int woken = 0;
    for (int i = 0; i < 3; ++i)
      k.StartSystemThread("w" + std::to_string(i), [&] {
        EXPECT_EQ(WaitOn(&e), STATUS_WAIT_0);
        ++woken;
      });
    k.Run();
    ASSERT_EQ(woken, 0);
    EXPECT_EQ(KeSetEvent(&e, EVENT_INCREMENT, FALSE), 0);
    k.Run();
    EXPECT_EQ(woken, 1) << "one signal of a synchronization event must wake exactly one waiter";
    EXPECT_EQ(KeReadStateEvent(&e), 0) << "waking a waiter resets a synchronization event";
    KeSetEvent(&e, EVENT_INCREMENT, FALSE);
    KeSetEvent(&e, EVENT_INCREMENT, FALSE);
    k.Run();
    EXPECT_EQ(woken, 3);
  });
}

TEST(KernelEvents, NotificationEventWakesEveryWaiterAndStaysSignalled) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    int woken = 0;
    for (int i = 0; i < 3; ++i)
      k.StartSystemThread("w" + std::to_string(i), [&] {
        WaitOn(&e);
        ++woken;
      });
    k.StartSystemThread("setter", [&] {
      LARGE_INTEGER d = Relative(kMillisecond);
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 0) << "KeSetEvent returns the previous state";
      EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 1);
    });
    k.Run();
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(KeReadStateEvent(&e), 1);
    EXPECT_EQ(KeResetEvent(&e), 1) << "KeResetEvent returns the previous state";
    EXPECT_EQ(KeReadStateEvent(&e), 0);
  });
}

TEST(KernelEvents, SetEventWithWaitTrueHoldsDispatchLevelUntilTheNextWait) {
  Kernel k;
  KEVENT a, b;
  KeInitializeEvent(&a, NotificationEvent, FALSE);
  KeInitializeEvent(&b, NotificationEvent, TRUE);
  k.RunInSystemThread("t", [&] {
    KeSetEvent(&a, 0, TRUE);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(WaitOn(&b), STATUS_WAIT_0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the wait returns to the caller's IRQL";
  });
}

TEST(KernelWaits, WaitAnyReturnsTheIndexOfTheSignalledObject) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    KEVENT ev[3];
    for (auto& e : ev) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    PVOID objects[3] = {&ev[0], &ev[1], &ev[2]};
    std::vector<NTSTATUS> results;
    auto waiter = [&] {
      results.push_back(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode,
                                                 FALSE, nullptr, nullptr));
    };
    k.StartSystemThread("waiter", waiter);
    k.Run();
    KeSetEvent(&ev[2], 0, FALSE);
    k.Run();
    // Both signalled when the wait starts: the lowest index wins.
    KeSetEvent(&ev[1], 0, FALSE);
    KeSetEvent(&ev[0], 0, FALSE);
    k.StartSystemThread("waiter2", waiter);
    k.Run();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0], STATUS_WAIT_0 + 2);
    EXPECT_EQ(results[1], STATUS_WAIT_0 + 0);
    EXPECT_EQ(KeReadStateEvent(&ev[1]), 1) << "only the satisfying object is consumed";
  });
}

TEST(KernelWaits, WaitAllReturnsOnlyWhenEveryObjectIsSignalled) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, NotificationEvent, FALSE);
    PVOID objects[2] = {&a, &b};
    NTSTATUS status = STATUS_PENDING;
    k.StartSystemThread("waiter", [&] {
      status = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE,
                                        nullptr, nullptr);
    });
    KeSetEvent(&a, 0, FALSE);
    k.Run();
    EXPECT_EQ(status, STATUS_PENDING) << "WaitAll returned with one of two objects signalled";
    EXPECT_EQ(KeReadStateEvent(&a), 1) << "a WaitAll consumes nothing until it is satisfied";
    KeSetEvent(&b, 0, FALSE);
    k.Run();
    EXPECT_EQ(status, STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&a), 0) << "the synchronization event is consumed";
    EXPECT_EQ(KeReadStateEvent(&b), 1);
  });
}

TEST(KernelWaits, TimeOutsExpireAtTheRightVirtualTime) {
  Kernel k;
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  k.RunInSystemThread("t", [&] {
    LARGE_INTEGER rel = Relative(50 * kMillisecond);
    EXPECT_EQ(WaitOn(&e, &rel), STATUS_TIMEOUT);
    EXPECT_EQ(k.Now(), 50 * kMillisecond) << "relative time-out";

    LARGE_INTEGER abs;
    KeQuerySystemTime(&abs);
    abs.QuadPart += 30 * kMillisecond;
    EXPECT_EQ(WaitOn(&e, &abs), STATUS_TIMEOUT);
    EXPECT_EQ(k.Now(), 80 * kMillisecond) << "absolute (system time) time-out";

    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(WaitOn(&e, &zero), STATUS_TIMEOUT) << "a zero time-out polls";
    EXPECT_EQ(k.Now(), 80 * kMillisecond);

    LARGE_INTEGER d = Relative(20 * kMillisecond);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
    EXPECT_EQ(k.Now(), 100 * kMillisecond);
  });
  // A signal before the time-out wins, and the stale time-out does not fire later.
  NTSTATUS status = STATUS_PENDING;
  k.StartSystemThread("t2", [&] {
    LARGE_INTEGER rel = Relative(40 * kMillisecond);
    status = WaitOn(&e, &rel);
  });
  k.ScheduleDeviceEvent(k.Now() + 10 * kMillisecond, [&] { KeSetEvent(&e, 0, FALSE); });
  k.Run();
  EXPECT_EQ(status, STATUS_WAIT_0);
  EXPECT_EQ(k.Now(), 110 * kMillisecond) << "nothing should remain due after the wake";
}

TEST(KernelWaits, QueryTimeRoutinesFollowTheVirtualClock) {
  Kernel k;
  LARGE_INTEGER s0, s1, ticks;
  KeQuerySystemTime(&s0);
  k.RunFor(2 * emu::kSecond);
  KeQuerySystemTime(&s1);
  KeQueryTickCount(&ticks);
  EXPECT_EQ(s1.QuadPart - s0.QuadPart, 2 * emu::kSecond);
  EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(2 * emu::kSecond));
  EXPECT_EQ(ticks.QuadPart, 2 * emu::kSecond / KeQueryTimeIncrement());
  KeStallExecutionProcessor(50);
  EXPECT_EQ(k.Now(), 2 * emu::kSecond + 500) << "a stall of 50 us passes 500 units of time";
}

TEST(KernelSemaphores, ReleaseWakesAsManyWaitersAsTheCountAllows) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    KSEMAPHORE s;
    KeInitializeSemaphore(&s, 0, 5);
    int woken = 0;
    for (int i = 0; i < 4; ++i)
      k.StartSystemThread("w" + std::to_string(i), [&] {
        WaitOn(&s);
        ++woken;
      });
    k.Run();
    EXPECT_EQ(KeReleaseSemaphore(&s, 0, 3, FALSE), 0);
    k.Run();
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(KeReadStateSemaphore(&s), 0);
    EXPECT_BUGCHECK(emu::bugcheck::kSystemThreadExceptionNotHandled,
                    KeReleaseSemaphore(&s, 0, 6, FALSE));
  });
}

TEST(KernelMutexes, KernelMutexIsRecursiveAndOwnedByOneThread) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    int inside = 0, maxInside = 0;
    LONG dummy = 0;
    for (int i = 0; i < 3; ++i)
      k.StartSystemThread("t" + std::to_string(i), [&] {
        for (int r = 0; r < 3; ++r) {
          WaitOn(&m);
          WaitOn(&m);  // recursive acquisition
          maxInside = std::max(maxInside, ++inside);
          InterlockedIncrement(&dummy);
          --inside;
          KeReleaseMutex(&m, FALSE);
          KeReleaseMutex(&m, FALSE);
        }
      });
    k.Run();
    EXPECT_EQ(maxInside, 1) << "two threads owned the mutex at once";
    EXPECT_EQ(KeReadStateMutex(&m), 1);
    EXPECT_BUGCHECK(emu::bugcheck::kThreadNotMutexOwner, KeReleaseMutex(&m, FALSE));
  });
}

TEST(KernelMutexes, FastMutexExcludesAndRaisesToApcLevel) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    FAST_MUTEX m;
    ExInitializeFastMutex(&m);
    int inside = 0, maxInside = 0, total = 0;
    for (int i = 0; i < 3; ++i)
      k.StartSystemThread("t" + std::to_string(i), [&] {
        for (int r = 0; r < 4; ++r) {
          ExAcquireFastMutex(&m);
          EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
          maxInside = std::max(maxInside, ++inside);
          LARGE_INTEGER d = Relative(kMillisecond);  // waiting is allowed at APC_LEVEL
          KeDelayExecutionThread(KernelMode, FALSE, &d);
          --inside;
          ++total;
          ExReleaseFastMutex(&m);
          EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        }
      });
    k.Run();
    EXPECT_EQ(maxInside, 1) << "two threads held the fast mutex at once";
    EXPECT_EQ(total, 12);
    EXPECT_EQ(m.Count, 1) << "the fast mutex is free again";
  });
}

TEST(KernelMutexes, TryToAcquireFastMutexFailsWhileItIsHeld) {
  Kernel k;
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  bool holderHasIt = false;
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  k.StartSystemThread("holder", [&] {
    ExAcquireFastMutex(&m);
    holderHasIt = true;
    WaitOn(&release);
    ExReleaseFastMutex(&m);
  });
  k.Run();
  ASSERT_TRUE(holderHasIt);
  k.RunInSystemThread("trier", [&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&m)); });
  KeSetEvent(&release, 0, FALSE);
  k.Run();
  k.RunInSystemThread("trier2", [&] {
    EXPECT_TRUE(ExTryToAcquireFastMutex(&m));
    ExReleaseFastMutex(&m);
  });
}

TEST(KernelThreads, SystemThreadRunsItsStartRoutineAndItsObjectSignalsAtTheEnd) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    struct Ctx {
      int ran = 0;
      bool afterTerminate = false;
    } ctx;
    HANDLE h = nullptr;
    CLIENT_ID cid{};
    NTSTATUS waited = STATUS_PENDING;
    k.RunInSystemThread("creator", [&] {
      NTSTATUS st = PsCreateSystemThread(
          &h, THREAD_ALL_ACCESS, nullptr, nullptr, &cid,
          [](PVOID p) {
            auto* c = static_cast<Ctx*>(p);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            EXPECT_TRUE(PsIsSystemThread(PsGetCurrentThread()));
            c->ran++;
            PsTerminateSystemThread(STATUS_SUCCESS);
            c->afterTerminate = true;
          },
          &ctx);
      ASSERT_EQ(st, STATUS_SUCCESS);
      PVOID thread = emu::LookupKernelHandle(h);
      ASSERT_NE(thread, nullptr) << "the handle refers to the thread object";
      EXPECT_EQ(KeSetPriorityThread(static_cast<PKTHREAD>(thread), LOW_REALTIME_PRIORITY + 2), 8);
      EXPECT_EQ(KeQueryPriorityThread(static_cast<PKTHREAD>(thread)), LOW_REALTIME_PRIORITY + 2);
      waited = WaitOn(thread);
    });
    EXPECT_EQ(ctx.ran, 1);
    EXPECT_FALSE(ctx.afterTerminate) << "PsTerminateSystemThread returned";
    EXPECT_EQ(waited, STATUS_WAIT_0) << "the thread object is signalled when the thread ends";
    EXPECT_NE(cid.UniqueThread, nullptr);
    EXPECT_TRUE(emu::CloseKernelHandle(h));
    EXPECT_FALSE(emu::CloseKernelHandle(h)) << "a handle closes only once";
  });
}

}  // namespace
