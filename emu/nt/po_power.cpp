// The power manager routines drivers use to pass power requests down their stacks. Power requests
// are not serialised per device here, so PoStartNextPowerIrp has only its IRQL rule to check;
// PoCallDriver delivers the request like IoCallDriver, at the caller's IRQL (at most
// DISPATCH_LEVEL, as documented).
#include "nt/io_util.h"
#include "nt/kernel.h"

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(DISPATCH_LEVEL, reinterpret_cast<const void*>(&PoStartNextPowerIrp));
  (void)Irp;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(DISPATCH_LEVEL, reinterpret_cast<const void*>(&PoCallDriver));
  return IofCallDriver(DeviceObject, Irp);
}
