// The bulk-out writer thread: sends the current write-queue request (a write, or the character of
// an XOFF-counter request) on the chip's bulk-out pipe in pieces of at most 4096 bytes, with the
// write time-out and cancellation applied to each piece, and hands it back through
// WriteCompleteDpc.
#pragma once

#include "driver/platform.h"

// Largest bulk-out transfer the thread submits.
#define WRITE_PIECE_SIZE 4096u

// Thread routine; the start context is the port's device object.
VOID NTAPI WriterThread(PVOID StartContext);
