// Requests to the status monitor thread.
#include "tx/status_wake.h"

#include "driver/port_extension.h"

VOID WakeStatusThread(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  // Only whether the count is non-zero matters to the thread; SetRts clears it. Interlocked: the
  // callers run in other contexts than the status thread, which reads the count and clears it.
  InterlockedIncrement((LONG volatile*)&port->RtsToggleCount);
  KeSetEvent(&port->StatusEvent, 1, FALSE);
}
