// The benchmarks' common table: one row per figure, with its limit, the ratio to the limit and
// whether the ratio meets its target. Every benchmark program prints its rows and writes them as
// CSV in this one layout, so that scripts/bench can put them into one table.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bench_table {

struct Row {
  std::string group;   // utilisation, latency, cost, emulator, scaling
  std::string figure;  // e.g. rx, tx, duplex, read, modem, write
  // The configuration; fields that do not apply stay empty or 0.
  unsigned long baud = 0;
  std::string format;  // 8N1, 7E1
  std::string chip;    // chip revision, e.g. 0x24
  std::string flow;    // none, RTS/CTS, XON/XOFF
  std::string reads;   // small, large
  unsigned ports = 0;
  double value = 0;
  std::string unit;
  double limit = 0;
  // Target for value / limit: at least `atLeast`, or at most `atMost` (0: none).
  double atLeast = 0;
  double atMost = 0;
  std::size_t lost = 0;
  double wallPerMegabyte = 0;  // wall seconds per MB moved, 0 when nothing moved
  std::string note;            // a failure, or what else the row shows

  double Ratio() const { return limit > 0 ? value / limit : 0; }
  bool Pass() const;
  // Bytes were lost or the row failed (its note says what), whatever its figure.
  bool Faulty() const;
};

// The emulator's speed while streaming (8N1, chip 0x30, no flow control, large reads): virtual
// seconds a wall second against `target` (0: none), and megabytes that crossed the lines a wall
// second.
std::vector<Row> EmulatorSpeedRows(unsigned long baud, unsigned ports, double virtualSeconds, double wallSeconds,
                                   double lineMegabytes, double target);

// Fixed-width text, one line per row, with a header.
void PrintHeader();
void Print(const Row& row);

// Writes the rows to `path` as CSV, or appends them (the header first when the file is new or
// empty).
bool WriteCsv(const std::string& path, const std::vector<Row>& rows, bool append);

}  // namespace bench_table
