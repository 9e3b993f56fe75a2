// Filtering of received bytes on their way into the receive ring: the software parity check,
// null stripping, XON/XOFF recognition, DSR sensitivity, escape-character doubling and the
// receive serial events.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Filters and stores the bytes of one transfer, in arrival order, under ControlLock (which guards
// the settings, the ring's producer side, CommErrors and the events), then hands recorded events
// to a parked wait-on-mask request. IRQL <= DISPATCH_LEVEL, ControlLock not held.
VOID StoreReceivedBytes(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Count);
