#include "support/peer_program.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

namespace test_support {

PeerProgram::PeerProgram() {
  char dir[] = "/tmp/tarnwire-peer-XXXXXX";
  if (mkdtemp(dir) == nullptr) ADD_FAILURE() << "cannot create a directory under /tmp";
  dir_ = dir;
}

PeerProgram::~PeerProgram() {
  if (program_) Finish();
  rmdir(dir_.c_str());
}

bool PeerProgram::Start(const std::string& script, const std::string& args) {
  const std::string command = std::string(TARNWIRE_PYTHON3) + " " + script + " " + args + " 2>&1";
  program_.reset(popen(command.c_str(), "r"));
  return program_ != nullptr;
}

std::pair<int, std::string> PeerProgram::Finish() {
  if (!program_) return {-1, "the program was not started"};
  std::string output;
  char buf[256];
  while (fgets(buf, sizeof buf, program_.get())) output += buf;
  return {pclose(program_.release()), output};
}

bool RunRealTimeUntil(emu::Kernel& kernel, const std::function<bool()>& done, emu::VirtualTime limit) {
  const emu::VirtualTime end = kernel.Now() + limit;
  while (!done() && kernel.Now() < end) {
    kernel.RunUntil(done, std::min(end, kernel.Now() + 10 * emu::kMillisecond));
  }
  return done();
}

}  // namespace test_support
