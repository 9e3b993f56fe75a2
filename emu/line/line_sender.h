// The sending side of a far end (a scripted peer, the pty bridge): characters queued in their own
// frames go out back to back towards the attached end, and a break holds the wire.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>

#include "line/serial_line.h"

namespace emu::line {

class LineSender {
 public:
  // `deliver` receives each character when its stop bits end; `breakChanged` each start and end
  // of a break on the wire.
  LineSender(Clock& clock, std::function<void(const LineCharacter&)> deliver,
             std::function<void(bool)> breakChanged);

  // Queues one character; it starts now if the wire is free.
  void Queue(const LineCharacter& c);
  // A break starts once the character in flight has ended and holds the queue until released.
  void Break(bool on);
  bool BreakOnWire() const { return breakOnWire_; }
  bool Idle() const { return queue_.empty() && !transmitter_.Busy(); }
  size_t Queued() const { return queue_.size(); }

 private:
  std::optional<LineCharacter> Next();
  void Ended(const LineCharacter& c);

  std::function<void(const LineCharacter&)> deliver_;
  std::function<void(bool)> breakChanged_;
  std::deque<LineCharacter> queue_;
  bool breakWanted_ = false;
  bool breakOnWire_ = false;
  LineTransmitter transmitter_;  // last: its callbacks use the members above
};

}  // namespace emu::line
