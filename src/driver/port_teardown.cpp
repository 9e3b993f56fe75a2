// TeardownPort: the release of a port at removal.
#include "driver/port_teardown.h"

#include "driver/driver_globals.h"
#include "rx/receive_flow_work.h"
#include "usb/usb_config.h"

// Stops the port's timers and waits until no DPC of the port can run any more. A DPC that is
// queued is allowed to run rather than taken off the queue: every DPC of the port finds its slot
// empty once the requests are cancelled and leaves, and KeRemoveQueueDpc would not wait for one
// already running on another processor anyway (nor does Wine's kernel implement it).
// KeFlushQueuedDpcs returns only when every DPC queued on any processor before the call,
// running ones included, has finished.
static VOID StopPortTimersAndDpcs(PPORT_EXTENSION Ext) {
  Ext->ReadTotalTimerSet = FALSE;
  KeCancelTimer(&Ext->ReadTotalTimer);
  KeCancelTimer(&Ext->ReadIntervalTimer);
  KeCancelTimer(&Ext->XoffCounterTimer);
  KeFlushQueuedDpcs();
}

VOID TeardownPort(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject == NULL) return;
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  SetPortFlag(&ext->Removed, TRUE);

  // Releasing the interface name ends the threads' run condition.
  UNICODE_STRING interfaceName = ext->InterfaceName;
  if (interfaceName.Buffer != NULL) {
    IoSetDeviceInterfaceState(&interfaceName, FALSE);
    WithdrawPortThreadsRunCondition(ext);
    RtlFreeUnicodeString(&interfaceName);
  }

  // A port whose COM name was taken over by a newer port no longer holds a link or value.
  if (ext->DosLinkName.Buffer != NULL) {
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), ext->DeviceName.Buffer);
    IoDeleteSymbolicLink(&ext->DosLinkName);
    ext->DosLinkName.Buffer = NULL;
  }

  // The threads may still arm timers and queue DPCs until they have left, so the timers and DPCs
  // are stopped once the threads are gone, and the work item last: a DPC may queue it.
  StopPortThreads(DeviceObject);
  StopPortTimersAndDpcs(ext);
  FreeReceiveFlowWork(ext);

  DeconfigureUsbDevice(DeviceObject);
  if (ext->LowerDeviceObject != NULL) {
    IoDetachDevice(ext->LowerDeviceObject);
    ext->LowerDeviceObject = NULL;
  }

  // Unload polls the table from another thread.
  for (ULONG i = 0; i < MAX_PORT_DEVICES; ++i) {
    (VOID) InterlockedCompareExchangePointer((PVOID volatile*)&DeviceTable[i], NULL, DeviceObject);
  }
  ExFreePoolWithTag(ext->BufferBlock, TARNWIRE_POOL_TAG);
  ext->BufferBlock = NULL;
  --IoGetConfigurationInformation()->SerialCount;
  IoDeleteDevice(DeviceObject);
}
