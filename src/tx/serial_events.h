// Serial events and the wait-on-mask request: the mask of events a port watches, the events that
// occurred and were not yet handed over, and the one parked IOCTL_SERIAL_WAIT_ON_MASK request.
//
// Exclusion: WaitMask, EventHistory, WaitIrp and the parked request's result ULONG are touched
// only under ControlLock, by every routine here and by everything that records events. WaitIrp
// changes only while the cancel spin lock is held as well, so that a canceller that finds the
// request there under the cancel spin lock alone (cleanup) still finds it alive. Who completes
// the parked request is decided by IoSetCancelRoutine: the party whose exchange returns the
// cancel routine owns the request (a canceller has already exchanged it before it calls
// CancelParkedWait). The owner takes the request out of WaitIrp and completes it after releasing
// every lock. Where both spin locks are held, the cancel spin lock comes first.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Priority boost of the wait-on-mask completions.
#define WAIT_BOOST 2

// Hands the recorded events to the parked request: ORs EventHistory into its result, clears
// EventHistory, sets Information to 4 and queues WaitDpc. The request stays parked (and
// cancellable) until WaitSatisfied runs; events delivered meanwhile join the same result.
// Nothing happens while no request is parked or no event is recorded. IRQL <= DISPATCH_LEVEL,
// ControlLock not held.
VOID DeliverEvents(PPORT_EXTENSION Ext);

// WaitDpc's routine (context: the port extension): completes the parked request with
// STATUS_SUCCESS and the result and Information its hand-over left.
VOID NTAPI WaitSatisfied(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

// Cancel routine of the parked request, entered with the cancel spin lock held (released here):
// completes the request found in WaitIrp with STATUS_CANCELLED, Information 4 and a 0 result.
VOID NTAPI CancelParkedWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IOCTL_SERIAL_SET_WAIT_MASK: refuses masks with bits of 0xFFFFF000 (STATUS_INVALID_PARAMETER);
// otherwise hands a parked request over with a 0 result, keeps only the recorded events the new
// mask selects, stores the mask and wakes the status monitor. IRQL <= DISPATCH_LEVEL.
NTSTATUS SetWaitMask(PPORT_EXTENSION Ext, ULONG Mask);

// IOCTL_SERIAL_WAIT_ON_MASK (the output length already checked): STATUS_INVALID_PARAMETER with no
// mask, a request already parked or no system buffer; STATUS_SUCCESS with the recorded events in
// the result and Information 4 when there are any (the caller completes the request in both
// cases); otherwise STATUS_PENDING, the request marked pending and parked with CancelParkedWait
// (or, when it was cancelled before it could be parked, completed here as cancelled).
// IRQL <= DISPATCH_LEVEL.
NTSTATUS WaitOnMask(PPORT_EXTENSION Ext, PIRP Irp);
