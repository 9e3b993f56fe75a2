// IOCTL_SERIAL_PURGE.
#include "serial/purge_control.h"

#include "driver/port_extension.h"
#include "rx/receive_flow.h"
#include "rx/receive_ring.h"
#include "serial/control_buffer.h"
#include "serial/request_queue.h"
#include "tx/xoff_counter.h"

namespace {

const ULONG kPurgeBits =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

}  // namespace

NTSTATUS PurgeControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  const ULONG mask = *(PULONG)ControlBuffer(Irp);
  if (mask == 0 || (mask & ~kPurgeBits) != 0) return STATUS_INVALID_PARAMETER;

  // Both queues are emptied without a thread switch between them.
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  if ((mask & SERIAL_PURGE_TXABORT) != 0) {
    CancelAllRequests(DeviceObject, &port->WriteQueue, &port->CurrentWrite);
    // A counting XOFF-counter request has left the queue but belongs to the writes.
    CancelCountingXoffCounter(port);
    KeSetEvent(&port->WriterEvent, 1, FALSE);
  }
  if ((mask & SERIAL_PURGE_RXABORT) != 0)
    CancelAllRequests(DeviceObject, &port->ReadQueue, &port->CurrentRead);
  KeLowerIrql(irql);

  // TXCLEAR has nothing to discard: nothing waits to be sent beyond the queued requests.
  if ((mask & SERIAL_PURGE_RXCLEAR) == 0) return STATUS_SUCCESS;
  ClearReceiveRing(port);
  KeSetEvent(&port->ReaderEvent, 1, FALSE);
  // Holds raised against the far end end now that the ring is empty.
  return ResumeReceive(DeviceObject);
}
