// Checked traffic on a port with a loopback plug, through the Win32 API: a worker writes chunks of
// seeded pseudo-random bytes and reads each back, comparing every byte. A chunk that overlapped a
// disturbance (Disturbances) may come back short, or its requests fail: the worker then settles,
// purges and, when the handle no longer works, closes it and opens the port again. A chunk that
// overlapped nothing must come back whole and unchanged; otherwise its missing bytes count as lost
// and the run fails.
#pragma once

#include <cstdint>
#include <string>

#include "rig.h"

namespace tarnwire_fundamentals {

struct StreamControl {
  bool stop = false;     // end the worker (it closes its handle)
  bool pause = false;    // no more chunks; the handle stays open
  bool release = false;  // close the handle and keep it closed (probing opens now and then)
  // Reported by the worker:
  bool idle = false;         // paused or released, no request outstanding
  bool open = false;         // holds an open handle
  bool inChunk = false;      // a chunk's read is outstanding
  uint64_t cleanChunks = 0;  // chunks that came back whole with nothing disturbing them
  uint64_t probesOpened = 0; // opens that succeeded while released (closed at once)
};

struct StreamOptions {
  unsigned com = 1;
  uint64_t seed = 1;
  uint32_t minChunk = 1;
  uint32_t maxChunk = 2048;
  bool injectLoss = false;  // lose one chunk on purpose (Inject::LostBytes)
};

// Runs in an application thread until control.stop.
void StreamPort(Rig& rig, const StreamOptions& options, StreamControl& control);

// From an application thread: waits until the worker has brought `more` chunks back clean after
// this call; false (and a failure naming `when`) after limitMs of virtual time.
bool AwaitCleanChunks(Rig& rig, unsigned com, StreamControl& control, uint64_t more, const std::string& when,
                      unsigned limitMs = 3000);
// Waits until the worker is idle (paused or released); false after limitMs.
bool AwaitIdle(StreamControl& control, unsigned limitMs = 3000);

// Opens COMn for overlapped I/O configured for the stream (921600 8N1, no flow control, bounded
// time-outs); nullptr (and *error set) when it does not open or cannot be configured.
void* OpenStreamPort(unsigned com, unsigned long* error);

}  // namespace tarnwire_fundamentals
