// The internal device control dispatcher.
#include "serial/internal_control.h"

#include "driver/request_accounting.h"
#include "rx/receive_flow.h"
#include "tx/status_monitor.h"

namespace {

// The port has no FIFO settings of its own; basic settings report these.
const ULONG kReportedFifo = 1;

// Applies time-outs and handshake as one set. The time-outs change under ControlLock, so a read
// being served sees either all old or all new values.
VOID ApplySettings(PDEVICE_OBJECT DeviceObject, const SERIAL_BASIC_SETTINGS* Settings) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  ext->Timeouts = Settings->Timeouts;
  KeReleaseSpinLock(&ext->ControlLock, irql);
  ApplyHandFlow(DeviceObject, &Settings->HandFlow);
  (VOID) ReadModemStatus(DeviceObject);
}

// Reports the current settings into the buffer, then applies the basic ones.
VOID EnterBasicSettings(PDEVICE_OBJECT DeviceObject, PSERIAL_BASIC_SETTINGS Current) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  Current->Timeouts = ext->Timeouts;
  Current->HandFlow = ext->HandFlow;
  KeReleaseSpinLock(&ext->ControlLock, irql);
  Current->RxFifo = kReportedFifo;
  Current->TxFifo = kReportedFifo;
  SERIAL_BASIC_SETTINGS basic;
  RtlZeroMemory(&basic, sizeof(basic));
  ApplySettings(DeviceObject, &basic);
}

NTSTATUS ServeInternalCode(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PSERIAL_BASIC_SETTINGS buffer = (PSERIAL_BASIC_SETTINGS)Irp->AssociatedIrp.SystemBuffer;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
      if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SERIAL_BASIC_SETTINGS))
        return STATUS_BUFFER_TOO_SMALL;
      Irp->IoStatus.Information = sizeof(SERIAL_BASIC_SETTINGS);
      EnterBasicSettings(DeviceObject, buffer);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
      if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SERIAL_BASIC_SETTINGS))
        return STATUS_BUFFER_TOO_SMALL;
      ApplySettings(DeviceObject, buffer);
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

NTSTATUS NTAPI InternalIoctlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  // Kernel clients reach the port without a handle of their own: only the port's state counts,
  // not whether it is open.
  InterlockedIncrement(&ext->PendingRequests);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  if (ReadPortFlag(&ext->Started) && !ReadPortFlag(&ext->Removed))
    status = ServeInternalCode(DeviceObject, Irp);
  Irp->IoStatus.Status = status;
  return CompleteRequest(ext, Irp, IO_NO_INCREMENT);
}
