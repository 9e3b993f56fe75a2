// Latencies of the driver in virtual time, each sampled on a fresh pair of bridges joined by a
// null-modem cable (8N1, no flow control):
//   - Read:     a byte's stop bit on the line -> completion of a one-byte read waiting for it
//               (returns on the first byte);
//   - Interval: the stop bit of a lone byte -> completion of a larger read that ends on its
//               interval time-out (kIntervalTimeoutMs); timers expire on clock ticks, 15.625 ms
//               apart unless an application asked for a finer clock (`fineClock`: 1 ms);
//   - Modem:    the far end's RTS change on the line -> completion of a WaitCommEvent (EV_CTS);
//   - Write:    the WriteFile call -> the start bit of its first character on the line.
// Successive samples start at different points of the USB frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nt/kernel.h"
#include "zm470/zm470.h"

namespace latency_probe {

enum class Kind { Read, Interval, Modem, Write };
const char* KindName(Kind kind);

inline constexpr uint32_t kIntervalTimeoutMs = 10;

// The configured time-out each kind waits for, beyond the USB frame.
emu::VirtualTime ConfiguredTimeout(Kind kind);

struct Samples {
  std::vector<emu::VirtualTime> latencies;
  std::vector<emu::VirtualTime> floors;  // for each latency, the least the design allows (DesignFloor)
  size_t missing = 0;  // samples that never completed, or completed with the wrong byte
  std::string error;   // the rig failed (empty: it ran)
};

Samples Measure(Kind kind, unsigned long baud, int samples, const emu::zm470::Config& chip = {},
                bool fineClock = false);

}  // namespace latency_probe
