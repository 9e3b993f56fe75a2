// A soak: the fundamentals scenarios over many seeds, each run padded with bursty idle traffic to a
// virtual duration, added up into one report. Seed s runs scenario s mod (number of scenarios), in
// the multiprocessor model when (s div that number) is odd, so any range of seeds spreads evenly over
// scenarios and models. A shard I of N takes the seeds whose offset from the first is I mod N;
// the reports of the N shards merge into the report of the whole campaign.
#pragma once

#include <functional>

#include "soak_report.h"

namespace tarnwire_fundamentals {

struct SoakSettings {
  uint64_t firstSeed = 1;
  uint64_t seeds = 0;       // this many seeds of the campaign (before sharding); or
  double virtualHours = 0;  // seeds until the campaign's virtual time reaches this (each shard its share)
  unsigned shard = 0;
  unsigned shards = 1;
  double seedSeconds = 90;  // virtual duration of each run
  unsigned cycles = 2;      // operations of each run
  // Called after every run with the report so far.
  std::function<void(const SoakReport& report, const Result& last)> progress;
};

// The run a seed of the campaign makes.
const Scenario& SoakScenarioOf(uint64_t seed);
RunSettings SoakRunOf(uint64_t seed, const SoakSettings& settings);

SoakReport RunSoak(const SoakSettings& settings);

}  // namespace tarnwire_fundamentals
