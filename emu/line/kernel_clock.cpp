// The emulated kernel as a clock for device models.
#include "line/clock.h"

namespace emu::line {

namespace {

// Forwards to whichever kernel is current at the time of each call, so one instance serves
// every machine a process builds in turn.
class KernelClock final : public Clock {
 public:
  VirtualTime Now() const override { return emu::Kernel::Current().Now(); }
  EventId Schedule(VirtualTime due, std::function<void()> fn) override {
    return emu::Kernel::Current().ScheduleDeviceEvent(due, std::move(fn));
  }
  bool Cancel(EventId id) override { return emu::Kernel::Current().CancelDeviceEvent(id); }
};

}  // namespace

Clock& Clock::Kernel() {
  static KernelClock clock;
  return clock;
}

}  // namespace emu::line
