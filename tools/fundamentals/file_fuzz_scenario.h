// Runner of the file-request fuzz.
#pragma once

#include <random>

#include "fundamentals.h"
#include "rig.h"

namespace tarnwire_fundamentals {

Result RunFileFuzz(const RunSettings& settings);

// From an application thread: `calls` random file requests on COMn (closed on entry and exit),
// after a sweep of every information class with a spread of lengths when `sweep`.
void FuzzFileRequests(Rig& rig, unsigned com, std::mt19937_64& random, unsigned calls, bool sweep);

}  // namespace tarnwire_fundamentals
