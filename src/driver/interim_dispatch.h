// Dispatch routines for the major functions whose own routines are still to come: power and
// system control requests go to the drivers below as a function driver must pass them on.
#pragma once

#include "driver/platform.h"

// IRP_MJ_POWER: starts the next power request and passes this one down.
NTSTATUS NTAPI PassDownPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// IRP_MJ_SYSTEM_CONTROL: passes the request down.
NTSTATUS NTAPI PassDownSystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
