// Configuration of the bridge's USB device: descriptors, the first interface, the three data pipes
// and the chip revision. Both routines block and run at PASSIVE_LEVEL.
#pragma once

#include "driver/platform.h"

// Endpoint addresses of the data pipes.
#define ENDPOINT_BULK_OUT 0x02
#define ENDPOINT_INTERRUPT_IN 0x81
#define ENDPOINT_BULK_IN 0x82

// Reads the descriptors, selects the first interface, records the pipe handles and ProductId and
// learns ChipVersion.
NTSTATUS ConfigureUsbDevice(PDEVICE_OBJECT DeviceObject);

// Returns the device to the unconfigured state; STATUS_NO_SUCH_DEVICE without sending anything
// when the hub does not report the device connected. Pipe handles are left as they were.
NTSTATUS DeconfigureUsbDevice(PDEVICE_OBJECT DeviceObject);
