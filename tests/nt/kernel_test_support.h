// Shared by the kernel's tests: machine configurations, running a check under both
// processor models and many seeds, virtual-time arguments and short forms of frequent calls.
#pragma once

#include <gtest/gtest.h>
#include <wdk_ke.h>

#include <functional>
#include <string>

#include "nt/kernel.h"

namespace emu::testing {

constexpr uint64_t kSeedsPerModel = 20;
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

// Runs fn for seeds 1..kSeedsPerModel under both processor models; a failure names the seed and
// the model, which reproduce the run.
inline void ForEachMachine(const std::function<void(ProcessorModel, uint64_t)>& fn) {
  for (ProcessorModel model : kModels) {
    for (uint64_t seed = 1; seed <= kSeedsPerModel; ++seed) {
      SCOPED_TRACE(std::string(ModelName(model)) + ", seed " + std::to_string(seed));
      fn(model, seed);
    }
  }
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
