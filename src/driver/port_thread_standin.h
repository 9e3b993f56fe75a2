// Interim thread routines of a port, started by add-device until the reader and writer threads
// take their places. They keep the threads' run-condition contract so that the port's lifecycle
// (add-device, teardown, unload) can be exercised as it will run.
#pragma once

#include "driver/platform.h"

VOID NTAPI ReaderThreadStandIn(PVOID StartContext);
