// The emulator's speed, in the common table (bench_table.h):
//   - an idle open port: virtual seconds a wall second (target 100000 times real time);
//   - how the cost grows with the ports of one machine: 1 to 16 bridges, each with a loopback
//     plug and streaming to itself at 115200 baud (the bus carries all of them at once; the
//     driver names ports COM8 to COM21 by default, so 14 at most), wall
//     seconds per emulated megabyte, against the cost with one port.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
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
  std::vector<serial_rig::Bridge*> bridges{&rig.A()};
  while (rig.Error().empty() && bridges.size() < ports) {
    serial_rig::Bridge* b = rig.AddLoopbackPort();
    if (b != nullptr) bridges.push_back(b);
  }
  r.note = rig.Error();
  const serial_rig::PortSettings settings{kScalingBaud, serial_rig::Flow::None, serial_rig::ReturnOnFirstByte()};
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
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--csv" && i + 1 < argc) {
      csv = argv[++i];
    } else if (arg == "--quick") {
      seconds = 0.3;
      idleSeconds = 60.0;
    } else {
      std::fprintf(stderr, "usage: %s [--csv PATH] [--quick]\n  the table is appended to PATH\n", argv[0]);
      return 2;
    }
  }
  bench_table::PrintHeader();
  std::vector<Row> rows;
  try {
    rows.push_back(Idle(idleSeconds));
    bench_table::Print(rows.back());
    double onePort = 0;
    for (unsigned ports : {1u, 2u, 4u, 8u, 14u}) {
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
  return 0;
}
