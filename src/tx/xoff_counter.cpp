// The XOFF-counter request after its character has been sent.
#include "tx/xoff_counter.h"

#include "driver/request_accounting.h"
#include "serial/request_queue.h"
#include "tx/write_request.h"

namespace {

const LONGLONG kHundredNsPerMs = 10000;

PSERIAL_XOFF_COUNTER CounterValues(PIRP Irp) { return (PSERIAL_XOFF_COUNTER)Irp->AssociatedIrp.SystemBuffer; }

// XoffCountdown is read without the lock by the reader's fast path.
ULONG ReadCountdown(PPORT_EXTENSION Ext) {
  return (ULONG)InterlockedCompareExchange((LONG volatile*)&Ext->XoffCountdown, 0, 0);
}
VOID SetCountdown(PPORT_EXTENSION Ext, ULONG Value) {
  (VOID) InterlockedExchange((LONG volatile*)&Ext->XoffCountdown, (LONG)Value);
}

// Stops the time-out of the request that is ending. An expiry whose DPC is already queued or
// running is counted stale: that DPC must not act on a request counting later. Cancel spin lock
// held.
VOID StopXoffTimer(PPORT_EXTENSION Ext) {
  if (!Ext->XoffCounterTimerSet) return;
  Ext->XoffCounterTimerSet = FALSE;
  if (!KeCancelTimer(&Ext->XoffCounterTimer)) ++Ext->XoffCounterStaleDpcs;
}

VOID CompleteCounter(PPORT_EXTENSION Ext, PIRP Irp) {
  if (Irp != NULL) CompleteRequest(Ext, Irp, XOFF_COUNTER_BOOST);
}

}  // namespace

NTSTATUS StartXoffCounter(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (CounterValues(Irp)->Counter <= 0) return STATUS_INVALID_PARAMETER;
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  return StartOrQueueRequest(DeviceObject, Irp, &ext->WriteQueue, &ext->CurrentWrite, StartCurrentWrite);
}

VOID ParkXoffCounter(PPORT_EXTENSION Ext, PIRP Irp) {
  PSERIAL_XOFF_COUNTER values = CounterValues(Irp);
  Irp->IoStatus.Information = 0;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Cancelled while its character was on the wire: it ends now rather than counting first.
  if (Irp->Cancel || Ext->XoffCounterIrp != NULL) {
    IoReleaseCancelSpinLock(irql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    CompleteRequest(Ext, Irp, XOFF_COUNTER_BOOST);
    return;
  }
  Irp->IoStatus.Status = STATUS_PENDING;
  Ext->XoffCounterIrp = Irp;
  SetCountdown(Ext, (ULONG)values->Counter);
  (VOID) IoSetCancelRoutine(Irp, CancelXoffCounter);
  if (values->Timeout != 0) {
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)values->Timeout * kHundredNsPerMs;
    Ext->XoffCounterTimerSet = TRUE;
    KeSetTimer(&Ext->XoffCounterTimer, due, &Ext->XoffCounterTimeoutDpc);
  }
  IoReleaseCancelSpinLock(irql);
}

PIRP TakeXoffCounter(PPORT_EXTENSION Ext, NTSTATUS Status) {
  PIRP irp = Ext->XoffCounterIrp;
  if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL) return NULL;
  Ext->XoffCounterIrp = NULL;
  SetCountdown(Ext, 0);
  StopXoffTimer(Ext);
  irp->IoStatus.Status = Status;
  irp->IoStatus.Information = 0;
  return irp;
}

VOID CancelCountingXoffCounter(PPORT_EXTENSION Ext) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = TakeXoffCounter(Ext, STATUS_CANCELLED);
  IoReleaseCancelSpinLock(irql);
  CompleteCounter(Ext, irp);
}

VOID CountXoffCounterBytes(PPORT_EXTENSION Ext, ULONG Count) {
  if (Count == 0 || ReadCountdown(Ext) == 0) return;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP done = NULL;
  ULONG left = ReadCountdown(Ext);
  if (left != 0 && Ext->XoffCounterIrp != NULL) {
    const ULONG counted = Count < left ? Count : left;
    SetCountdown(Ext, left - counted);
    if (counted == left) done = TakeXoffCounter(Ext, STATUS_SUCCESS);
  }
  IoReleaseCancelSpinLock(irql);
  CompleteCounter(Ext, done);
}

VOID NTAPI XoffCounterExpired(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  PPORT_EXTENSION ext = (PPORT_EXTENSION)DeferredContext;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = NULL;
  if (ext->XoffCounterStaleDpcs > 0) {
    --ext->XoffCounterStaleDpcs;
  } else if (ext->XoffCounterTimerSet) {
    ext->XoffCounterTimerSet = FALSE;  // this expiry is being served: nothing to stop
    irp = TakeXoffCounter(ext, STATUS_SERIAL_COUNTER_TIMEOUT);
  }
  IoReleaseCancelSpinLock(irql);
  CompleteCounter(ext, irp);
}

VOID NTAPI CancelXoffCounter(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  if (ext->XoffCounterIrp != Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    return;
  }
  ext->XoffCounterIrp = NULL;
  SetCountdown(ext, 0);
  StopXoffTimer(ext);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  CompleteRequest(ext, Irp, XOFF_COUNTER_BOOST);
}
