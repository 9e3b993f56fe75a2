// Pool: ExAllocatePool*/ExFreePool* with tags, the verifier's pool rules, poisoning and the
// quarantine of freed blocks, overrun detection, and the low-resources simulation.
//
// A new block is filled with a pattern (pool contents are undefined, never zero); a freed block
// is filled with another and kept mapped in a quarantine so that later use of it is caught.
//
// Every block is an allocation of its own. The bytes after a block, from the first byte past the
// requested size to at least 8 bytes further and the next 16-byte boundary, hold a canary that
// ExFreePool* and the driver's unload check, as special pool checks the slack after a block:
// an overrun bug-checks SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION. In AddressSanitizer builds a
// block is allocated with exactly the requested size instead, so that ASan's redzone starts right
// after it and catches the overrun when it happens; freed blocks are poisoned for ASan while in
// the quarantine.
#include "nt/scheduler.h"

#include <sanitizer/asan_interface.h>

#include <cstdlib>
#include <cstring>

namespace emu {

namespace {
constexpr size_t kPoolAlignment = 16;
constexpr ULONG kUntaggedPoolTag = 0x656E6F4E;  // 'None', what ExAllocatePool uses
constexpr uint8_t kCanaryFill = 0xA7;
// SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION: bytes after the end of the allocation overwritten.
constexpr ULONG_PTR kOverrunPastAllocation = 0x24;

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kMinCanary = 0;  // ASan's redzone takes its place
#else
constexpr size_t kMinCanary = 8;
#endif

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

// Bytes allocated for a block of n bytes: n, then the canary.
size_t AllocatedBytes(size_t n) {
  return kMinCanary == 0 ? n : (n + kMinCanary + kPoolAlignment - 1) & ~(kPoolAlignment - 1);
}

// Address space a block takes in the quarantine.
size_t Footprint(const PoolInfo& info) { return info.mapped != 0 ? info.mapped : info.size; }

template <typename Map>
const PoolInfo* FindIn(const Map& map, const void* p, uintptr_t* start) {
  if (map.empty()) return nullptr;
  auto a = reinterpret_cast<uintptr_t>(p);
  auto it = map.upper_bound(a);
  if (it == map.begin()) return nullptr;
  --it;
  if (a >= it->first + it->second.size) return nullptr;
  *start = it->first;
  return &it->second;
}
}  // namespace

const PoolInfo* Kernel::Impl::FindLive(const void* p, uintptr_t* start) const {
  return FindIn(livePool, p, start);
}

const PoolInfo* Kernel::Impl::FindFreed(const void* p, uintptr_t* start) const {
  return FindIn(freedPool, p, start);
}

void Kernel::Impl::CheckObjectMemoryAgain(const void* p, size_t size, bool write) {
  if (freedPool.empty() && releasedMemory.empty()) return;
  if (InFreedMemory(p, size)) {
    owner.BugCheck(bugcheck::kPageFaultInFreedSpecialPool, reinterpret_cast<ULONG_PTR>(p),
                   write ? 1 : 0, 0, 0);
  }
}

void Kernel::Impl::CheckPoolCanary(uintptr_t start, const PoolInfo& info) {
  const auto* p = reinterpret_cast<const uint8_t*>(start);
  for (size_t i = info.size; i < AllocatedBytes(info.size); ++i) {
    if (p[i] != kCanaryFill) {
      owner.BugCheck(bugcheck::kSpecialPoolDetectedMemoryCorruption, start, start + i, 0,
                     kOverrunPastAllocation);
    }
  }
}

void Kernel::Impl::CheckPoolCanaries() {
  for (const auto& [start, info] : livePool) CheckPoolCanary(start, info);
}

void Kernel::Impl::ReleasePoolBlock(uintptr_t start, const PoolInfo& info) {
  if (info.mapped != 0) {
    UnmapPagedBlock(start, info.mapped);
    return;
  }
  ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(start), info.size);
  std::free(reinterpret_cast<void*>(start));
}

void Kernel::Impl::ForgetObjectsIn(uintptr_t start, size_t size) {
  lockOrder.Forget(start, size);
  if (objects.empty()) return;
  if (objects.size() < size / 4) {
    std::vector<const void*> doomed;
    for (const auto& [p, info] : objects) {
      auto a = reinterpret_cast<uintptr_t>(p);
      if (a >= start && a < start + size) doomed.push_back(p);
    }
    for (const void* p : doomed) ForgetObject(p);
  } else {
    for (uintptr_t a = start; a < start + size; a += 4) ForgetObject(reinterpret_cast<void*>(a));
  }
}

}  // namespace emu

using emu::K;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  emu::KernelCall();
  auto& k = K();
  KIRQL irql = k.Irql();
  if (emu::IsPaged(PoolType) && irql > APC_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x01, irql, PoolType,
                     NumberOfBytes);
  }
  if (!emu::IsPaged(PoolType) && irql > DISPATCH_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x02, irql, PoolType,
                     NumberOfBytes);
  }
  if (NumberOfBytes == 0) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x00, irql, PoolType, 0);
  }
  if (PoolType == NonPagedPoolMustSucceed || PoolType == NonPagedPoolCacheAlignedMustS) {
    k.owner.BugCheck(emu::bugcheck::kBadPoolCaller, 0x9A, PoolType, NumberOfBytes, Tag);
  }
  if (Tag == 0) {
    k.owner.BugCheck(emu::bugcheck::kBadPoolCaller, 0x9B, PoolType, NumberOfBytes, 0);
  }
  if (k.ShouldFail(k.poolFailures, "pool", __builtin_return_address(0))) {
    if (k.traceEnabled) {
      k.TraceF("pool", "allocation of %zu bytes fails: insufficient resources (simulated)",
               static_cast<size_t>(NumberOfBytes));
    }
    return nullptr;
  }
  const size_t total = emu::AllocatedBytes(NumberOfBytes);
  size_t mapped = 0;
  void* p = nullptr;
  if (emu::IsPaged(PoolType) && k.config.pagedPoolFaultsAtDispatch) {
    p = k.MapPagedBlock(total, &mapped);
    if (!p) return nullptr;
  } else if (posix_memalign(&p, emu::kPoolAlignment, total) != 0) {
    return nullptr;
  }
  std::memset(p, emu::kAllocFill, NumberOfBytes);
  std::memset(static_cast<char*>(p) + NumberOfBytes, emu::kCanaryFill, total - NumberOfBytes);
  // The rest of a paged block's pages, past its canary (which the pool checks itself), is out of
  // bounds for ASan as its redzone would be.
  if (mapped > total) ASAN_POISON_MEMORY_REGION(static_cast<char*>(p) + total, mapped - total);
  emu::PoolInfo info{NumberOfBytes, Tag, PoolType, ++k.poolSerial};
  info.mapped = mapped;
  k.livePool.emplace(reinterpret_cast<uintptr_t>(p), info);
  return p;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, emu::kUntaggedPoolTag);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  emu::KernelCall();
  auto& k = K();
  KIRQL irql = k.Irql();
  auto a = reinterpret_cast<uintptr_t>(P);
  auto live = k.livePool.find(a);
  if (live == k.livePool.end()) {
    uintptr_t start;
    if (const emu::PoolInfo* freed = k.FindFreed(P, &start); freed && start == a) {
      k.owner.BugCheck(emu::bugcheck::kBadPoolCaller, 0x07, 0, freed->tag, a);
    }
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x10, a, 0, 0);
  }
  emu::PoolInfo info = live->second;
  if (emu::IsPaged(info.type) && irql > APC_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x11, irql, info.type, a);
  }
  if (!emu::IsPaged(info.type) && irql > DISPATCH_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x12, irql, info.type, a);
  }
  if (Tag != 0 && (Tag & 0x7FFFFFFF) != (info.tag & 0x7FFFFFFF)) {
    k.owner.BugCheck(emu::bugcheck::kBadPoolCaller, 0x0A, a, info.tag, Tag);
  }
  auto timer = k.insertedTimers.lower_bound(reinterpret_cast<const KTIMER*>(a));
  if (timer != k.insertedTimers.end() &&
      reinterpret_cast<uintptr_t>(timer->first) < a + info.size) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x15,
                     reinterpret_cast<ULONG_PTR>(timer->first), info.type, a);
  }
  k.CheckNoTimerOrDpcIn(a, a + info.size);  // a queued DPC in the block
  k.CheckPoolCanary(a, info);
  k.livePool.erase(live);
  k.ForgetObjectsIn(a, info.size);
  std::memset(P, emu::kFreeFill, info.size);
  if (info.mapped != 0) {
    k.QuarantinePagedBlock(a, info.mapped);  // inaccessible: a touch faults
  } else {
    ASAN_POISON_MEMORY_REGION(P, info.size);
  }
  k.freedPool.emplace(a, info);
  ++k.freedGeneration;
  k.quarantineOrder.push_back(a);
  k.quarantineBytes += emu::Footprint(info);
  while ((k.quarantineBytes > emu::kQuarantineBytes ||
          k.quarantineOrder.size() > emu::kQuarantineBlocks) &&
         !k.quarantineOrder.empty()) {
    uintptr_t oldest = k.quarantineOrder.front();
    k.quarantineOrder.pop_front();
    auto it = k.freedPool.find(oldest);
    k.quarantineBytes -= emu::Footprint(it->second);
    emu::PoolInfo evicted = it->second;
    k.freedPool.erase(it);
    k.ReleasePoolBlock(oldest, evicted);
  }
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }
