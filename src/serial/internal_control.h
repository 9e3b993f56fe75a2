// IRP_MJ_INTERNAL_DEVICE_CONTROL of a port: the internal serial control codes through which a
// kernel-mode client puts the port into basic settings (no time-outs, no handshake or flow
// control) and later restores its own, and the wait-wake codes, accepted without effect.
#pragma once

#include "driver/platform.h"

// Counts the request, serves it on a started port that is not being removed
// (STATUS_INVALID_DEVICE_REQUEST otherwise) and completes it. PASSIVE_LEVEL.
NTSTATUS NTAPI InternalIoctlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
