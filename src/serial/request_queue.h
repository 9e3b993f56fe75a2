// The port's two request queues (reads; writes, flushes and XOFF-counter requests) and the
// cancellation of queued, current and wait-on-mask requests.
//
// A queue is a list of waiting requests, a current-request slot and a parked marker, all guarded
// by the system cancel spin lock and nothing else. A request in a list carries
// CancelQueuedRequest as its cancel routine; a current request carries none unless its service
// code has parked it. A request is completed exactly once, by the routine that takes it out of
// its list (CancelQueuedRequest) or its slot (AdvanceQueue).
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Priority boosts of the queue's completions.
#define QUEUE_BOOST_CANCELLED_ON_ENTRY 0
#define QUEUE_BOOST_CANCELLED_QUEUED 2
#define QUEUE_BOOST_LEFT_SLOT 4

// A request is served in place: the stack location's length is what remains to transfer and its
// fourth parameter word (a device control request's Type3InputBuffer) the buffer position.
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4) ==
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer),
              "the buffer position is the fourth parameter word");
inline PUCHAR& RequestBufferPosition(PIRP Irp) {
  return reinterpret_cast<PUCHAR&>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4);
}

// What a request adds to the bytes waiting to be sent (TxPending) while it is in the transmit
// queue: a write its length, an XOFF-counter (device control) request 1, anything else nothing.
LONG TxPendingShare(PIRP Irp);

// Whether the request has been cancelled, for a thread that looks without the cancel spin lock
// (the writer between its steps). The flag is set under that lock and read with an atomic load.
inline BOOLEAN CancelRequested(PIRP Irp) { return __atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE); }

// The start routine of a direction: serves the request just put in the current slot.
typedef NTSTATUS (*PQUEUE_START_ROUTINE)(PPORT_EXTENSION Ext);

// Makes the request current and starts it when its queue is idle (returning the start routine's
// status), queues it otherwise (STATUS_PENDING), or completes a request cancelled before it got
// here (STATUS_CANCELLED). Writes add their length and device control (XOFF-counter) requests
// add 1 to TxPending. PASSIVE_LEVEL or DISPATCH_LEVEL.
NTSTATUS StartOrQueueRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PLIST_ENTRY Queue, PIRP* CurrentSlot,
                             PQUEUE_START_ROUTINE Start);

// Cancel routine of a queued request: unlinks and completes it with STATUS_CANCELLED. Entered
// with the cancel spin lock held; releases it.
VOID NTAPI CancelQueuedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Cancels every queued request and the current one: a current request with a cancel routine
// (parked) through that routine; one without is only flagged, and its service code finishes it
// as cancelled. PASSIVE_LEVEL or DISPATCH_LEVEL.
VOID CancelAllRequests(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP* CurrentSlot);

// Cancels the pending wait-on-mask request through its cancel routine, if it has one.
VOID CancelWaitRequest(PDEVICE_OBJECT DeviceObject);

// Moves the next queued request into the slot (or empties it) and completes the request that was
// there unless its status is still STATUS_PENDING. Never starts the new request: the caller does.
// Returns the request it moved into the slot (the caller owns it and starts it), NULL when the
// slot was left empty. Called with neither ControlLock nor the cancel spin lock held.
PIRP AdvanceQueue(PIRP* CurrentSlot, PLIST_ENTRY Queue, PPORT_EXTENSION Ext);
