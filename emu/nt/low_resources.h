// Systematic low-resources simulation: every allocation site that driver code reaches in a
// scenario fails in turn, the first time it is reached, then (in another run) the second time, and
// so on, so that each error path of the driver runs once.
#pragma once

#include "nt/kernel.h"

#include <functional>
#include <vector>

namespace emu {

// Runs `scenario` once with no failure to learn the allocation sites it reaches (what it returns:
// its machine's Kernel::AllocationSites()), then once for every site and every reach up to
// min(reaches, maxReaches) with `lowResources` failing that reach alone. A site first reached in a
// failing run (an error path's own allocation) is walked as well. Returns the failing runs made.
size_t WalkAllocationFailures(
    const std::function<std::vector<AllocationSite>(const LowResources& lowResources)>& scenario,
    uint32_t maxReaches = 3);

}  // namespace emu
