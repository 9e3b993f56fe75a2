// Plug and Play requests of a port: start, stop and removal with their queries, surprise removal
// and the capabilities answer, and the forwarding of a request to the drivers below.
#pragma once

#include "driver/platform.h"

// IRP_MJ_PNP. PASSIVE_LEVEL, in the Plug and Play manager's thread, one request at a time per
// device. Plug and Play requests are not counted in PendingRequests.
NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Sends the request to LowerDeviceObject and waits until the drivers below have completed it; the
// request then belongs to the caller again, which completes it. Returns the lower drivers' status.
// PASSIVE_LEVEL.
NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ForwardIrpAndWait with the request sent down by IoCallDriver or, when Power is TRUE, by
// PoCallDriver. PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Power);

// Completion routine of ForwardIrpAndWait: signals the event given as Context and keeps the
// request (STATUS_MORE_PROCESSING_REQUIRED).
NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
