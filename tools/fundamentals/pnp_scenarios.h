// Runners of the Plug and Play scenarios (two ports streaming, the operation cycling over them).
#pragma once

#include <random>

#include "fundamentals.h"
#include "harness.h"

namespace tarnwire_fundamentals {

Result RunDisableEnable(const RunSettings& settings);
Result RunRemove(const RunSettings& settings);
Result RunCancelRemove(const RunSettings& settings);
Result RunSurpriseRemove(const RunSettings& settings);
Result RunRebalance(const RunSettings& settings);
Result RunCancelStop(const RunSettings& settings);
Result RunFailRestart(const RunSettings& settings);

// One of the operations above on COMn, picked at random (the concurrent scenario).
void RandomPnpOperation(Rig& rig, Streams& streams, std::mt19937_64& random, unsigned com);

}  // namespace tarnwire_fundamentals
