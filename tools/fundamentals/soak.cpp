#include "soak.h"

#include <chrono>

namespace tarnwire_fundamentals {

const Scenario& SoakScenarioOf(uint64_t seed) { return Scenarios()[seed % Scenarios().size()]; }

RunSpec SoakRunOf(uint64_t seed, const SoakSpec& spec) {
  RunSpec run;
  run.seed = seed;
  run.multiprocessor = (seed / Scenarios().size()) % 2 == 1;
  run.cycles = spec.cycles;
  run.virtualSeconds = spec.seedSeconds;
  return run;
}

SoakReport RunSoak(const SoakSpec& spec) {
  const auto start = std::chrono::steady_clock::now();
  SoakReport report;
  report.shards.push_back(std::to_string(spec.shard) + "/" + std::to_string(spec.shards));
  const double shareNs = spec.virtualHours * 3.6e12 / spec.shards;
  for (uint64_t offset = spec.shard;; offset += spec.shards) {
    if (spec.virtualHours > 0 ? static_cast<double>(report.counters.virtualNs) >= shareNs : offset >= spec.seeds) break;
    const uint64_t seed = spec.firstSeed + offset;
    const Result result = RunOne(SoakScenarioOf(seed), SoakRunOf(seed, spec));
    report.Add(result);
    report.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report.longestShardSeconds = report.wallSeconds;
    if (spec.progress) spec.progress(report, result);
  }
  report.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  report.longestShardSeconds = report.wallSeconds;
  return report;
}

}  // namespace tarnwire_fundamentals
