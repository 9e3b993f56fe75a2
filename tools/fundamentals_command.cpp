#include "fundamentals_command.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "soak.h"

namespace tarnwire_tool {
namespace {

namespace tf = tarnwire_fundamentals;

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Summary(const tf::Counters& c) {
  char text[256];
  std::snprintf(text, sizeof text, "%llu PnP, %llu power, %llu requests, %.2f MB verified, %.1f s virtual",
                static_cast<unsigned long long>(c.pnpCycles), static_cast<unsigned long long>(c.powerCycles),
                static_cast<unsigned long long>(c.requests), static_cast<double>(c.bytesVerified) / 1e6,
                static_cast<double>(c.virtualNs) / 1e9);
  return text;
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

int RunFundamentals(const FundamentalsOptions& options) {
  tf::Inject inject = tf::Inject::None;
  if (!tf::ParseInject(options.inject, &inject)) {
    std::fprintf(stderr, "tarnwire fundamentals: --inject must be none, lost-bytes or bug-check\n");
    return 2;
  }
  std::vector<const tf::Scenario*> scenarios;
  if (options.scenario == "all") {
    for (const tf::Scenario& s : tf::Scenarios()) scenarios.push_back(&s);
  } else if (const tf::Scenario* s = tf::FindScenario(options.scenario)) {
    scenarios.push_back(s);
  } else {
    std::string names;
    for (const tf::Scenario& s : tf::Scenarios()) names += std::string(" ") + s.name;
    std::fprintf(stderr, "tarnwire fundamentals: no scenario '%s'; there are:%s, or all\n",
                 options.scenario.c_str(), names.c_str());
    return 2;
  }
  std::vector<bool> models;
  if (options.bothModels)
    models = {false, true};
  else
    models = {options.multiprocessor};

  const auto start = std::chrono::steady_clock::now();
  tf::Counters total;
  unsigned runs = 0;
  std::vector<std::string> replays;
  for (const tf::Scenario* scenario : scenarios) {
    for (bool mp : models) {
      for (uint64_t i = 0; i < options.seeds; ++i) {
        tf::RunSettings settings;
        settings.seed = options.seed + i;
        settings.multiprocessor = mp;
        settings.cycles = options.cycles;
        settings.virtualSeconds = options.virtualSeconds;
        settings.inject = inject;
        const auto runStart = std::chrono::steady_clock::now();
        const tf::Result result = tf::RunOne(*scenario, settings);
        ++runs;
        total += result.counters;
        std::printf("%s %-16s seed %-6llu %s  %s, %.2f s wall\n", result.Passed() ? "PASS" : "FAIL",
                    scenario->name, static_cast<unsigned long long>(settings.seed), mp ? "mp" : "up",
                    Summary(result.counters).c_str(), Since(runStart));
        if (!result.Passed()) {
          for (const std::string& f : result.failures) std::printf("  - %s\n", f.c_str());
          replays.push_back(tf::ReplayCommand(scenario->name, settings));
          std::printf("  replay: %s\n", replays.back().c_str());
        }
        std::fflush(stdout);
      }
    }
  }
  std::printf("\n%u runs, %zu failed: %s; %llu bytes lost, %llu bug checks, %llu leaks; %.1f s wall\n", runs,
              replays.size(), Summary(total).c_str(), static_cast<unsigned long long>(total.bytesLost),
              static_cast<unsigned long long>(total.bugChecks), static_cast<unsigned long long>(total.leaks),
              Since(start));
  if (replays.empty()) {
    std::printf("Result: every run passed\n");
    return 0;
  }
  std::printf("Result: %zu runs failed; replay each with:\n", replays.size());
  for (const std::string& r : replays) std::printf("  %s\n", r.c_str());
  return 1;
}

int RunSoakCommand(const SoakOptions& options) {
  tf::SoakSettings settings;
  unsigned shard = 0;
  unsigned shards = 0;
  char extra = 0;
  if (std::sscanf(options.shard.c_str(), "%u/%u%c", &shard, &shards, &extra) != 2 || shards == 0 ||
      shard >= shards) {
    std::fprintf(stderr, "tarnwire soak: --shard must be I/N with 0 <= I < N, not '%s'\n",
                 options.shard.c_str());
    return 2;
  }
  if ((options.seeds == 0) == (options.virtualHours <= 0)) {
    std::fprintf(stderr, "tarnwire soak: give either --seeds K or --virtual-hours H\n");
    return 2;
  }
  settings.firstSeed = options.firstSeed;
  settings.seeds = options.seeds;
  settings.virtualHours = options.virtualHours;
  settings.shard = shard;
  settings.shards = shards;
  settings.seedSeconds = options.seedSeconds;
  settings.cycles = options.cycles;
  const bool tty = isatty(STDERR_FILENO);
  auto lastLine = std::chrono::steady_clock::now();
  const uint64_t planned = options.seeds <= shard ? 0 : (options.seeds - shard + shards - 1) / shards;
  settings.progress = [&](const tf::SoakReport& r, const tf::Result& last) {
    if (!last.Passed())
      std::fprintf(stderr, "%sFAIL %s\n", tty ? "\r\033[K" : "",
                   tf::ReplayCommand(last.scenario, last.settings).c_str());
    const bool due = Since(lastLine) >= 5 || !last.Passed();
    if (!tty && !due) return;
    lastLine = std::chrono::steady_clock::now();
    char total[32] = "";
    if (planned != 0) std::snprintf(total, sizeof total, "/%llu", static_cast<unsigned long long>(planned));
    std::fprintf(stderr, "%ssoak %s: %llu%s seeds, %.2f virtual hours, %zu failed, %.0f s",
                 tty ? "\r\033[K" : "", options.shard.c_str(), static_cast<unsigned long long>(r.seeds),
                 total, static_cast<double>(r.counters.virtualNs) / 3.6e12, r.failures.size(), r.wallSeconds);
    if (!tty) std::fprintf(stderr, "\n");
  };
  const tf::SoakReport report = tf::RunSoak(settings);
  if (tty) std::fprintf(stderr, "\n");
  std::printf("%s", tf::FormatReport(report).c_str());
  if (!options.reportPath.empty() && !WriteText(options.reportPath, tf::ToJson(report))) {
    std::fprintf(stderr, "tarnwire soak: cannot write %s\n", options.reportPath.c_str());
    return 2;
  }
  return report.failures.empty() ? 0 : 1;
}

int RunSoakMerge(const std::vector<std::string>& paths, const std::string& reportPath) {
  tf::SoakReport merged;
  for (const std::string& path : paths) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    tf::SoakReport report;
    std::string error;
    if (!in || !tf::FromJson(text.str(), &report, &error)) {
      std::fprintf(stderr, "tarnwire soak-merge: %s: %s\n", path.c_str(),
                   in ? error.c_str() : "cannot be read");
      return 2;
    }
    merged.Merge(report);
  }
  std::printf("%s", tf::FormatReport(merged).c_str());
  if (!reportPath.empty() && !WriteText(reportPath, tf::ToJson(merged))) {
    std::fprintf(stderr, "tarnwire soak-merge: cannot write %s\n", reportPath.c_str());
    return 2;
  }
  return merged.failures.empty() ? 0 : 1;
}

}  // namespace tarnwire_tool
