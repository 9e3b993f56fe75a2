// Dispatch routines for the major functions whose own routines are still to come: power requests
// go to the drivers below as a function driver must pass them on.
#pragma once

#include "driver/platform.h"

// IRP_MJ_POWER: starts the next power request and passes this one down.
NTSTATUS NTAPI PassDownPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
