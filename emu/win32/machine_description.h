// The machine an application gets when it uses the API with no machine of its own, as written in
// the environment variable TARNWIRE_MACHINE: parts separated by ';'.
//   COMn[=END][,rev=0xNN]  a bridge whose port is COMn (1 to 256), with END at its connector:
//                          loopback, loopback+ri (RI wired to DTR), null:COMm (a null-modem
//                          cable to bridge COMm), pty, or none (the default)
//   rev=0xNN               the chip revision of bridges that name none (default 0x30)
//   realtime | virtual     wall-clock time (the default) or virtual time
//   seed=N                 the scheduler's seed (default 1)
//   up | mp                uniprocessor (the default) or multiprocessor model
// Unset, it is "COM8=loopback".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace emu::win32 {

enum class FarEnd { None, Loopback, LoopbackRi, NullModem, Pty };

struct BridgeDescription {
  unsigned com = 0;  // n of COMn
  FarEnd farEnd = FarEnd::None;
  unsigned peer = 0;  // the bridge at the other end of a null-modem cable
  int revision = -1;  // -1: the machine's default
};

struct MachineDescription {
  std::vector<BridgeDescription> bridges;
  uint8_t revision = 0x30;
  bool realTime = true;
  uint64_t seed = 1;
  bool multiprocessor = false;
};

constexpr std::string_view kDefaultMachine = "COM8=loopback";

// Parses a description; on failure false and *error says which part is bad and why.
bool ParseMachineDescription(std::string_view text, MachineDescription* description, std::string* error);

// The description in its full form, every setting spelled out: each bridge with its far end and
// revision, then the time, the seed and the processor model, e.g.
// "COM8=loopback,rev=0x30;realtime;seed=1;up". It parses back to the same machine.
std::string FormatMachineDescription(const MachineDescription& description);

}  // namespace emu::win32
