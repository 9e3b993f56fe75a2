// Verifier helpers for the rest of the emulated machine: pool-block queries (use-after-free and
// bad-pointer checks) and readable names for bug check codes.
#pragma once

#include "nt/kernel.h"

#include <optional>
#include <string>

namespace emu::verifier {

// True when any byte of [p, p + size) lies in a freed pool block that is still quarantined
// (freed blocks are poisoned and kept mapped for a while to catch late use).
bool IsInFreedPool(const void* p, size_t size = 1);
// True when p is the start of a live (allocated, not yet freed) pool block.
bool IsLivePoolBlock(const void* p);
// The live pool block containing p, if any.
std::optional<Kernel::PoolBlock> FindLivePoolBlock(const void* p);
// Bug checks PAGE_FAULT_IN_FREED_SPECIAL_POOL (0xCC) when [p, p + size) touches freed pool.
void CheckNotFreed(const void* p, size_t size, bool write);

// "DRIVER_VERIFIER_DETECTED_VIOLATION" for 0xC4, and so on ("UNKNOWN_BUGCHECK" otherwise).
const char* BugCheckName(ULONG code);
// A sentence on what the parameters mean, where the kernel knows it ("" otherwise).
std::string DescribeBugCheck(ULONG code, const ULONG_PTR (&params)[4]);

}  // namespace emu::verifier
