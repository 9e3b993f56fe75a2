// Read requests and their time-outs.
#include "rx/read_request.h"

#include "driver/request_accounting.h"
#include "rx/read_timeouts.h"
#include "rx/receive_ring.h"
#include "serial/request_queue.h"

namespace {

const CCHAR kReadBoost = 2;

// Interrupt times (100 ns) at which the current read's timers are due, 0 when not armed. Kept in
// the driver's context words of the request, which are the driver's while the request is current.
struct ReadDeadlines {
  ULONGLONG Total;
  ULONGLONG Interval;
};
static_assert(sizeof(ReadDeadlines) <= sizeof(((PIRP)0)->Tail.Overlay.DriverContext),
              "the read deadlines fit the request's driver context");

ReadDeadlines* Deadlines(PIRP Irp) { return (ReadDeadlines*)Irp->Tail.Overlay.DriverContext; }

VOID ArmReadTimer(PKTIMER Timer, PKDPC Dpc, ULONG Ms, ULONGLONG* Deadline) {
  LARGE_INTEGER due;
  due.QuadPart = ReadTimerDueTime(Ms);
  *Deadline = KeQueryInterruptTime() + (ULONGLONG)(-due.QuadPart);
  (VOID) KeSetTimer(Timer, due, Dpc);
}

BOOLEAN DeadlinePassed(ULONGLONG Deadline) { return Deadline != 0 && KeQueryInterruptTime() >= Deadline; }

// Takes ownership of the parked current read. Caller holds the cancel spin lock.
BOOLEAN ClaimParkedRead(PPORT_EXTENSION Ext, PIRP Read) {
  if (Read == NULL || IoSetCancelRoutine(Read, NULL) == NULL) return FALSE;
  Ext->ReadParked = NULL;
  return TRUE;
}

VOID StopReadTimers(PPORT_EXTENSION Ext) {
  Ext->ReadTotalTimerSet = FALSE;
  Ext->ReadIntervalTimerSet = FALSE;
  (VOID) KeCancelTimer(&Ext->ReadTotalTimer);
  (VOID) KeCancelTimer(&Ext->ReadIntervalTimer);
}

// The owner of a finished current read completes it and serves the reads after it.
VOID FinishOwnedRead(PPORT_EXTENSION Ext) {
  StopReadTimers(Ext);
  if (AdvanceQueue(&Ext->CurrentRead, &Ext->ReadQueue, Ext) != NULL) (VOID) ServiceCurrentRead(Ext);
}

// A timer DPC: times the current read out when its deadline has passed and the DPC wins it.
VOID ReadTimerExpired(PPORT_EXTENSION Ext, BOOLEAN Total) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP read = Ext->CurrentRead;
  BOOLEAN owned = FALSE;
  if (read != NULL) {
    ReadDeadlines* deadlines = Deadlines(read);
    if (DeadlinePassed(Total ? deadlines->Total : deadlines->Interval)) owned = ClaimParkedRead(Ext, read);
  }
  if (owned) read->IoStatus.Status = STATUS_TIMEOUT;  // Information keeps the bytes delivered
  IoReleaseCancelSpinLock(irql);
  if (owned) FinishOwnedRead(Ext);
}

}  // namespace

VOID InitializeReadRequests(PPORT_EXTENSION Ext) {
  KeInitializeTimer(&Ext->ReadTotalTimer);
  KeInitializeTimer(&Ext->ReadIntervalTimer);
  KeInitializeDpc(&Ext->ReadTotalDpc, ReadTotalExpired, Ext);
  KeInitializeDpc(&Ext->ReadIntervalDpc, ReadIntervalExpired, Ext);
  KeInitializeDpc(&Ext->ReadContinueDpc, ReadContinue, Ext);
}

NTSTATUS NTAPI ReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = AdmitRequest(DeviceObject, Irp);
  if (status != STATUS_SUCCESS) return status;
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  Irp->IoStatus.Information = 0;
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length == 0) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    CompleteRequest(ext, Irp, kReadBoost);
    return STATUS_SUCCESS;
  }
  RtlZeroMemory(Deadlines(Irp), sizeof(ReadDeadlines));
  return StartOrQueueRequest(DeviceObject, Irp, &ext->ReadQueue, &ext->CurrentRead, ServiceCurrentRead);
}

NTSTATUS ServiceCurrentRead(PPORT_EXTENSION Ext) {
  NTSTATUS result = STATUS_PENDING;
  BOOLEAN first = TRUE;
  for (;;) {
    PIRP read = Ext->CurrentRead;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(read);
    ReadDeadlines* deadlines = Deadlines(read);
    const ULONG length = stack->Parameters.Read.Length;
    read->IoStatus.Status = STATUS_SUCCESS;

    // The cancel spin lock comes before ControlLock, as everywhere both are held.
    KIRQL irql, cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLock(&Ext->ControlLock, &irql);
    const ULONG remaining = CopyRingToRead(Ext);
    READ_TIMEOUT_DECISION decision;
    DecideReadTimeouts(&Ext->Timeouts, remaining, length, read->IoStatus.Information, &decision);
    if (!decision.Finished) {
      if (read->Cancel) {
        // Bytes already copied into its buffer are not reported.
        read->IoStatus.Status = STATUS_CANCELLED;
        read->IoStatus.Information = 0;
      } else {
        IoMarkIrpPending(read);
        if (decision.WantOneByte) stack->Parameters.Read.Length = 1;
        // The interval is measured from the last pass that parks the read with data.
        deadlines->Interval = 0;
        if (read->IoStatus.Information != 0 && decision.IntervalTimer) {
          Ext->ReadIntervalTimerSet = TRUE;
          ArmReadTimer(&Ext->ReadIntervalTimer, &Ext->ReadIntervalDpc, decision.IntervalMs,
                       &deadlines->Interval);
        }
        if (decision.TotalTimer && deadlines->Total == 0) {
          Ext->ReadTotalTimerSet = TRUE;
          ArmReadTimer(&Ext->ReadTotalTimer, &Ext->ReadTotalDpc, decision.TotalMs, &deadlines->Total);
        }
        Ext->ReadParked = read;
        (VOID) IoSetCancelRoutine(read, CancelCurrentRead);
        KeReleaseSpinLock(&Ext->ControlLock, irql);
        IoReleaseCancelSpinLock(cancelIrql);
        return result;
      }
    }
    KeReleaseSpinLock(&Ext->ControlLock, irql);
    IoReleaseCancelSpinLock(cancelIrql);

    if (first) {
      first = FALSE;
      result = read->IoStatus.Status;
    }
    StopReadTimers(Ext);
    if (AdvanceQueue(&Ext->CurrentRead, &Ext->ReadQueue, Ext) == NULL) return result;
  }
}

VOID NTAPI ReadTotalExpired(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  ReadTimerExpired((PPORT_EXTENSION)DeferredContext, TRUE);
}

VOID NTAPI ReadIntervalExpired(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  ReadTimerExpired((PPORT_EXTENSION)DeferredContext, FALSE);
}

VOID NTAPI ReadContinue(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PPORT_EXTENSION ext = (PPORT_EXTENSION)DeferredContext;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  ext->ReadContinueQueued = FALSE;
  PIRP read = ext->CurrentRead;
  // A read still in ReadParked was not kicked: this run belongs to an earlier parking.
  BOOLEAN owned = read != NULL && ext->ReadParked != read && ClaimParkedRead(ext, read);
  IoReleaseCancelSpinLock(irql);
  if (owned) (VOID) ServiceCurrentRead(ext);
}

VOID NTAPI CancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  // The canceller took the cancel routine: Irp, the parked current read, is owned here.
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  ext->ReadParked = NULL;
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  FinishOwnedRead(ext);
}

VOID KickParkedRead(PPORT_EXTENSION Ext) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP read = Ext->CurrentRead;
  if (read != NULL && read == Ext->ReadParked) {
    Ext->ReadParked = NULL;
    Ext->ReadContinueQueued = TRUE;
    (VOID) KeInsertQueueDpc(&Ext->ReadContinueDpc, NULL, NULL);
  }
  IoReleaseCancelSpinLock(irql);
}
