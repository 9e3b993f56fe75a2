// File information requests on the port's handle.
#include "driver/file_information.h"

#include "driver/request_accounting.h"

NTSTATUS NTAPI QueryInformationDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = AdmitRequest(DeviceObject, Irp);
  if (status != STATUS_SUCCESS) return status;

  // The I/O manager has checked the buffer against the class's size before the request came.
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation:
      RtlZeroMemory(buffer, sizeof(FILE_STANDARD_INFORMATION));
      Irp->IoStatus.Information = sizeof(FILE_STANDARD_INFORMATION);
      break;
    case FilePositionInformation:
      RtlZeroMemory(buffer, sizeof(FILE_POSITION_INFORMATION));
      Irp->IoStatus.Information = sizeof(FILE_POSITION_INFORMATION);
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
  }
  Irp->IoStatus.Status = status;
  return CompleteRequest(PortExtension(DeviceObject), Irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SetInformationDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = AdmitRequest(DeviceObject, Irp);
  if (status != STATUS_SUCCESS) return status;

  switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.SetFile.FileInformationClass) {
    case FileEndOfFileInformation:
    case FileAllocationInformation:
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
  }
  Irp->IoStatus.Status = status;
  return CompleteRequest(PortExtension(DeviceObject), Irp, IO_NO_INCREMENT);
}
