// Request queues and their cancellation.
#include "serial/request_queue.h"

#include "driver/request_accounting.h"

LONG TxPendingShare(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction == IRP_MJ_WRITE) return (LONG)stack->Parameters.Write.Length;
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) return 1;
  return 0;
}

namespace {

VOID AddTxPending(PPORT_EXTENSION Ext, LONG Amount) {
  if (Amount != 0) (VOID) InterlockedExchangeAdd((volatile LONG*)&Ext->TxPending, Amount);
}

// A request enters a current slot: the parked marker of its direction no longer applies.
VOID ClearParkedFor(PPORT_EXTENSION Ext, PIRP Irp) {
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ)
    Ext->ReadParked = NULL;
  else
    Ext->WriteParked = NULL;
}

// Flags the request cancelled and takes its cancel routine away; the caller holds the cancel
// spin lock, acquired at CancelIrql.
PDRIVER_CANCEL TakeForCancel(PIRP Irp, KIRQL CancelIrql) {
  __atomic_store_n(&Irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_RELEASE);  // read by CancelRequested
  Irp->CancelIrql = CancelIrql;
  return IoSetCancelRoutine(Irp, NULL);
}

}  // namespace

NTSTATUS StartOrQueueRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PLIST_ENTRY Queue, PIRP* CurrentSlot,
                             PQUEUE_START_ROUTINE Start) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  RequestBufferPosition(Irp) = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  if (Irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    CompleteRequest(ext, Irp, QUEUE_BOOST_CANCELLED_ON_ENTRY);
    return STATUS_CANCELLED;
  }
  AddTxPending(ext, TxPendingShare(Irp));

  if (IsListEmpty(Queue) && *CurrentSlot == NULL) {
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (major == IRP_MJ_READ) ext->ReadParked = NULL;
    if (major == IRP_MJ_WRITE) ext->WriteParked = NULL;
    *CurrentSlot = Irp;
    IoReleaseCancelSpinLock(irql);
    return Start(ext);
  }

  IoMarkIrpPending(Irp);
  Irp->IoStatus.Status = STATUS_PENDING;
  InsertTailList(Queue, &Irp->Tail.Overlay.ListEntry);
  (VOID) IoSetCancelRoutine(Irp, CancelQueuedRequest);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

VOID NTAPI CancelQueuedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  AddTxPending(ext, -TxPendingShare(Irp));
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  CompleteRequest(ext, Irp, QUEUE_BOOST_CANCELLED_QUEUED);
}

VOID CancelAllRequests(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP* CurrentSlot) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Every request in the list carries CancelQueuedRequest, which releases the lock.
  while (!IsListEmpty(Queue)) {
    PIRP irp = CONTAINING_RECORD(Queue->Flink, IRP, Tail.Overlay.ListEntry);
    PDRIVER_CANCEL cancel = TakeForCancel(irp, irql);
    cancel(DeviceObject, irp);
    IoAcquireCancelSpinLock(&irql);
  }
  PIRP current = *CurrentSlot;
  if (current != NULL) {
    PDRIVER_CANCEL cancel = TakeForCancel(current, irql);
    if (cancel != NULL) {
      cancel(DeviceObject, current);  // parked: its own cancel routine finishes it
      return;
    }
  }
  IoReleaseCancelSpinLock(irql);
}

VOID CancelWaitRequest(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP wait = ext->WaitIrp;
  if (wait != NULL) {
    PDRIVER_CANCEL cancel = TakeForCancel(wait, irql);
    if (cancel != NULL) {
      cancel(DeviceObject, wait);  // clears WaitIrp and releases the lock
      return;
    }
  }
  IoReleaseCancelSpinLock(irql);
}

PIRP AdvanceQueue(PIRP* CurrentSlot, PLIST_ENTRY Queue, PPORT_EXTENSION Ext) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP old = *CurrentSlot;
  PIRP next = NULL;
  if (IsListEmpty(Queue)) {
    if (old != NULL) ClearParkedFor(Ext, old);
    *CurrentSlot = NULL;
  } else {
    next = CONTAINING_RECORD(RemoveHeadList(Queue), IRP, Tail.Overlay.ListEntry);
    *CurrentSlot = next;
    ClearParkedFor(Ext, next);
    (VOID) IoSetCancelRoutine(next, NULL);
  }
  IoReleaseCancelSpinLock(irql);
  // A request still pending has been handed on by its service code and is completed elsewhere.
  if (old != NULL && old->IoStatus.Status != STATUS_PENDING) CompleteRequest(Ext, old, QUEUE_BOOST_LEFT_SLOT);
  return next;
}
