// The reader thread's bulk-in transfers: ten records in one nonpaged block, each a URB, the event
// and status block of its IRP and a receive buffer. Records cycle between a free list and a busy
// list (submitted, oldest first); only the reader thread touches the lists.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

#define BULK_IN_RECORDS 10
#define BULK_IN_DATA_SIZE 64

typedef struct _BULK_IN_RECORD {
  struct _BULK_IN_RECORD* Link;
  URB Urb;
  KEVENT Event;  // notification event, signalled when the transfer's IRP completes
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status;  // IoCallDriver's result, then the transfer's final status
  UCHAR Data[BULK_IN_DATA_SIZE];
} BULK_IN_RECORD, *PBULK_IN_RECORD;

#define BULK_IN_BLOCK_SIZE (BULK_IN_RECORDS * sizeof(BULK_IN_RECORD))

// Puts the records of a new block on the free list (the busy list empty).
VOID InitializeBulkInRecords(PPORT_EXTENSION Ext, PVOID Block);
// Submits the first free record's transfer and appends it to the busy list; nothing when no
// record is free. A transfer whose IRP cannot be built stays on the busy list as failed with
// STATUS_INSUFFICIENT_RESOURCES. PASSIVE_LEVEL.
VOID SubmitBulkIn(PPORT_EXTENSION Ext);
// Takes the oldest busy record back onto the free list and returns it, NULL when none is busy.
// The record's transfer may still be in flight (Status STATUS_PENDING).
PBULK_IN_RECORD TakeOldestBulkIn(PPORT_EXTENSION Ext);
// Waits for every busy transfer to finish, giving each 1 ms before aborting the bulk-in pipe, and
// puts the records back on the free list. PASSIVE_LEVEL.
VOID DrainBulkIn(PDEVICE_OBJECT DeviceObject);
