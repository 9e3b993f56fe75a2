// Kernel timers and DPCs: queueing rules, cancellation, expiry with a DPC, periodic and
// synchronization timers, KeFlushQueuedDpcs.
#include <vector>

#include "nt/bugcheck_expect.h"
#include "nt/kernel_test_support.h"

namespace {

using emu::Kernel;
using emu::kMillisecond;
using emu::ProcessorModel;
using emu::testing::ForEachMachine;
using emu::testing::MachineConfig;
using emu::testing::RaiseTo;
using emu::testing::Relative;
using emu::testing::StartWaiters;
using emu::testing::TickAfter;

// A DPC and a timer that record each run of the DPC: time, IRQL and arguments.
struct Recorded {
  struct Run {
    emu::VirtualTime time;
    KIRQL irql;
    uintptr_t arg1, arg2;
  };
  std::vector<Run> runs;
  KDPC dpc;
  KTIMER timer;
  explicit Recorded(TIMER_TYPE type = NotificationTimer) {
    KeInitializeDpc(&dpc, &Routine, this);
    KeInitializeTimerEx(&timer, type);
  }
  static VOID Routine(PKDPC, PVOID ctx, PVOID a1, PVOID a2) {
    static_cast<Recorded*>(ctx)->runs.push_back({emu::Kernel::Current().Now(), KeGetCurrentIrql(),
                                                 reinterpret_cast<uintptr_t>(a1),
                                                 reinterpret_cast<uintptr_t>(a2)});
  }
};

PVOID Arg(uintptr_t v) { return reinterpret_cast<PVOID>(v); }

TEST(KernelDpcs, AQueuedDpcIsQueuedOnceAndCanBeTakenOut) {
  ForEachMachine([](const emu::KernelConfig& config) {
    Kernel k(config);
    Recorded r;
    // From a device event nothing can run in between the two calls, under either model.
    BOOLEAN first = FALSE, second = TRUE;
    k.ScheduleDeviceEvent(kMillisecond, [&] {
      first = KeInsertQueueDpc(&r.dpc, Arg(1), Arg(2));
      second = KeInsertQueueDpc(&r.dpc, Arg(3), Arg(4));
    });
    k.Run();
    EXPECT_TRUE(first);
    EXPECT_FALSE(second) << "inserting an already queued DPC must return FALSE";
    ASSERT_EQ(r.runs.size(), 1u) << "a DPC queued twice ran more than once";
    EXPECT_EQ(std::make_pair(r.runs[0].arg1, r.runs[0].arg2), std::make_pair(uintptr_t{1}, uintptr_t{2}))
        << "the DPC runs with the first insertion's arguments";
    EXPECT_EQ(r.runs[0].irql, DISPATCH_LEVEL);
    k.ScheduleDeviceEvent(k.Now(), [&] {
      EXPECT_TRUE(KeInsertQueueDpc(&r.dpc, nullptr, nullptr));
      EXPECT_TRUE(KeRemoveQueueDpc(&r.dpc));
      EXPECT_FALSE(KeRemoveQueueDpc(&r.dpc)) << "the DPC is no longer queued";
    });
    k.Run();
    EXPECT_EQ(r.runs.size(), 1u) << "a removed DPC ran";
    EXPECT_TRUE(KeInsertQueueDpc(&r.dpc, nullptr, nullptr)) << "a removed DPC can be queued again";
    k.Run();
    EXPECT_EQ(r.runs.size(), 2u);
  });
}

TEST(KernelDpcs, FlushQueuedDpcsReturnsAfterEveryQueuedDpcHasRun) {
  ForEachMachine([](const emu::KernelConfig& config) {
    Kernel k(config);
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
      KIRQL old = RaiseTo(DISPATCH_LEVEL);
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
      KeLowerIrql(old);
      KeFlushQueuedDpcs();
      EXPECT_EQ(slow.runs, 1) << "KeFlushQueuedDpcs returned before the DPC finished";
    });
  });
}

TEST(KernelTimers, TimerWithDpcSignalsWakesWaitersAndQueuesTheDpcAtExpiry) {
  ForEachMachine([](const emu::KernelConfig& config) {
    Kernel k(config);
    Recorded r;
    int woken = 0;
    StartWaiters(k, 2, &r.timer, &woken);
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    EXPECT_FALSE(KeSetTimer(&r.timer, Relative(25 * kMillisecond), &r.dpc));
    k.Run();
    EXPECT_EQ(woken, 2) << "a notification timer wakes every waiter";
    EXPECT_TRUE(KeReadStateTimer(&r.timer));
    ASSERT_EQ(r.runs.size(), 1u);
    EXPECT_EQ(r.runs[0].time, TickAfter(25 * kMillisecond)) << "it expires on the next clock tick";
    const uint64_t expiry = start.QuadPart + TickAfter(25 * kMillisecond);
    EXPECT_EQ(r.runs[0].arg1, expiry & 0xFFFFFFFF)
        << "SystemArgument1 carries the low part of the expiry's system time";
    EXPECT_EQ(r.runs[0].arg2, expiry >> 32);
  });
}

TEST(KernelTimers, CancelTimerReturnsTrueOnlyForATimerInTheQueueAndPeriodicTimersStayThere) {
  Kernel k(test_support::CurrentConfig());
  Recorded r;
  EXPECT_FALSE(KeCancelTimer(&r.timer)) << "a timer never set is not in the queue";
  KeSetTimer(&r.timer, Relative(10 * kMillisecond), &r.dpc);
  EXPECT_TRUE(KeSetTimer(&r.timer, Relative(20 * kMillisecond), &r.dpc))
      << "setting a pending timer reports that it was in the queue";
  k.RunFor(15 * kMillisecond);
  EXPECT_TRUE(r.runs.empty()) << "re-setting the timer must replace its first due time";
  EXPECT_TRUE(KeCancelTimer(&r.timer));
  k.RunFor(50 * kMillisecond);
  EXPECT_TRUE(r.runs.empty()) << "a cancelled timer expired";
  EXPECT_FALSE(KeReadStateTimer(&r.timer));

  KeSetTimer(&r.timer, Relative(5 * kMillisecond), &r.dpc);
  k.Run();
  EXPECT_EQ(r.runs.size(), 1u);
  EXPECT_FALSE(KeCancelTimer(&r.timer)) << "KeCancelTimer on an expired timer must return FALSE";

  // With the clock at 1 ms, a 20 ms period is whole ticks: the timer expires every period.
  EXPECT_EQ(ExSetTimerResolution(kMillisecond, TRUE), static_cast<ULONG>(kMillisecond));
  const emu::VirtualTime start = k.Now();
  KeSetTimerEx(&r.timer, Relative(10 * kMillisecond), 20, &r.dpc);
  k.RunFor(75 * kMillisecond);
  ASSERT_EQ(r.runs.size(), 5u);
  const emu::VirtualTime first = TickAfter(start + 10 * kMillisecond - 1, kMillisecond);
  for (size_t i = 1; i < r.runs.size(); ++i)
    EXPECT_EQ(r.runs[i].time, first + static_cast<emu::VirtualTime>(20 * (i - 1)) * kMillisecond)
        << "a periodic timer expires every period";
  EXPECT_TRUE(KeCancelTimer(&r.timer)) << "a periodic timer stays in the queue";
  ExSetTimerResolution(0, FALSE);
}

TEST(KernelTimers, SynchronizationTimerReleasesOneWaiterPerExpiry) {
  ForEachMachine([](const emu::KernelConfig& config) {
    Kernel k(config);
    Recorded r(SynchronizationTimer);
    int woken = 0;
    StartWaiters(k, 3, &r.timer, &woken);
    KeSetTimer(&r.timer, Relative(kMillisecond), nullptr);
    k.Run();
    EXPECT_EQ(woken, 1);
    EXPECT_FALSE(KeReadStateTimer(&r.timer)) << "the woken waiter resets a synchronization timer";
  });
}

// ExSetTimerResolution: requests only make the clock finer (down to 1 ms, in whole milliseconds),
// the default returns once every request is withdrawn, pending timers move to the new ticks, and
// KeQueryTimeIncrement keeps reporting the largest increment.
TEST(KernelTimers, TimerResolutionFollowsTheFinestRequestAndRetimesPendingTimers) {
  Kernel k;
  const ULONG kDefault = KeQueryTimeIncrement();
  EXPECT_EQ(kDefault, 156250u);
  EXPECT_EQ(ExSetTimerResolution(0, FALSE), kDefault) << "nothing to withdraw";
  EXPECT_EQ(ExSetTimerResolution(5 * kMillisecond + 4321, TRUE), 5 * kMillisecond) << "whole milliseconds";
  EXPECT_EQ(ExSetTimerResolution(10 * kMillisecond, TRUE), 5 * kMillisecond) << "a coarser request changes nothing";
  EXPECT_EQ(ExSetTimerResolution(1, TRUE), kMillisecond) << "the finest the clock supports is 1 ms";
  EXPECT_EQ(KeQueryTimeIncrement(), kDefault) << "KeQueryTimeIncrement reports the largest increment";

  Recorded r;
  KeSetTimer(&r.timer, Relative(2 * kMillisecond + 1), &r.dpc);
  k.RunFor(kMillisecond);
  EXPECT_EQ(ExSetTimerResolution(0, FALSE), kMillisecond);
  EXPECT_EQ(ExSetTimerResolution(0, FALSE), kMillisecond) << "one request is still in force";
  EXPECT_EQ(ExSetTimerResolution(0, FALSE), kDefault) << "the last withdrawal restores the default";
  k.Run();
  ASSERT_EQ(r.runs.size(), 1u);
  EXPECT_EQ(r.runs[0].time, emu::testing::kTick) << "a pending timer expires on a tick of the restored clock";

  EXPECT_BUGCHECK(emu::bugcheck::kIrqlNotLessOrEqual, k.RunInSystemThread("raised", [] {
    RaiseTo(DISPATCH_LEVEL);
    ExSetTimerResolution(kMillisecond, TRUE);
  }));
}

}  // namespace
