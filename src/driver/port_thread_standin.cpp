// Stand-in for the reader thread. Each keeps the contract every port thread keeps: it
// increments ThreadCount first, blocks only on its own wake event, leaves after a wake-up as soon
// as GlobalDriverObject or the InterfaceName buffer is NULL, and decrements ThreadCount as its
// last action before it terminates. The start context is the port's device object.
#include "driver/port_thread_standin.h"

#include "driver/driver_globals.h"

static VOID RunStandInThread(PDEVICE_OBJECT DeviceObject, PKEVENT WakeEvent) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  InterlockedIncrement(&ext->ThreadCount);
  while (PortThreadsMayRun(ext)) {
    KeWaitForSingleObject(WakeEvent, Executive, KernelMode, FALSE, NULL);
  }
  // The extension may be freed as soon as the count reaches 0: nothing of it is used after this.
  InterlockedDecrement(&ext->ThreadCount);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI ReaderThreadStandIn(PVOID StartContext) {
  PDEVICE_OBJECT device = (PDEVICE_OBJECT)StartContext;
  RunStandInThread(device, &PortExtension(device)->ReaderEvent);
}
