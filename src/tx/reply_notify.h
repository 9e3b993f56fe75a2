// Announcement of an escape-command reply that was put into the receive ring: a short-lived
// system thread hands SERIAL_EV_RXCHAR to the wait-on-mask request and kicks a parked read.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Starts ReplyNotifyThread for the port. The thread is counted in ThreadCount before it is
// created, so stopping the port threads waits for it from then on. If it cannot be created the
// reply stays in the ring unannounced, for a later read. PASSIVE_LEVEL.
VOID StartReplyNotify(PPORT_EXTENSION Ext);

// Thread routine (start context: the port's device object), counted by its creator: announces
// the reply, gives up its count and ends.
VOID NTAPI ReplyNotifyThread(PVOID StartContext);
