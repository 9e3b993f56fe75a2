// The read time-out rule.
#include "rx/read_timeouts.h"

// The total time-out multiplier × length + constant, or FALSE when it is MAXULONG or more (no
// timer).
static BOOLEAN TotalTimeout(const SERIAL_TIMEOUTS* Timeouts, ULONG Length, PULONG Ms) {
  ULONGLONG total =
      (ULONGLONG)Timeouts->ReadTotalTimeoutMultiplier * Length + Timeouts->ReadTotalTimeoutConstant;
  if (total >= MAXULONG) return FALSE;
  *Ms = (ULONG)total;
  return TRUE;
}

VOID DecideReadTimeouts(const SERIAL_TIMEOUTS* Timeouts, ULONG Remaining, ULONG Length, ULONG_PTR Delivered,
                        READ_TIMEOUT_DECISION* Decision) {
  RtlZeroMemory(Decision, sizeof *Decision);
  const ULONG interval = Timeouts->ReadIntervalTimeout;
  const ULONG multiplier = Timeouts->ReadTotalTimeoutMultiplier;
  const ULONG constant = Timeouts->ReadTotalTimeoutConstant;
  const BOOLEAN noTotals = multiplier == 0 && constant == 0;
  if (Remaining == 0) {
    Decision->Finished = TRUE;
    return;
  }
  if (interval == MAXULONG) {
    // Return what the ring held; with totals, wait for the first data at most the total time.
    if (noTotals || Delivered != 0) {
      Decision->Finished = TRUE;
      return;
    }
    if (multiplier == MAXULONG && constant != MAXULONG) {
      Decision->WantOneByte = TRUE;
      Decision->TotalMs = constant;
      Decision->TotalTimer = TRUE;
      return;
    }
    Decision->TotalTimer = TotalTimeout(Timeouts, Length, &Decision->TotalMs);
    return;
  }
  if (!noTotals) Decision->TotalTimer = TotalTimeout(Timeouts, Length, &Decision->TotalMs);
  if (interval != 0) {
    Decision->IntervalTimer = TRUE;
    Decision->IntervalMs = interval;
  }
}
