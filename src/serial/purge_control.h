// IOCTL_SERIAL_PURGE: ends queued requests and discards received data.
#pragma once

#include "driver/platform.h"

// STATUS_INVALID_PARAMETER for no purge bit or an unknown one; otherwise cancels the writes (and
// a counting XOFF-counter request) and the reads, and empties the receive ring, as the mask in
// the request's buffer asks. The status is that of releasing the receive holds after RXCLEAR,
// STATUS_SUCCESS without it. PASSIVE_LEVEL.
NTSTATUS PurgeControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
