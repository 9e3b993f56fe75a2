// Request accounting: admission of application requests and their completion, which keep the
// port's PendingRequests count.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Counts the request and checks that the port may take it. STATUS_SUCCESS: admitted, and the
// caller completes it later with CompleteRequest. Any other status: the request has already
// been completed with that status, which the dispatch routine returns. PASSIVE_LEVEL.
NTSTATUS AdmitRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Completes a counted request with its current IoStatus and uncounts it. Returns the status the
// request was completed with. PASSIVE_LEVEL or DISPATCH_LEVEL.
NTSTATUS CompleteRequest(PPORT_EXTENSION Ext, PIRP Irp, CCHAR PriorityBoost);
