// Shared by the kernel's tests: machine configurations, running a check under many schedules,
// virtual-time arguments and short forms of frequent calls.
#pragma once

#include <gtest/gtest.h>
#include <wdk_ke.h>

#include <functional>
#include <string>

#include "nt/kernel.h"
#include "support/run_config.h"
#include "support/schedule_sweep.h"

namespace emu::testing {

using test_support::CurrentConfig;
using test_support::ForEachMachine;
using test_support::ForEachModel;

// For checks of the scheduler itself, which choose their seeds and models.
constexpr uint64_t kSeedsPerModel = test_support::kDefaultSeedCount;
constexpr ProcessorModel kModels[] = {ProcessorModel::Uniprocessor, ProcessorModel::Multiprocessor};

inline KernelConfig MachineConfig(ProcessorModel model, uint64_t seed = 1) {
  KernelConfig c;
  c.seed = seed;
  c.processors = model;
  return c;
}

inline const char* ModelName(ProcessorModel m) {
  return m == ProcessorModel::Uniprocessor ? "uniprocessor" : "multiprocessor";
}

// The default clock interrupt period (KeQueryTimeIncrement): timers and time-outs expire on it.
constexpr VirtualTime kTick = 156250;

// The first clock tick after t, where a timer or time-out of duration d set at t expires: at
// TickAfter(t + d) (the setting call itself takes a little virtual time).
inline VirtualTime TickAfter(VirtualTime t, VirtualTime tick = kTick) { return (t / tick + 1) * tick; }

// A relative due time (negative, in 100-ns units) for KeSetTimer, waits and delays.
inline LARGE_INTEGER Relative(VirtualTime t) {
  LARGE_INTEGER li;
  li.QuadPart = -t;
  return li;
}

inline NTSTATUS WaitOn(PVOID object, PLARGE_INTEGER timeout = nullptr) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

inline NTSTATUS Delay(VirtualTime t) {
  LARGE_INTEGER d = Relative(t);
  return KeDelayExecutionThread(KernelMode, FALSE, &d);
}

// Raises the IRQL and returns the previous one.
inline KIRQL RaiseTo(KIRQL irql) {
  KIRQL old;
  KeRaiseIrql(irql, &old);
  return old;
}

// Starts n system threads that each wait once on `object` and then count themselves in *woken.
inline void StartWaiters(Kernel& k, int n, PVOID object, int* woken) {
  for (int i = 0; i < n; ++i) {
    k.StartSystemThread("waiter" + std::to_string(i), [object, woken] {
      EXPECT_EQ(WaitOn(object), STATUS_WAIT_0);
      ++*woken;
    });
  }
}

}  // namespace emu::testing
