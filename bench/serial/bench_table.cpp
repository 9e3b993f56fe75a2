#include "bench_table.h"

#include <cstdio>
#include <fstream>

namespace bench_table {

std::vector<Row> EmulatorSpeedRows(unsigned long baud, unsigned ports, double virtualSeconds, double wallSeconds,
                                   double lineMegabytes, double target) {
  Row speed;
  speed.group = "emulator";
  speed.figure = "duplex";
  speed.baud = baud;
  speed.format = "8N1";
  speed.chip = "0x30";
  speed.flow = "none";
  speed.reads = "large";
  speed.ports = ports;
  speed.unit = "x real";
  speed.value = wallSeconds > 0 ? virtualSeconds / wallSeconds : 0;
  speed.limit = 1;
  speed.atLeast = target;
  speed.wallPerMegabyte = lineMegabytes > 0 ? wallSeconds / lineMegabytes : 0;
  Row traffic = speed;
  traffic.figure = "traffic";
  traffic.unit = "MB/s";
  traffic.value = wallSeconds > 0 ? lineMegabytes / wallSeconds : 0;
  traffic.atLeast = 0;
  traffic.note = "info: MB of serial traffic emulated a wall second";
  return {speed, traffic};
}

bool Row::Faulty() const { return lost != 0 || (!note.empty() && note.rfind("info:", 0) != 0); }

bool Row::Pass() const {
  if (Faulty()) return false;
  const double r = Ratio();
  if (atLeast > 0 && !(r >= atLeast)) return false;
  if (atMost > 0 && !(r <= atMost)) return false;
  return true;
}

namespace {

std::string Target(const Row& r) {
  char text[32] = "-";
  if (r.atLeast > 0) std::snprintf(text, sizeof text, ">=%g", r.atLeast);
  if (r.atMost > 0) std::snprintf(text, sizeof text, "<=%g", r.atMost);
  return text;
}

std::string Or(const std::string& s) { return s.empty() ? "-" : s; }

}  // namespace

void PrintHeader() {
  std::printf("%-11s %-8s %8s %-4s %-4s %-8s %-5s %3s | %12s %-6s %12s %8s %7s %-4s | %5s %8s  %s\n", "group",
              "figure", "baud", "fmt", "chip", "flow", "reads", "prt", "value", "unit", "limit", "ratio",
              "target", "ok", "lost", "wall s/MB", "note");
}

void Print(const Row& r) {
  std::printf("%-11s %-8s %8lu %-4s %-4s %-8s %-5s %3u | %12.6g %-6s %12.6g %8.4f %7s %-4s | %5zu %8.3g  %s\n",
              r.group.c_str(), r.figure.c_str(), r.baud, Or(r.format).c_str(), Or(r.chip).c_str(),
              Or(r.flow).c_str(), Or(r.reads).c_str(), r.ports, r.value, r.unit.c_str(), r.limit, r.Ratio(),
              Target(r).c_str(), r.Pass() ? "yes" : "NO", r.lost, r.wallPerMegabyte, r.note.c_str());
  std::fflush(stdout);
}

bool WriteCsv(const std::string& path, const std::vector<Row>& rows, bool append) {
  bool fresh = true;
  if (append) {
    std::ifstream in(path);
    fresh = !in || in.peek() == std::ifstream::traits_type::eof();
  }
  std::ofstream out(path, append ? std::ios::app : std::ios::trunc);
  if (!out) return false;
  if (fresh)
    out << "group,figure,baud,format,chip,flow,reads,ports,value,unit,limit,ratio,target,pass,lost,"
           "wall_s_per_MB,note\n";
  for (const Row& r : rows) {
    out << r.group << ',' << r.figure << ',' << r.baud << ',' << r.format << ',' << r.chip << ',' << r.flow
        << ',' << r.reads << ',' << r.ports << ',' << r.value << ',' << r.unit << ',' << r.limit << ','
        << r.Ratio() << ',' << Target(r) << ',' << (r.Pass() ? "yes" : "no") << ',' << r.lost << ','
        << r.wallPerMegabyte << ",\"" << r.note << "\"\n";
  }
  return static_cast<bool>(out);
}

}  // namespace bench_table
