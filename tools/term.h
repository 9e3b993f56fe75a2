// The terminal: an emulated port in a real-time machine whose line ends in a Linux pty, with the
// program's standard input and output as the port's two directions.
#pragma once

#include <string>

#include "session.h"
#include "transfer.h"

namespace tarnwire_tool {

struct TermOptions {
  CommonOptions common;
  unsigned com = 8;
  std::string peer = "pty";
  LineSettings settings{115200, 8, 'N', 1, Flow::None};
};

// Runs until Ctrl-] or the end of standard input; returns the process exit code.
int RunTerm(const TermOptions& options);

}  // namespace tarnwire_tool
