// Admission and completion of counted requests.
#include "driver/request_accounting.h"

NTSTATUS AdmitRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  InterlockedIncrement(&ext->PendingRequests);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;

  if (!ReadPortFlag(&ext->Started) || ReadOpenState(ext) == PORT_CLOSED || ReadPortFlag(&ext->Removed)) {
    NTSTATUS status = ReadPortFlag(&ext->Removed) ? STATUS_DELETE_PENDING : STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Status = status;
    CompleteRequest(ext, Irp, IO_NO_INCREMENT);
    return status;
  }

  // Error abort: while errors are recorded, only the request that reads and clears them passes.
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  const BOOLEAN aborting = (ext->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) != 0 && ext->CommErrors != 0;
  KeReleaseSpinLock(&ext->ControlLock, irql);
  if (aborting) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_SERIAL_GET_COMMSTATUS) {
      Irp->IoStatus.Status = STATUS_CANCELLED;
      Irp->IoStatus.Information = 0;
      CompleteRequest(ext, Irp, IO_NO_INCREMENT);
      return STATUS_CANCELLED;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS CompleteRequest(PPORT_EXTENSION Ext, PIRP Irp, CCHAR PriorityBoost) {
  // Read before completion: the request may be freed by it.
  NTSTATUS status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, PriorityBoost);
  InterlockedDecrement(&Ext->PendingRequests);
  return status;
}
