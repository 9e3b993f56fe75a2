// `tarnwire fundamentals`, `tarnwire soak` and `tarnwire soak-merge`: the device fundamentals
// scenarios (tools/fundamentals) from the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fundamentals.h"

namespace tarnwire_tool {

struct FundamentalsOptions {
  std::string scenario = "all";
  uint64_t seed = 1;
  uint64_t seeds = 1;
  unsigned cycles = 3;
  double virtualSeconds = 0;
  bool multiprocessor = false;
  bool bothModels = false;
  std::string inject = "none";
};

// One line per run and a summary; 0 when every run passed, 1 otherwise, 2 for bad options.
int RunFundamentals(const FundamentalsOptions& options);

struct SoakOptions {
  uint64_t firstSeed = 1;
  uint64_t seeds = 0;
  double virtualHours = 0;
  std::string shard = "0/1";
  double seedSeconds = 90;
  unsigned cycles = 2;
  std::string reportPath;
};

// Progress on stderr, the report on stdout (and as JSON in reportPath); 0 when every run passed.
int RunSoakCommand(const SoakOptions& options);
// Merges shard reports and prints the whole; 0 when every run of every shard passed, 2 when a
// report cannot be read.
int RunSoakMerge(const std::vector<std::string>& paths, const std::string& reportPath);

}  // namespace tarnwire_tool
