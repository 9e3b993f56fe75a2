// Power requests of a port. The driver is the port's power policy owner: a system set-power
// request becomes a device set-power request that the driver asks for and waits for before the
// system request goes on. Leaving D0 marks the port not started; returning to D0 configures the
// USB device again, initialises the chip from the settings in the port extension and wakes the
// port threads.
#pragma once

#include "driver/platform.h"

// IRP_MJ_POWER. PASSIVE_LEVEL (the port device is power-pageable). Power requests are not
// counted in PendingRequests.
NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ForwardIrpAndWait for a power request: sent down with PoCallDriver; the caller completes it
// afterwards. Returns the lower drivers' status. PASSIVE_LEVEL.
NTSTATUS ForwardPowerIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Completion function of the device set-power request a system set-power request asks for:
// signals the event given as Context.
VOID NTAPI PowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                            PVOID Context, PIO_STATUS_BLOCK IoStatus);
