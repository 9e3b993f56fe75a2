// The report of a soak (or of one shard of it): what ran, the counters added up, and every failed
// run with the command that replays it. Written and read as JSON so that the reports of shards run
// on other machines merge into one.
#pragma once

#include <string>
#include <vector>

#include "fundamentals.h"

namespace tarnwire_fundamentals {

struct SoakFailure {
  std::string scenario;
  uint64_t seed = 0;
  bool multiprocessor = false;
  std::string reason;
  std::string replay;
};

struct SoakReport {
  std::vector<std::string> shards;  // "I/N" of each shard merged (one entry for a single run)
  uint64_t seeds = 0;               // runs made
  uint64_t passed = 0;
  double wallSeconds = 0;           // summed over shards
  double longestShardSeconds = 0;   // the wall time of the slowest shard
  Counters counters;
  std::vector<SoakFailure> failures;

  void Add(const Result& result);
  void Merge(const SoakReport& other);
};

std::string ToJson(const SoakReport& report);
// False and *error when the text is not a soak report.
bool FromJson(const std::string& text, SoakReport* report, std::string* error);
// The report for a person: one line per counter, then the failures with their replay commands.
std::string FormatReport(const SoakReport& report);

}  // namespace tarnwire_fundamentals
