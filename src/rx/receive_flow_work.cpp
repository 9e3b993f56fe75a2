// Raising and releasing the receive holds through the port's work item.
#include "rx/receive_flow_work.h"

#include "driver/driver_globals.h"
#include "rx/receive_flow.h"
#include "rx/receive_hold_bits.h"

namespace {

const ULONG kLineHolds = RX_HOLD_DTR | RX_HOLD_RTS | RX_HOLD_XOFF;

// The holds the settings enable.
ULONG EnabledHoldsLocked(PPORT_EXTENSION Ext) {
  ULONG holds = 0;
  if ((Ext->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) holds |= RX_HOLD_DTR;
  if ((Ext->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE) holds |= RX_HOLD_RTS;
  if ((Ext->HandFlow.FlowReplace & SERIAL_AUTO_RECEIVE) != 0) holds |= RX_HOLD_XOFF;
  return holds;
}

// The ring has reached RingSize - XoffLimit (unsigned, as the hold rule compares) and an enabled
// hold is not raised yet; or it is down to XonLimit and a line hold is set. ControlLock held.
BOOLEAN FlowWorkDueLocked(PPORT_EXTENSION Ext) {
  const ULONG count = (ULONG)Ext->RingCount;
  const ULONG held = ReadHolds(&Ext->RxHoldFlags);
  if (count >= Ext->RingSize - (ULONG)Ext->HandFlow.XoffLimit && (EnabledHoldsLocked(Ext) & ~held) != 0)
    return TRUE;
  return count <= (ULONG)Ext->HandFlow.XonLimit && (held & kLineHolds) != 0;
}

VOID NTAPI ReceiveFlowWork(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  ApplyReceiveHolds(DeviceObject);
  (VOID) ResumeReceive(DeviceObject);
  // A change of the ring while the routine ran was seen by no caller that could queue the item
  // (it was still marked queued): the routine queues itself again when work is still due.
  // Otherwise the item is marked free under ControlLock, the callers' lock, as the routine's last
  // use of it, so that teardown may free it from then on.
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  if (FlowWorkDueLocked(port)) {
    IoQueueWorkItem(port->FlowWorkItem, ReceiveFlowWork, DelayedWorkQueue, NULL);
  } else {
    (VOID) InterlockedExchange(&port->FlowWorkQueued, 0);
  }
  KeReleaseSpinLock(&port->ControlLock, irql);
}

}  // namespace

NTSTATUS AllocateReceiveFlowWork(PPORT_EXTENSION Ext) {
  Ext->FlowWorkItem = IoAllocateWorkItem(Ext->DeviceObject);
  return Ext->FlowWorkItem != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID QueueReceiveFlowWorkLocked(PPORT_EXTENSION Ext) {
  if (!FlowWorkDueLocked(Ext) || Ext->FlowWorkItem == NULL) return;
  if (InterlockedCompareExchange(&Ext->FlowWorkQueued, 1, 0) != 0) return;
  IoQueueWorkItem(Ext->FlowWorkItem, ReceiveFlowWork, DelayedWorkQueue, NULL);
}

VOID FreeReceiveFlowWork(PPORT_EXTENSION Ext) {
  if (Ext->FlowWorkItem == NULL) return;
  while (InterlockedCompareExchange(&Ext->FlowWorkQueued, 0, 0) != 0) DelayTwentyMilliseconds();
  IoFreeWorkItem(Ext->FlowWorkItem);
  Ext->FlowWorkItem = NULL;
}
