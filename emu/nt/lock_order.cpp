// The lock hierarchy of deadlock detection (lock_order.h) and the kernel's check on every
// blocking acquisition: DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4) 0x1001, the lock being taken.
#include "nt/lock_order.h"

#include "nt/scheduler.h"

namespace emu {

const void* LockOrder::Acquire(const void* lock, const std::vector<const void*>& held) {
  const auto l = reinterpret_cast<uintptr_t>(lock);
  for (const void* h : held) {
    const auto a = reinterpret_cast<uintptr_t>(h);
    if (a == l) continue;
    auto known = after_.find(a);
    if (known != after_.end() && known->second.count(l) != 0) continue;
    // A new order a -> l closes a cycle when l already comes before a.
    if (Reaches(l, a)) return h;
  }
  for (const void* h : held) {
    const auto a = reinterpret_cast<uintptr_t>(h);
    if (a == l) continue;
    after_[a].insert(l);
    before_[l].insert(a);
  }
  return nullptr;
}

bool LockOrder::Reaches(uintptr_t from, uintptr_t to) const {
  std::vector<uintptr_t> stack{from};
  std::set<uintptr_t> seen{from};
  while (!stack.empty()) {
    const uintptr_t at = stack.back();
    stack.pop_back();
    auto next = after_.find(at);
    if (next == after_.end()) continue;
    for (uintptr_t n : next->second) {
      if (n == to) return true;
      if (seen.insert(n).second) stack.push_back(n);
    }
  }
  return false;
}

void LockOrder::Forget(uintptr_t start, size_t size) {
  const uintptr_t end = start + size;
  auto drop = [start, end](std::map<uintptr_t, std::set<uintptr_t>>& from,
                           std::map<uintptr_t, std::set<uintptr_t>>& to) {
    for (auto it = from.lower_bound(start); it != from.end() && it->first < end;) {
      for (uintptr_t other : it->second) {
        auto back = to.find(other);
        if (back == to.end()) continue;
        back->second.erase(it->first);
        if (back->second.empty()) to.erase(back);
      }
      it = from.erase(it);
    }
  };
  drop(after_, before_);
  drop(before_, after_);
}

std::vector<const void*> LockOrder::After(const void* lock) const {
  std::vector<const void*> out;
  auto it = after_.find(reinterpret_cast<uintptr_t>(lock));
  if (it != after_.end())
    for (uintptr_t a : it->second) out.push_back(reinterpret_cast<const void*>(a));
  return out;
}

void Kernel::Impl::CheckLockOrder(const void* lock) {
  Context* c = current;
  if (c == nullptr || (c->spinLocks.empty() && c->mutexes.empty())) return;
  locksHeld.assign(c->spinLocks.begin(), c->spinLocks.end());
  locksHeld.insert(locksHeld.end(), c->mutexes.begin(), c->mutexes.end());
  const void* inverted = lockOrder.Acquire(lock, locksHeld);
  if (inverted == nullptr) return;
  TraceF("deadlock", "%s takes %p while holding %p, which was taken after it before",
         c->name.c_str(), lock, inverted);
  owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x1001,
                 reinterpret_cast<ULONG_PTR>(lock), 0, 0);
}

}  // namespace emu
