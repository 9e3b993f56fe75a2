#include "soak.h"

#include <chrono>

namespace tarnwire_fundamentals {

const Scenario& SoakScenarioOf(uint64_t seed) { return Scenarios()[seed % Scenarios().size()]; }

RunSettings SoakRunOf(uint64_t seed, const SoakSettings& settings) {
  RunSettings run;
  run.seed = seed;
  run.multiprocessor = (seed / Scenarios().size()) % 2 == 1;
  run.cycles = settings.cycles;
  run.virtualSeconds = settings.seedSeconds;
  return run;
}

SoakReport RunSoak(const SoakSettings& settings) {
  const auto start = std::chrono::steady_clock::now();
  SoakReport report;
  report.shards.push_back(std::to_string(settings.shard) + "/" + std::to_string(settings.shards));
  const double shareNs = settings.virtualHours * 3.6e12 / settings.shards;
  for (uint64_t offset = settings.shard;; offset += settings.shards) {
    if (settings.virtualHours > 0 ? static_cast<double>(report.counters.virtualNs) >= shareNs
                                  : offset >= settings.seeds)
      break;
    const uint64_t seed = settings.firstSeed + offset;
    const Result result = RunOne(SoakScenarioOf(seed), SoakRunOf(seed, settings));
    report.Add(result);
    report.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report.longestShardSeconds = report.wallSeconds;
    if (settings.progress) settings.progress(report, result);
  }
  report.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  report.longestShardSeconds = report.wallSeconds;
  return report;
}

}  // namespace tarnwire_fundamentals
