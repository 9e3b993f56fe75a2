// Wine 8.0's KeInsertQueueDpc is a stub: it logs "fixme:ntoskrnl:KeInsertQueueDpc stub", returns
// TRUE and never runs the DPC. Timer DPCs do run there. The test bus therefore binds the function
// drivers stacked on its bridges to a stand-in that queues each DPC through a timer due at once:
// their import of ntoskrnl.exe!KeInsertQueueDpc is pointed at it when a bridge starts. The image
// file is not changed, and on Windows the bus is not used. The stand-in keeps the routine's
// contract: FALSE while the DPC is already queued, the routine called with the arguments of the
// insertion, at DISPATCH_LEVEL (as Wine runs timer DPCs).
#pragma once

#include "driver/platform.h"

// Binds the image of the driver of every device stacked above Pdo to the stand-in.
VOID BindDpcStandIn(PDEVICE_OBJECT Pdo);
// Called once from DriverEntry.
VOID DpcStandInInitialize();
