// Releasing the receive holds as the application drains the ring.
//
// A copy out of the ring (CopyRingToRead, at DISPATCH_LEVEL under ControlLock) that leaves
// RingCount at or below XonLimit while a DTR, RTS or XOFF receive hold is set queues the port's
// I/O work item, whose routine runs ResumeReceive at PASSIVE_LEVEL, where the line operations
// (synchronous USB requests) may be issued. A work item rather than a port thread: every port
// thread can sit in a USB transfer that only the far end ends, and a held-off sender sends
// nothing. ResumeQueued (interlocked) is 1 from queueing until the routine has run, so the item
// is queued once however many copies pass the threshold meanwhile.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Allocates the port's work item (add-device). STATUS_INSUFFICIENT_RESOURCES without one.
NTSTATUS AllocateReceiveResume(PPORT_EXTENSION Ext);

// Called by CopyRingToRead after a copy, ControlLock held: queues the release when the ring is
// at or below XonLimit and a receive hold is set.
VOID QueueReceiveResumeLocked(PPORT_EXTENSION Ext);

// Frees the work item at teardown, once the port threads are stopped: waits (20 ms steps) until
// no release is queued or running. PASSIVE_LEVEL.
VOID FreeReceiveResume(PPORT_EXTENSION Ext);
