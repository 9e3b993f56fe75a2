// Read requests: IRP_MJ_READ served from the receive ring under the port's read time-outs.
//
// One read at a time is current (the read queue of serial/request_queue.h). Its owner serves it:
// the dispatch routine that made it current, or the routine that moved it into the slot. A read
// that cannot finish parks with CancelCurrentRead installed and up to two timers armed. Four
// routines resume a parked read, and each first takes ownership by exchanging the read's cancel
// routine with NULL under the cancel spin lock: ReadContinue (bytes arrived), the two timer DPCs
// and the cancel path (the I/O manager or CancelAllRequests has made the exchange before it calls
// CancelCurrentRead). Only the winner of the exchange finishes the read, so every read is
// completed exactly once; a wake-up that loses, or that belongs to an earlier parking or an
// earlier read, does nothing.
//
// Stale wake-ups: a timer DPC acts only when the deadline recorded in the current read for its
// timer has passed, so a DPC left over from a finished read cannot time out the next one.
// ReadContinue acts only on a read the parked-read kick has taken out of ReadParked, so a
// leftover ReadContinue does not serve a read that nobody kicked.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// IRP_MJ_READ.
NTSTATUS NTAPI ReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Serves the current read, which the caller owns, and every read that becomes current after it.
// Returns the status of the first read: STATUS_PENDING when it parked. Holds ControlLock while
// it copies and decides, the cancel spin lock inside it while it parks. IRQL <= DISPATCH_LEVEL.
NTSTATUS ServiceCurrentRead(PPORT_EXTENSION Ext);

// DPC routines (context: the port extension) and the cancel routine of the parked current read.
VOID NTAPI ReadTotalExpired(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI ReadIntervalExpired(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
VOID NTAPI ReadContinue(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI CancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The parked-read kick of the producers of received bytes: when the current read is parked and
// not yet kicked, takes it out of ReadParked and queues ReadContinueDpc. Takes the cancel spin
// lock, which guards ReadParked. IRQL <= DISPATCH_LEVEL.
VOID KickParkedRead(PPORT_EXTENSION Ext);

// Initialises the read timers and DPCs of a new port.
VOID InitializeReadRequests(PPORT_EXTENSION Ext);
