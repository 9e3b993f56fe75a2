// The read time-out rule: from the port's SERIAL_TIMEOUTS and the state of a read after a copy
// from the ring, whether the read is finished now or parks, and with which timers.
#pragma once

#include "driver/platform.h"

typedef struct _READ_TIMEOUT_DECISION {
  BOOLEAN Finished;       // complete the read now
  BOOLEAN WantOneByte;    // parks wanting only the first byte to arrive
  BOOLEAN TotalTimer;     // arm the total timer for TotalMs (once per request)
  BOOLEAN IntervalTimer;  // arm the interval timer for IntervalMs (once the read holds data)
  ULONG TotalMs;
  ULONG IntervalMs;
} READ_TIMEOUT_DECISION;

// Remaining: what the read still wants after the copy; Length: what it wanted before the copy;
// Delivered: the bytes it holds. The total time-out multiplier times Length plus the constant is
// computed in 64 bits; a total of MAXULONG ms or more arms no timer. ReadIntervalTimeout MAXULONG
// with ReadTotalTimeoutConstant MAXULONG (and the totals not both 0) waits without a timer for
// the first data and returns what has arrived.
VOID DecideReadTimeouts(const SERIAL_TIMEOUTS* Timeouts, ULONG Remaining, ULONG Length, ULONG_PTR Delivered,
                        READ_TIMEOUT_DECISION* Decision);

// Relative due time of a read timer of Ms milliseconds: every read time-out runs 1 ms longer than
// its value.
inline LONGLONG ReadTimerDueTime(ULONG Ms) { return -(LONGLONG)((ULONGLONG)Ms + 1) * 10000; }
