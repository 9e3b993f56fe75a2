// IRP_MJ_DEVICE_CONTROL of a port: the standard serial control codes and the USB pass-through.
#pragma once

#include "driver/platform.h"

// The private control code through which a vendor tool reaches the bridge's USB device:
// CTL_CODE(FILE_DEVICE_UNKNOWN, 0xF34, METHOD_BUFFERED, FILE_ANY_ACCESS).
#define IOCTL_BRIDGE_PASSTHROUGH 0x00223CD0

// Admits the request, serves its control code and completes it, unless it was left pending.
// PASSIVE_LEVEL.
NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
