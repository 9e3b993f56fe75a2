// The file information requests serial applications send: a port has no size and no position,
// so the standard and position information read as zero and setting the end of file or the
// allocation succeeds without effect. PASSIVE_LEVEL.
#pragma once

#include "driver/platform.h"

NTSTATUS NTAPI QueryInformationDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SetInformationDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
