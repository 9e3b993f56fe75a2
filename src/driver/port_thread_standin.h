// Interim writer thread of a port, started by add-device until the writer thread takes its
// place. They keep the threads' run-condition contract so that the port's lifecycle
// (add-device, teardown, unload) can be exercised as it will run.
#pragma once

#include "driver/platform.h"

VOID NTAPI WriterThreadStandIn(PVOID StartContext);
