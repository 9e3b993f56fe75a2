// Interim thread routines of a port, started by add-device until the reader, writer and status
// monitor threads take their places. They keep the threads' run-condition contract so that the
// port's lifecycle (add-device, teardown, unload) can be exercised as it will run.
#pragma once

#include "driver/platform.h"

VOID NTAPI StatusThreadStandIn(PVOID StartContext);
VOID NTAPI ReaderThreadStandIn(PVOID StartContext);
VOID NTAPI WriterThreadStandIn(PVOID StartContext);
