// The end of a port: everything add-device set up is released and the device object deleted.
#pragma once

#include "driver/platform.h"

// Releases the port completely and deletes its device object: names, timers and DPCs, threads,
// USB configuration, attachment and table slot, memory. Nothing of the port may be used after it
// returns. PASSIVE_LEVEL, in the Plug and Play manager's thread.
VOID TeardownPort(PDEVICE_OBJECT DeviceObject);
