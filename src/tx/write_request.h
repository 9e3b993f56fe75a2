// Write requests: the write queue's dispatch, start, completion and cancellation. Writes, flushes
// and XOFF-counter requests share the queue; writes and XOFF-counter characters are sent by the
// writer thread.
//
// Hand-over: StartCurrentWrite parks the current request for the writer (WriteParked equal to
// CurrentWrite) with CancelCurrentWrite as its cancel routine, all under the cancel spin lock. The
// writer claims it under the same lock by exchanging the cancel routine with NULL: whoever gets
// the routine owns the request. A claimed request is finished only through WriteCompleteDpc; while
// one of its transfers is in flight it carries AbortWriteTransfer, which only ends the transfer.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// IRP_MJ_WRITE and IRP_MJ_FLUSH_BUFFERS. A zero-length write completes at once, and so does an
// escape command (tx/escape_commands.h); a flush is always queued and completes once every request
// ahead of it has finished.
NTSTATUS NTAPI WriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Start routine of the write queue: finishes the current request when it needs no sending
// (flushes, cancelled requests) and moves on, or parks it for the writer. STATUS_PENDING if the
// request current at the call was parked, else that request's final status. Called without
// locks, IRQL <= DISPATCH_LEVEL.
NTSTATUS StartCurrentWrite(PPORT_EXTENSION Ext);

// WriteCompleteDpc's routine (context: the port extension): completes the request the writer has
// finished and starts the next.
VOID NTAPI WriteComplete(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

// Cancel routine of a request parked for the writer.
VOID NTAPI CancelCurrentWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Cancel routine of a request whose transfer is in flight: makes the writer abort it.
VOID NTAPI AbortWriteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp);
