// Scenario files for `tarnwire run`. One step per line; '#' starts a comment; blank lines are
// ignored; words are separated by spaces; COM names take any case. The machine is described
// first, then the steps run in order:
//
//   bridge COMn [rev=0xNN]      a ZM470 bridge whose port is COMn (1 to 256), chip revision 0xNN
//                               (default 0x30; below 0x20 the chip is of the older kind)
//   cable COMa COMb             a null-modem cable between two bridges' connectors
//   loopback COMn [ri]          a loopback plug on COMn's connector (with `ri`, RI wired to DTR)
//
//   line BAUD FORMAT FLOW       the rate (75 to 3000000), format (e.g. 8N1, 7E2) and flow control
//                               (none, rts or xon) of the transfers that follow; default
//                               115200 8N1 none
//   send COMa COMb BYTES        BYTES pseudo-random bytes (1 to 16777216) from COMa to COMb, every
//                               one checked at COMb (COMa = COMb on a loopback plug)
//   exchange COMa COMb BYTES    BYTES each way at once
//   text COMa COMb TEXT...      the rest of the line, from COMa to COMb, checked at COMb
//   sleep MS                    lets MS milliseconds (1 to 600000) of virtual time pass
//   unplug COMn                 pulls COMn's bridge out: a write on its open handle must fail, and
//                               once the handle is closed the name must no longer open
//
// With XON/XOFF the data avoids the XON and XOFF characters; on a loopback plug the flow control
// should be none or rts (the port would stop itself with its own XOFF).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer.h"
#include "win32/machine_description.h"

namespace tarnwire_tool {

struct Step {
  enum class Kind { Line, Send, Exchange, Text, Sleep, Unplug };
  Kind kind = Kind::Sleep;
  int lineNumber = 0;
  unsigned from = 0;
  unsigned to = 0;
  uint64_t count = 0;  // bytes, or milliseconds for a sleep
  std::string text;
  LineSettings settings;  // for Kind::Line
};

struct Scenario {
  emu::win32::MachineDescription machine;
  std::vector<Step> steps;
};

// Parses a scenario; on failure false and *error is "LINE: what is wrong".
bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error);

}  // namespace tarnwire_tool
