// Stand-ins for ntoskrnl.exe routines that Wine 8.0 exports but does not implement as Windows does,
// bound into the function drivers stacked on the test bus's bridges:
//
//   KeInsertQueueDpc      Wine's is a stub: it logs "fixme:ntoskrnl:KeInsertQueueDpc stub", returns
//                         TRUE and never runs the DPC. The stand-in queues the DPC to a thread of the
//                         bus that runs queued DPCs one at a time, in order, with the arguments of the
//                         insertion, and returns FALSE while the DPC is already queued. (Wine keeps
//                         no IRQL: its own timer DPCs run on pool threads the same way.)
//   KeFlushQueuedDpcs     waits until that thread has run every queued DPC.
//   KeInitializeTimer,    Wine runs a timer's DPC on a pool timer, and its KeCancelTimer waits for
//   KeSetTimer,           the pool timer's callbacks to end: a DPC that cancels its own timer, as the
//   KeCancelTimer         driver's time-out DPCs do (legal on Windows), waits for itself for ever.
//                         The stand-ins keep set timers in a list ordered by due time, served by a
//                         thread of the bus that queues each due timer's DPC as above; cancelling
//                         never waits.
//   KeQueryInterruptTime  Wine's returns KeQueryTickCount's tick count (milliseconds) instead of
//                         100 ns units, so a deadline computed from it with a relative due time in
//                         100 ns units lies 10000 times too far. The stand-in returns the system
//                         time in 100 ns units, the clock the stand-in timers fall due on, so that a
//                         timer DPC never finds the deadline the driver computed for it still ahead,
//                         as it never does on Windows.
//   IoOpenDeviceRegistryKey Wine checks the access of the key handle it returns as it would a
//                         program's, so a key opened with STANDARD_RIGHTS_READ (as serial drivers
//                         open the device key) cannot be queried; on Windows a kernel-mode caller's
//                         handle is not access-checked. The stand-in asks for KEY_READ as well.
//
// When a bridge starts, the import address table entries of those routines in the image of every
// driver stacked above it are pointed at the stand-ins (timers initialised before that by Wine's
// KeInitializeTimer are zeroed, which the stand-ins take as not set). The image files are not
// changed; on Windows the test bus is not used. The driver names its first port in AddDevice, before
// that bridge starts, with Wine's routine: PortName unreadable, it takes its default name, COM8; every
// later port (and that one after a re-plug) reads its PortName through the stand-in.
#pragma once

#include "driver/platform.h"

// Binds the image of the driver of every device stacked above Pdo to the stand-ins.
VOID BindKernelStandIns(PDEVICE_OBJECT Pdo);
// Called once from DriverEntry: starts the threads that run queued DPCs and due timers.
NTSTATUS KernelStandInsInitialize();
