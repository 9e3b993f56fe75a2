// Stand-ins for two ntoskrnl.exe routines that Wine 8.0 exports but does not implement as Windows
// does, bound into the function drivers stacked on the test bus's bridges:
//
//   KeInsertQueueDpc      Wine's is a stub: it logs "fixme:ntoskrnl:KeInsertQueueDpc stub", returns
//                         TRUE and never runs the DPC. The stand-in queues the DPC to a thread of the
//                         bus that runs queued DPCs one at a time, in order, with the arguments of the
//                         insertion, and returns FALSE while the DPC is already queued. (Wine keeps
//                         no IRQL: its own timer DPCs run on pool threads the same way.)
//   KeQueryInterruptTime  Wine's returns KeQueryTickCount's tick count (milliseconds) instead of
//                         100 ns units, so a deadline computed from it with a relative due time in
//                         100 ns units lies 10000 times too far. The stand-in returns the
//                         system time, in 100 ns units: the clock on which Wine's kernel timers
//                         (pool timers) fall due, so that a timer DPC never finds the deadline the
//                         driver computed for it still ahead, as it never does on Windows.
//
// When a bridge starts, the import address table entries of those routines in the image of every
// driver stacked above it are pointed at the stand-ins. The image files are not changed; on Windows
// the test bus is not used.
#pragma once

#include "driver/platform.h"

// Binds the image of the driver of every device stacked above Pdo to the stand-ins.
VOID BindKernelStandIns(PDEVICE_OBJECT Pdo);
// Called once from DriverEntry: starts the thread that runs queued DPCs.
NTSTATUS KernelStandInsInitialize();
