// The bulk-in reader thread of a port: keeps up to ten bulk-in transfers outstanding while the
// port is started, takes their data in submission order, stores it through the receive filters,
// applies the receive hold rule and wakes the parked read.
#pragma once

#include "driver/platform.h"

// Thread start routine; the context is the port's device object. Ends with
// PsTerminateSystemThread once the driver unloads or the port withdraws its interface name, or
// when the device is found disconnected.
VOID NTAPI ReaderThread(PVOID StartContext);
