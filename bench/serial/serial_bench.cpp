// Serial throughput and latency of the driver between two emulated bridges joined by a null-modem
// cable, measured in virtual time, in the common table (bench_table.h):
//   - line utilisation at every standard rate, 8N1 and 7E1, on a chip below revision 0x30 and one
//     from 0x30, with no flow control, RTS/CTS and XON/XOFF, with an application reading in small
//     and in large requests: one way (the sender's characters on the wire, tx, and the bytes the
//     receiving application read, rx) and full duplex (the slower of the four), each sustained
//     over the stream after its first tenth, against the narrower of the line rate (the frame's
//     bits per byte) and the USB model's limits (usb_limits.h); every byte received is compared
//     with what was sent;
//   - latencies (latency_probe.h) against one USB frame plus the configured time-out;
//   - the emulator's wall time per megabyte moved, and virtual seconds per wall second.
// Latency samples go to a second CSV for their distributions.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_table.h"
#include "latency_probe.h"
#include "serial_rig.h"
#include "usb_limits.h"

namespace {

using bench_table::Row;
using serial_rig::Flow;
using serial_rig::SerialRig;
using Progress = std::vector<std::pair<emu::VirtualTime, size_t>>;

constexpr unsigned long kRates[] = {300,   600,   1200,   2400,   4800,   9600,   14400,  19200,
                                    38400, 57600, 115200, 230400, 460800, 921600, 3000000};
constexpr Flow kFlows[] = {Flow::None, Flow::RtsCts, Flow::XonXoff};
constexpr uint8_t kChips[] = {0x24, 0x30};
constexpr double kUtilisationTarget = 0.995;
constexpr ULONG kSmallRead = 8;
constexpr ULONG kLargeRead = 4096;

struct Options {
  std::string csv = "bench_table.csv";
  std::string samplesCsv = "latency_samples.csv";
  double seconds = 2.0;  // virtual seconds of line time per throughput row
  int latencySamples = 40;
  std::vector<unsigned long> rates;  // empty: all
  bool quick = false;
  // Exit 1 when a row lost bytes or failed (a bug check, settings refused, a leak at shutdown);
  // figures against their targets never decide the exit code.
  bool check = false;
};

struct Config {
  unsigned long baud;
  bool sevenEven;
  uint8_t revision;
  Flow flow;
  bool smallReads;
};

double Seconds(emu::VirtualTime t) { return static_cast<double>(t) / emu::kSecond; }

// Bytes a second over the part of a stream after its first tenth.
double Sustained(const Progress& p) {
  if (p.size() < 2) return 0;
  const size_t total = p.back().second;
  size_t i = 0;
  while (i + 2 < p.size() && p[i].second < total / 10) ++i;
  const emu::VirtualTime dt = p.back().first - p[i].first;
  return dt > 0 ? static_cast<double>(total - p[i].second) / Seconds(dt) : 0;
}

Progress WireProgress(const std::vector<emu::VirtualTime>& ends) {
  Progress p;
  for (size_t i = 0; i < ends.size(); ++i) p.emplace_back(ends[i], i + 1);
  return p;
}

double LineBytesPerSecond(const emu::zm470::Zm470& chip) {
  const emu::line::Frame f = chip.LineFrame();
  return f.baud / (f.HalfBits() / 2.0);
}

std::string Hex(unsigned v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X", v);
  return text;
}

std::string StatusText(NTSTATUS s) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(s));
  return text;
}

emu::zm470::Config Chip(uint8_t revision) {
  emu::zm470::Config c;
  c.revision = revision;
  return c;
}

Row Base(const Config& c, const char* figure) {
  Row r;
  r.group = "utilisation";
  r.figure = figure;
  r.baud = c.baud;
  r.format = c.sevenEven ? "7E1" : "8N1";
  r.chip = Hex(c.revision);
  r.flow = serial_rig::FlowName(c.flow);
  r.reads = c.smallReads ? "small" : "large";
  r.unit = "B/s";
  r.atLeast = kUtilisationTarget;
  return r;
}

// The narrower of the line, the transmit path over the bus at this line rate and the receive path.
double Narrower(double line, const serial_bench::UsbLimits& usb) {
  return std::min({line, serial_bench::TransmitBytesPerSecondAt(line), usb.transmitBytesPerSecond(),
                   usb.receiveBytesPerSecond()});
}

// One way (rows tx and rx) or full duplex (row duplex): the slower of what was measured.
std::vector<Row> Throughput(const Config& c, bool duplex, size_t bytes, const serial_bench::UsbLimits& usb,
                            double& virtualSeconds, double& wallSeconds) {
  Row tx = Base(c, duplex ? "duplex" : "tx");
  std::string note;
  size_t lost = 0;
  size_t moved = 0;
  double txRate = INFINITY;
  double rxRate = INFINITY;
  double line = 0;
  wallSeconds = virtualSeconds = 0;
  try {
    SerialRig rig(SerialRig::FarEnd::NullModem, {}, Chip(c.revision));
    note = rig.Error();
    for (serial_rig::Bridge* b : {&rig.A(), &rig.B()}) {
      if (!note.empty()) break;
      serial_rig::PortSettings s{static_cast<ULONG>(c.baud), c.flow, serial_rig::ReturnOnFirstByte(), c.sevenEven};
      const NTSTATUS status = rig.Apply(*b, s);
      if (status != STATUS_SUCCESS) note = "settings failed with " + StatusText(status);
    }
    if (note.empty()) {
      line = LineBytesPerSecond(*rig.A().chip);
      const uint8_t mask = c.sevenEven ? 0x7F : 0xFF;
      std::vector<serial_rig::Stream> streams;
      streams.push_back({&rig.A(), &rig.B(), serial_rig::Payload(bytes, 1, mask)});
      if (duplex) streams.push_back({&rig.B(), &rig.A(), serial_rig::Payload(bytes, 2, mask)});
      for (auto& st : streams) st.readChunk = c.smallReads ? kSmallRead : kLargeRead;

      const double narrower = Narrower(line, usb);
      const auto limit = static_cast<emu::VirtualTime>((3 * bytes / narrower + 60) * emu::kSecond);
      const emu::VirtualTime start = rig.kernel().Now();
      const auto wall = std::chrono::steady_clock::now();
      std::vector<serial_rig::StreamResult> results = rig.Run(streams, limit);
      wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
      virtualSeconds = Seconds(rig.kernel().Now() - start);

      for (size_t s = 0; s < streams.size(); ++s) {
        const serial_rig::StreamResult& r = results[s];
        const serial_rig::Delivery d = serial_rig::CompareDelivery(streams[s].data, r.received);
        moved += streams[s].data.size();
        lost += d.lost + d.garbled;
        txRate = std::min(txRate, Sustained(WireProgress(rig.CharacterEnds(streams[s].from->lineSide))));
        rxRate = std::min(rxRate, Sustained(r.reads));
        if (r.writeStatus != STATUS_SUCCESS) note += "write " + StatusText(r.writeStatus) + " ";
        if (!NT_SUCCESS(r.readStatus)) note += "read " + StatusText(r.readStatus) + " ";
      }
      note += rig.Shutdown();
    }
  } catch (const emu::BugCheckError& e) {
    note = "bug check " + StatusText(static_cast<NTSTATUS>(e.code));
  }
  tx.limit = Narrower(line, usb);
  tx.lost = lost;
  tx.note = note;
  tx.wallPerMegabyte = moved > 0 ? wallSeconds / (static_cast<double>(moved) / 1e6) : 0;
  if (duplex) {
    tx.value = std::isfinite(std::min(txRate, rxRate)) ? std::min(txRate, rxRate) : 0;
    return {tx};
  }
  Row rx = tx;
  rx.figure = "rx";
  tx.value = std::isfinite(txRate) ? txRate : 0;
  rx.value = std::isfinite(rxRate) ? rxRate : 0;
  return {tx, rx};
}

// The longest latency against its limit. The note says how far the samples went beyond the least
// the design allows them (latency_probe::DesignFloor): what the driver's path adds, at the emulated
// cost of its kernel calls. A sample below its floor fails the row: the floor would be wrong.
Row LatencyRow(latency_probe::Kind kind, unsigned long baud, uint8_t revision, int samples,
               std::vector<std::string>& sampleLines, bool fineClock = false) {
  const auto wall = std::chrono::steady_clock::now();
  const latency_probe::Samples s = latency_probe::Measure(kind, baud, samples, Chip(revision), fineClock);
  const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  Row r;
  r.group = "latency";
  r.figure = std::string(latency_probe::KindName(kind)) + (fineClock ? "-1ms" : "");
  r.baud = baud;
  r.format = "8N1";
  r.chip = Hex(revision);
  r.flow = "none";
  r.unit = "us";
  r.lost = s.missing;
  r.note = s.error;
  // The longest sample against one frame plus the time-out; within one more frame passes.
  const double limit = Seconds(emu::usb::kFrame + latency_probe::ConfiguredTimeout(kind));
  r.limit = limit * 1e6;
  r.atMost = (limit + Seconds(emu::usb::kFrame)) / limit;
  double longest = 0;
  double sum = 0;
  for (emu::VirtualTime t : s.latencies) {
    longest = std::max(longest, Seconds(t));
    sum += Seconds(t);
    sampleLines.push_back(r.figure + ',' + std::to_string(baud) + ',' + r.chip + ',' +
                          std::to_string(Seconds(t) * 1e6));
  }
  r.value = longest * 1e6;
  if (!s.latencies.empty()) {
    double floorMax = 0;
    double beyond = -1e9;
    for (size_t i = 0; i < s.latencies.size(); ++i) {
      floorMax = std::max(floorMax, Seconds(s.floors[i]));
      beyond = std::max(beyond, Seconds(s.latencies[i] - s.floors[i]));
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "info: mean %.0f us, %.2f s wall; at most %.1f us beyond the design's floor (at most %.1f us)",
                  sum / s.latencies.size() * 1e6, wallSeconds, beyond * 1e6, floorMax * 1e6);
    if (r.note.empty()) r.note = beyond < 0 ? "a sample came before the design's floor" : text;
  }
  return r;
}

// The emulator's speed while two ports on a null-modem cable stream to each other, for
// information: the targets are one port's (tarnwire_emu_speed).
std::vector<Row> EmulatorRows(unsigned long baud, double virtualSeconds, double wallSeconds, double megabytes) {
  std::vector<Row> rows = bench_table::EmulatorSpeedRows(baud, 2, virtualSeconds, wallSeconds, megabytes, 0);
  rows[0].note = "info: two ports on a null-modem cable, each sending and receiving";
  return rows;
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--csv" && hasValue) {
      o.csv = argv[++i];
    } else if (arg == "--samples-csv" && hasValue) {
      o.samplesCsv = argv[++i];
    } else if (arg == "--seconds" && hasValue) {
      o.seconds = std::atof(argv[++i]);
      if (!(o.seconds > 0)) return false;
    } else if (arg == "--rates" && hasValue) {
      std::stringstream list(argv[++i]);
      for (std::string r; std::getline(list, r, ',');) o.rates.push_back(std::strtoul(r.c_str(), nullptr, 10));
    } else if (arg == "--quick") {
      o.quick = true;
    } else if (arg == "--check") {
      o.check = true;
    } else {
      return false;
    }
  }
  if (o.quick) {
    if (o.rates.empty()) o.rates = {9600, 921600, 3000000};
    o.seconds = std::min(o.seconds, 0.3);
    o.latencySamples = 8;
  }
  return true;
}

bool Selected(const Options& o, unsigned long baud) {
  return o.rates.empty() || std::find(o.rates.begin(), o.rates.end(), baud) != o.rates.end();
}

void Emit(std::vector<Row>& all, std::vector<Row> rows) {
  for (Row& r : rows) {
    bench_table::Print(r);
    all.push_back(std::move(r));
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: %s [--csv PATH] [--samples-csv PATH] [--seconds S] [--rates 300,9600,...] [--quick]\n"
                 "          [--check]\n"
                 "  --csv          where the table goes (default bench_table.csv)\n"
                 "  --samples-csv  latency samples (default latency_samples.csv)\n"
                 "  --seconds      virtual seconds of line time per throughput row (default 2)\n"
                 "  --rates        only these rates\n"
                 "  --quick        three rates, short rows, few latency samples\n"
                 "  --check        exit 1 when bytes were lost or a row failed\n",
                 argv[0]);
    return 2;
  }
  const serial_bench::UsbLimits usb = serial_bench::ComputeUsbLimits();
  std::printf("USB model limits: receive %.0f B/s, transmit %.0f B/s; bulk bus time of one bridge at both: "
              "%u of %u bytes a frame\n\n",
              usb.receiveBytesPerSecond(), usb.transmitBytesPerSecond(),
              usb.SharedFrameBytes(serial_bench::kReadTransferBytes), emu::usb::kFrameBytes);
  bench_table::PrintHeader();
  std::vector<Row> rows;
  std::vector<std::string> samples;
  for (unsigned long baud : kRates) {
    if (!Selected(o, baud)) continue;
    // Line time, with at least a few hundred bytes and at most 1 MB a direction.
    const double perSecond = std::min(baud / 10.0, std::min(usb.transmitBytesPerSecond(), usb.receiveBytesPerSecond()));
    const auto bytes = static_cast<size_t>(std::clamp(perSecond * o.seconds, 300.0, 1048576.0));
    for (bool sevenEven : {false, true}) {
      for (uint8_t revision : kChips) {
        for (Flow flow : kFlows) {
          for (bool smallReads : {true, false}) {
            const Config c{baud, sevenEven, revision, flow, smallReads};
            double virtualSeconds = 0;
            double wallSeconds = 0;
            Emit(rows, Throughput(c, false, bytes, usb, virtualSeconds, wallSeconds));
            Emit(rows, Throughput(c, true, bytes, usb, virtualSeconds, wallSeconds));
            const bool speedRow = !sevenEven && revision == 0x30 && flow == Flow::None && !smallReads;
            if (speedRow && (baud == 921600 || baud == 3000000))
              Emit(rows, EmulatorRows(baud, virtualSeconds, wallSeconds, 2.0 * bytes / 1e6));
          }
        }
      }
    }
    for (uint8_t revision : kChips) {
      for (auto kind : {latency_probe::Kind::Read, latency_probe::Kind::Interval, latency_probe::Kind::Write})
        Emit(rows, {LatencyRow(kind, baud, revision, o.latencySamples, samples)});
      Emit(rows, {LatencyRow(latency_probe::Kind::Interval, baud, revision, o.latencySamples, samples, true)});
    }
  }
  for (uint8_t revision : kChips)
    Emit(rows, {LatencyRow(latency_probe::Kind::Modem, 115200, revision, o.latencySamples, samples)});

  if (!bench_table::WriteCsv(o.csv, rows, false)) {
    std::fprintf(stderr, "cannot write %s\n", o.csv.c_str());
    return 1;
  }
  std::ofstream out(o.samplesCsv);
  out << "kind,baud,chip,latency_us\n";
  for (const std::string& line : samples) out << line << '\n';
  const size_t failed = std::count_if(rows.begin(), rows.end(), [](const Row& r) { return !r.Pass(); });
  std::printf("\n%zu rows, %zu below target; CSV: %s, samples: %s\n", rows.size(), failed, o.csv.c_str(),
              o.samplesCsv.c_str());
  const size_t faults = std::count_if(rows.begin(), rows.end(), [](const Row& r) { return r.Faulty(); });
  if (o.check && faults != 0) {
    std::printf("%zu rows lost bytes or failed\n", faults);
    return 1;
  }
  return 0;
}
