// The receive ring: the circular buffer every received byte passes through on its way from the
// producers (the reader thread, inserted status and escape bytes, escape-command replies) to the
// current read request.
//
// Locking: every producer stores under ControlLock, like the consumer and the RXCLEAR reset. A
// store can come from a dispatch thread at PASSIVE_LEVEL and be preempted by the reader thread,
// which runs at a higher priority; without one lock the two would share RingWritePtr and one of
// the bytes would be overwritten while RingCount still counted both (a stale byte delivered, one
// lost). Under ControlLock a store is also ordered against the reset, which so never leaves
// RingCount counting a byte stored before it. A producer storing many bytes (the reader thread's
// per-transfer loop) takes ControlLock once and stores each through RingStoreByteLocked.
//
// A byte that arrives while the ring holds RingSize bytes is dropped: RingCount never exceeds
// RingSize, so a copy stays within the storage. The loss shows as a buffer overrun in the
// statistics and as SERIAL_ERROR_QUEUEOVERRUN in CommErrors.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Free bytes below which a reader thread that has stopped submitting transfers is not woken: at
// least this many and one more must be free.
#define RING_READER_WAKE_ROOM 64

// Stores one byte, taking ControlLock. PASSIVE_LEVEL or DISPATCH_LEVEL, ControlLock not held.
VOID RingPutByte(PPORT_EXTENSION Ext, UCHAR Byte);

// The same with ControlLock already held by the caller, for producers that store several bytes
// under one acquisition.
VOID RingStoreByteLocked(PPORT_EXTENSION Ext, UCHAR Byte);

// Moves what the ring holds, up to what the current read still wants, into the read at its buffer
// position, and wakes an idle reader thread once the ring has room for another transfer.
// CurrentRead must be non-NULL and the caller must hold ControlLock. Returns the length the read
// still wants.
ULONG CopyRingToRead(PPORT_EXTENSION Ext);

// Discards everything the ring holds (the RXCLEAR purge). Takes ControlLock.
VOID ClearReceiveRing(PPORT_EXTENSION Ext);
