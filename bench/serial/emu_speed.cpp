// The emulator's speed, in the common table (bench_table.h):
//   - an idle open port: virtual seconds a wall second (target 100000 times real time);
//   - one port streaming full duplex through a loopback plug (it transmits and receives at the
//     line rate at once) at 921600 and 3000000 baud: virtual seconds a wall second (targets 50
//     and 10 times real time) and megabytes of serial traffic a wall second;
//   - how the cost grows with the ports of one machine: 1 to 16 bridges, each with a loopback
//     plug and streaming to itself at 115200 baud (the bus carries all of them at once), wall
//     seconds per emulated megabyte, against the cost with one port.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "bench_table.h"
#include "serial_rig.h"

namespace {

using bench_table::Row;
using serial_rig::SerialRig;

constexpr double kIdleTarget = 100000;
constexpr ULONG kScalingBaud = 115200;

double WallSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

Row Idle(double virtualSeconds) {
  Row r;
  r.group = "emulator";
  r.figure = "idle";
  r.ports = 1;
  r.unit = "x real";
  r.limit = 1;
  r.atLeast = kIdleTarget;
  SerialRig rig(SerialRig::FarEnd::Loopback);
  r.note = rig.Error();
  if (!r.note.empty()) return r;
  const auto wall = std::chrono::steady_clock::now();
  rig.kernel().RunFor(static_cast<emu::VirtualTime>(virtualSeconds * emu::kSecond));
  const double w = WallSince(wall);
  r.value = w > 0 ? virtualSeconds / w : 0;
  r.note = rig.Shutdown();
  return r;
}

// Streams `bytes` through one port's loopback plug at `baud` and returns the virtual and wall
// seconds it took and the bytes lost or garbled; `note` gets what failed.
struct StreamRun {
  double virtualSeconds = 0;
  double wallSeconds = 0;
  double megabytes = 0;
  size_t lost = 0;
  std::string note;
};

StreamRun StreamOnePort(ULONG baud, size_t bytes) {
  StreamRun run;
  SerialRig rig(SerialRig::FarEnd::Loopback);
  rig.RecordLine(false);  // nothing here reads it, and a recording grows with every character
  run.note = rig.Error();
  const serial_rig::PortSettings settings{baud, serial_rig::Flow::None, serial_rig::ReturnOnFirstByte()};
  if (run.note.empty() && rig.Apply(rig.A(), settings) != STATUS_SUCCESS) run.note = "settings failed";
  if (!run.note.empty()) return run;
  std::vector<serial_rig::Stream> streams{{&rig.A(), &rig.A(), serial_rig::Payload(bytes, 1)}};
  const emu::VirtualTime start = rig.kernel().Now();
  const auto wall = std::chrono::steady_clock::now();
  const auto results = rig.Run(streams, static_cast<emu::VirtualTime>(60 * emu::kSecond));
  run.wallSeconds = WallSince(wall);
  run.virtualSeconds = static_cast<double>(rig.kernel().Now() - start) / emu::kSecond;
  const serial_rig::Delivery d = serial_rig::CompareDelivery(streams[0].data, results[0].received);
  run.lost = d.lost + d.garbled;
  run.megabytes = static_cast<double>(streams[0].data.size()) / 1e6;
  run.note = rig.Shutdown();
  return run;
}

// One port streaming full duplex: virtual seconds a wall second against `target`, and megabytes
// of serial traffic a wall second. The work is the same in every run (the machine is
// deterministic), and a busy host only ever slows a run down, so the fastest of five runs is the
// emulator's speed; the note gives the slowest.
std::vector<Row> Streaming(ULONG baud, double seconds, double target) {
  std::vector<StreamRun> runs;
  for (int i = 0; i < 5; ++i) runs.push_back(StreamOnePort(baud, static_cast<size_t>(baud / 10 * seconds)));
  std::sort(runs.begin(), runs.end(),
            [](const StreamRun& a, const StreamRun& b) { return a.wallSeconds < b.wallSeconds; });
  const StreamRun& fastest = runs.front();
  std::vector<Row> rows =
      bench_table::EmulatorSpeedRows(baud, 1, fastest.virtualSeconds, fastest.wallSeconds, fastest.megabytes, target);
  char text[96];
  std::snprintf(text, sizeof text, "info: fastest of %zu runs; the slowest %.1f x real",
                runs.size(), runs.back().wallSeconds > 0 ? runs.back().virtualSeconds / runs.back().wallSeconds : 0);
  rows[0].note = text;
  for (const StreamRun& r : runs) {
    rows[0].lost = std::max(rows[0].lost, r.lost);
    if (!r.note.empty()) rows[0].note = r.note;
  }
  return rows;
}

Row Scaling(unsigned ports, double seconds, double onePort) {
  Row r;
  r.group = "scaling";
  r.figure = "wall/MB";
  r.baud = kScalingBaud;
  r.format = "8N1";
  r.chip = "0x30";
  r.flow = "none";
  r.reads = "large";
  r.ports = ports;
  r.unit = "s/MB";
  SerialRig rig(SerialRig::FarEnd::Loopback);
  rig.RecordLine(false);
  std::vector<serial_rig::Bridge*> bridges{&rig.A()};
  while (rig.Error().empty() && bridges.size() < ports) {
    serial_rig::Bridge* b = rig.AddLoopbackPort();
    if (b != nullptr) bridges.push_back(b);
  }
  r.note = rig.Error();
  const serial_rig::PortSettings settings{kScalingBaud, serial_rig::Flow::None,
                                          serial_rig::ReturnOnFirstByte()};
  for (serial_rig::Bridge* b : bridges) {
    if (r.note.empty() && rig.Apply(*b, settings) != STATUS_SUCCESS) r.note = "settings failed";
  }
  if (!r.note.empty()) return r;
  const auto bytes = static_cast<size_t>(kScalingBaud / 10 * seconds);
  std::vector<serial_rig::Stream> streams;
  for (size_t i = 0; i < bridges.size(); ++i)
    streams.push_back({bridges[i], bridges[i], serial_rig::Payload(bytes, static_cast<uint32_t>(i + 1))});
  const auto wall = std::chrono::steady_clock::now();
  const auto results = rig.Run(streams, static_cast<emu::VirtualTime>((3 * seconds + 60) * emu::kSecond));
  const double w = WallSince(wall);
  double moved = 0;
  for (size_t i = 0; i < streams.size(); ++i) {
    const serial_rig::Delivery d = serial_rig::CompareDelivery(streams[i].data, results[i].received);
    r.lost += d.lost + d.garbled;
    moved += static_cast<double>(streams[i].data.size());
  }
  r.value = w / (moved / 1e6);
  r.wallPerMegabyte = r.value;
  r.limit = onePort > 0 ? onePort : r.value;
  r.note = rig.Shutdown();
  if (r.note.empty()) r.note = "info: ratio to one port";
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  std::string csv = "bench_table.csv";
  double seconds = 5.0;  // of line time per port
  double idleSeconds = 600.0;
  double streamSeconds = 10.0;  // of line time for the streaming speed
  bool check = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--csv" && i + 1 < argc) {
      csv = argv[++i];
    } else if (arg == "--check") {
      check = true;
    } else if (arg == "--quick") {
      seconds = 0.3;
      idleSeconds = 60.0;
      streamSeconds = 1.0;
    } else {
      std::fprintf(
          stderr,
          "usage: %s [--csv PATH] [--quick] [--check]\n  the table is appended to PATH; --check exits 1 "
          "when bytes were lost or a row failed\n",
          argv[0]);
      return 2;
    }
  }
  bench_table::PrintHeader();
  std::vector<Row> rows;
  try {
    rows.push_back(Idle(idleSeconds));
    bench_table::Print(rows.back());
    for (const auto& [baud, target] : {std::pair<ULONG, double>{921600, 50}, {3000000, 10}}) {
      for (const Row& row : Streaming(baud, streamSeconds, target)) {
        rows.push_back(row);
        bench_table::Print(row);
      }
    }
    double onePort = 0;
    for (unsigned ports : {1u, 2u, 4u, 8u, 12u, 16u}) {
      rows.push_back(Scaling(ports, seconds, onePort));
      if (ports == 1) onePort = rows.back().value;
      bench_table::Print(rows.back());
    }
  } catch (const emu::BugCheckError& e) {
    std::fprintf(stderr, "bug check 0x%08X\n", static_cast<unsigned>(e.code));
    return 1;
  }
  if (!bench_table::WriteCsv(csv, rows, true)) {
    std::fprintf(stderr, "cannot write %s\n", csv.c_str());
    return 1;
  }
  return check && std::any_of(rows.begin(), rows.end(), [](const Row& r) { return r.Faulty(); }) ? 1 : 0;
}
