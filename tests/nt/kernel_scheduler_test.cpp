// The scheduler and the virtual clock: reproducibility by seed, interleavings, virtual time,
// the uniprocessor and multiprocessor rules for DISPATCH_LEVEL, DPCs and spin locks, device
// events and the main stack.
#include <gtest/gtest.h>

#include <wdk_ke.h>

#include "nt/kernel.h"
#include "nt/kernel_test_support.h"

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using emu::Kernel;
using emu::ProcessorModel;
using emu::testing::ForEachMachine;
using emu::testing::ModelName;
using emu::testing::Relative;

constexpr uint64_t kSeeds = emu::testing::kSeedsPerModel;

// Runs fn for each seed under both processor models; a failure names the seed and the model.
// Three threads that share an event, a timer with a DPC and a counter.
std::vector<emu::TraceEvent> RunMixedScenario(ProcessorModel model, uint64_t seed) {
  Kernel k(emu::testing::MachineConfig(model, seed));
  KEVENT go;
  KTIMER timer;
  KDPC dpc;
  LONG counter = 0;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID ctx, PVOID, PVOID) { InterlockedIncrement(static_cast<LONG*>(ctx)); },
      &counter);
  for (int t = 0; t < 3; ++t) {
    k.StartSystemThread("worker" + std::to_string(t), [&, t] {
      KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
      for (int i = 0; i < 5; ++i) {
        InterlockedIncrement(&counter);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        LARGE_INTEGER d = Relative((t + 1) * emu::kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &d);
      }
    });
  }
  k.StartSystemThread("starter", [&] {
    LARGE_INTEGER due = Relative(2 * emu::kMillisecond);
    KeSetTimer(&timer, due, &dpc);
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&go, 0, FALSE);
  });
  k.Run();
  return k.TraceEvents();
}

TEST(KernelScheduler, SameSeedGivesTheSameTraceEventForEvent) {
  for (ProcessorModel model : {ProcessorModel::Uniprocessor, ProcessorModel::Multiprocessor}) {
    for (uint64_t seed : {3u, 11u}) {
      SCOPED_TRACE(std::string(ModelName(model)) + ", seed " + std::to_string(seed));
      auto a = RunMixedScenario(model, seed);
      auto b = RunMixedScenario(model, seed);
      ASSERT_GT(a.size(), 30u) << "the scenario should produce a substantial trace";
      ASSERT_EQ(a.size(), b.size()) << "two runs with the same seed traced different numbers "
                                       "of events";
      for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_TRUE(a[i].time == b[i].time && a[i].context == b[i].context &&
                    a[i].category == b[i].category && a[i].text == b[i].text)
            << "runs with the same seed diverge at event " << i << ": '" << a[i].context << " "
            << a[i].category << " " << a[i].text << "' vs '" << b[i].context << " "
            << b[i].category << " " << b[i].text << "'";
      }
    }
  }
}

// The order in which three threads pass five switch points each.
std::string InterleavingOrder(ProcessorModel model, uint64_t seed) {
  Kernel k(emu::testing::MachineConfig(model, seed));
  std::string order;
  LONG dummy = 0;
  for (char id : {'a', 'b', 'c'}) {
    k.StartSystemThread(std::string(1, id), [&, id] {
      for (int i = 0; i < 5; ++i) {
        InterlockedIncrement(&dummy);
        order += id;
      }
    });
  }
  k.Run();
  return order;
}

TEST(KernelScheduler, DifferentSeedsGiveDifferentInterleavings) {
  for (ProcessorModel model : {ProcessorModel::Uniprocessor, ProcessorModel::Multiprocessor}) {
    std::set<std::string> orders;
    for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
      std::string order = InterleavingOrder(model, seed);
      ASSERT_EQ(order.size(), 15u);
      EXPECT_EQ(order, InterleavingOrder(model, seed)) << "seed " << seed << " not reproducible";
      orders.insert(order);
    }
    EXPECT_GE(orders.size(), 8u) << ModelName(model) << ": only " << orders.size()
                                 << " distinct interleavings over " << kSeeds << " seeds";
  }
}

TEST(KernelScheduler, TenSecondTimerExpiresInVirtualTime) {
  Kernel k;
  NTSTATUS status = STATUS_PENDING;
  emu::VirtualTime wokeAt = 0;
  k.RunInSystemThread("waiter", [&] {
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(10 * emu::kSecond), nullptr);
    status = KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    wokeAt = static_cast<emu::VirtualTime>(KeQueryInterruptTime());
  });
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(wokeAt, 10 * emu::kSecond) << "the timer should expire exactly at its due time";
  EXPECT_EQ(k.Now(), 10 * emu::kSecond);
}

TEST(KernelScheduler, RunForAdvancesTheClockAndRunUntilStopsAtItsLimit) {
  Kernel k;
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  k.RunFor(250 * emu::kMillisecond);
  EXPECT_EQ(k.Now(), 250 * emu::kMillisecond) << "an idle machine still lets time pass";
  int ticks = 0;
  k.StartSystemThread("ticker", [&] {
    for (;;) {
      LARGE_INTEGER d = Relative(10 * emu::kMillisecond);
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      ++ticks;
    }
  });
  EXPECT_FALSE(k.RunUntil([&] { return ticks >= 1000; }, k.Now() + 95 * emu::kMillisecond));
  EXPECT_EQ(ticks, 9) << "a 10 ms ticker ticks 9 times in 95 ms";
  EXPECT_EQ(k.Now(), 345 * emu::kMillisecond);
  EXPECT_TRUE(k.RunUntil([&] { return ticks >= 20; }));
  EXPECT_EQ(k.Now(), 450 * emu::kMillisecond);
}

TEST(KernelScheduler, UniprocessorNeverSwitchesAwayFromDispatchLevel) {
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Kernel k(emu::testing::MachineConfig(ProcessorModel::Uniprocessor, seed));
    std::string log;
    LONG x = 0;
    k.StartSystemThread("raiser", [&] {
      for (int round = 0; round < 3; ++round) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        log += '[';
        for (int i = 0; i < 10; ++i) InterlockedIncrement(&x);
        log += ']';
        KeLowerIrql(old);
        InterlockedIncrement(&x);
      }
    });
    k.StartSystemThread("other", [&] {
      for (int i = 0; i < 30; ++i) {
        InterlockedIncrement(&x);
        log += 'o';
      }
    });
    k.Run();
    for (size_t open = log.find('['); open != std::string::npos; open = log.find('[', open + 1)) {
      size_t close = log.find(']', open);
      ASSERT_NE(close, std::string::npos);
      EXPECT_EQ(log.substr(open, close - open + 1), "[]")
          << "another thread ran while a context was at DISPATCH_LEVEL: " << log;
    }
  }
}

TEST(KernelScheduler, MultiprocessorInterleavesContextsAtDispatchLevel) {
  // The counterpart of the uniprocessor rule: the same program does interleave under the
  // multiprocessor model for some seed.
  bool interleaved = false;
  for (uint64_t seed = 1; seed <= kSeeds && !interleaved; ++seed) {
    Kernel k(emu::testing::MachineConfig(ProcessorModel::Multiprocessor, seed));
    std::string log;
    LONG x = 0;
    k.StartSystemThread("raiser", [&] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      log += '[';
      for (int i = 0; i < 20; ++i) InterlockedIncrement(&x);
      log += ']';
      KeLowerIrql(old);
    });
    k.StartSystemThread("other", [&] {
      for (int i = 0; i < 20; ++i) {
        InterlockedIncrement(&x);
        log += 'o';
      }
    });
    k.Run();
    size_t open = log.find('[');
    interleaved = log.find('o', open) < log.find(']', open);
  }
  EXPECT_TRUE(interleaved) << "no seed ran another thread while a context was at DISPATCH_LEVEL";
}

TEST(KernelScheduler, UniprocessorRunsDpcsBeforeAnyThread) {
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Kernel k(emu::testing::MachineConfig(ProcessorModel::Uniprocessor, seed));
    std::string log;
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID ctx, PVOID, PVOID) {
          *static_cast<std::string*>(ctx) += 'D';
          EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "DPCs run at DISPATCH_LEVEL";
          EXPECT_EQ(emu::Kernel::Current().CurrentContextName(), "dpc");
        },
        &log);
    LONG x = 0;
    k.StartSystemThread("queuer", [&] {
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
      EXPECT_EQ(log.back(), 'D') << "at PASSIVE_LEVEL the DPC runs before KeInsertQueueDpc "
                                    "returns: "
                                 << log;
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      log += '[';
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
      InterlockedIncrement(&x);
      log += ']';
      KeLowerIrql(old);
      log += 'L';
    });
    k.StartSystemThread("other", [&] {
      for (int i = 0; i < 10; ++i) {
        InterlockedIncrement(&x);
        log += 'o';
      }
    });
    // A DPC queued by hardware while both threads are runnable runs first.
    k.ScheduleDeviceEvent(0, [&] {
      log += 'H';
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
    });
    k.Run();
    EXPECT_EQ(log.substr(0, 2), "HD") << log;
    EXPECT_NE(log.find("[]D"), std::string::npos)
        << "a DPC queued at DISPATCH_LEVEL runs when the IRQL drops, before anything else: "
        << log;
  }
}

// A counter protected by a spin lock, with switch points inside the critical section, from
// four threads and a DPC.
void SpinLockScenario(ProcessorModel model, uint64_t seed, bool useLock, int* counter,
                      int* expected, int* overlaps) {
  Kernel k(emu::testing::MachineConfig(model, seed));
  struct Shared {
    KSPIN_LOCK lock;
    bool useLock;
    bool inside = false;
    int counter = 0;
    int overlaps = 0;
    int dpcRuns = 0;
    LONG dummy = 0;
    void Touch() {
      if (inside) ++overlaps;
      inside = true;
      int v = counter;
      InterlockedIncrement(&dummy);
      InterlockedIncrement(&dummy);
      counter = v + 1;
      inside = false;
    }
  } s;
  s.useLock = useLock;
  KeInitializeSpinLock(&s.lock);
  KDPC dpc;
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID ctx, PVOID, PVOID) {
        auto* sh = static_cast<Shared*>(ctx);
        sh->dpcRuns++;
        if (sh->useLock) KeAcquireSpinLockAtDpcLevel(&sh->lock);
        sh->Touch();
        if (sh->useLock) KeReleaseSpinLockFromDpcLevel(&sh->lock);
      },
      &s);
  for (int t = 0; t < 4; ++t) {
    k.StartSystemThread("t" + std::to_string(t), [&] {
      for (int i = 0; i < 25; ++i) {
        KIRQL old = PASSIVE_LEVEL;
        if (s.useLock) KeAcquireSpinLock(&s.lock, &old);
        s.Touch();
        if (i % 5 == 0) KeInsertQueueDpc(&dpc, nullptr, nullptr);
        if (s.useLock) KeReleaseSpinLock(&s.lock, old);
      }
    });
  }
  k.Run();
  *counter = s.counter;
  *expected = 100 + s.dpcRuns;
  *overlaps = s.overlaps;
}

TEST(KernelScheduler, SpinLockGivesMutualExclusionUnderContention) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    int counter, expected, overlaps;
    SpinLockScenario(model, seed, true, &counter, &expected, &overlaps);
    EXPECT_EQ(overlaps, 0) << "two contexts were inside the spin lock at once";
    EXPECT_EQ(counter, expected) << "updates under the spin lock were lost";
  });
}

TEST(KernelScheduler, WithoutTheSpinLockTheMultiprocessorModelLosesUpdates) {
  // Shows the lock test above is meaningful: the same critical section does interleave.
  int lossySeeds = 0;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    int counter, expected, overlaps;
    SpinLockScenario(ProcessorModel::Multiprocessor, seed, false, &counter, &expected, &overlaps);
    if (counter != expected) ++lossySeeds;
  }
  EXPECT_GT(lossySeeds, 0) << "no seed interleaved the unprotected critical section";
}

TEST(KernelScheduler, MultiprocessorRunsDpcsWhileAThreadIsAtDispatchLevel) {
  bool concurrent = false;
  for (uint64_t seed = 1; seed <= kSeeds && !concurrent; ++seed) {
    Kernel k(emu::testing::MachineConfig(ProcessorModel::Multiprocessor, seed));
    bool ran = false;
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID ctx, PVOID, PVOID) { *static_cast<bool*>(ctx) = true; },
                    &ran);
    LONG x = 0;
    k.StartSystemThread("raiser", [&] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
      for (int i = 0; i < 20 && !ran; ++i) InterlockedIncrement(&x);
      concurrent = ran;
      KeLowerIrql(old);
    });
    k.Run();
    EXPECT_TRUE(ran);
  }
  EXPECT_TRUE(concurrent) << "no seed ran the DPC while its queuer stayed at DISPATCH_LEVEL";
}

TEST(KernelScheduler, DeviceEventsRunAtTheirDueTimeOutsideEveryContext) {
  Kernel k;
  KEVENT irq;
  KeInitializeEvent(&irq, SynchronizationEvent, FALSE);
  std::vector<std::pair<emu::VirtualTime, std::string>> seen;
  emu::VirtualTime wokeAt = -1;
  k.StartSystemThread("isr-waiter", [&] {
    KeWaitForSingleObject(&irq, Executive, KernelMode, FALSE, nullptr);
    wokeAt = k.Now();
  });
  k.ScheduleDeviceEvent(7 * emu::kMillisecond, [&] {
    seen.emplace_back(k.Now(), k.CurrentContextName());
    EXPECT_FALSE(k.InContext());
    EXPECT_GT(KeGetCurrentIrql(), DISPATCH_LEVEL) << "device events run at device IRQL";
    KeSetEvent(&irq, 0, FALSE);
  });
  auto cancelled = k.ScheduleDeviceEvent(3 * emu::kMillisecond, [&] { seen.emplace_back(0, "x"); });
  EXPECT_TRUE(k.CancelDeviceEvent(cancelled));
  EXPECT_FALSE(k.CancelDeviceEvent(cancelled)) << "an event can be cancelled only once";
  k.Run();
  ASSERT_EQ(seen.size(), 1u) << "the cancelled event ran, or the other did not";
  EXPECT_EQ(seen[0].first, 7 * emu::kMillisecond);
  EXPECT_EQ(seen[0].second, "hw");
  EXPECT_EQ(wokeAt, 7 * emu::kMillisecond);
}

TEST(KernelScheduler, MainStackMayPollButNotWait) {
  Kernel k;
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 0);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
  KeClearEvent(&e);
  EXPECT_THROW(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), std::logic_error);
  LARGE_INTEGER d = Relative(emu::kMillisecond);
  EXPECT_THROW(KeDelayExecutionThread(KernelMode, FALSE, &d), std::logic_error);
  EXPECT_FALSE(k.InContext());
  EXPECT_EQ(k.CurrentContextName(), "main");
}

TEST(KernelScheduler, RunInSystemThreadReportsADeadlock) {
  Kernel k;
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  try {
    k.RunInSystemThread("stuck", [&] {
      KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
    ADD_FAILURE() << "a thread waiting forever was reported as finished";
  } catch (const std::runtime_error& e) {
    std::string what = e.what();
    EXPECT_NE(what.find("stuck"), std::string::npos) << what;
    EXPECT_NE(what.find("waiting"), std::string::npos) << what;
  }
}

TEST(KernelScheduler, ApplicationAndSystemThreadsRunAtPassiveLevelWithTheirNames) {
  ForEachMachine([](ProcessorModel model, uint64_t seed) {
    Kernel k(emu::testing::MachineConfig(model, seed));
    std::set<std::string> names;
    auto body = [&] {
      EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
      EXPECT_TRUE(k.InContext());
      names.insert(k.CurrentContextName());
    };
    auto app = k.StartApplicationThread("app", body);
    auto sys = k.StartSystemThread("sys", body);
    EXPECT_FALSE(k.ContextFinished(app));
    k.Run();
    EXPECT_TRUE(k.ContextFinished(app) && k.ContextFinished(sys));
    EXPECT_EQ(names, (std::set<std::string>{"app", "sys"}));
  });
}

}  // namespace
