// Data through open COM ports with the Win32 API, in a virtual-time machine: every leg's writer
// and reader run at once in application threads of their own, a watcher per port counts what
// WaitCommEvent reports, and every byte is checked against what was sent.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "win32/booted_machine.h"

namespace tarnwire_tool {

enum class Flow { None, RtsCts, XonXoff };

struct LineSettings {
  uint32_t baud = 921600;
  unsigned dataBits = 8;
  char parity = 'N';  // N, O, E, M or S
  unsigned stopBits = 1;  // 1 or 2
  Flow flow = Flow::RtsCts;
};

// "921600 baud 8N1, RTS/CTS flow control"
std::string Describe(const LineSettings& s);
// Bits on the wire per character: start, data, parity, stop.
unsigned BitsPerCharacter(const LineSettings& s);

// An open port as the tool uses it: a handle opened for overlapped I/O.
struct Port {
  unsigned com = 0;
  void* handle = nullptr;
};

// Opens COMn for overlapped I/O; on failure false and the reason in *error.
bool OpenPort(unsigned com, Port* port, std::string* error);
// Sets the rate, format, flow control, queue sizes and read time-outs; false and *error on failure.
bool Configure(const Port& port, const LineSettings& settings, std::string* error);
void ClosePort(Port* port);
// Whether COMn opens now (it is closed again at once); *error is CreateFile's error when not.
bool PortOpens(unsigned com, unsigned long* error);

struct Leg {
  const Port* from = nullptr;
  const Port* to = nullptr;
  std::vector<uint8_t> data;
  // Filled in by Transfer:
  uint64_t received = 0;
  int64_t firstMismatch = -1;  // offset of the first byte that differs, -1 when none did
  uint64_t virtualNs = 0;      // from the start to the last byte read
  std::string failure;         // empty when every byte arrived intact
};

inline Leg MakeLeg(const Port* from, const Port* to, std::vector<uint8_t> data) {
  Leg leg;
  leg.from = from;
  leg.to = to;
  leg.data = std::move(data);
  return leg;
}

struct PortReport {
  std::map<std::string, uint64_t> events;  // WaitCommEvent bits seen, by name
  uint32_t errors = 0;                     // ClearCommError's CE_* bits at the end
  uint32_t inQueue = 0;
  uint32_t outQueue = 0;
  std::string holds;  // what COMSTAT says holds the port at the end ("XOFF held, XOFF sent"), "" when nothing
  std::string failure;
};

// Bytes of a pseudo-random stream from a seed that fit the settings' data bits; with XON/XOFF
// they avoid the XON and XOFF characters.
std::vector<uint8_t> TestData(size_t length, uint64_t seed, const LineSettings& settings);

// Runs every leg at once on ports configured as `settings`. The readers pause now and then so
// that the receive queues fill and flow control acts. progress (may be empty) gets the bytes received so far of the total, now and then.
// Returns the report of each port involved, by COM number.
std::map<unsigned, PortReport> Transfer(emu::win32::BootedMachine& booted, const LineSettings& settings,
                                        std::vector<Leg>& legs,
                                        const std::function<void(uint64_t, uint64_t)>& progress);

}  // namespace tarnwire_tool
