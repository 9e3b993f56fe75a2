// Which schedules the tests run under, chosen from the environment:
//   TARNWIRE_SEEDS      a seed, a range or a list: 17, 1-1000, 3,17,40-50
//   TARNWIRE_MODEL      up, mp, mp<N> (N processors), or a list: up,mp4
//   TARNWIRE_SCHEDULER  random, pct, pct<D> (PCT depth D), or a list: random,pct5
// A variable that is unset or empty keeps its default.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "support/schedule.h"

namespace test_support {

// Seeds of a sweep when TARNWIRE_SEEDS is not given: 1 to kDefaultSeedCount.
constexpr uint64_t kDefaultSeedCount = 20;
// At most this many seeds in one TARNWIRE_SEEDS.
constexpr uint64_t kMaxSeeds = 1000000;
// mp<N>: 2 <= N <= kMaxProcessors; pct<D>: 1 <= D <= kMaxPctDepth.
constexpr unsigned kMaxProcessors = 64;
constexpr unsigned kMaxPctDepth = 100;

// Each parser returns the listed values in order, without repeats, or throws
// std::invalid_argument with a message naming the variable, the bad item and the accepted forms.
std::vector<uint64_t> ParseSeeds(std::string_view text);
std::vector<Processors> ParseModels(std::string_view text);
std::vector<Scheduling> ParseSchedulers(std::string_view text);

struct RunConfig {
  // Empty when the variable is not given.
  std::vector<uint64_t> seeds;
  std::vector<Processors> models;
  std::vector<Scheduling> schedulers;

  // From the variables' values (nullptr or "" when not given); throws as the parsers do.
  static RunConfig Parse(const char* seeds, const char* models, const char* schedulers);

  // What a sweep runs: the given values, otherwise {UP, MP}, {random, pct} and seeds 1 to 20.
  std::vector<Processors> SweepModels() const;
  std::vector<Scheduling> SweepSchedulers() const;
  std::vector<uint64_t> SweepSeeds() const;
  // Every combination of those, ordered by model, then scheduler, then seed.
  std::vector<Schedule> Sweep() const;
  // The schedules a plain test takes, one per repetition of the test program: every
  // combination of what is given, otherwise uniprocessor, random scheduler, seed 1.
  std::vector<Schedule> Plain() const;
};

// The environment's choice, read once. A bad value ends the program with exit status 2 after
// printing the message.
const RunConfig& Environment();

}  // namespace test_support
