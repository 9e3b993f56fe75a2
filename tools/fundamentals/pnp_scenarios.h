// Runners of the Plug and Play scenarios (two ports streaming, the operation cycling over them).
#pragma once

#include <random>

#include "fundamentals.h"
#include "harness.h"

namespace tarnwire_fundamentals {

Result RunDisableEnable(const RunSpec& spec);
Result RunRemove(const RunSpec& spec);
Result RunCancelRemove(const RunSpec& spec);
Result RunSurpriseRemove(const RunSpec& spec);
Result RunRebalance(const RunSpec& spec);
Result RunCancelStop(const RunSpec& spec);
Result RunFailRestart(const RunSpec& spec);

// One of the operations above on COMn, picked at random (the concurrent scenario).
void RandomPnpOperation(Rig& rig, Streams& streams, std::mt19937_64& random, unsigned com);

}  // namespace tarnwire_fundamentals
