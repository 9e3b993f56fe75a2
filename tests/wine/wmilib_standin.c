// Test-only stand-in for WMILIB.SYS, which Wine does not ship: the WMI library routines a driver can
// import, so that Wine's loader resolves them. Wine sends no WMI requests to kernel drivers and
// nothing registers WMI blocks here, so each routine only has its documented effect on the IRP or
// buffer it is given.
#include <ntddk.h>
#include <wmilib.h>

// No WMI block is registered through this library, so no request is addressed to the caller's
// device: it is passed down the stack like any WMI request for another provider.
__declspec(dllexport) NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject,
                                                      PIRP Irp, PSYSCTL_IRP_DISPOSITION IrpDisposition) {
  UNREFERENCED_PARAMETER(WmiLibInfo);
  UNREFERENCED_PARAMETER(DeviceObject);
  *IrpDisposition = IrpForward;
  return Irp->IoStatus.Status;
}

__declspec(dllexport) NTSTATUS NTAPI
    WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                       CCHAR PriorityBoost) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = BufferUsed;
  IoCompleteRequest(Irp, PriorityBoost);
  return Status;
}

// The event buffer belongs to WMI once passed in; with no consumer, the event is dropped.
__declspec(dllexport) NTSTATUS NTAPI WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid,
                                                  ULONG InstanceIndex, ULONG EventDataSize, PVOID EventData) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Guid);
  UNREFERENCED_PARAMETER(InstanceIndex);
  UNREFERENCED_PARAMETER(EventDataSize);
  if (EventData != NULL) ExFreePool(EventData);
  return STATUS_SUCCESS;
}
