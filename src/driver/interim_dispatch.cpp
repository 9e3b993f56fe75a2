// Interim dispatch routines: power and system control passed down.
#include "driver/interim_dispatch.h"

#include "driver/port_extension.h"

NTSTATUS NTAPI PassDownPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(PortExtension(DeviceObject)->LowerDeviceObject, Irp);
}

NTSTATUS NTAPI PassDownSystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(PortExtension(DeviceObject)->LowerDeviceObject, Irp);
}
