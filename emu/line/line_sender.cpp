#include "line/line_sender.h"

namespace emu::line {

LineSender::LineSender(Clock& clock, std::function<void(const LineCharacter&)> deliver,
                       std::function<void(bool)> breakChanged)
    : deliver_(std::move(deliver)),
      breakChanged_(std::move(breakChanged)),
      transmitter_(
          clock, [this] { return Next(); }, [this](const LineCharacter& c) { Ended(c); }) {}

std::optional<LineCharacter> LineSender::Next() {
  if (breakWanted_ || breakOnWire_ || queue_.empty()) return std::nullopt;
  LineCharacter c = queue_.front();
  queue_.pop_front();
  return c;
}

void LineSender::Ended(const LineCharacter& c) {
  deliver_(c);
  if (breakWanted_ && !breakOnWire_) Break(true);
}

void LineSender::Queue(const LineCharacter& c) {
  queue_.push_back(c);
  transmitter_.Kick();
}

void LineSender::Break(bool on) {
  breakWanted_ = on;
  if (on) {
    if (breakOnWire_ || transmitter_.Busy()) return;  // begins when the character ends
    breakOnWire_ = true;
    breakChanged_(true);
    return;
  }
  if (breakOnWire_) {
    breakOnWire_ = false;
    breakChanged_(false);
  }
  transmitter_.Kick();
}

}  // namespace emu::line
