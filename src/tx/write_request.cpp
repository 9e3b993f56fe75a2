// Write requests and their queue.
#include "tx/write_request.h"

#include "driver/request_accounting.h"
#include "serial/request_queue.h"
#include "tx/escape_commands.h"
#include "tx/serial_events.h"
#include "tx/xoff_counter.h"

namespace {

const KPRIORITY kWriterIncrement = 3;

// Gives back the request's share of TxPending as it leaves the current slot. A start after a stop
// resets the count while a request may still be in the writer's hands, so the count stops at 0
// rather than wrapping.
VOID ReleaseTxPending(PPORT_EXTENSION Ext, PIRP Irp) {
  LONG share = TxPendingShare(Irp);
  if (share == 0) return;
  LONG volatile* count = (LONG volatile*)&Ext->TxPending;
  LONG before = InterlockedCompareExchange(count, 0, 0);
  for (;;) {
    LONG after = (ULONG)before > (ULONG)share ? before - share : 0;
    LONG seen = InterlockedCompareExchange(count, after, before);
    if (seen == before) return;
    before = seen;
  }
}

// SERIAL_EV_TXEMPTY when the write queue has run empty and the mask asks for it.
VOID SignalTxEmpty(PPORT_EXTENSION Ext) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  BOOLEAN watched = (Ext->WaitMask & SERIAL_EV_TXEMPTY) != 0;
  if (watched) Ext->EventHistory |= SERIAL_EV_TXEMPTY;
  KeReleaseSpinLock(&Ext->ControlLock, irql);
  if (watched) DeliverEvents(Ext);
}

BOOLEAN IsXoffCounter(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL;
}

}  // namespace

NTSTATUS NTAPI WriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = AdmitRequest(DeviceObject, Irp);
  if (status != STATUS_SUCCESS) return status;
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction == IRP_MJ_WRITE && stack->Parameters.Write.Length == 0) {
    return CompleteRequest(ext, Irp, IO_NO_INCREMENT);
  }
  if (ExecuteEscapeCommand(DeviceObject, Irp, &status)) return status;
  return StartOrQueueRequest(DeviceObject, Irp, &ext->WriteQueue, &ext->CurrentWrite, StartCurrentWrite);
}

NTSTATUS StartCurrentWrite(PPORT_EXTENSION Ext) {
  BOOLEAN first = TRUE;
  NTSTATUS result = STATUS_PENDING;
  for (;;) {
    PIRP request = Ext->CurrentWrite;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Ext->WriteParked = NULL;
    // Any request reaching the head ends a counting XOFF-counter request.
    PIRP ended = TakeXoffCounter(Ext, STATUS_SERIAL_MORE_WRITES);
    UCHAR major = IoGetCurrentIrpStackLocation(request)->MajorFunction;
    NTSTATUS status;
    if (request->Cancel) {
      status = STATUS_CANCELLED;
    } else if (major == IRP_MJ_FLUSH_BUFFERS) {
      status = STATUS_SUCCESS;
    } else if (major == IRP_MJ_DEVICE_CONTROL && ended != NULL) {
      status = STATUS_CANCELLED;
    } else {
      request->IoStatus.Status = STATUS_SUCCESS;
      IoMarkIrpPending(request);
      Ext->WriteParked = request;
      (VOID) IoSetCancelRoutine(request, CancelCurrentWrite);
      KeSetEvent(&Ext->WriterEvent, kWriterIncrement, FALSE);
      IoReleaseCancelSpinLock(irql);
      if (ended != NULL) CompleteRequest(Ext, ended, XOFF_COUNTER_BOOST);
      return first ? STATUS_PENDING : result;
    }
    request->IoStatus.Status = status;
    request->IoStatus.Information = 0;
    if (first) {
      result = status;
      first = FALSE;
    }
    IoReleaseCancelSpinLock(irql);
    if (ended != NULL) CompleteRequest(Ext, ended, XOFF_COUNTER_BOOST);
    ReleaseTxPending(Ext, request);
    // Only a request this call moved into the slot is ours to start: one that a dispatch routine
    // put into the emptied slot meanwhile is started by that routine.
    if (AdvanceQueue(&Ext->CurrentWrite, &Ext->WriteQueue, Ext) == NULL) {
      SignalTxEmpty(Ext);
      return result;
    }
  }
}

VOID NTAPI WriteComplete(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  PPORT_EXTENSION ext = (PPORT_EXTENSION)DeferredContext;
  PIRP finished = ext->CurrentWrite;
  if (finished == NULL) return;
  ReleaseTxPending(ext, finished);
  // An XOFF-counter request leaves the queue still pending and starts counting only once out of
  // the slot: nothing can end it before the queue has let go of it.
  BOOLEAN counter = IsXoffCounter(finished);
  if (counter) finished->IoStatus.Status = STATUS_PENDING;
  PIRP next = AdvanceQueue(&ext->CurrentWrite, &ext->WriteQueue, ext);
  if (counter) ParkXoffCounter(ext, finished);
  if (next != NULL)
    (VOID) StartCurrentWrite(ext);
  else
    SignalTxEmpty(ext);
}

VOID NTAPI CancelCurrentWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  // The routine is installed only on the parked current request; the writer, which claims by
  // taking the routine, can no longer serve it.
  ext->WriteParked = NULL;
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  ReleaseTxPending(ext, Irp);
  if (AdvanceQueue(&ext->CurrentWrite, &ext->WriteQueue, ext) != NULL) (VOID) StartCurrentWrite(ext);
}

VOID NTAPI AbortWriteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  KeSetEvent(&ext->WriteAbortEvent, 1, FALSE);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
}
