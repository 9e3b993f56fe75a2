// Low-resources simulation by allocation site: the sites driver code reaches, the failure of a
// chosen reach of one of them, and the walk over every site (low_resources.h).
#include "nt/low_resources.h"

#include "nt/scheduler.h"

#include <algorithm>
#include <set>

namespace emu {

bool Kernel::Impl::ShouldFail(Failures& failures, const char* kind, const void* site) {
  // Sites are counted in driver code only: the kernel's and the bus models' own allocations are
  // not the driver's error paths.
  if (site != nullptr && CurrentDriver() != nullptr) {
    auto it = allocationSiteIndex.find(site);
    if (it == allocationSiteIndex.end()) {
      it = allocationSiteIndex.emplace(site, allocationSites.size()).first;
      allocationSites.push_back(AllocationSite{site, kind, 0});
    }
    const uint32_t reach = ++allocationSites[it->second].reaches;
    if (site == config.lowResources.failSite && reach == config.lowResources.failReach) {
      TraceF("low-resources", "%s allocation at %p fails (reach %u, simulated)", kind, site, reach);
      return true;
    }
  }
  return failures.Next();
}

const std::vector<AllocationSite>& Kernel::AllocationSites() const { return impl_->allocationSites; }

size_t WalkAllocationFailures(
    const std::function<std::vector<AllocationSite>(const LowResources& lowResources)>& scenario,
    uint32_t maxReaches) {
  std::vector<AllocationSite> pending = scenario(LowResources{});
  std::set<std::pair<const void*, uint32_t>> done;
  size_t runs = 0;
  while (!pending.empty()) {
    const AllocationSite site = pending.front();
    pending.erase(pending.begin());
    for (uint32_t reach = 1; reach <= std::min(site.reaches, maxReaches); ++reach) {
      if (!done.emplace(site.address, reach).second) continue;
      LowResources failing;
      failing.failSite = site.address;
      failing.failReach = reach;
      ++runs;
      for (const AllocationSite& seen : scenario(failing)) {
        const bool known = std::any_of(done.begin(), done.end(),
                                       [&](const auto& d) { return d.first == seen.address; }) ||
                           std::any_of(pending.begin(), pending.end(), [&](const AllocationSite& p) {
                             return p.address == seen.address;
                           });
        if (!known && seen.address != site.address) pending.push_back(seen);
      }
    }
  }
  return runs;
}

}  // namespace emu
