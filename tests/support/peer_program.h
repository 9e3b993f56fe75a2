// A program that plays the far end of a line on a pty (a pyserial script), run beside a machine
// in real-time mode, with a directory of its own for the pty bridge's control socket.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "nt/kernel.h"

namespace test_support {

class PeerProgram {
 public:
  PeerProgram();   // creates the directory (a test failure if it cannot)
  ~PeerProgram();  // waits for a program still running; removes the directory once it is empty
  PeerProgram(const PeerProgram&) = delete;
  PeerProgram& operator=(const PeerProgram&) = delete;

  std::string ControlSocket() const { return dir_ + "/control"; }
  // Starts the system's python3 on `script` with `args`, its standard error joined to its standard
  // output. False when it cannot be started.
  bool Start(const std::string& script, const std::string& args);
  // Waits for the program to end: its exit status (as pclose gives it) and everything it printed.
  std::pair<int, std::string> Finish();

 private:
  std::string dir_;
  std::unique_ptr<FILE, int (*)(FILE*)> program_{nullptr, pclose};
};

// Runs a real-time kernel until done() holds or `limit` of time has passed. The kernel looks at
// done() after work posted from outside (the pty bridge's reader) only at its next event, so it
// runs in slices of 10 ms.
bool RunRealTimeUntil(emu::Kernel& kernel, const std::function<bool()>& done, emu::VirtualTime limit);

}  // namespace test_support
