// The scheduler and the virtual clock: reproducibility by seed, the spread of interleavings over
// seeds, what PCT finds, virtual time and clock ticks, the uniprocessor and multiprocessor rules
// for DISPATCH_LEVEL and DPCs, device events and their order, and the main stack.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "nt/kernel_test_support.h"

namespace {

using emu::Kernel;
using emu::kMillisecond;
using emu::ProcessorModel;
using emu::testing::Delay;
using emu::testing::ForEachMachine;
using emu::testing::kTick;
using emu::testing::kModels;
using emu::testing::kSeedsPerModel;
using emu::testing::MachineConfig;
using emu::testing::ModelName;
using emu::testing::RaiseTo;
using emu::testing::Relative;
using emu::testing::TickAfter;
using emu::testing::WaitOn;

// A thread that queues a DPC ('D') at PASSIVE_LEVEL and inside three stretches at
// DISPATCH_LEVEL ('[' to ']'), beside a thread at PASSIVE_LEVEL ('o') and a hardware event at
// time 0 ('H') that queues the DPC as well. With `trace`, that log and then the kernel's trace,
// one line an event.
std::string DispatchLevelLog(const emu::KernelConfig& config, std::vector<std::string>* trace = nullptr,
                             uint64_t* choicePoints = nullptr) {
  Kernel k(config);
  std::string log;
  LONG x = 0;
  KDPC dpc;
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID ctx, PVOID, PVOID) {
        *static_cast<std::string*>(ctx) += 'D';
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "DPCs run at DISPATCH_LEVEL";
        EXPECT_EQ(Kernel::Current().CurrentContextName().substr(0, 3), "dpc");
      },
      &log);
  k.StartSystemThread("raiser", [&] {
    if (KeInsertQueueDpc(&dpc, nullptr, nullptr)) {
      EXPECT_EQ(log.back(), 'D') << "at PASSIVE_LEVEL the DPC runs before KeInsertQueueDpc returns";
    }
    for (int round = 0; round < 3; ++round) {
      KIRQL old = RaiseTo(DISPATCH_LEVEL);
      log += '[';
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
      for (int i = 0; i < 10; ++i) InterlockedIncrement(&x);
      log += ']';
      KeLowerIrql(old);
    }
  });
  k.StartSystemThread("other", [&] {
    for (int i = 0; i < 30; ++i) {
      InterlockedIncrement(&x);
      log += 'o';
      if (i % 10 == 9) Delay(kMillisecond);
    }
  });
  k.ScheduleDeviceEvent(0, [&] {
    log += 'H';
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
  });
  k.Run();
  if (choicePoints) *choicePoints = k.ChoicePoints();
  if (trace) trace->push_back(log);
  for (const auto& e : trace ? k.TraceEvents() : std::vector<emu::TraceEvent>{})
    trace->push_back(std::to_string(e.time) + " " + e.context + " " + e.category + " " + e.text);
  return log;
}

TEST(KernelScheduler, SameSeedGivesTheSameRunAndDifferentSeedsExploreOthers) {
  struct Mode {
    ProcessorModel model;
    unsigned processors;
    emu::SchedulerKind scheduler;
  };
  const Mode modes[] = {{ProcessorModel::Uniprocessor, 1, emu::SchedulerKind::Random},
                        {ProcessorModel::Multiprocessor, 2, emu::SchedulerKind::Random},
                        {ProcessorModel::Uniprocessor, 1, emu::SchedulerKind::Pct},
                        {ProcessorModel::Multiprocessor, 4, emu::SchedulerKind::Pct}};
  for (const Mode& mode : modes) {
    SCOPED_TRACE(std::string(ModelName(mode.model)) + ", " + std::to_string(mode.processors) +
                 " processors, " + (mode.scheduler == emu::SchedulerKind::Pct ? "PCT" : "random"));
    std::set<std::vector<std::string>> runs;
    emu::KernelConfig calibration = MachineConfig(mode.model, 0);
    calibration.processorCount = mode.processors;
    uint64_t steps = 0;
    DispatchLevelLog(calibration, nullptr, &steps);
    for (uint64_t seed = 1; seed <= kSeedsPerModel; ++seed) {
      emu::KernelConfig config = calibration;
      config.seed = seed;
      config.scheduler = mode.scheduler;
      config.pctSteps = steps;
      std::vector<std::string> a, b;
      DispatchLevelLog(config, &a);
      DispatchLevelLog(config, &b);
      ASSERT_GT(a.size(), 10u) << "the scenario should produce a substantial trace";
      auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
      EXPECT_TRUE(ia == a.end() && ib == b.end())
          << "runs with seed " << seed << " diverge at event " << ia - a.begin();
      runs.insert(a);
    }
    EXPECT_GE(runs.size(), 8u) << "only " << runs.size() << " distinct runs over " << kSeedsPerModel
                               << " seeds";
  }
}

TEST(KernelClock, TimeMovesInVirtualStepsAndTimersExpireOnClockTicks) {
  Kernel k(test_support::CurrentConfig());
  k.RunInSystemThread("waiter", [&] {
    KTIMER timer;
    KeInitializeTimer(&timer);
    const emu::VirtualTime set = k.Now();
    KeSetTimer(&timer, Relative(10 * emu::kSecond), nullptr);
    EXPECT_EQ(WaitOn(&timer), STATUS_SUCCESS);
    EXPECT_EQ(k.Now(), TickAfter(set + 10 * emu::kSecond))
        << "a 10-second timer expires on the first clock tick after its due time";
    const ULONGLONG polled = KeQueryInterruptTime();
    while (KeQueryInterruptTime() < polled + kMillisecond) {
    }
    EXPECT_LT(k.Now(), TickAfter(polled)) << "kernel calls cost time, but far less than a tick";
  });

  LARGE_INTEGER s0, s1, ticks;
  KeQuerySystemTime(&s0);
  k.RunFor(250 * kMillisecond);
  KeQuerySystemTime(&s1);
  KeQueryTickCount(&ticks);
  EXPECT_EQ(s1.QuadPart - s0.QuadPart, 250 * kMillisecond) << "an idle machine lets time pass";
  EXPECT_EQ(ticks.QuadPart, k.Now() / KeQueryTimeIncrement());
  emu::VirtualTime before = k.Now();
  KeStallExecutionProcessor(50);
  EXPECT_EQ(k.Now() - before, 500) << "a 50 us stall";
  emu::VirtualTime interrupted = 0;
  k.ScheduleDeviceEvent(k.Now() + 300, [&] { interrupted = k.Now(); });
  const emu::VirtualTime due = k.Now() + 300;
  k.RunInSystemThread("staller", [] { KeStallExecutionProcessor(100); });
  EXPECT_EQ(interrupted, due) << "a device event due during a stall happens at its time";

  // From a clock tick, a 10 ms delay lasts until the next tick.
  k.RunFor(TickAfter(k.Now()) - k.Now());
  const emu::VirtualTime start = k.Now();
  int ticker = 0;
  k.StartSystemThread("ticker", [&] {
    for (;;) {
      Delay(10 * kMillisecond);
      ++ticker;
    }
  });
  EXPECT_FALSE(k.RunUntil([&] { return ticker >= 1000; }, start + 95 * kMillisecond));
  EXPECT_EQ(ticker, 6) << "a 10 ms ticker ticks once a clock tick: 6 times in 95 ms";
  EXPECT_EQ(k.Now(), start + 95 * kMillisecond) << "RunUntil stops at its limit";
  EXPECT_TRUE(k.RunUntil([&] { return ticker >= 20; }));
  EXPECT_EQ(k.Now() - k.Now() % kTick, start + 20 * kTick) << "done on the 20th tick";
}

// Whether `c` occurs in some stretch at DISPATCH_LEVEL.
bool Inside(const std::string& log, char c) {
  for (size_t open = log.find('['); open != std::string::npos; open = log.find('[', open + 1)) {
    if (log.substr(open, log.find(']', open) - open).find(c) != std::string::npos) return true;
  }
  return false;
}

TEST(KernelScheduler, DispatchLevelHoldsTheUniprocessorButNotTheMultiprocessor) {
  bool threadInside = false, dpcInside = false;
  for (uint64_t seed = 1; seed <= kSeedsPerModel; ++seed) {
    std::string up = DispatchLevelLog(MachineConfig(ProcessorModel::Uniprocessor, seed));
    EXPECT_EQ(up.substr(0, 2), "HD") << "seed " << seed << ": a DPC queued by hardware runs first";
    int dpcOnLowering = 0;
    for (size_t at = up.find("[]D"); at != std::string::npos; at = up.find("[]D", at + 1)) ++dpcOnLowering;
    EXPECT_EQ(dpcOnLowering, 3) << "seed " << seed << ": nothing may run beside a context at "
                                << "DISPATCH_LEVEL, and its DPC runs as the IRQL drops: " << up;
    std::string mp = DispatchLevelLog(MachineConfig(ProcessorModel::Multiprocessor, seed));
    threadInside |= Inside(mp, 'o');
    dpcInside |= Inside(mp, 'D');
  }
  EXPECT_TRUE(threadInside) << "no seed ran another thread beside a context at DISPATCH_LEVEL";
  EXPECT_TRUE(dpcInside) << "no seed ran the DPC while its queuer stayed at DISPATCH_LEVEL";
}

// Device events and timer expiries due at the same time fire in an order chosen by the seed. Each
// queues a DPC that records it ('T' for the timers); one processor runs them in queue order.
std::string SimultaneousOrder(uint64_t seed) {
  Kernel k(MachineConfig(ProcessorModel::Uniprocessor, seed));
  struct Source {
    std::string* order;
    char id;
    KTIMER timer;
    KDPC dpc;
  };
  std::string order;
  Source sources[6];
  for (int i = 0; i < 6; ++i) {
    Source& s = sources[i];
    s.order = &order;
    s.id = i < 3 ? 'T' : static_cast<char>('a' + i - 3);
    KeInitializeDpc(
        &s.dpc, [](PKDPC, PVOID ctx, PVOID, PVOID) { *static_cast<Source*>(ctx)->order += static_cast<Source*>(ctx)->id; },
        &s);
    if (i < 3) {
      KeInitializeTimer(&s.timer);
      KeSetTimer(&s.timer, Relative((i + 1) * kMillisecond), &s.dpc);  // all on the first tick
    } else {
      k.ScheduleDeviceEvent(kTick, [&s] { KeInsertQueueDpc(&s.dpc, nullptr, nullptr); });
    }
  }
  k.Run();
  return order;
}

TEST(KernelScheduler, SimultaneousEventsFireInASeededOrder) {
  std::set<std::string> orders;
  for (uint64_t seed = 1; seed <= kSeedsPerModel; ++seed) {
    std::string order = SimultaneousOrder(seed);
    EXPECT_EQ(order, SimultaneousOrder(seed)) << "seed " << seed << " gave two orders";
    std::string sorted = order;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, "TTTabc") << "every event and expiry fires once";
    orders.insert(order);
  }
  EXPECT_GE(orders.size(), 10u) << "simultaneous events keep one order whatever the seed";
}

TEST(KernelScheduler, DeviceEventsRunAtTheirDueTimeOutsideEveryContext) {
  Kernel k(test_support::CurrentConfig());
  KEVENT irq;
  KeInitializeEvent(&irq, SynchronizationEvent, FALSE);
  std::vector<std::pair<emu::VirtualTime, std::string>> seen;
  emu::VirtualTime wokeAt = -1;
  k.StartSystemThread("isr-waiter", [&] {
    WaitOn(&irq);
    wokeAt = k.Now();
  });
  k.ScheduleDeviceEvent(7 * kMillisecond, [&] {
    seen.emplace_back(k.Now(), k.CurrentContextName());
    EXPECT_FALSE(k.InContext());
    EXPECT_GT(KeGetCurrentIrql(), DISPATCH_LEVEL) << "device events run at device IRQL";
    KeSetEvent(&irq, 0, FALSE);
  });
  auto cancelled = k.ScheduleDeviceEvent(3 * kMillisecond, [&] { seen.emplace_back(0, "x"); });
  EXPECT_TRUE(k.CancelDeviceEvent(cancelled));
  EXPECT_FALSE(k.CancelDeviceEvent(cancelled)) << "an event can be cancelled only once";
  k.Run();
  ASSERT_EQ(seen.size(), 1u) << "the cancelled event ran, or the other did not";
  EXPECT_EQ(seen[0], std::make_pair(7 * kMillisecond, std::string("hw")));
  EXPECT_EQ(wokeAt, 7 * kMillisecond);
}

TEST(KernelScheduler, ManyDeviceEventsRunInTimeOrderAndCancelledOnesNeverRun) {
  Kernel k(test_support::CurrentConfig());
  std::vector<emu::VirtualTime> ran;
  std::vector<Kernel::EventId> ids;
  // 1000 events at distinct times, scheduled out of order; every third one is cancelled, which
  // is more than enough to make the queue drop its cancelled entries all at once.
  for (int i = 0; i < 1000; ++i) {
    const emu::VirtualTime at = (i * 7919 % 1000 + 1) * kMillisecond;
    ids.push_back(k.ScheduleDeviceEvent(at, [&ran, &k] { ran.push_back(k.Now()); }));
  }
  std::set<emu::VirtualTime> cancelled;
  for (int i = 0; i < 1000; i += 3) {
    ASSERT_TRUE(k.CancelDeviceEvent(ids[i]));
    cancelled.insert((i * 7919 % 1000 + 1) * kMillisecond);
  }
  // An event scheduled from a running one, at once and later, and a cancelled id that must not
  // cancel whatever now holds its place.
  bool followed = false;
  k.ScheduleDeviceEvent(500 * kMillisecond + 1, [&] {
    EXPECT_FALSE(k.CancelDeviceEvent(ids[0])) << "a cancelled id cancelled something else";
    k.ScheduleDeviceEvent(k.Now(), [&] { followed = true; });
  });
  k.Run();
  EXPECT_TRUE(followed) << "an event scheduled for now from an event did not run";
  ASSERT_EQ(ran.size(), 1000u - cancelled.size());
  EXPECT_TRUE(std::is_sorted(ran.begin(), ran.end())) << "device events ran out of time order";
  for (emu::VirtualTime t : ran) EXPECT_EQ(cancelled.count(t), 0u) << "a cancelled event ran at " << t;
  EXPECT_FALSE(k.CancelDeviceEvent(ids[1])) << "an event that ran can still be cancelled";
}

TEST(KernelScheduler, ThreadsRunAtPassiveLevelAndTheMainStackMayPollButNotWait) {
  ForEachMachine([](const emu::KernelConfig& config) {
    Kernel k(config);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(WaitOn(&e, &zero), STATUS_TIMEOUT);
    KeSetEvent(&e, 0, FALSE);
    EXPECT_EQ(WaitOn(&e, &zero), STATUS_WAIT_0);
    KeClearEvent(&e);
    EXPECT_THROW(WaitOn(&e), std::logic_error);
    EXPECT_THROW(Delay(kMillisecond), std::logic_error);
    EXPECT_FALSE(k.InContext());
    EXPECT_EQ(k.CurrentContextName(), "main");
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

TEST(KernelScheduler, RunInSystemThreadReportsADeadlock) {
  Kernel k(test_support::CurrentConfig());
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  try {
    k.RunInSystemThread("stuck", [&] { WaitOn(&never); });
    ADD_FAILURE() << "a thread waiting forever was reported as finished";
  } catch (const std::runtime_error& e) {
    std::string what = e.what();
    EXPECT_NE(what.find("stuck"), std::string::npos) << what;
    EXPECT_NE(what.find("waiting"), std::string::npos) << what;
  }
}

// Two threads of ten switch points each; the order in which they pass them, a letter a step.
std::string TwoThreadOrder(const emu::KernelConfig& config) {
  Kernel k(config);
  std::string order;
  LONG x = 0;
  for (char id : {'a', 'b'}) {
    k.StartSystemThread(std::string(1, id), [&, id] {
      for (int i = 0; i < 10; ++i) {
        InterlockedIncrement(&x);
        order += id;
      }
    });
  }
  k.Run();
  return order;
}

// With a fixed 1-in-4 odds of a new random priority at each switch point, 100 seeds gave 29
// distinct orders and over half of them were fully serial.
TEST(KernelScheduler, RandomSeedsSpreadOverManyInterleavings) {
  for (ProcessorModel model : kModels) {
    SCOPED_TRACE(ModelName(model));
    std::set<std::string> orders;
    int serial = 0;
    for (uint64_t seed = 1; seed <= 100; ++seed) {
      std::string order = TwoThreadOrder(MachineConfig(model, seed));
      orders.insert(order);
      serial += order.find("ab") == std::string::npos || order.find("ba") == std::string::npos;
    }
    EXPECT_GE(orders.size(), 80u) << "too few distinct interleavings in 100 seeds";
    EXPECT_LE(serial, 10) << "too many seeds ran one thread after the other";
  }
}

// Two threads of ten switch points; the bug shows only if the first thread is preempted at its
// sixth switch point and the other then runs first. Returns whether the run hit it.
bool HitsDepthOneBug(const emu::KernelConfig& config, uint64_t* choicePoints = nullptr) {
  Kernel k(config);
  bool window = false, hit = false;
  LONG x = 0;
  k.StartSystemThread("a", [&] {
    for (int i = 1; i <= 10; ++i) {
      window = i == 6;
      InterlockedIncrement(&x);
      window = false;
    }
  });
  k.StartSystemThread("b", [&] {
    hit = window;
    for (int i = 1; i <= 10; ++i) InterlockedIncrement(&x);
  });
  k.Run();
  if (choicePoints) *choicePoints = k.ChoicePoints();
  return hit;
}

// PCT with the run length taken from an earlier run of the same scenario finds the bug within 200
// seeds in either processor model (the first finding seed is recorded for each scheduler).
TEST(KernelScheduler, PctFindsAPreemptionAtOneOfTenSwitchPointsWithin200Seeds) {
  for (ProcessorModel model : kModels) {
    for (emu::SchedulerKind kind : {emu::SchedulerKind::Pct, emu::SchedulerKind::Random}) {
      const bool pct = kind == emu::SchedulerKind::Pct;
      SCOPED_TRACE(std::string(ModelName(model)) + (pct ? ", PCT" : ", random"));
      uint64_t steps = 0;
      HitsDepthOneBug(MachineConfig(model, 0), &steps);
      uint64_t found = 0;
      for (uint64_t seed = 1; seed <= 200 && !found; ++seed) {
        emu::KernelConfig config = MachineConfig(model, seed);
        config.scheduler = kind;
        config.pctSteps = steps;
        if (HitsDepthOneBug(config)) found = seed;
      }
      ::testing::Test::RecordProperty(std::string(ModelName(model)) + (pct ? "_pct" : "_random") +
                                          "_first_seed",
                                      std::to_string(found));
      if (pct) {
        EXPECT_NE(found, 0u) << "PCT did not find the bug in 200 seeds";
      }
    }
  }
}

}  // namespace

