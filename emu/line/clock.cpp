#include "line/clock.h"

namespace emu::line {

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
