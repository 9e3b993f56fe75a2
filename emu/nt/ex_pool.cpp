// Pool: ExAllocatePool*/ExFreePool* with tags, the verifier's pool rules, poisoning and the
// quarantine of freed blocks, and the low-resources simulation.
//
// A new block is filled with a pattern (pool contents are undefined, never zero); a freed block
// is filled with another and kept mapped in a quarantine so that later use of it is caught.
#include "nt/scheduler.h"

#include <cstdlib>
#include <cstring>

namespace emu {

namespace {
constexpr size_t kPoolAlignment = 16;
constexpr ULONG kUntaggedPoolTag = 0x656E6F4E;  // 'None', what ExAllocatePool uses

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

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

void Kernel::Impl::CheckObjectMemory(const void* p, size_t size, bool write) {
  if (freedPool.empty() && releasedMemory.empty()) return;
  if (InFreedMemory(p, size)) {
    owner.BugCheck(bugcheck::kPageFaultInFreedSpecialPool, reinterpret_cast<ULONG_PTR>(p),
                   write ? 1 : 0, 0, 0);
  }
}

void Kernel::Impl::ForgetObjectsIn(uintptr_t start, size_t size) {
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
  if (k.poolFailures.Next()) {
    if (k.traceEnabled) {
      k.TraceF("pool", "allocation of %zu bytes fails: insufficient resources (simulated)",
               static_cast<size_t>(NumberOfBytes));
    }
    return nullptr;
  }
  size_t rounded = (NumberOfBytes + emu::kPoolAlignment - 1) & ~(emu::kPoolAlignment - 1);
  void* p = std::aligned_alloc(emu::kPoolAlignment, rounded);
  if (!p) return nullptr;
  std::memset(p, emu::kAllocFill, NumberOfBytes);
  k.livePool.emplace(reinterpret_cast<uintptr_t>(p),
                     emu::PoolInfo{NumberOfBytes, Tag, PoolType, ++k.poolSerial});
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
  k.livePool.erase(live);
  k.ForgetObjectsIn(a, info.size);
  std::memset(P, emu::kFreeFill, info.size);
  k.freedPool.emplace(a, info);
  k.quarantineOrder.push_back(a);
  k.quarantineBytes += info.size;
  while ((k.quarantineBytes > emu::kQuarantineBytes ||
          k.quarantineOrder.size() > emu::kQuarantineBlocks) &&
         !k.quarantineOrder.empty()) {
    uintptr_t oldest = k.quarantineOrder.front();
    k.quarantineOrder.pop_front();
    auto it = k.freedPool.find(oldest);
    k.quarantineBytes -= it->second.size;
    k.freedPool.erase(it);
    std::free(reinterpret_cast<void*>(oldest));
  }
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }
