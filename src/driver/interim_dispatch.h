// Dispatch routines for the major functions whose own routines are still to come: system control
// requests go to the drivers below as a function driver must pass them on, and the data and
// control requests of an open port are counted and refused.
#pragma once

#include "driver/platform.h"

// IRP_MJ_SYSTEM_CONTROL: passes the request down.
NTSTATUS NTAPI PassDownSystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Read, write, flush, device control, internal device control, query and set information:
// admitted or refused as every counted request is, then completed with
// STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS NTAPI UnservedRequestDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
