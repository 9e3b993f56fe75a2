// Virtual time for device models (the chip's UART, the line and its far ends). Inside a machine
// the clock is the emulated kernel's: events become kernel device events. A model can also run on
// a ManualClock of its own, a deterministic event queue that the caller advances.
#pragma once

#include <nt/kernel.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace emu::line {

using emu::VirtualTime;

class Clock {
 public:
  using EventId = uint64_t;

  virtual ~Clock() = default;
  virtual VirtualTime Now() const = 0;
  // Runs fn at virtual time `due` (at once, in order, if due has passed). fn may schedule more.
  virtual EventId Schedule(VirtualTime due, std::function<void()> fn) = 0;
  virtual bool Cancel(EventId id) = 0;

  // The clock of the emulated kernel that is current when it is used (Kernel::Current()).
  static Clock& Kernel();
};

// A deterministic event queue: events run in order of due time, ties in order of scheduling.
// Time moves only when the owner advances it.
class ManualClock final : public Clock {
 public:
  VirtualTime Now() const override { return now_; }
  EventId Schedule(VirtualTime due, std::function<void()> fn) override;
  bool Cancel(EventId id) override;

  // Runs every event due at or before t, in order, then sets the time to t.
  void AdvanceTo(VirtualTime t);
  void AdvanceBy(VirtualTime d) { AdvanceTo(now_ + d); }
  // Runs the next event, moving time to it. False when nothing is scheduled.
  bool RunNext();
  // Runs events until none is left or the next one lies beyond `limit`. Returns the number run.
  size_t RunUntilIdle(VirtualTime limit = kForever);
  // Runs events until done() holds (checked before each event) or nothing is due up to limit.
  bool RunUntil(const std::function<bool()>& done, VirtualTime limit = kForever);
  size_t Pending() const { return queue_.size(); }
  VirtualTime NextDue() const { return queue_.empty() ? kForever : queue_.begin()->first.first; }

 private:
  VirtualTime now_ = 0;
  EventId next_ = 1;
  std::map<std::pair<VirtualTime, EventId>, std::function<void()>> queue_;
};

// Scheduled callbacks outlive the objects that schedule them (a kernel keeps its event queue when
// a test destroys a chip first). A model wraps its callbacks with Guard() so that they do nothing
// once the model is gone. The wrapper holds one 8-byte ticket, so a callback that captures only
// `this` stays within std::function's own storage: scheduling it allocates nothing.
class LifetimeGuard {
 public:
  LifetimeGuard();
  ~LifetimeGuard();
  LifetimeGuard(const LifetimeGuard&) = delete;
  LifetimeGuard& operator=(const LifetimeGuard&) = delete;

  template <typename Fn>
  std::function<void()> Guard(Fn fn) const {
    return [ticket = ticket_, fn = std::move(fn)] {
      if (Alive(ticket)) fn();
    };
  }

 private:
  // A ticket is a slot of a process-wide table and the slot's generation when it was taken;
  // the destructor moves the generation on, so older tickets stop matching.
  static bool Alive(uint64_t ticket);
  uint64_t ticket_;
};

}  // namespace emu::line
