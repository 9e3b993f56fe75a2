// End to end on the line: the rate and character format the driver programs and the bytes it
// sends with TransmitImmediate, as a far end plugged into the bridge receives them; and DTR, RTS
// and break as that far end sees them. Every revision class: below 0x20, 0x20 to 0x2F (0x20 and
// 0x25), 0x30 and up.
#include <bit>
#include <cmath>
#include <sstream>

#include "line/far_ends.h"
#include "usb/line_format.h"
#include "usb/modem_lines.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

using emu::VirtualTime;
using emu::line::Frame;
using emu::line::LineCharacter;
using emu::line::LineEvent;
using emu::line::ModemOutputs;
using emu::line::Parity;
using emu::line::ScriptedPeer;
using emu::line::StopBits;

constexpr uint8_t kRevisions[] = {0x10, 0x20, 0x25, 0x30};

// The common rates, each with the clock and division factor the chip runs it at: the line rate
// is clock / factor, the factor being the one nearest the asked rate. 307200 and 921600 come from
// the undivided 11.9808 MHz clock.
struct Rate {
  ULONG nominal;
  double clock;
  int factor;
};
constexpr Rate kRates[] = {
    {300, 11719, 39},  {1200, 93750, 78}, {9600, 750000, 78},     {19200, 750000, 39},    {57600, 6e6, 104},
    {115200, 6e6, 52}, {230400, 6e6, 26}, {307200, 11980800, 39}, {921600, 11980800, 13}, {3000000, 6e6, 2}};

// A character format in the port's settings (SERIAL_LINE_CONTROL codes).
struct Format {
  int dataBits;  // 5 to 8
  UCHAR parity;
  UCHAR stopBits;
  UCHAR DataMask() const { return static_cast<UCHAR>((1u << dataBits) - 1); }
  std::string ToString() const {
    static const char* const kStop[] = {"1", "1.5", "2"};
    return std::to_string(dataBits) + "NOEMS"[parity] + kStop[stopBits];
  }
};

// The character a chip puts on the wire: data bits, parity, and stop bits in half bits (3 is 1.5).
struct WireFrame {
  int dataBits;
  Parity parity;
  int stopHalfBits;
  int ParityBits() const { return parity == Parity::None ? 0 : 1; }
  int HalfBits() const { return 2 * (1 + dataBits + ParityBits()) + stopHalfBits; }
  // A receiver set to this frame at `baud` (it checks the first stop bit only).
  Frame Receiver(double baud) const {
    const StopBits stop = stopHalfBits == 2   ? StopBits::One
                          : stopHalfBits == 3 ? StopBits::OnePointFive
                                              : StopBits::Two;
    return Frame{baud, static_cast<uint8_t>(dataBits), parity, stop};
  }
};

// The frame a chip of `revision` sends for format f.
//  - From 0x30 the format itself, except that 1.5 and 2 stop bits share one register bit: 1.5 with
//    5 data bits, 2 with more.
//  - Below 0x30 the UART sends 8 bits after the start bit, or 9 with the ninth bit, and one stop
//    bit. The asked data bits and parity come first (the driver puts the parity of fewer than 8
//    data bits into the byte; the ninth bit carries the parity of 8); every bit after them is a
//    mark and works as a stop bit. The ninth bit is used when the asked character (data bits,
//    parity and one stop bit, or two for 1.5 and 2) does not fit into 9 bits; 8 data bits with
//    parity then still send one stop bit.
WireFrame ExpectedWire(uint8_t revision, const Format& f) {
  const auto parity = static_cast<Parity>(f.parity);  // SERIAL_LINE_CONTROL order
  const int parityBits = f.parity == NO_PARITY ? 0 : 1;
  if (revision >= 0x30) {
    return {f.dataBits, parity, f.stopBits == STOP_BIT_1 ? 2 : f.dataBits == 5 ? 3 : 4};
  }
  const int asked = f.dataBits + parityBits + (f.stopBits == STOP_BIT_1 ? 1 : 2);
  const int bits = asked > 9 ? 10 : 9;
  return {f.dataBits, parity, 2 * (bits - f.dataBits - parityBits)};
}

// Wire level (1 = mark) of bit cell `index` of `data` in frame w: the start bit, the data bits
// LSB first, the parity bit, then marks.
int ExpectedLevel(const WireFrame& w, uint8_t data, int index) {
  if (index == 0) return 0;
  if (index <= w.dataBits) return (data >> (index - 1)) & 1;
  if (index == w.dataBits + 1 && w.parity != Parity::None) {
    const int ones = std::popcount(static_cast<unsigned>(data & ((1u << w.dataBits) - 1)));
    switch (w.parity) {
      case Parity::Odd:
        return ones % 2 == 0;
      case Parity::Even:
        return ones % 2;
      case Parity::Mark:
        return 1;
      default:
        return 0;
    }
  }
  return 1;
}

// The parity a receiver set wrongly uses: the opposite one, or space where there is none (it then
// reads the first stop bit as the parity bit).
Parity OtherParity(Parity p) {
  switch (p) {
    case Parity::Odd:
      return Parity::Even;
    case Parity::Even:
      return Parity::Odd;
    case Parity::Space:
      return Parity::Mark;
    default:
      return Parity::Space;
  }
}

std::string RevisionText(uint8_t revision) { return "revision " + Hex(revision); }

NTSTATUS Immediate(UsbPortMachine& m, std::initializer_list<uint8_t> bytes) {
  return m.Call([&] {
    for (uint8_t b : bytes) {
      NTSTATUS status = TransmitImmediate(m.device, b);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  });
}

// Runs the machine until the peer has received n characters (or a second of virtual time passed).
bool RunUntilReceived(UsbPortMachine& m, const ScriptedPeer& peer, size_t n) {
  return m.kernel().RunUntil([&] { return peer.ReceivedCharacters().size() >= n; },
                             m.kernel().Now() + emu::kSecond);
}

// A bridge with a scripted peer on its line.
struct LinePort : ConfiguredPort {
  explicit LinePort(uint8_t revision)
      : ConfiguredPort(ChipRevision(revision)), peer(PlugFarEnd<ScriptedPeer>(emu::line::Clock::Kernel())) {}
  ScriptedPeer& peer;
};

// Sends `bytes` with the port at `rate` and `format` and checks every character on the line.
::testing::AssertionResult SendsTheExpectedFrame(LinePort& m, const Rate& rate, const Format& format,
                                                 std::initializer_list<uint8_t> bytes) {
  std::ostringstream what;
  const uint8_t revision = m.chip->GetConfig().revision;
  what << RevisionText(revision) << ", " << rate.nominal << " baud " << format.ToString() << ": ";
  const WireFrame wire = ExpectedWire(revision, format);
  m.peer.SetFrame(wire.Receiver(rate.nominal));
  m.peer.ClearReceived();

  NTSTATUS status = m.ProgramLine(rate.nominal, format.DataMask(), format.parity, format.stopBits);
  if (status != STATUS_SUCCESS)
    return ::testing::AssertionFailure()
           << what.str() << "programming failed with " << Hex(static_cast<ULONG>(status));
  status = Immediate(m, bytes);
  if (status != STATUS_SUCCESS)
    return ::testing::AssertionFailure()
           << what.str() << "TransmitImmediate failed with " << Hex(static_cast<ULONG>(status));
  RunUntilReceived(m, m.peer, bytes.size());
  const auto& got = m.peer.ReceivedCharacters();
  if (got.size() != bytes.size())
    return ::testing::AssertionFailure()
           << what.str() << "the peer received " << got.size() << " of " << bytes.size() << " characters";

  // The chip's rate and byte time: the frame's bits at clock / factor.
  const double chipRate = rate.clock / rate.factor;
  const double expectedTime = wire.HalfBits() * 5e6 / chipRate;
  // Receivers set otherwise sample the same characters as the peer does (line::Sample). One off in
  // rate loses every character once it is more than half a bit off at its first stop bit: 6% is
  // that when 8 data and parity bits or more come first (5.3% allowed), 10% for every shorter
  // character (5N1 allows 7.7% slow and 8.3% fast).
  const double off = 1 + wire.dataBits + wire.ParityBits() >= 9 ? 0.06 : 0.10;
  const Frame slow = wire.Receiver(chipRate * (1 - off)), fast = wire.Receiver(chipRate * (1 + off));
  Frame otherParity = wire.Receiver(rate.nominal);
  otherParity.parity = OtherParity(wire.parity);

  const uint8_t* sent = bytes.begin();
  for (size_t i = 0; i < got.size(); ++i) {
    const uint8_t data = static_cast<uint8_t>(sent[i] & format.DataMask());
    const LineCharacter& raw = got[i].raw;
    const auto fail = [&] {
      return ::testing::AssertionFailure() << what.str() << "byte " << Hex(sent[i]) << ": ";
    };
    for (int cell = 0; cell * 2 < wire.HalfBits(); ++cell) {
      if (raw.Level(static_cast<uint32_t>(cell)) != (ExpectedLevel(wire, data, cell) == 1)) {
        return fail() << "bit cell " << cell << " on the wire is wrong (the chip sent "
                      << raw.frame.ToString() << ", data " << Hex(raw.data) << ")";
      }
    }
    if (got[i].character.data != data || got[i].character.framingError || got[i].character.parityError) {
      return fail() << "the peer in the expected frame received " << Hex(got[i].character.data)
                    << (got[i].character.framingError ? " with a framing error" : "")
                    << (got[i].character.parityError ? " with a parity error" : "");
    }
    // Characters back to back are timed from the start of their burst: one may be a unit longer.
    const double time = static_cast<double>(raw.end - raw.start);
    if (std::abs(time - expectedTime) > 1) {
      return fail() << "the character took " << time << " x 100 ns on the wire, not " << expectedTime;
    }
    for (const Frame& off : {slow, fast}) {
      const auto r = emu::line::Sample(raw, off);
      if (r && !r->framingError)
        return fail() << "a receiver at " << off.baud << " baud read it without a framing error";
    }
    const auto r = emu::line::Sample(raw, otherParity);
    if (r && !r->parityError)
      return fail() << "a receiver with another parity read it without a parity error";
  }
  return ::testing::AssertionSuccess();
}

std::vector<Format> AllFormats() {
  std::vector<Format> formats;
  for (int dataBits = 5; dataBits <= 8; ++dataBits) {
    for (UCHAR parity = NO_PARITY; parity <= SPACE_PARITY; ++parity) {
      for (UCHAR stop = STOP_BIT_1; stop <= STOP_BITS_2; ++stop) formats.push_back({dataBits, parity, stop});
    }
  }
  return formats;
}

// The whole product of revisions, rates and formats: 2400 cases, cheap enough in virtual time with
// three bytes each, whose parities differ by data size and whose bits above every size are partly
// set.
TEST(LineEndToEnd, EveryRateAndFormatGivesTheFrameOfItsRegistersOnEveryRevision) {
  const std::vector<Format> formats = AllFormats();
  for (uint8_t revision : kRevisions) {
    LinePort m(revision);
    for (const Rate& rate : kRates) {
      for (const Format& format : formats) {
        ASSERT_TRUE(SendsTheExpectedFrame(m, rate, format, {0x13, 0x0C, 0xE6}));
      }
    }
  }
}

std::string OutputsText(const ModemOutputs& o) {
  return std::string("DTR ") + (o.dtr ? "on" : "off") + ", RTS " + (o.rts ? "on" : "off") + ", OUT1 " +
         (o.out1 ? "on" : "off");
}

// The line events of the bridge's side of one kind.
std::vector<LineEvent> BridgeEvents(const ScriptedPeer& peer, LineEvent::Kind kind) {
  std::vector<LineEvent> events;
  for (const LineEvent& e : peer.Events()) {
    if (e.side == 0 && e.kind == kind) events.push_back(e);
  }
  return events;
}

// DTR and RTS reach the far end as the driver sets them, one change at a time. A break starts once
// the character on the wire has ended, holds a byte sent during it (the immediate byte does not
// wait for the break, the chip does) and ends when the driver ends it.
TEST(LineEndToEnd, DtrRtsAndBreakReachTheFarEndOnEveryRevision) {
  for (uint8_t revision : kRevisions) {
    SCOPED_TRACE(RevisionText(revision));
    LinePort m(revision);
    ASSERT_EQ(m.ProgramLine(300, 0xFF, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
    m.peer.SetFrame(Frame{300, 8});
    EXPECT_EQ(OutputsText(m.peer.EndOutputs()), OutputsText({})) << "the outputs start deasserted";

    const struct {
      const char* what;
      std::function<NTSTATUS()> call;
      ModemOutputs seen;
    } steps[] = {
        {"DTR on", [&] { return SetDtr(m.device, TRUE); }, {.dtr = true}},
        {"RTS on", [&] { return SetRts(m.device, TRUE); }, {.dtr = true, .rts = true}},
        {"DTR off", [&] { return SetDtr(m.device, FALSE); }, {.rts = true}},
        {"RTS off", [&] { return SetRts(m.device, FALSE); }, {}},
    };
    for (const auto& step : steps) {
      const size_t before = BridgeEvents(m.peer, LineEvent::Kind::Outputs).size();
      ASSERT_EQ(m.Call(step.call), STATUS_SUCCESS) << step.what;
      EXPECT_EQ(OutputsText(m.peer.EndOutputs()), OutputsText(step.seen)) << step.what;
      EXPECT_EQ(BridgeEvents(m.peer, LineEvent::Kind::Outputs).size(), before + 1)
          << step.what << ": one change of the outputs on the line";
    }

    ASSERT_EQ(Immediate(m, {'A'}), STATUS_SUCCESS);
    ASSERT_EQ(m.Call([&] { return SetBreak(m.device, TRUE); }), STATUS_SUCCESS);
    const VirtualTime asked = m.kernel().Now();
    ASSERT_EQ(Immediate(m, {'B'}), STATUS_SUCCESS);
    m.kernel().RunFor(100 * emu::kMillisecond);
    EXPECT_TRUE(m.peer.EndBreak()) << "the far end sees no break";
    EXPECT_EQ(m.peer.ReceivedBytes(), std::vector<uint8_t>{'A'}) << "B must wait for the end of the break";
    ASSERT_EQ(m.Call([&] { return SetBreak(m.device, FALSE); }), STATUS_SUCCESS);
    const VirtualTime ended = m.kernel().Now();
    RunUntilReceived(m, m.peer, 2);
    EXPECT_FALSE(m.peer.EndBreak()) << "the break did not end on the line";
    ASSERT_EQ(m.peer.ReceivedBytes(), (std::vector<uint8_t>{'A', 'B'}));

    const auto breaks = BridgeEvents(m.peer, LineEvent::Kind::Break);
    ASSERT_EQ(breaks.size(), 2u) << "one break on the line";
    const auto& chars = m.peer.ReceivedCharacters();
    EXPECT_LT(asked, chars[0].raw.end) << "the break was asked for after A had left the wire";
    EXPECT_EQ(breaks[0].time, chars[0].raw.end) << "the break starts as A ends";
    EXPECT_TRUE(breaks[0].on && !breaks[1].on);
    EXPECT_GT(breaks[1].time, asked + 100 * emu::kMillisecond) << "the break ended early";
    EXPECT_LE(breaks[1].time, ended) << "the break ended only after the driver ended it";
    EXPECT_GE(chars[1].raw.start, breaks[1].time) << "B left during the break";
  }
}

}  // namespace
}  // namespace drvusb_test
