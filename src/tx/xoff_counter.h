// The XOFF-counter request (IOCTL_SERIAL_XOFF_COUNTER): its character is sent through the write
// queue like a one-byte write; afterwards the request counts received bytes and ends in exactly
// one of four ways: the count reaches 0 (STATUS_SUCCESS), another write-queue request reaches the
// head (STATUS_SERIAL_MORE_WRITES), its time-out expires (STATUS_SERIAL_COUNTER_TIMEOUT), or it
// is cancelled (STATUS_CANCELLED).
//
// Exclusion: XoffCounterIrp, XoffCountdown, XoffCounterTimerSet and XoffCounterStaleDpcs change
// only under the cancel spin lock. Whoever ends the request takes it out of XoffCounterIrp and
// clears XoffCountdown in the same hold of the lock, so no later byte counts for a request that
// has ended. A request whose cancel routine has already been taken by the I/O manager is left in
// its slot for that routine to complete.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Priority boost of the counting request's completions.
#define XOFF_COUNTER_BOOST 2

// Starts an admitted IOCTL_SERIAL_XOFF_COUNTER request whose system buffer holds the caller's
// SERIAL_XOFF_COUNTER: STATUS_INVALID_PARAMETER (the request not completed) for a Counter below 1;
// otherwise the request joins the write queue and the result of StartOrQueueRequest is returned.
// PASSIVE_LEVEL.
NTSTATUS StartXoffCounter(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The request's character has been sent and it has left CurrentWrite: it becomes XoffCounterIrp
// and counts, with its time-out running. A request cancelled meanwhile, or one that finds another
// counting, is completed with STATUS_CANCELLED instead. DISPATCH_LEVEL, no lock held.
VOID ParkXoffCounter(PPORT_EXTENSION Ext, PIRP Irp);

// Takes the counting request out of its slot with the given final status, for the caller to
// complete with CompleteRequest and XOFF_COUNTER_BOOST after releasing the lock. NULL when none
// is counting or its cancel routine is already on its way. Caller holds the cancel spin lock.
PIRP TakeXoffCounter(PPORT_EXTENSION Ext, NTSTATUS Status);

// Ends a counting request as cancelled (cleanup of the handle, removal). IRQL <= DISPATCH_LEVEL.
VOID CancelCountingXoffCounter(PPORT_EXTENSION Ext);

// Counts bytes the reader has stored: when the count reaches 0 the counting request completes
// with STATUS_SUCCESS. Costs one atomic read while nothing counts. IRQL <= DISPATCH_LEVEL, no
// spin lock held.
VOID CountXoffCounterBytes(PPORT_EXTENSION Ext, ULONG Count);

// XoffCounterTimeoutDpc's routine (context: the port extension).
VOID NTAPI XoffCounterExpired(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

// Cancel routine of the counting request.
VOID NTAPI CancelXoffCounter(PDEVICE_OBJECT DeviceObject, PIRP Irp);
