#include "line/clock.h"

#include <array>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace emu::line {

namespace {

// The generations of the lifetime guards' slots. Slots live in chunks that never move, so a
// ticket is checked without a lock; taking and giving back a slot is locked (models may be built
// on several threads at once, each machine on its own).
class GuardSlots {
 public:
  static GuardSlots& Instance() {
    static GuardSlots* slots = new GuardSlots;  // never destroyed: callbacks may run at exit
    return *slots;
  }

  uint64_t Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t slot;
    if (!free_.empty()) {
      slot = free_.back();
      free_.pop_back();
    } else {
      slot = used_++;
      const uint32_t chunk = slot / kChunkSlots;
      if (chunk >= kChunks) throw std::length_error("too many live device models");
      if (chunks_[chunk].load(std::memory_order_relaxed) == nullptr)
        chunks_[chunk].store(new std::atomic<uint32_t>[kChunkSlots](), std::memory_order_release);
    }
    return uint64_t{slot} << 32 | Generation(slot).load(std::memory_order_relaxed);
  }

  void Give(uint64_t ticket) {
    const auto slot = static_cast<uint32_t>(ticket >> 32);
    Generation(slot).fetch_add(1, std::memory_order_release);
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(slot);
  }

  bool Matches(uint64_t ticket) {
    const auto slot = static_cast<uint32_t>(ticket >> 32);
    return Generation(slot).load(std::memory_order_acquire) == static_cast<uint32_t>(ticket);
  }

 private:
  static constexpr uint32_t kChunkSlots = 4096;
  static constexpr uint32_t kChunks = 4096;

  std::atomic<uint32_t>& Generation(uint32_t slot) {
    return chunks_[slot / kChunkSlots].load(std::memory_order_acquire)[slot % kChunkSlots];
  }

  std::mutex mutex_;
  std::vector<uint32_t> free_;
  uint32_t used_ = 0;
  std::array<std::atomic<std::atomic<uint32_t>*>, kChunks> chunks_{};
};

}  // namespace

LifetimeGuard::LifetimeGuard() : ticket_(GuardSlots::Instance().Take()) {}
LifetimeGuard::~LifetimeGuard() { GuardSlots::Instance().Give(ticket_); }
bool LifetimeGuard::Alive(uint64_t ticket) { return GuardSlots::Instance().Matches(ticket); }

Clock::EventId ManualClock::Schedule(VirtualTime due, std::function<void()> fn) {
  if (due < now_) due = now_;
  EventId id = next_++;
  queue_.emplace(std::make_pair(due, id), std::move(fn));
  return id;
}

bool ManualClock::Cancel(EventId id) {
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if (it->first.second == id) {
      queue_.erase(it);
      return true;
    }
  }
  return false;
}

bool ManualClock::RunNext() {
  if (queue_.empty()) return false;
  auto it = queue_.begin();
  now_ = it->first.first;
  auto fn = std::move(it->second);
  queue_.erase(it);
  fn();
  return true;
}

void ManualClock::AdvanceTo(VirtualTime t) {
  while (!queue_.empty() && queue_.begin()->first.first <= t) RunNext();
  if (t > now_) now_ = t;
}

size_t ManualClock::RunUntilIdle(VirtualTime limit) {
  size_t n = 0;
  while (!queue_.empty() && queue_.begin()->first.first <= limit) {
    RunNext();
    ++n;
  }
  return n;
}

bool ManualClock::RunUntil(const std::function<bool()>& done, VirtualTime limit) {
  while (!done()) {
    if (queue_.empty() || queue_.begin()->first.first > limit) return done();
    RunNext();
  }
  return true;
}

}  // namespace emu::line
