// Requests to the status monitor thread from the rest of the driver.
#pragma once

#include "driver/platform.h"

// Asks the status monitor thread to drop RTS once the chip's transmitter is idle (transmit-toggle
// mode): counts the request in RtsToggleCount and wakes the thread. Any IRQL up to DISPATCH_LEVEL.
VOID WakeStatusThread(PDEVICE_OBJECT DeviceObject);
