// The serial line between a UART and whatever sits at the far end.
//
// An end (the chip's UART, a test's peer) transmits characters, a break and its modem outputs into
// a SerialLine, and receives characters, breaks and modem inputs through its SerialEnd interface.
// The far-end types (loopback plug, null-modem cable, scripted peer, pty bridge) are SerialLine
// implementations that decide how one end's signals reach the other.
//
// Characters carry the transmitter's rate and format. The receiver samples them against its own
// settings (Sample), so a mismatch in rate or format arrives as garbled data, a framing error or
// a parity error, as on a real line. Timing is the transmitter's: a character occupies the wire
// for its start, data, parity and stop bits at its rate, and reaches the other end when its stop
// bits have ended.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "line/clock.h"

namespace emu::line {

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };
enum class StopBits : uint8_t { One, OnePointFive, Two };

// A UART's rate and character format.
struct Frame {
  double baud = 9600.0;
  uint8_t dataBits = 8;  // 5 to 8
  Parity parity = Parity::None;
  StopBits stopBits = StopBits::One;

  // Length of one character after the start edge (start, data, parity and stop bits) in half bits.
  uint32_t HalfBits() const;
  // Time one character occupies the wire, in 100-ns units (rounded to the nearest unit).
  VirtualTime CharacterTime() const;
  std::string ToString() const;  // e.g. "9600 8N1"
  bool operator==(const Frame&) const = default;
};

// Time of `halfBits` half bits at `baud`, in 100-ns units, rounded to the nearest unit.
VirtualTime HalfBitsToTime(uint64_t halfBits, double baud);

// The parity bit that `parity` appends to the low `dataBits` bits of `data` (false for None).
bool ParityBit(uint8_t data, uint8_t dataBits, Parity parity);

// One character as its transmitter put it on the wire.
struct LineCharacter {
  Frame frame;             // the transmitter's rate and format
  uint8_t data = 0;        // the data bits (the low frame.dataBits bits count)
  bool badParity = false;  // fault injection: the parity bit is sent inverted
  bool badStop = false;    // fault injection: the first stop bit is sent as a space
  VirtualTime start = 0;   // the start bit's leading edge
  VirtualTime end = 0;     // the end of the stop bits (set by the transmitter)

  // Wire level (true = mark) of bit cell `index`: 0 is the start bit, then the data bits LSB
  // first, the parity bit if any, the stop bits; the idle line (mark) after them.
  bool Level(uint32_t index) const;
  // A character in `frame`, not yet timed.
  static LineCharacter Of(uint8_t data, const Frame& frame);
};

// What a receiver made of one character.
struct ReceivedCharacter {
  uint8_t data = 0;           // the data bits as sampled in the receiver's format
  bool framingError = false;  // the first stop bit was sampled as a space
  bool parityError = false;   // the parity bit did not match the receiver's parity setting
  bool operator==(const ReceivedCharacter&) const = default;
};

// A receiver set to `rx` samples `c`: it takes the start edge as time zero and samples the centre
// of each of its own bit cells against the transmitter's waveform. Returns nullopt when the
// sampled start bit is a mark (the edge was noise and no character is received). A rate error
// that moves the stop-bit sample out of its cell (more than half a bit accumulated: 5.26% for
// 8N1) is a framing error. The character is sampled on its own: the wire after it reads as idle.
std::optional<ReceivedCharacter> Sample(const LineCharacter& c, const Frame& rx);

// Modem-control outputs of a DTE-style end; true means asserted.
struct ModemOutputs {
  bool dtr = false;
  bool rts = false;
  bool out1 = false;
  bool operator==(const ModemOutputs&) const = default;
};

// Modem-status inputs of a DTE-style end; true means asserted.
struct ModemInputs {
  bool cts = false;
  bool dsr = false;
  bool ri = false;
  bool dcd = false;
  bool operator==(const ModemInputs&) const = default;
};

// The receiving side of whatever is plugged into a line.
class SerialEnd {
 public:
  virtual ~SerialEnd() = default;
  // A character arrives; called when its stop bits have ended (Now() == c.end).
  virtual void OnReceive(const LineCharacter& c) = 0;
  // The receive wire goes into (on) or out of (off) a sustained space: a break.
  virtual void OnBreak(bool on) = 0;
  // The modem inputs as wired to this end changed.
  virtual void OnModemInputs(const ModemInputs& inputs) = 0;
  // The line this end is attached to is going away (unplugged): forget it.
  virtual void OnUnplugged() = 0;
};

// One connection point of a line: the end attached here transmits into it.
class SerialLine {
 public:
  virtual ~SerialLine() = default;
  // Connects `end` as the receiver at this point (nullptr disconnects). A line that goes away
  // first calls the attached end's OnUnplugged. The end learns the
  // current inputs from CurrentInputs(); OnModemInputs reports later changes.
  virtual void Attach(SerialEnd* end) = 0;
  // The attached end has finished sending c (called at c.end).
  virtual void Transmit(const LineCharacter& c) = 0;
  // The attached end starts or ends a break on its transmit wire.
  virtual void SetBreak(bool on) = 0;
  // The attached end's modem outputs changed.
  virtual void SetModemOutputs(const ModemOutputs& outputs) = 0;
  // The modem inputs the attached end sees now.
  virtual ModemInputs CurrentInputs() const = 0;
};

// Everything that crossed a line, for tests and traces. `side` is the connection point the event
// came from (0 for a single-ended line or the A side of a cable, 1 for the B side or the far end).
struct LineEvent {
  enum class Kind { Character, Break, Outputs, Inputs };
  VirtualTime time = 0;
  int side = 0;
  Kind kind = Kind::Character;
  LineCharacter character;  // Character
  bool on = false;          // Break
  ModemOutputs outputs;     // Outputs
  ModemInputs inputs;       // Inputs (driven by a peer)
};

// Sends characters back to back at their own rate, pulling each one from `source` when the wire
// becomes free and handing it to `sink` when its stop bits end. The transmitter of the chip's UART
// and of a scripted peer. Consecutive characters at one rate are timed from the start of the
// burst, so rounding to 100-ns units does not accumulate.
class LineTransmitter {
 public:
  // Returns the next character to start now, or nothing (empty or held).
  using Source = std::function<std::optional<LineCharacter>()>;
  using Sink = std::function<void(const LineCharacter&)>;

  LineTransmitter(Clock& clock, Source source, Sink sink);

  // Starts the next character if the wire is free. Call whenever the source may have one.
  void Kick();
  bool Busy() const { return busy_; }

 private:
  void Finish();

  Clock& clock_;
  Source source_;
  Sink sink_;
  LifetimeGuard guard_;
  bool busy_ = false;
  LineCharacter current_;
  VirtualTime burstOrigin_ = 0;
  uint64_t burstHalfBits_ = 0;
  double burstBaud_ = 0;
  VirtualTime lastEnd_ = -1;
};

}  // namespace emu::line
