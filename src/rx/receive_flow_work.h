// Raising and releasing the receive holds off the paths that find them due.
//
// The reader thread, after storing received bytes, and a copy out of the ring (CopyRingToRead, at
// DISPATCH_LEVEL) both run under ControlLock and call QueueReceiveFlowWorkLocked. When the ring
// has reached the hold threshold with an enabled hold not yet raised, or is down to XonLimit
// with a hold set, it queues the port's I/O work item, whose routine runs ApplyReceiveHolds and
// ResumeReceive at PASSIVE_LEVEL, where the line operations (synchronous USB requests) may be
// issued. The reader must not issue them itself: the XOFF character waits behind the writer's
// bulk-out piece, and a reader waiting that long leaves the chip's receive FIFO to overrun. Nor a
// port thread: every one can sit in a USB transfer that only the far end ends. FlowWorkQueued
// (interlocked) is 1 from queueing until the routine has run, so the item is queued once however
// often the condition is seen meanwhile.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Allocates the port's work item (add-device). STATUS_INSUFFICIENT_RESOURCES without one.
NTSTATUS AllocateReceiveFlowWork(PPORT_EXTENSION Ext);

// ControlLock held: queues the work item when a receive hold is due to be raised or released.
VOID QueueReceiveFlowWorkLocked(PPORT_EXTENSION Ext);

// Frees the work item at teardown, once the port threads are stopped: waits (20 ms steps) until
// no work is queued or running. PASSIVE_LEVEL.
VOID FreeReceiveFlowWork(PPORT_EXTENSION Ext);
