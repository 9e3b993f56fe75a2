// Runners of the handle scenarios.
#pragma once

#include "fundamentals.h"
#include "rig.h"

namespace tarnwire_fundamentals {

Result RunOpenCloseStorm(const RunSettings& settings);
Result RunClosePending(const RunSettings& settings);

// From an application thread: `rounds` opens and closes of COMn (any port when 0), a little I/O
// between; `thread` varies the seeded choices.
void Storm(Rig& rig, unsigned thread, unsigned rounds, unsigned onlyCom);

}  // namespace tarnwire_fundamentals
