// Runner of the concurrent scenario.
#pragma once

#include "fundamentals.h"

namespace tarnwire_fundamentals {

Result RunConcurrent(const RunSettings& settings);

}  // namespace tarnwire_fundamentals
