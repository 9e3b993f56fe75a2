// Releasing the receive holds as the application drains the ring, through the port's work item.
#include "rx/receive_resume.h"

#include "driver/driver_globals.h"
#include "rx/receive_flow.h"
#include "rx/receive_hold_bits.h"

namespace {

const ULONG kLineHolds = RX_HOLD_DTR | RX_HOLD_RTS | RX_HOLD_XOFF;

VOID NTAPI ResumeReceiveWork(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  (VOID) ResumeReceive(DeviceObject);
  // From here a copy may queue the item again: it is dequeued while this routine runs.
  (VOID) InterlockedExchange(&PortExtension(DeviceObject)->ResumeQueued, 0);
}

}  // namespace

NTSTATUS AllocateReceiveResume(PPORT_EXTENSION Ext) {
  Ext->ResumeWorkItem = IoAllocateWorkItem(Ext->DeviceObject);
  return Ext->ResumeWorkItem != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID QueueReceiveResumeLocked(PPORT_EXTENSION Ext) {
  if ((ULONG)Ext->RingCount > (ULONG)Ext->HandFlow.XonLimit) return;
  if ((ReadHolds(&Ext->RxHoldFlags) & kLineHolds) == 0 || Ext->ResumeWorkItem == NULL) return;
  if (InterlockedCompareExchange(&Ext->ResumeQueued, 1, 0) != 0) return;
  IoQueueWorkItem(Ext->ResumeWorkItem, ResumeReceiveWork, DelayedWorkQueue, NULL);
}

VOID FreeReceiveResume(PPORT_EXTENSION Ext) {
  if (Ext->ResumeWorkItem == NULL) return;
  while (InterlockedCompareExchange(&Ext->ResumeQueued, 0, 0) != 0) DelayTwentyMilliseconds();
  IoFreeWorkItem(Ext->ResumeWorkItem);
  Ext->ResumeWorkItem = NULL;
}
