// Helpers shared by the kernel core's tests: machine configurations, running a check under both
// processor models and many seeds, and relative due times.
#pragma once

#include <gtest/gtest.h>

#include "nt/kernel.h"

#include <functional>
#include <string>

namespace emu::testing {

constexpr uint64_t kSeedsPerModel = 20;

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
  for (ProcessorModel model : {ProcessorModel::Uniprocessor, ProcessorModel::Multiprocessor}) {
    for (uint64_t seed = 1; seed <= kSeedsPerModel; ++seed) {
      SCOPED_TRACE(std::string(ModelName(model)) + ", seed " + std::to_string(seed));
      fn(model, seed);
    }
  }
}

// A relative due time (negative, in 100-ns units) for KeSetTimer, waits and delays.
inline LARGE_INTEGER Relative(VirtualTime t) {
  LARGE_INTEGER li;
  li.QuadPart = -t;
  return li;
}

}  // namespace emu::testing
