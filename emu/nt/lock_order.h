// Deadlock detection: the order in which contexts take locks (spin locks, the cancel spin lock,
// fast mutexes and kernel mutexes). Taking B while holding A puts A before B. Taking a lock while
// holding one that must come after it (directly or through other locks) is a lock hierarchy
// violation even when no deadlock happened in this run: two contexts taking the locks in the two
// orders at once would deadlock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace emu {

class LockOrder {
 public:
  // `lock` is being taken while `held` are held. Returns a held lock that was earlier ordered
  // after `lock` (the violation), or nullptr after recording the new orders.
  const void* Acquire(const void* lock, const std::vector<const void*>& held);
  // The locks in [start, start + size) are gone (freed memory, initialised again): their
  // orders no longer hold.
  void Forget(uintptr_t start, size_t size);
  // Locks taken while `lock` was held.
  std::vector<const void*> After(const void* lock) const;

 private:
  bool Reaches(uintptr_t from, uintptr_t to) const;

  std::map<uintptr_t, std::set<uintptr_t>> after_;   // lock -> locks taken while it was held
  std::map<uintptr_t, std::set<uintptr_t>> before_;  // lock -> locks held when it was taken
};

}  // namespace emu
