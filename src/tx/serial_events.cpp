// Serial events and the wait-on-mask request.
#include "tx/serial_events.h"

#include "driver/request_accounting.h"

// Wait-mask bits that no serial event uses.
#define WAIT_MASK_INVALID_BITS 0xFFFFF000u

static PULONG WaitResult(PIRP Irp) { return (PULONG)Irp->AssociatedIrp.SystemBuffer; }

VOID DeliverEvents(PPORT_EXTENSION Ext) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  PIRP wait = Ext->WaitIrp;
  if (wait != NULL && Ext->EventHistory != 0) {
    *WaitResult(wait) |= Ext->EventHistory;
    Ext->EventHistory = 0;
    wait->IoStatus.Information = sizeof(ULONG);
    KeInsertQueueDpc(&Ext->WaitDpc, NULL, NULL);
  }
  KeReleaseSpinLock(&Ext->ControlLock, irql);
}

VOID NTAPI WaitSatisfied(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PPORT_EXTENSION ext = (PPORT_EXTENSION)DeferredContext;
  KIRQL cancelIrql, irql;
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  PIRP wait = ext->WaitIrp;
  // Only a request that was handed over (Information 4) is completed: on a multiprocessor this
  // routine may already run, for a request that cancellation has since taken, when the next
  // request parks. A NULL exchange means a canceller owns the request and completes it.
  if (wait != NULL && wait->IoStatus.Information == sizeof(ULONG) && IoSetCancelRoutine(wait, NULL) != NULL) {
    ext->WaitIrp = NULL;
  } else {
    wait = NULL;
  }
  KeReleaseSpinLock(&ext->ControlLock, irql);
  IoReleaseCancelSpinLock(cancelIrql);
  if (wait != NULL) {
    wait->IoStatus.Status = STATUS_SUCCESS;
    CompleteRequest(ext, wait, WAIT_BOOST);
  }
}

VOID NTAPI CancelParkedWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  PIRP wait = ext->WaitIrp;
  // The canceller exchanged the cancel routine of Irp, so Irp is owned here; any other request in
  // the slot only when its own exchange succeeds.
  if (wait != NULL && (wait == Irp || IoSetCancelRoutine(wait, NULL) != NULL)) {
    // A WaitDpc still queued is left to run: it finds the slot empty, or a request that was not
    // handed over, and leaves it. (The image avoids KeRemoveQueueDpc, which Wine's kernel, where
    // it is load-tested, does not implement.)
    ext->WaitIrp = NULL;
    *WaitResult(wait) = 0;
    wait->IoStatus.Status = STATUS_CANCELLED;
    wait->IoStatus.Information = sizeof(ULONG);
  } else {
    wait = NULL;
  }
  KeReleaseSpinLock(&ext->ControlLock, irql);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  if (wait != NULL) CompleteRequest(ext, wait, WAIT_BOOST);
}

NTSTATUS SetWaitMask(PPORT_EXTENSION Ext, ULONG Mask) {
  if ((Mask & WAIT_MASK_INVALID_BITS) != 0) return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  PIRP wait = Ext->WaitIrp;
  if (wait != NULL) {
    // The parked request ends with a 0 result, whatever was delivered to it before.
    *WaitResult(wait) = 0;
    wait->IoStatus.Information = sizeof(ULONG);
    KeInsertQueueDpc(&Ext->WaitDpc, NULL, NULL);
  }
  Ext->EventHistory &= Mask;
  Ext->WaitMask = Mask;
  KeReleaseSpinLock(&Ext->ControlLock, irql);
  KeSetEvent(&Ext->StatusEvent, 1, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS WaitOnMask(PPORT_EXTENSION Ext, PIRP Irp) {
  KeSetEvent(&Ext->StatusEvent, 1, FALSE);
  KIRQL cancelIrql, irql;
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  NTSTATUS status = STATUS_PENDING;
  BOOLEAN cancelled = FALSE;
  if (Ext->WaitMask == 0 || Ext->WaitIrp != NULL || WaitResult(Irp) == NULL) {
    status = STATUS_INVALID_PARAMETER;
  } else if (Ext->EventHistory != 0) {
    *WaitResult(Irp) = Ext->EventHistory;
    Ext->EventHistory = 0;
    Irp->IoStatus.Information = sizeof(ULONG);
    status = STATUS_SUCCESS;
  } else {
    IoMarkIrpPending(Irp);
    *WaitResult(Irp) = 0;
    if (Irp->Cancel) {
      // Cancelled before it could be parked: no cancel routine will run for it.
      cancelled = TRUE;
    } else {
      // Information 0 until a hand-over: WaitSatisfied completes only handed-over requests.
      Irp->IoStatus.Information = 0;
      (VOID) IoSetCancelRoutine(Irp, CancelParkedWait);
      Ext->WaitIrp = Irp;
    }
  }
  KeReleaseSpinLock(&Ext->ControlLock, irql);
  IoReleaseCancelSpinLock(cancelIrql);
  if (cancelled) {
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = sizeof(ULONG);
    CompleteRequest(Ext, Irp, WAIT_BOOST);
  }
  return status;
}
