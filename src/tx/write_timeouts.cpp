// The write total time-out.
#include "tx/write_timeouts.h"

namespace {

const ULONGLONG kHundredNsPerMs = 10000;
// Longest wait whose due time still fits a LONGLONG in 100-ns units.
const ULONGLONG kLongestWaitMs = 0x7FFFFFFFFFFFFFFFull / kHundredNsPerMs;

}  // namespace

BOOLEAN WriteTransferDueTime(PPORT_EXTENSION Port, ULONG Length, PLARGE_INTEGER DueTime) {
  KIRQL irql;
  KeAcquireSpinLock(&Port->ControlLock, &irql);
  ULONG multiplier = Port->Timeouts.WriteTotalTimeoutMultiplier;
  ULONG constant = Port->Timeouts.WriteTotalTimeoutConstant;
  KeReleaseSpinLock(&Port->ControlLock, irql);
  if (multiplier == 0 && constant == 0) return FALSE;

  // At most (2^32 - 1)^2 + 2^32 - 1 < 2^64: no overflow.
  ULONGLONG total = (ULONGLONG)multiplier * Length + constant;
  if (total == MAXULONG) return FALSE;
  ULONGLONG waitMs = total + 1;
  if (waitMs > kLongestWaitMs) waitMs = kLongestWaitMs;
  DueTime->QuadPart = -(LONGLONG)(waitMs * kHundredNsPerMs);
  return TRUE;
}
