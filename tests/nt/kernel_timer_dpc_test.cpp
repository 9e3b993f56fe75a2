// Kernel timers and DPCs: queueing rules, cancellation, expiry with a DPC, periodic and
// synchronization timers, KeFlushQueuedDpcs.
#include <gtest/gtest.h>

#include <wdk_ke.h>

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

// Records each run of a DPC: time, IRQL, context and arguments.
struct DpcLog {
  struct Run {
    emu::VirtualTime time;
    KIRQL irql;
    PVOID arg1;
    PVOID arg2;
  };
  std::vector<Run> runs;
  static VOID Routine(PKDPC, PVOID ctx, PVOID a1, PVOID a2) {
    static_cast<DpcLog*>(ctx)->runs.push_back(
        {emu::Kernel::Current().Now(), KeGetCurrentIrql(), a1, a2});
  }
};

TEST(KernelDpcs, DpcInsertedTwiceRunsOnceWithTheFirstArguments) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    DpcLog log;
    KDPC dpc;
    KeInitializeDpc(&dpc, &DpcLog::Routine, &log);
    // From a device event nothing can run in between the two calls, under either model.
    BOOLEAN first = FALSE, second = TRUE;
    k.ScheduleDeviceEvent(kMillisecond, [&] {
      first = KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(1), reinterpret_cast<PVOID>(2));
      second = KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(3), reinterpret_cast<PVOID>(4));
    });
    k.Run();
    EXPECT_TRUE(first);
    EXPECT_FALSE(second) << "inserting an already queued DPC must return FALSE";
    ASSERT_EQ(log.runs.size(), 1u) << "a DPC queued twice ran more than once";
    EXPECT_EQ(log.runs[0].arg1, reinterpret_cast<PVOID>(1));
    EXPECT_EQ(log.runs[0].arg2, reinterpret_cast<PVOID>(2));
    EXPECT_EQ(log.runs[0].irql, DISPATCH_LEVEL);
  });
}

TEST(KernelDpcs, RemoveQueueDpcTakesAQueuedDpcOut) {
  Kernel k;
  DpcLog log;
  KDPC dpc;
  KeInitializeDpc(&dpc, &DpcLog::Routine, &log);
  k.RunInSystemThread("t", [&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc)) << "the DPC is no longer queued";
    KeLowerIrql(old);
  });
  EXPECT_TRUE(log.runs.empty()) << "a removed DPC ran";
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "a removed DPC can be queued again";
  k.Run();
  EXPECT_EQ(log.runs.size(), 1u);
}

TEST(KernelTimers, TimerWithDpcSignalsWakesWaitersAndQueuesTheDpcAtExpiry) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    DpcLog log;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, &DpcLog::Routine, &log);
    KeInitializeTimer(&timer);
    int woken = 0;
    for (int i = 0; i < 2; ++i)
      k.StartSystemThread("w" + std::to_string(i), [&] {
        KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
        ++woken;
      });
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(25 * kMillisecond), &dpc));
    k.Run();
    EXPECT_EQ(woken, 2) << "a notification timer wakes every waiter";
    EXPECT_TRUE(KeReadStateTimer(&timer));
    ASSERT_EQ(log.runs.size(), 1u);
    EXPECT_EQ(log.runs[0].time, 25 * kMillisecond);
    LONGLONG expiry = start.QuadPart + 25 * kMillisecond;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(log.runs[0].arg1), static_cast<uintptr_t>(expiry & 0xFFFFFFFF))
        << "SystemArgument1 carries the low part of the expiry's system time";
    EXPECT_EQ(reinterpret_cast<uintptr_t>(log.runs[0].arg2), static_cast<uintptr_t>(expiry >> 32));
  });
}

TEST(KernelTimers, CancelTimerReturnsTrueOnlyForATimerInTheQueue) {
  Kernel k;
  DpcLog log;
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, &DpcLog::Routine, &log);
  KeInitializeTimer(&timer);
  EXPECT_FALSE(KeCancelTimer(&timer)) << "a timer never set is not in the queue";

  KeSetTimer(&timer, Relative(10 * kMillisecond), &dpc);
  EXPECT_TRUE(KeSetTimer(&timer, Relative(20 * kMillisecond), &dpc))
      << "setting a pending timer reports that it was in the queue";
  k.RunFor(15 * kMillisecond);
  EXPECT_TRUE(log.runs.empty()) << "re-setting the timer must replace its first due time";
  EXPECT_TRUE(KeCancelTimer(&timer));
  k.RunFor(50 * kMillisecond);
  EXPECT_TRUE(log.runs.empty()) << "a cancelled timer expired";
  EXPECT_FALSE(KeReadStateTimer(&timer));

  KeSetTimer(&timer, Relative(5 * kMillisecond), &dpc);
  k.Run();
  EXPECT_EQ(log.runs.size(), 1u);
  EXPECT_FALSE(KeCancelTimer(&timer)) << "KeCancelTimer on an expired timer must return FALSE";
}

TEST(KernelTimers, PeriodicTimerExpiresEveryPeriod) {
  Kernel k;
  DpcLog log;
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, &DpcLog::Routine, &log);
  KeInitializeTimerEx(&timer, NotificationTimer);
  KeSetTimerEx(&timer, Relative(10 * kMillisecond), 20, &dpc);
  k.RunFor(75 * kMillisecond);
  ASSERT_EQ(log.runs.size(), 4u);
  for (size_t i = 0; i < log.runs.size(); ++i)
    EXPECT_EQ(log.runs[i].time, static_cast<emu::VirtualTime>(10 + 20 * i) * kMillisecond);
  EXPECT_TRUE(KeCancelTimer(&timer)) << "a periodic timer stays in the queue";
}

TEST(KernelTimers, SynchronizationTimerReleasesOneWaiterPerExpiry) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    int woken = 0;
    for (int i = 0; i < 3; ++i)
      k.StartSystemThread("w" + std::to_string(i), [&] {
        KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
        ++woken;
      });
    KeSetTimer(&timer, Relative(kMillisecond), nullptr);
    k.Run();
    EXPECT_EQ(woken, 1);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "the woken waiter resets a synchronization timer";
  });
}

TEST(KernelDpcs, FlushQueuedDpcsReturnsAfterEveryQueuedDpcHasRun) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    struct Slow {
      int runs = 0;
      LONG x = 0;
    } slow;
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID ctx, PVOID, PVOID) {
          auto* s = static_cast<Slow*>(ctx);
          for (int i = 0; i < 5; ++i) InterlockedIncrement(&s->x);
          s->runs++;
        },
        &slow);
    k.RunInSystemThread("flusher", [&] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
      KeLowerIrql(old);
      KeFlushQueuedDpcs();
      EXPECT_EQ(slow.runs, 1) << "KeFlushQueuedDpcs returned before the DPC finished";
    });
  });
}

}  // namespace
