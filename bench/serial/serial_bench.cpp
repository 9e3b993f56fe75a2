// Serial throughput and latency of the driver between two emulated bridges joined by a null-modem
// cable, measured in virtual time, one table:
//   - sustained throughput, one direction and full duplex, for each rate and flow control: the
//     sender's data characters on the wire (tx) and the bytes the receiving application read (rx),
//     each over the stream after its first tenth, against the narrower of the line rate (the
//     frame's bits per byte) and the USB model's limits (usb_limits.h); every byte received is
//     compared with what was sent;
//   - the latency from a byte's stop bit on the line to the completion of a read waiting for it
//     (RIT = MAXULONG, RTTM = MAXULONG, RTTC = 1000), against one USB frame;
//   - the wall-clock cost of the emulator per megabyte moved.
// The table is printed and written as CSV.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "serial_rig.h"
#include "usb_limits.h"

#ifndef TARNWIRE_SERIAL_BENCH_CSV
#define TARNWIRE_SERIAL_BENCH_CSV "serial_bench.csv"
#endif

namespace {

using serial_rig::Flow;
using serial_rig::SerialRig;
using Progress = std::vector<std::pair<emu::VirtualTime, size_t>>;

struct RateCase {
  ULONG baud;
  size_t bytes;  // per direction, at scale 1
};
// Fewer bytes at low rates: a row's virtual time is free, its wall time is not.
constexpr RateCase kRates[] = {
    {300, 600}, {9600, 19200}, {115200, 262144}, {921600, 1048576}, {3000000, 1048576}};
constexpr Flow kFlows[] = {Flow::None, Flow::RtsCts, Flow::XonXoff};
constexpr int kLatencySamples = 20;

struct Options {
  std::string csv = TARNWIRE_SERIAL_BENCH_CSV;
  double scale = 1.0;
  std::vector<ULONG> rates;  // empty: all
};

struct Row {
  std::string kind;  // "one-way", "duplex" or "latency"
  ULONG baud = 0;
  Flow flow = Flow::None;
  size_t bytes = 0;  // bytes moved in all directions
  double line = 0;   // bytes a second
  double usbTx = 0;
  double usbRx = 0;
  double tx = 0;  // throughput, or mean latency in seconds
  double rx = 0;  // throughput, or longest latency in seconds
  double txLimit = 0;
  double rxLimit = 0;
  size_t lost = 0;
  size_t garbled = 0;
  double wallPerMegabyte = 0;
  std::string note;
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

double WallSeconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string StatusText(NTSTATUS s) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(s));
  return text;
}

// Brings up the rig and applies the same settings to both ports; an empty string when it worked.
std::string Prepare(SerialRig& rig, const serial_rig::PortSettings& settings) {
  if (!rig.Error().empty()) return rig.Error();
  for (serial_rig::Bridge* b : {&rig.A(), &rig.B()}) {
    const NTSTATUS status = rig.Apply(*b, settings);
    if (status != STATUS_SUCCESS) return "settings failed with " + StatusText(status);
  }
  return {};
}

Row Throughput(ULONG baud, Flow flow, bool duplex, size_t bytes, const serial_bench::UsbLimits& usb) {
  Row row;
  row.kind = duplex ? "duplex" : "one-way";
  row.baud = baud;
  row.flow = flow;
  row.usbTx = usb.transmitBytesPerSecond();
  row.usbRx = usb.receiveBytesPerSecond();
  try {
    SerialRig rig(SerialRig::FarEnd::NullModem);
    row.note = Prepare(rig, {baud, flow, serial_rig::ReturnOnFirstByte()});
    if (!row.note.empty()) return row;
    row.line = LineBytesPerSecond(*rig.A().chip);
    std::vector<serial_rig::Stream> streams;
    streams.push_back({&rig.A(), &rig.B(), serial_rig::Payload(bytes, 1)});
    if (duplex) streams.push_back({&rig.B(), &rig.A(), serial_rig::Payload(bytes, 2)});

    const auto wall = std::chrono::steady_clock::now();
    // Three times what the narrower limit needs, and a minute more, before a row gives up.
    const double expected = static_cast<double>(bytes) / std::min({row.line, row.usbTx, row.usbRx});
    const auto limit = static_cast<emu::VirtualTime>((3 * expected + 60) * emu::kSecond);
    std::vector<serial_rig::StreamResult> results = rig.Run(streams, limit);
    const double wallSeconds = WallSeconds(wall);

    row.tx = row.rx = INFINITY;
    for (size_t s = 0; s < streams.size(); ++s) {
      const serial_rig::StreamResult& r = results[s];
      const serial_rig::Delivery d = serial_rig::CompareDelivery(streams[s].data, r.received);
      row.bytes += streams[s].data.size();
      row.lost += d.lost;
      row.garbled += d.garbled;
      row.tx = std::min(row.tx, Sustained(WireProgress(rig.CharacterEnds(streams[s].from->lineSide))));
      row.rx = std::min(row.rx, Sustained(r.reads));
      if (r.writeStatus != STATUS_SUCCESS) row.note += "write " + StatusText(r.writeStatus) + " ";
      if (!NT_SUCCESS(r.readStatus)) row.note += "read " + StatusText(r.readStatus) + " ";
    }
    row.wallPerMegabyte = wallSeconds / (static_cast<double>(row.bytes) / 1e6);
    const std::string shutdown = rig.Shutdown();
    if (!shutdown.empty()) row.note += shutdown;
  } catch (const emu::BugCheckError& e) {
    row.note = "bug check " + StatusText(static_cast<NTSTATUS>(e.code));
    std::cerr << e.report << "\n";
  }
  const double narrower = std::min({row.line, row.usbTx, row.usbRx});
  row.txLimit = narrower > 0 ? row.tx / narrower : 0;
  row.rxLimit = narrower > 0 ? row.rx / narrower : 0;
  return row;
}

// A waiting one-byte read on B, then a byte from A; the read completes once the byte has come
// through. The sender's bytes start at a frame boundary (its bulk-out packet goes in there), so
// every sample at one rate sees its stop bit at the same point of the frame.
Row Latency(ULONG baud) {
  Row row;
  row.kind = "latency";
  row.baud = baud;
  try {
    SerialRig rig(SerialRig::FarEnd::NullModem);
    row.note = Prepare(rig, {baud, Flow::None, serial_rig::ReturnOnFirstByte()});
    if (!row.note.empty()) return row;
    row.line = LineBytesPerSecond(*rig.A().chip);
    emu::Machine& m = rig.machine();
    std::vector<emu::VirtualTime> readDone;
    std::vector<uint8_t> received;
    const emu::Kernel::ContextId reader = m.kernel().StartApplicationThread("reader", [&] {
      for (int i = 0; i < kLatencySamples; ++i) {
        uint8_t byte = 0;
        ULONG_PTR got = 0;
        if (m.Read(rig.B().file, &byte, 1, &got) != STATUS_SUCCESS || got != 1) return;
        readDone.push_back(emu::Kernel::Current().Now());
        received.push_back(byte);
      }
    });
    const emu::Kernel::ContextId writer = m.kernel().StartApplicationThread("writer", [&] {
      for (int i = 0; i < kLatencySamples; ++i) {
        while (readDone.size() < static_cast<size_t>(i)) {
          LARGE_INTEGER poll{.QuadPart = -emu::kMillisecond};
          (VOID) KeDelayExecutionThread(KernelMode, FALSE, &poll);
        }
        LARGE_INTEGER pause{.QuadPart = -2 * emu::kMillisecond};
        (VOID) KeDelayExecutionThread(KernelMode, FALSE, &pause);
        const uint8_t byte = static_cast<uint8_t>(0x40 + i);
        ULONG_PTR done = 0;
        if (m.Write(rig.A().file, &byte, 1, &done) != STATUS_SUCCESS) return;
      }
    });
    m.kernel().RunUntil(
        [&] { return m.kernel().ContextFinished(reader) && m.kernel().ContextFinished(writer); },
        m.kernel().Now() + kLatencySamples * emu::kSecond);
    const std::vector<emu::VirtualTime> ends = rig.CharacterEnds(rig.A().lineSide);
    row.bytes = received.size();
    row.lost = kLatencySamples - received.size();
    double sum = 0;
    double longest = 0;
    for (size_t i = 0; i < readDone.size() && i < ends.size(); ++i) {
      if (received[i] != static_cast<uint8_t>(0x40 + i)) ++row.garbled;
      const double l = Seconds(readDone[i] - ends[i]);
      sum += l;
      longest = std::max(longest, l);
    }
    if (!readDone.empty()) row.tx = sum / static_cast<double>(readDone.size());
    row.rx = longest;
    const std::string shutdown = rig.Shutdown();
    if (!shutdown.empty()) row.note += shutdown;
  } catch (const emu::BugCheckError& e) {
    row.note = "bug check " + StatusText(static_cast<NTSTATUS>(e.code));
    std::cerr << e.report << "\n";
  }
  const double frame = Seconds(emu::usb::kFrame);
  row.txLimit = row.tx / frame;
  row.rxLimit = row.rx / frame;
  return row;
}

void PrintHeader() {
  std::printf("%-8s %8s %-9s %8s %9s %9s %9s | %10s %7s %10s %7s | %6s %7s | %8s  %s\n", "mode", "baud",
              "flow", "bytes", "line B/s", "usbTx B/s", "usbRx B/s", "tx", "tx/lim", "rx", "rx/lim", "lost",
              "garbled", "wall s/MB", "note");
}

void Print(const Row& r) {
  if (r.kind == "latency") {
    std::printf("%-8s %8lu %-9s %8zu %9.0f %9s %9s | %8.0fus %7.3f %8.0fus %7.3f | %6zu %7zu | %8s  %s\n",
                r.kind.c_str(), static_cast<unsigned long>(r.baud), "-", r.bytes, r.line, "-", "-",
                r.tx * 1e6, r.txLimit, r.rx * 1e6, r.rxLimit, r.lost, r.garbled, "-", r.note.c_str());
  } else {
    std::printf("%-8s %8lu %-9s %8zu %9.0f %9.0f %9.0f | %10.0f %7.4f %10.0f %7.4f | %6zu %7zu | %8.2f  %s\n",
                r.kind.c_str(), static_cast<unsigned long>(r.baud), serial_rig::FlowName(r.flow), r.bytes,
                r.line, r.usbTx, r.usbRx, r.tx, r.txLimit, r.rx, r.rxLimit, r.lost, r.garbled,
                r.wallPerMegabyte, r.note.c_str());
  }
  std::fflush(stdout);
}

bool WriteCsv(const std::string& path, const std::vector<Row>& rows) {
  std::ofstream out(path);
  if (!out) return false;
  out << "mode,baud,flow,bytes,line_Bps,usb_tx_limit_Bps,usb_rx_limit_Bps,tx,tx_ratio,rx,rx_ratio,lost,"
         "garbled,"
         "wall_s_per_MB,note\n";
  for (const Row& r : rows) {
    const bool latency = r.kind == "latency";
    out << r.kind << ',' << r.baud << ',' << (latency ? "-" : serial_rig::FlowName(r.flow)) << ',' << r.bytes
        << ',' << r.line << ',' << (latency ? 0 : r.usbTx) << ',' << (latency ? 0 : r.usbRx) << ',' << r.tx
        << ',' << r.txLimit << ',' << r.rx << ',' << r.rxLimit << ',' << r.lost << ',' << r.garbled << ','
        << r.wallPerMegabyte << ',' << '"' << r.note << '"' << '\n';
  }
  return static_cast<bool>(out);
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--csv" && hasValue) {
      o.csv = argv[++i];
    } else if (arg == "--scale" && hasValue) {
      o.scale = std::atof(argv[++i]);
      if (!(o.scale > 0)) return false;
    } else if (arg == "--rates" && hasValue) {
      std::stringstream list(argv[++i]);
      for (std::string r; std::getline(list, r, ',');)
        o.rates.push_back(static_cast<ULONG>(std::strtoul(r.c_str(), nullptr, 10)));
    } else {
      return false;
    }
  }
  return true;
}

bool Selected(const Options& o, ULONG baud) {
  return o.rates.empty() || std::find(o.rates.begin(), o.rates.end(), baud) != o.rates.end();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s [--csv PATH] [--scale FACTOR] [--rates 300,9600,...]\n"
                 "  --csv     where the table goes as CSV (default %s)\n"
                 "  --scale   multiplies the bytes of every throughput row\n"
                 "  --rates   only these rates\n",
                 argv[0], TARNWIRE_SERIAL_BENCH_CSV);
    return 2;
  }
  const serial_bench::UsbLimits usb = serial_bench::ComputeUsbLimits();
  std::printf(
      "USB model limits: receive %.0f B/s (%.1f B a frame), transmit %.0f B/s (%.1f B a frame); "
      "bulk bus time of one bridge at both: %u of %u bytes a frame\n",
      usb.receiveBytesPerSecond(), usb.receiveBytesPerFrame, usb.transmitBytesPerSecond(),
      usb.transmitBytesPerFrame, usb.SharedFrameBytes(serial_bench::kReadTransferBytes),
      emu::usb::kFrameBytes);
  std::printf(
      "tx, rx: sustained bytes a second (duplex: the slower direction); ratios to min(line, usbTx, usbRx).\n"
      "latency: mean and longest, ratios to one USB frame (%.0f us).\n\n",
      Seconds(emu::usb::kFrame) * 1e6);
  PrintHeader();
  std::vector<Row> rows;
  for (const RateCase& rate : kRates) {
    if (!Selected(options, rate.baud)) continue;
    const size_t bytes = static_cast<size_t>(static_cast<double>(rate.bytes) * options.scale);
    for (Flow flow : kFlows) {
      for (bool duplex : {false, true}) {
        rows.push_back(Throughput(rate.baud, flow, duplex, bytes, usb));
        Print(rows.back());
      }
    }
    rows.push_back(Latency(rate.baud));
    Print(rows.back());
  }
  if (!WriteCsv(options.csv, rows)) {
    std::fprintf(stderr, "cannot write %s\n", options.csv.c_str());
    return 1;
  }
  std::printf("\nCSV: %s\n", options.csv.c_str());
  return 0;
}
