// Runner of the sleep and resume scenario.
#pragma once

#include <random>

#include "fundamentals.h"
#include "harness.h"

namespace tarnwire_fundamentals {

Result RunSleepResume(const RunSettings& settings);

// One sleep in `state` and resume, with the streams running throughout (the concurrent scenario).
void SleepCycle(Rig& rig, Streams& streams, std::mt19937_64& random, SYSTEM_POWER_STATE state);
SYSTEM_POWER_STATE SleepStateOfCycle(uint64_t seed, unsigned cycle);

}  // namespace tarnwire_fundamentals
