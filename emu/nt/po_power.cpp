// The power manager routines drivers call: passing a power request down, requesting a device
// power request, and reporting a device's new power state. Power requests are not serialised per
// device here, so PoStartNextPowerIrp has only its IRQL rule to check; PoCallDriver delivers the
// request like IoCallDriver, at the caller's IRQL (at most DISPATCH_LEVEL, as documented).
#include "nt/io_util.h"
#include "nt/kernel.h"
#include "nt/power_manager.h"

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

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(DISPATCH_LEVEL, reinterpret_cast<const void*>(&PoRequestPowerIrp));
  return emu::PowerManager::Current().RequestPowerIrp(DeviceObject, MinorFunction, PowerState,
                                                      CompletionFunction, Context, Irp);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(DISPATCH_LEVEL, reinterpret_cast<const void*>(&PoSetPowerState));
  return emu::PowerManager::Current().SetPowerState(DeviceObject, Type, State);
}
