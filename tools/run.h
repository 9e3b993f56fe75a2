// `tarnwire run`: a scenario file (scenario.h) run in a virtual-time machine.
#pragma once

#include <string>

#include "session.h"

namespace tarnwire_tool {

struct RunOptions {
  CommonOptions common;
  std::string path;
};

// Returns the process exit code: 0 when every step checked out, 1 when one failed, 2 when the
// file cannot be read or is malformed.
int RunScenario(const RunOptions& options);

}  // namespace tarnwire_tool
