// The control codes that report on the port: communication status and errors, statistics,
// properties and the wait mask. Each routine takes a request whose buffer lengths the dispatcher has checked,
// sets the answer's Information and returns the request's status. PASSIVE_LEVEL.
#pragma once

#include "driver/platform.h"

// IOCTL_SERIAL_GET_COMMSTATUS: errors (cleared, which ends an error abort), hold reasons and the
// amounts queued each way.
NTSTATUS GetCommStatusControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS GetStatsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ClearStatsControl(PDEVICE_OBJECT DeviceObject);
NTSTATUS GetPropertiesControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS GetWaitMaskControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
