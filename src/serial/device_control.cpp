// The device control dispatcher: admission, selection by control code and completion.
#include "serial/device_control.h"

#include "driver/request_accounting.h"
#include "usb/pass_through.h"

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = AdmitRequest(DeviceObject, Irp);
  if (status != STATUS_SUCCESS) return status;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_BRIDGE_PASSTHROUGH:
      status = stack->Parameters.DeviceIoControl.InputBufferLength < PASS_THROUGH_HEADER_SIZE
                   ? STATUS_BUFFER_TOO_SMALL
                   : PassThroughRequest(DeviceObject, Irp);
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  if (status == STATUS_PENDING) return status;
  Irp->IoStatus.Status = status;
  return CompleteRequest(PortExtension(DeviceObject), Irp, IO_NO_INCREMENT);
}
