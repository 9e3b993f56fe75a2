// The receive ring.
#include "rx/receive_ring.h"

#include "rx/receive_flow_work.h"
#include "serial/request_queue.h"

// Both pointers wrap lazily: one may stand at RingBase + RingSize after an operation and is moved
// back to RingBase by the next operation that uses it.

VOID RingStoreByteLocked(PPORT_EXTENSION Ext, UCHAR Byte) {
  if ((ULONG)Ext->RingCount >= Ext->RingSize) {
    Ext->PerfStats.BufferOverrunErrorCount++;
    Ext->CommErrors |= SERIAL_ERROR_QUEUEOVERRUN;
    return;
  }
  if (Ext->RingWritePtr >= Ext->RingBase + Ext->RingSize) Ext->RingWritePtr = Ext->RingBase;
  *Ext->RingWritePtr++ = Byte;
  // The byte is in place before it is counted: a consumer never copies an unstored byte.
  (VOID) InterlockedIncrement(&Ext->RingCount);
}

VOID RingPutByte(PPORT_EXTENSION Ext, UCHAR Byte) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  RingStoreByteLocked(Ext, Byte);
  KeReleaseSpinLock(&Ext->ControlLock, irql);
}

ULONG CopyRingToRead(PPORT_EXTENSION Ext) {
  PIRP read = Ext->CurrentRead;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(read);
  LONG_PTR stretch = (Ext->RingBase + Ext->RingSize) - Ext->RingReadPtr;
  if (stretch <= 0) {
    Ext->RingReadPtr = Ext->RingBase;
    stretch = (LONG_PTR)Ext->RingSize;
  }
  ULONG count = (ULONG)Ext->RingCount;
  ULONG n = count < stack->Parameters.Read.Length ? count : stack->Parameters.Read.Length;
  if (n != 0) {
    PUCHAR position = RequestBufferPosition(read);
    if ((ULONG_PTR)stretch < n) {
      RtlCopyMemory(position, Ext->RingReadPtr, (SIZE_T)stretch);
      RtlCopyMemory(position + stretch, Ext->RingBase, n - (ULONG)stretch);
      Ext->RingReadPtr = Ext->RingBase + (n - (ULONG)stretch);
    } else {
      RtlCopyMemory(position, Ext->RingReadPtr, n);
      Ext->RingReadPtr += n;
    }
    (VOID) InterlockedExchangeAdd(&Ext->RingCount, -(LONG)n);
    RequestBufferPosition(read) = position + n;
    stack->Parameters.Read.Length -= n;
    read->IoStatus.Information += n;
    // The far end may be held off; once the ring is down to XonLimit it may send again.
    QueueReceiveFlowWorkLocked(Ext);
  }
  // A reader thread with no transfer in flight has stopped for want of room; restart it once a
  // whole transfer's worth and more is free.
  if (Ext->BulkInBusy == 0 && (ULONG)Ext->RingCount + RING_READER_WAKE_ROOM < Ext->RingSize)
    (VOID) KeSetEvent(&Ext->ReaderEvent, 3, FALSE);
  return stack->Parameters.Read.Length;
}

VOID ClearReceiveRing(PPORT_EXTENSION Ext) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  Ext->RingReadPtr = Ext->RingWritePtr;
  (VOID) InterlockedExchange(&Ext->RingCount, 0);
  KeReleaseSpinLock(&Ext->ControlLock, irql);
}
