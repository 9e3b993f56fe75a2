// Interim dispatch routines: system control passed down, the other requests refused.
#include "driver/interim_dispatch.h"

#include "driver/request_accounting.h"

NTSTATUS NTAPI PassDownSystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(PortExtension(DeviceObject)->LowerDeviceObject, Irp);
}

NTSTATUS NTAPI UnservedRequestDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = AdmitRequest(DeviceObject, Irp);
  if (status != STATUS_SUCCESS) return status;
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  return CompleteRequest(PortExtension(DeviceObject), Irp, IO_NO_INCREMENT);
}
