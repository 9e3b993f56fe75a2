// The bulk-in reader thread.
#include "rx/reader_thread.h"

#include "driver/driver_globals.h"
#include "rx/bulk_in.h"
#include "rx/read_request.h"
#include "rx/receive_bytes.h"
#include "rx/receive_flow_work.h"
#include "usb/usb_request.h"

namespace {

const KPRIORITY kReaderPriority = 18;
const LONGLONG kAllocationRetryDelay = -200000;  // 20 ms

BOOLEAN DeviceGone(PDEVICE_OBJECT DeviceObject) {
  ULONG portStatus = USBD_PORT_CONNECTED;
  return NT_SUCCESS(GetPortStatus(DeviceObject, &portStatus)) && (portStatus & USBD_PORT_CONNECTED) == 0;
}

// Streaming needs a started port with a bulk-in pipe (a port never configured has none).
BOOLEAN Streaming(PPORT_EXTENSION Ext) {
  return PortThreadsMayRun(Ext) && ReadPortFlag(&Ext->Started) && !ReadPortFlag(&Ext->Removed) &&
         Ext->BulkInPipe != NULL;
}

// How a pass of the transfer loop ended.
enum PassResult {
  PassDone,     // go on streaming
  PassStalled,  // a failed transfer whose pipe could not be reset: stop until woken again
  PassGone,     // the hub reports the device disconnected
};

PVOID AllocateBulkInBlock() {
  for (;;) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, BULK_IN_BLOCK_SIZE, TARNWIRE_POOL_TAG);
    if (block != NULL) return block;
    LARGE_INTEGER delay;
    delay.QuadPart = kAllocationRetryDelay;
    (VOID) KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
}

// One pass of the transfer loop: refills the pipeline and takes the oldest transfer.
PassResult TakeOneTransfer(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  while (ext->BulkInFreeList != NULL) SubmitBulkIn(ext);
  PBULK_IN_RECORD record = TakeOldestBulkIn(ext);
  if (record->Status == STATUS_PENDING) {
    // Bytes left in the ring (a read parked while they were stored) are served meanwhile.
    if (ext->RingCount != 0) KickParkedRead(ext);
    (VOID) KeWaitForSingleObject(&record->Event, Executive, KernelMode, FALSE, NULL);
    record->Status = record->IoStatus.Status;
  }
  (VOID) InterlockedDecrement(&ext->BulkInBusy);

  if (!NT_SUCCESS(record->Status)) {
    if (DeviceGone(DeviceObject)) return PassGone;
    // Without a working reset every resubmission would fail at once and the thread would spin
    // (a bridge pulled while the hub cannot be asked, or a removal on its way). A transfer that
    // failed because the device is not connected is not worth a reset either.
    if (record->Status == STATUS_DEVICE_NOT_CONNECTED || ReadPortFlag(&ext->Removed) ||
        ReadPortFlag(&ext->RemovePending))
      return PassStalled;
    NTSTATUS reset =
        PipeRequest(DeviceObject, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PIPE_SELECT_BULK_IN);
    return NT_SUCCESS(reset) ? PassDone : PassStalled;
  }
  const ULONG received = record->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (received == 0) return PassDone;
  StoreReceivedBytes(DeviceObject, record->Data, received);
  // The hold rule runs from the flow work item: its line operations must not keep this thread
  // from the next transfer.
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  QueueReceiveFlowWorkLocked(ext);
  KeReleaseSpinLock(&ext->ControlLock, irql);
  KickParkedRead(ext);
  return PassDone;
}

}  // namespace

VOID NTAPI ReaderThread(PVOID StartContext) {
  PDEVICE_OBJECT device = (PDEVICE_OBJECT)StartContext;
  PPORT_EXTENSION ext = PortExtension(device);
  // The block is in place before the thread counts itself in: add-device waits for the count,
  // so a started port's reader has all it needs.
  PVOID block = AllocateBulkInBlock();
  InterlockedIncrement(&ext->ThreadCount);
  (VOID) KeSetPriorityThread(KeGetCurrentThread(), kReaderPriority);
  ext->BulkInBlock = block;
  InitializeBulkInRecords(ext, block);

  while (PortThreadsMayRun(ext)) {
    (VOID) KeWaitForSingleObject(&ext->ReaderEvent, Executive, KernelMode, FALSE, NULL);
    InterlockedIncrement(&ext->UsbBusyCount);
    PassResult pass = PassDone;
    while (pass == PassDone && Streaming(ext)) pass = TakeOneTransfer(device);
    DrainBulkIn(device);
    InterlockedDecrement(&ext->UsbBusyCount);
    if (pass == PassGone && DeviceGone(device)) break;
  }

  DrainBulkIn(device);
  ext->BulkInBlock = NULL;
  ExFreePoolWithTag(block, TARNWIRE_POOL_TAG);
  // The extension may be freed as soon as the count reaches 0: nothing of it is used after this.
  InterlockedDecrement(&ext->ThreadCount);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
