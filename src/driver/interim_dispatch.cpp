// Interim dispatch routines: power passed down.
#include "driver/interim_dispatch.h"

#include "driver/port_extension.h"

NTSTATUS NTAPI PassDownPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(PortExtension(DeviceObject)->LowerDeviceObject, Irp);
}
