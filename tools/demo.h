// The demo: the driver serving two ZM470 bridges in the emulated machine.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwire_tool {

struct DemoOptions {
  uint64_t seed = 1;
  bool multiprocessor = false;
  std::string capturePath = "tarnwire-demo.pcap";
};

// Prints what happens; returns the process exit code.
int RunDemo(const DemoOptions& options);

}  // namespace tarnwire_tool
