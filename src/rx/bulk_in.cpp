// The reader thread's bulk-in transfers.
#include "rx/bulk_in.h"

#include "usb/usb_request.h"

#if defined(TARNWIRE_WINDOWS)
#if defined(_WIN64)
static_assert(BULK_IN_BLOCK_SIZE == 2720, "x64 bulk-in block is 2720 bytes");
#else
static_assert(BULK_IN_BLOCK_SIZE == 1920, "x86 bulk-in block is 1920 bytes");
#endif
#endif

namespace {

const LONGLONG kDrainGrace = -10000;  // 1 ms

PBULK_IN_RECORD& FreeList(PPORT_EXTENSION Ext) {
  return reinterpret_cast<PBULK_IN_RECORD&>(Ext->BulkInFreeList);
}
PBULK_IN_RECORD& BusyList(PPORT_EXTENSION Ext) {
  return reinterpret_cast<PBULK_IN_RECORD&>(Ext->BulkInBusyList);
}

VOID PushFree(PPORT_EXTENSION Ext, PBULK_IN_RECORD Record) {
  Record->Link = FreeList(Ext);
  FreeList(Ext) = Record;
}

}  // namespace

VOID InitializeBulkInRecords(PPORT_EXTENSION Ext, PVOID Block) {
  PBULK_IN_RECORD records = (PBULK_IN_RECORD)Block;
  FreeList(Ext) = NULL;
  BusyList(Ext) = NULL;
  for (ULONG i = 0; i < BULK_IN_RECORDS; ++i) {
    KeInitializeEvent(&records[i].Event, NotificationEvent, FALSE);
    PushFree(Ext, &records[i]);
  }
}

VOID SubmitBulkIn(PPORT_EXTENSION Ext) {
  PBULK_IN_RECORD record = FreeList(Ext);
  if (record == NULL) return;
  FreeList(Ext) = record->Link;
  record->Link = NULL;
  PBULK_IN_RECORD* tail = &BusyList(Ext);
  while (*tail != NULL) tail = &(*tail)->Link;
  *tail = record;
  (VOID) InterlockedIncrement(&Ext->BulkInBusy);

  RtlZeroMemory(&record->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(&record->Urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         Ext->BulkInPipe, record->Data, NULL, Ext->BulkInLength,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
  KeClearEvent(&record->Event);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Ext->LowerDeviceObject, NULL, 0,
                                           NULL, 0, TRUE, &record->Event, &record->IoStatus);
  if (irp == NULL) {
    record->Status = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &record->Urb;
  record->Status = IoCallDriver(Ext->LowerDeviceObject, irp);
}

PBULK_IN_RECORD TakeOldestBulkIn(PPORT_EXTENSION Ext) {
  PBULK_IN_RECORD record = BusyList(Ext);
  if (record == NULL) return NULL;
  BusyList(Ext) = record->Link;
  PushFree(Ext, record);
  return record;
}

VOID DrainBulkIn(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  PBULK_IN_RECORD record;
  while ((record = TakeOldestBulkIn(ext)) != NULL) {
    if (record->Status == STATUS_PENDING) {
      LARGE_INTEGER grace;
      grace.QuadPart = kDrainGrace;
      record->Status = KeWaitForSingleObject(&record->Event, Executive, KernelMode, FALSE, &grace);
      if (record->Status == STATUS_TIMEOUT) {
        (VOID) PipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_BULK_IN);
        (VOID) KeWaitForSingleObject(&record->Event, Executive, KernelMode, FALSE, NULL);
      }
    }
    (VOID) InterlockedDecrement(&ext->BulkInBusy);
  }
}
