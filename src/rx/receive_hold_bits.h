// Changing the hold words (TxHoldFlags, RxHoldFlags) so that each hold and each release acts
// once: only the caller that changed a bit takes the action that goes with the change.
#pragma once

#include "driver/platform.h"

// Sets Bit; TRUE when this caller found it clear (and so takes the hold's action).
inline BOOLEAN TakeHold(ULONG* Word, ULONG Bit) {
  return (InterlockedOr((LONG volatile*)Word, (LONG)Bit) & (LONG)Bit) == 0;
}

// Clears Bit; TRUE when this caller found it set (and so takes the release's action).
inline BOOLEAN ReleaseHold(ULONG* Word, ULONG Bit) {
  return (InterlockedAnd((LONG volatile*)Word, ~(LONG)Bit) & (LONG)Bit) != 0;
}

// The word as the interlocked updates left it.
inline ULONG ReadHolds(ULONG* Word) { return (ULONG)InterlockedOr((LONG volatile*)Word, 0); }
