// The demo: the driver serving two ZM470 bridges on a null-modem cable, data both ways at once.
#pragma once

#include <cstdint>

#include "session.h"

namespace tarnwire_tool {

struct DemoOptions {
  CommonOptions common;
  uint64_t bytes = 327680;  // each way on the RTS/CTS leg; the XON/XOFF leg moves an eighth of it
};

// Prints what happens; returns the process exit code.
int RunDemo(const DemoOptions& options);

}  // namespace tarnwire_tool
