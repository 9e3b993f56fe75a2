// Releasing the receive holds as the application drains the ring, through the port's work item.
#include "rx/receive_resume.h"

#include "driver/driver_globals.h"
#include "rx/receive_flow.h"
#include "rx/receive_hold_bits.h"

namespace {

const ULONG kLineHolds = RX_HOLD_DTR | RX_HOLD_RTS | RX_HOLD_XOFF;

// The ring is down to XonLimit and a line hold is set. ControlLock held.
BOOLEAN ResumeDueLocked(PPORT_EXTENSION Ext) {
  return (ULONG)Ext->RingCount <= (ULONG)Ext->HandFlow.XonLimit && (ReadHolds(&Ext->RxHoldFlags) & kLineHolds) != 0;
}

VOID NTAPI ResumeReceiveWork(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  (VOID) ResumeReceive(DeviceObject);
  // A hold raised and drained again while the release ran was seen by no copy that could queue
  // it (the item was still marked queued): the routine queues itself again. Otherwise the item
  // is marked free under ControlLock, the copies' lock, as the routine's last use of it, so that
  // teardown may free it from then on.
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  if (ResumeDueLocked(port)) {
    IoQueueWorkItem(port->ResumeWorkItem, ResumeReceiveWork, DelayedWorkQueue, NULL);
  } else {
    (VOID) InterlockedExchange(&port->ResumeQueued, 0);
  }
  KeReleaseSpinLock(&port->ControlLock, irql);
}

}  // namespace

NTSTATUS AllocateReceiveResume(PPORT_EXTENSION Ext) {
  Ext->ResumeWorkItem = IoAllocateWorkItem(Ext->DeviceObject);
  return Ext->ResumeWorkItem != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID QueueReceiveResumeLocked(PPORT_EXTENSION Ext) {
  if (!ResumeDueLocked(Ext) || Ext->ResumeWorkItem == NULL) return;
  if (InterlockedCompareExchange(&Ext->ResumeQueued, 1, 0) != 0) return;
  IoQueueWorkItem(Ext->ResumeWorkItem, ResumeReceiveWork, DelayedWorkQueue, NULL);
}

VOID FreeReceiveResume(PPORT_EXTENSION Ext) {
  if (Ext->ResumeWorkItem == NULL) return;
  while (InterlockedCompareExchange(&Ext->ResumeQueued, 0, 0) != 0) DelayTwentyMilliseconds();
  IoFreeWorkItem(Ext->ResumeWorkItem);
  Ext->ResumeWorkItem = NULL;
}
