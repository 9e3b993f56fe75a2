// Wine 8.0's KeInsertQueueDpc is a stub: it logs "fixme:ntoskrnl:KeInsertQueueDpc stub", returns
// TRUE and never runs the DPC. The test bus therefore binds the function drivers stacked on its
// bridges to a stand-in that queues each DPC to a thread of the bus which runs them in order:
// their import of ntoskrnl.exe!KeInsertQueueDpc is pointed at it when a bridge starts. The image
// file is not changed, and on Windows the bus is not used. The stand-in keeps the routine's
// contract: FALSE while the DPC is already queued, the routine called with the arguments of the
// insertion, one DPC at a time. (Wine keeps no IRQL: its timer DPCs run on pool threads the same way.)
#pragma once

#include "driver/platform.h"

// Binds the image of the driver of every device stacked above Pdo to the stand-in.
VOID BindDpcStandIn(PDEVICE_OBJECT Pdo);
// Called once from DriverEntry: starts the thread that runs queued DPCs.
NTSTATUS DpcStandInInitialize();
