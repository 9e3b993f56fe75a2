// The bulk-out writer thread.
//
// The thread serves only the request parked for it (CurrentWrite equal to WriteParked) and claims
// it under the cancel spin lock by taking its cancel routine: a request whose routine is already
// gone belongs to the cancel path and is left alone. Once claimed, the request is never completed
// here: WriteCompleteDpc does that, so the thread's hand-back and the queue's next start happen in
// one place.
#include "tx/writer_thread.h"

#include "driver/driver_globals.h"
#include "serial/request_queue.h"
#include "tx/status_monitor.h"
#include "tx/status_wake.h"
#include "tx/write_request.h"
#include "tx/write_timeouts.h"
#include "usb/line_format.h"
#include "usb/modem_lines.h"
#include "usb/usb_request.h"

namespace {

const KPRIORITY kWriterPriority = 17;
const ULONG kPollModeVersion = 0x20;  // chips below report no status of their own
const ULONG kXoffCharOffset = FIELD_OFFSET(SERIAL_XOFF_COUNTER, XoffChar);

// What the thread keeps across the pieces of one request.
struct WriteJob {
  PIRP irp;
  PUCHAR data;
  ULONG length;
  BOOLEAN timed;
  LARGE_INTEGER dueTime;
  ULONG sent;               // bytes the bus reported sent
  NTSTATUS lastWaitResult;  // of the last piece's wait
  PKEVENT done;             // the thread's transfer completion event
};

ULONG ReadTxHolds(PPORT_EXTENSION Port) {
  return (ULONG)InterlockedCompareExchange((LONG volatile*)&Port->TxHoldFlags, 0, 0);
}

// Whether a request is parked for the thread now. Only pointers are compared: a request that is
// not claimed may be gone.
BOOLEAN RequestParked(PPORT_EXTENSION Port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN parked = Port->CurrentWrite != NULL && Port->CurrentWrite == Port->WriteParked;
  IoReleaseCancelSpinLock(irql);
  return parked;
}

// Whether transmission is held, refreshing the modem-input holds first on chips that report no
// status of their own while an output handshake is on.
BOOLEAN TransmitHeld(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  ULONG holds = ReadTxHolds(port);
  ULONG flowReplace = (ULONG)InterlockedCompareExchange((LONG volatile*)&port->HandFlow.FlowReplace, 0, 0);
  // Only a hold by XOFF with XOFF_CONTINUE lets the lines be looked at again; any hold still
  // stops the request below.
  if (holds != 0 && !((holds & TX_HOLD_XOFF) != 0 && (flowReplace & SERIAL_XOFF_CONTINUE) != 0)) return TRUE;
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  ULONG handShake = port->HandFlow.ControlHandShake;
  KeReleaseSpinLock(&port->ControlLock, irql);
  if (ReadChipVersion(port) < kPollModeVersion && (handShake & SERIAL_OUT_HANDSHAKEMASK) != 0)
    (VOID) ReadModemStatus(DeviceObject);
  return ReadTxHolds(port) != 0;
}

// Claims the parked request: NULL when it is no longer parked or its cancel routine has already
// been taken by a canceller, which then finishes it.
PIRP ClaimParkedRequest(PPORT_EXTENSION Port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = Port->CurrentWrite;
  if (irp == NULL || irp != Port->WriteParked || IoSetCancelRoutine(irp, NULL) == NULL) irp = NULL;
  IoReleaseCancelSpinLock(irql);
  return irp;
}

// Installs AbortWriteTransfer for the piece in flight. A cancel that came before the routine was
// in place found none to call: the thread aborts the piece itself.
VOID AllowTransferAbort(PPORT_EXTENSION Port, PIRP Irp) {
  (VOID) IoSetCancelRoutine(Irp, AbortWriteTransfer);
  if (CancelRequested(Irp) && IoSetCancelRoutine(Irp, NULL) != NULL)
    KeSetEvent(&Port->WriteAbortEvent, 1, FALSE);
}

// Sends Length bytes at Data as one bulk-out transfer and waits for it under the job's time-out
// and cancellation. Adds the bytes the bus reports sent to the job. Returns the transfer's status.
NTSTATUS SendPiece(PDEVICE_OBJECT DeviceObject, WriteJob* Job, PUCHAR Data, ULONG Length) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  PURB urb = (PURB)port->WriteUrbBlock;
  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         port->BulkOutPipe, Data, NULL, Length, 0, NULL);
  InterlockedIncrement(&port->BulkOutBusy);
  InterlockedIncrement(&port->UsbBusyCount);
  KeClearEvent(Job->done);
  KeClearEvent(&port->WriteAbortEvent);

  IO_STATUS_BLOCK iosb;
  iosb.Status = STATUS_SUCCESS;
  iosb.Information = 0;
  NTSTATUS status;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, port->LowerDeviceObject, NULL, 0,
                                           NULL, 0, TRUE, Job->done, &iosb);
  if (irp == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
  } else {
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    Job->lastWaitResult = STATUS_SUCCESS;
    status = IoCallDriver(port->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
      AllowTransferAbort(port, Job->irp);
      PVOID objects[2] = {Job->done, &port->WriteAbortEvent};
      Job->lastWaitResult = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                                     Job->timed ? &Job->dueTime : NULL, NULL);
      // Taking the routine back may find it already taken by a canceller: that one only signals
      // the abort event, which the next piece clears.
      (VOID) IoSetCancelRoutine(Job->irp, NULL);
      if (Job->lastWaitResult != STATUS_WAIT_0) {
        (VOID) PipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_BULK_OUT);
        KeWaitForSingleObject(Job->done, Executive, KernelMode, FALSE, NULL);
      }
      status = iosb.Status;
    }
  }
  Job->sent += urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  InterlockedDecrement(&port->UsbBusyCount);
  InterlockedDecrement(&port->BulkOutBusy);
  return status;
}

// Waits, before a further piece, while transmission is held: a received XOFF (or a handshake
// line the driver watches itself) then stops a long request after the piece on the bus rather
// than after the whole request, which would overrun the far end's ring. The wait ends when the
// holds clear (WriterEvent), on a cancel or a Plug and Play abort (WriteAbortEvent) or at the
// job's time-out; the last two return STATUS_CANCELLED, with lastWaitResult telling them apart.
NTSTATUS WaitWhileHeld(PDEVICE_OBJECT DeviceObject, WriteJob* Job) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  while (TransmitHeld(DeviceObject)) {
    if (!ReadPortFlag(&port->Started) || ReadPortFlag(&port->Removed)) return STATUS_CANCELLED;
    KeClearEvent(&port->WriteAbortEvent);
    AllowTransferAbort(port, Job->irp);
    PVOID objects[2] = {&port->WriterEvent, &port->WriteAbortEvent};
    Job->lastWaitResult = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                                   Job->timed ? &Job->dueTime : NULL, NULL);
    (VOID) IoSetCancelRoutine(Job->irp, NULL);
    if (Job->lastWaitResult != STATUS_WAIT_0 || CancelRequested(Job->irp)) return STATUS_CANCELLED;
  }
  return STATUS_SUCCESS;
}

// Sends the whole job: full pieces while more than one piece remains, each continuing from the
// first byte the bus did not take, then the rest once. A cancel before a piece stops the job, and
// a hold makes it wait.
NTSTATUS SendJob(PDEVICE_OBJECT DeviceObject, WriteJob* Job) {
  NTSTATUS status = STATUS_SUCCESS;
  while (Job->length - Job->sent > WRITE_PIECE_SIZE) {
    if (CancelRequested(Job->irp)) return STATUS_CANCELLED;
    if (Job->sent != 0 && !NT_SUCCESS(status = WaitWhileHeld(DeviceObject, Job))) return status;
    ULONG before = Job->sent;
    status = SendPiece(DeviceObject, Job, Job->data + Job->sent, WRITE_PIECE_SIZE);
    if (!NT_SUCCESS(status)) return status;
    if (Job->sent == before) return STATUS_DEVICE_DATA_ERROR;  // no progress: the device takes nothing
  }
  if (CancelRequested(Job->irp)) return STATUS_CANCELLED;
  if (Job->sent != 0 && !NT_SUCCESS(status = WaitWhileHeld(DeviceObject, Job))) return status;
  return SendPiece(DeviceObject, Job, Job->data + Job->sent, Job->length - Job->sent);
}

// The request's outcome from the transfer status: Information is what was sent, except for a
// cancellation, which reports nothing.
VOID RecordResult(PDEVICE_OBJECT DeviceObject, WriteJob* Job, NTSTATUS Status) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  PURB urb = (PURB)port->WriteUrbBlock;
  PIRP irp = Job->irp;
  if (Status == STATUS_CANCELLED || urb->UrbHeader.Status == USBD_STATUS_CANCELED) {
    BOOLEAN timedOut = Job->lastWaitResult == STATUS_TIMEOUT;
    irp->IoStatus.Status = timedOut ? STATUS_TIMEOUT : STATUS_CANCELLED;
    irp->IoStatus.Information = timedOut ? Job->sent : 0;
  } else {
    irp->IoStatus.Status = Status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : Status;
    irp->IoStatus.Information = Job->sent;
    if (!NT_SUCCESS(Status)) ResetPipeAfterFailure(DeviceObject, PIPE_SELECT_BULK_OUT);
  }
  CountTransmittedBytes(port, Job->sent);
}

// After a request in transmit-toggle mode: RTS drops once the chip reports its transmitter idle.
// When the request sent nothing and no earlier transmission is still leaving, no such report will
// come, so RTS drops now.
VOID EndTransmitToggle(PDEVICE_OBJECT DeviceObject, BOOLEAN Raised, BOOLEAN EarlierDropPending, ULONG Sent) {
  if (!Raised) return;
  if (Sent == 0 && !EarlierDropPending)
    (VOID) SetRts(DeviceObject, FALSE);
  else
    WakeStatusThread(DeviceObject);
}

// Serves the parked request, if any and not held.
VOID ServeCurrentWrite(PDEVICE_OBJECT DeviceObject, PKEVENT Done) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  if (!ReadPortFlag(&port->Started) || ReadPortFlag(&port->Removed) || !RequestParked(port)) return;
  if (TransmitHeld(DeviceObject)) return;  // stays parked until the writer is woken again
  PIRP irp = ClaimParkedRequest(port);
  if (irp == NULL) return;

  WriteJob job = {};
  job.irp = irp;
  job.done = Done;
  PUCHAR buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    job.length = 1;
    job.data = buffer + kXoffCharOffset;
  } else {
    job.length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    job.data = buffer;
  }
  job.timed = WriteTransferDueTime(port, job.length, &job.dueTime);

  NTSTATUS status = STATUS_CANCELLED;
  BOOLEAN raised = FALSE, earlierDropPending = FALSE;
  if (!CancelRequested(irp)) {
    ApplySoftwareParity(port, job.data, job.length);
    if (TransmitToggleMode(port)) {
      earlierDropPending = InterlockedCompareExchange((LONG volatile*)&port->RtsToggleCount, 0, 0) != 0;
      (VOID) SetRts(DeviceObject, TRUE);
      raised = TRUE;
    }
    status = SendJob(DeviceObject, &job);
  }
  RecordResult(DeviceObject, &job, status);
  EndTransmitToggle(DeviceObject, raised, earlierDropPending, job.sent);

  // Hand back under the lock that guards the hand-over marker.
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  port->WriteParked = NULL;
  KeInsertQueueDpc(&port->WriteCompleteDpc, NULL, NULL);
  IoReleaseCancelSpinLock(irql);
}

}  // namespace

VOID NTAPI WriterThread(PVOID StartContext) {
  PDEVICE_OBJECT device = (PDEVICE_OBJECT)StartContext;
  PPORT_EXTENSION port = PortExtension(device);
  InterlockedIncrement(&port->ThreadCount);
  KeSetPriorityThread(KeGetCurrentThread(), kWriterPriority);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  while (PortThreadsMayRun(port)) {
    KeWaitForSingleObject(&port->WriterEvent, Executive, KernelMode, FALSE, NULL);
    if (!PortThreadsMayRun(port)) break;
    ServeCurrentWrite(device, &done);
  }
  // The extension may be freed as soon as the count reaches 0: nothing of it is used after this.
  InterlockedDecrement(&port->ThreadCount);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
