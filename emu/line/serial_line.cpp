#include "line/serial_line.h"

#include <cmath>
#include <stdexcept>

namespace emu::line {

namespace {

uint32_t StopHalfBits(StopBits s) {
  switch (s) {
    case StopBits::One:
      return 2;
    case StopBits::OnePointFive:
      return 3;
    case StopBits::Two:
      return 4;
  }
  return 2;
}

}  // namespace

uint32_t Frame::HalfBits() const {
  uint32_t bits = 1 + dataBits + (parity == Parity::None ? 0 : 1);
  return bits * 2 + StopHalfBits(stopBits);
}

VirtualTime HalfBitsToTime(uint64_t halfBits, double baud) {
  if (!(baud > 0)) throw std::invalid_argument("line rate must be positive");
  return static_cast<VirtualTime>(std::llround(static_cast<double>(halfBits) * 5e6 / baud));
}

VirtualTime Frame::CharacterTime() const { return HalfBitsToTime(HalfBits(), baud); }

std::string Frame::ToString() const {
  static const char kParity[] = {'N', 'O', 'E', 'M', 'S'};
  static const char* const kStop[] = {"1", "1.5", "2"};
  char buf[64];
  snprintf(buf, sizeof buf, "%.0f %u%c%s", baud, dataBits, kParity[static_cast<int>(parity)],
           kStop[static_cast<int>(stopBits)]);
  return buf;
}

bool ParityBit(uint8_t data, uint8_t dataBits, Parity parity) {
  uint8_t masked = dataBits >= 8 ? data : static_cast<uint8_t>(data & ((1u << dataBits) - 1));
  bool odd = __builtin_parity(masked) != 0;  // an odd number of ones in the data
  switch (parity) {
    case Parity::None:
      return false;
    case Parity::Odd:
      return !odd;  // makes the total number of ones odd
    case Parity::Even:
      return odd;  // makes it even
    case Parity::Mark:
      return true;
    case Parity::Space:
      return false;
  }
  return false;
}

LineCharacter LineCharacter::Of(uint8_t data, const Frame& frame) {
  LineCharacter c;
  c.frame = frame;
  c.data = data;
  return c;
}

bool LineCharacter::Level(uint32_t index) const {
  if (index == 0) return false;  // start bit
  uint32_t i = index - 1;
  if (i < frame.dataBits) return (data >> i) & 1;
  i -= frame.dataBits;
  if (frame.parity != Parity::None) {
    if (i == 0) return ParityBit(data, frame.dataBits, frame.parity) != badParity;
    --i;
  }
  if (i == 0) return !badStop;  // first stop bit
  return true;                  // further stop bits and the idle line
}

std::optional<ReceivedCharacter> Sample(const LineCharacter& c, const Frame& rx) {
  if (c.frame == rx) {
    // Matching rate and format: every sample falls in the centre of the cell it was sent in, so
    // the receiver reads the data as sent and only injected faults are errors.
    const auto mask = static_cast<uint8_t>(rx.dataBits >= 8 ? 0xFF : (1u << rx.dataBits) - 1);
    return ReceivedCharacter{static_cast<uint8_t>(c.data & mask), c.badStop,
                             rx.parity != Parity::None && c.badParity};
  }
  // The receiver's k-th cell centre lies (k + 0.5) of its bit times after the start edge, that
  // is in the transmitter's bit cell floor((k + 0.5) * txRate / rxRate).
  const double ratio = c.frame.baud / rx.baud;
  auto level = [&](uint32_t k) {
    double pos = (k + 0.5) * ratio;
    return c.Level(static_cast<uint32_t>(std::floor(pos)));
  };
  if (level(0)) return std::nullopt;
  ReceivedCharacter r;
  uint32_t k = 1;
  for (uint32_t i = 0; i < rx.dataBits; ++i, ++k) {
    if (level(k)) r.data |= static_cast<uint8_t>(1u << i);
  }
  if (rx.parity != Parity::None) {
    r.parityError = level(k) != ParityBit(r.data, rx.dataBits, rx.parity);
    ++k;
  }
  // Like common UARTs, only the first stop bit is checked. The receiver's timing error grows by
  // |1 - txRate/rxRate| of a bit per bit; once it exceeds half a bit at the stop-bit sample, that
  // sample lies outside the transmitter's cell of the same index and the character is lost: in
  // a stream the sample finds the next start bit, or a data bit of its own character. It is
  // flagged as a framing error whatever level it found, so that the outcome does not depend on
  // the data. The rates may thus differ by less than 0.5 / 9.5 = 5.26% for 8N1 (stop sample 9.5
  // bits after the start edge), 4.76% for 11-bit frames and 7.7% for 5N1.
  r.framingError = !level(k) || static_cast<uint32_t>(std::floor((k + 0.5) * ratio)) != k;
  return r;
}

LineTransmitter::LineTransmitter(Clock& clock, Source source, Sink sink)
    : clock_(clock), source_(std::move(source)), sink_(std::move(sink)) {}

void LineTransmitter::Kick() {
  if (busy_) return;
  std::optional<LineCharacter> next = source_();
  if (!next) return;
  const VirtualTime now = clock_.Now();
  current_ = *next;
  const uint64_t halfBits = current_.frame.HalfBits();
  if (now == lastEnd_ && current_.frame.baud == burstBaud_) {
    // Back to back with the previous character at the same rate: continue the burst.
    current_.start = lastEnd_;
    burstHalfBits_ += halfBits;
  } else {
    burstOrigin_ = now;
    burstHalfBits_ = halfBits;
    burstBaud_ = current_.frame.baud;
    current_.start = now;
  }
  current_.end = burstOrigin_ + HalfBitsToTime(burstHalfBits_, burstBaud_);
  busy_ = true;
  clock_.Schedule(current_.end, guard_.Guard([this] { Finish(); }));
}

void LineTransmitter::Finish() {
  busy_ = false;
  lastEnd_ = current_.end;
  LineCharacter done = current_;
  sink_(done);
  Kick();
}

}  // namespace emu::line
