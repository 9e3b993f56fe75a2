// The USB side of a test bus child: URBs and port requests from the function driver, answered by the
// bridge's chip model. Transfers that cannot finish at once pend on their pipe until the chip has the
// data (bulk in), room (bulk out) or a report (interrupt in); the bus's timer moves the line on.
#include "testbus.h"

namespace {

enum { kPipeBulkIn, kPipeBulkOut, kPipeInterrupt };

PURB UrbOf(PIRP Irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1); }

PUCHAR TransferBuffer(PVOID Buffer, PMDL Mdl) {
  if (Buffer) return static_cast<PUCHAR>(Buffer);
  return Mdl ? static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority)) : NULL;
}

NTSTATUS Finish(PIRP Irp, PURB Urb, NTSTATUS Status, USBD_STATUS UsbStatus) {
  if (Urb) Urb->UrbHeader.Status = UsbStatus;
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

void SetResult(PIRP Irp, NTSTATUS Status, USBD_STATUS UsbStatus) {
  UrbOf(Irp)->UrbHeader.Status = UsbStatus;
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
}

VOID NTAPI CancelTransfer(PDEVICE_OBJECT Device, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  BridgeExtension* bridge = static_cast<BridgeExtension*>(Device->DeviceExtension);
  KIRQL irql;
  KeAcquireSpinLock(&bridge->Bus->Lock, &irql);
  Pipe* out = &bridge->Pipes[kPipeBulkOut];
  // A bulk-out transfer cut short leaves its bytes in the FIFO; the next one starts from its own first byte.
  if (!IsListEmpty(&out->Pending) && out->Pending.Flink == &Irp->Tail.Overlay.ListEntry) bridge->OutProgress = 0;
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&bridge->Bus->Lock, irql);
  SetResult(Irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Takes the first pending IRP of a pipe away from its cancel routine; NULL when there is none or the
// cancel routine already owns it (it completes the IRP once it gets the lock).
PIRP TakeFirst(Pipe* P) {
  if (IsListEmpty(&P->Pending)) return NULL;
  PIRP irp = CONTAINING_RECORD(P->Pending.Flink, IRP, Tail.Overlay.ListEntry);
  if (IoSetCancelRoutine(irp, NULL) == NULL) return NULL;
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  return irp;
}

// Lock held: finishes what the chip's state now allows; finished IRPs go to Done.
void Pump(BridgeExtension* Bridge, PLIST_ENTRY Done) {
  for (;;) {
    Pipe* out = &Bridge->Pipes[kPipeBulkOut];
    if (IsListEmpty(&out->Pending)) break;
    PIRP irp = CONTAINING_RECORD(out->Pending.Flink, IRP, Tail.Overlay.ListEntry);
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &UrbOf(irp)->UrbBulkOrInterruptTransfer;
    PUCHAR data = TransferBuffer(t->TransferBuffer, t->TransferBufferMDL);
    Bridge->OutProgress += BridgeWrite(&Bridge->Chip, data + Bridge->OutProgress,
                                       t->TransferBufferLength - Bridge->OutProgress);
    if (Bridge->OutProgress < t->TransferBufferLength || TakeFirst(out) != irp) break;
    Bridge->OutProgress = 0;
    SetResult(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    InsertTailList(Done, &irp->Tail.Overlay.ListEntry);
  }
  while (Bridge->Chip.RxCount != 0) {
    PIRP irp = TakeFirst(&Bridge->Pipes[kPipeBulkIn]);
    if (!irp) break;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &UrbOf(irp)->UrbBulkOrInterruptTransfer;
    t->TransferBufferLength = BridgeRead(&Bridge->Chip, TransferBuffer(t->TransferBuffer, t->TransferBufferMDL),
                                         t->TransferBufferLength);
    SetResult(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    InsertTailList(Done, &irp->Tail.Overlay.ListEntry);
  }
  if (Bridge->Chip.ReportPending) {
    PIRP irp = TakeFirst(&Bridge->Pipes[kPipeInterrupt]);
    if (irp) {
      struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &UrbOf(irp)->UrbBulkOrInterruptTransfer;
      UCHAR report[BRIDGE_REPORT_LENGTH];
      BridgeTakeReport(&Bridge->Chip, report);
      const ULONG n = t->TransferBufferLength < sizeof report ? t->TransferBufferLength : sizeof report;
      PUCHAR data = TransferBuffer(t->TransferBuffer, t->TransferBufferMDL);
      for (ULONG i = 0; i < n; ++i) data[i] = report[i];
      t->TransferBufferLength = n;
      SetResult(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
      InsertTailList(Done, &irp->Tail.Overlay.ListEntry);
    }
  }
}

void FailPipe(Pipe* P, NTSTATUS Status, USBD_STATUS UsbStatus, PLIST_ENTRY Done) {
  for (PLIST_ENTRY e = P->Pending.Flink; e != &P->Pending;) {
    PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    e = e->Flink;
    if (IoSetCancelRoutine(irp, NULL) == NULL) continue;  // its cancel routine completes it
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    SetResult(irp, Status, UsbStatus);
    InsertTailList(Done, &irp->Tail.Overlay.ListEntry);
  }
}

Pipe* PipeOf(BridgeExtension* Bridge, USBD_PIPE_HANDLE Handle) {
  for (Pipe& p : Bridge->Pipes) {
    if (reinterpret_cast<USBD_PIPE_HANDLE>(&p) == Handle) return &p;
  }
  return NULL;
}

NTSTATUS Descriptor(BridgeExtension* Bridge, PIRP Irp, PURB Urb) {
  UNREFERENCED_PARAMETER(Bridge);
  struct _URB_CONTROL_DESCRIPTOR_REQUEST* d = &Urb->UrbControlDescriptorRequest;
  PUCHAR data = TransferBuffer(d->TransferBuffer, d->TransferBufferMDL);
  const ULONG room = d->TransferBufferLength;
  ULONG length;
  switch (d->DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      length = BridgeDeviceDescriptor(data, room);
      break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      length = BridgeConfigurationDescriptor(data, room);
      break;
    case USB_STRING_DESCRIPTOR_TYPE: {
      // String 0: the language list (US English); string 2: the product.
      static const UCHAR kLanguages[] = {4, 3, 0x09, 0x04};
      static const UCHAR kProduct[] = {22, 3, 'U', 0, 'S', 0, 'B', 0, ' ', 0, 'S', 0, 'e', 0, 'r', 0, 'i', 0,
                                       'a', 0, 'l', 0};
      const UCHAR* s = d->Index == 0 ? kLanguages : d->Index == 2 ? kProduct : NULL;
      if (!s) return Finish(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
      length = s[0];
      for (ULONG i = 0; i < length && i < room; ++i) data[i] = s[i];
      break;
    }
    default:
      return Finish(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  }
  d->TransferBufferLength = length < room ? length : room;
  return Finish(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS SelectConfiguration(BridgeExtension* Bridge, PIRP Irp, PURB Urb) {
  struct _URB_SELECT_CONFIGURATION* s = &Urb->UrbSelectConfiguration;
  if (s->ConfigurationDescriptor == NULL) {
    s->ConfigurationHandle = NULL;  // unconfigured
    return Finish(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  }
  PUSBD_INTERFACE_INFORMATION info = &s->Interface;
  if (info->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + 3 * sizeof(USBD_PIPE_INFORMATION)) {
    return Finish(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL);
  }
  static const UCHAR kAddress[3] = {BRIDGE_EP_BULK_IN, BRIDGE_EP_BULK_OUT, BRIDGE_EP_INTERRUPT_IN};
  info->Class = 0xFF;
  info->SubClass = 0;
  info->Protocol = 0;
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(Bridge);
  info->NumberOfPipes = 3;
  for (ULONG i = 0; i < 3; ++i) {
    PUSBD_PIPE_INFORMATION p = &info->Pipes[i];
    p->EndpointAddress = kAddress[i];
    p->MaximumPacketSize = i == kPipeInterrupt ? 8 : BRIDGE_BULK_PACKET;
    p->Interval = i == kPipeInterrupt ? 1 : 0;
    p->PipeType = i == kPipeInterrupt ? UsbdPipeTypeInterrupt : UsbdPipeTypeBulk;
    p->PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(&Bridge->Pipes[i]);
    if (p->MaximumTransferSize == 0) p->MaximumTransferSize = 4096;
  }
  s->ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(Bridge);
  return Finish(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// Lock held: notes in the record when the transmitter began or ended a break.
void RecordBreak(BridgeExtension* Bridge) {
  const BOOLEAN on = BridgeBreakOn(&Bridge->Chip);
  if (on == Bridge->BreakOn) return;
  Bridge->BreakOn = on;
  TESTBUS_LINE_EVENT* e = &Bridge->Record[Bridge->RecordNext];
  e->Counter = KeQueryPerformanceCounter(NULL).QuadPart;
  e->BreakOn = on;
  e->Reserved = 0;
  Bridge->RecordNext = (Bridge->RecordNext + 1) % TESTBUS_LINE_EVENTS;
  if (Bridge->RecordCount < TESTBUS_LINE_EVENTS) ++Bridge->RecordCount;
}

NTSTATUS Vendor(BridgeExtension* Bridge, PIRP Irp, PURB Urb) {
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* v = &Urb->UrbControlVendorClassRequest;
  BridgeSetup setup = {(v->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0, v->Request, v->Value, v->Index};
  ULONG length = v->TransferBufferLength;
  PUCHAR data = length ? TransferBuffer(v->TransferBuffer, v->TransferBufferMDL) : NULL;
  KIRQL irql;
  LIST_ENTRY done;
  InitializeListHead(&done);
  KeAcquireSpinLock(&Bridge->Bus->Lock, &irql);
  const BOOLEAN ok = BridgeVendorRequest(&Bridge->Chip, &setup, data, &length);
  if (ok) {
    RecordBreak(Bridge);
    Pump(Bridge, &done);  // e.g. a modem-control change raised a report
  }
  KeReleaseSpinLock(&Bridge->Bus->Lock, irql);
  CompleteList(&done);
  if (!ok) return Finish(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  v->TransferBufferLength = length;
  return Finish(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS Transfer(BridgeExtension* Bridge, PIRP Irp, PURB Urb) {
  Pipe* pipe = PipeOf(Bridge, Urb->UrbBulkOrInterruptTransfer.PipeHandle);
  if (!pipe) return Finish(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&Bridge->Bus->Lock, &irql);
  IoMarkIrpPending(Irp);
  (VOID) IoSetCancelRoutine(Irp, CancelTransfer);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
    KeReleaseSpinLock(&Bridge->Bus->Lock, irql);
    SetResult(Irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  }
  InsertTailList(&pipe->Pending, &Irp->Tail.Overlay.ListEntry);
  Pump(Bridge, &done);
  KeReleaseSpinLock(&Bridge->Bus->Lock, irql);
  CompleteList(&done);
  return STATUS_PENDING;
}

NTSTATUS AbortPipe(BridgeExtension* Bridge, PIRP Irp, PURB Urb) {
  Pipe* pipe = PipeOf(Bridge, Urb->UrbPipeRequest.PipeHandle);
  if (!pipe) return Finish(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&Bridge->Bus->Lock, &irql);
  if (pipe == &Bridge->Pipes[kPipeBulkOut]) Bridge->OutProgress = 0;
  FailPipe(pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED, &done);
  KeReleaseSpinLock(&Bridge->Bus->Lock, irql);
  CompleteList(&done);
  return Finish(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS SubmitUrb(BridgeExtension* Bridge, PIRP Irp) {
  PURB urb = UrbOf(Irp);
  if (!urb) return Finish(Irp, NULL, STATUS_INVALID_PARAMETER, 0);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return Descriptor(Bridge, Irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(Bridge, Irp, urb);
    case URB_FUNCTION_VENDOR_DEVICE:
      return Vendor(Bridge, Irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return Transfer(Bridge, Irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
      return AbortPipe(Bridge, Irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
      return Finish(Irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: {
      struct _URB_CONTROL_GET_STATUS_REQUEST* g = &urb->UrbControlGetStatusRequest;
      PUCHAR data = TransferBuffer(g->TransferBuffer, g->TransferBufferMDL);
      if (g->TransferBufferLength < 2) return Finish(Irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
      data[0] = data[1] = 0;  // bus powered, no remote wake-up
      g->TransferBufferLength = 2;
      return Finish(Irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    default:
      return Finish(Irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
  }
}

}  // namespace

VOID CompleteList(PLIST_ENTRY Done) {
  while (!IsListEmpty(Done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(Done), IRP, Tail.Overlay.ListEntry);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

VOID BridgeReadRecord(BridgeExtension* Bridge, TESTBUS_LINE_RECORD* Out) {
  LARGE_INTEGER frequency;
  KeQueryPerformanceCounter(&frequency);
  Out->Frequency = frequency.QuadPart;
  Out->Reserved = 0;
  Out->Count = Bridge->RecordCount;
  const ULONG first = (Bridge->RecordNext + TESTBUS_LINE_EVENTS - Bridge->RecordCount) % TESTBUS_LINE_EVENTS;
  for (ULONG i = 0; i < Bridge->RecordCount; ++i) Out->Events[i] = Bridge->Record[(first + i) % TESTBUS_LINE_EVENTS];
}

VOID BridgeFailPending(BridgeExtension* Bridge, PLIST_ENTRY Done) {
  Bridge->OutProgress = 0;
  for (Pipe& p : Bridge->Pipes) FailPipe(&p, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, Done);
}

NTSTATUS BridgeInternalControl(PDEVICE_OBJECT Device, PIRP Irp) {
  BridgeExtension* bridge = static_cast<BridgeExtension*>(Device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (!bridge->Present) {
    PURB urb = code == IOCTL_INTERNAL_USB_SUBMIT_URB ? UrbOf(Irp) : NULL;
    return Finish(Irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  }
  switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(bridge, Irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
      *static_cast<PULONG>(stack->Parameters.Others.Argument1) = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
      return Finish(Irp, NULL, STATUS_SUCCESS, 0);
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return Finish(Irp, NULL, STATUS_SUCCESS, 0);
    default:
      return Finish(Irp, NULL, STATUS_NOT_SUPPORTED, 0);
  }
}

VOID BridgeTick(BusExtension* Bus) {
  LARGE_INTEGER frequency;
  const ULONGLONG now = KeQueryPerformanceCounter(&frequency).QuadPart;
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&Bus->Lock, &irql);
  for (PDEVICE_OBJECT device : Bus->Bridges) {
    if (!device) continue;
    BridgeExtension* bridge = static_cast<BridgeExtension*>(device->DeviceExtension);
    // The bus stands in for a host controller that polls bulk-in every frame. When its timer runs
    // late, the line is held to one frame of time per tick rather than delivering the whole gap at
    // once into a FIFO that no poll drained meanwhile: the emulated line runs slower than real time
    // instead of overrunning for a cause no real bridge has.
    ULONGLONG elapsed = now - bridge->LastTick;
    const ULONG frame = static_cast<ULONG>(frequency.LowPart) / 1000;  // the counter runs at some MHz
    if (elapsed > frame) elapsed = frame;
    BridgeAdvance(&bridge->Chip, elapsed, frequency.QuadPart);
    bridge->LastTick = now;
  }
  // A cable's bridge receives what the other one sent: every bridge is pumped once all have moved on.
  for (PDEVICE_OBJECT device : Bus->Bridges) {
    if (device) Pump(static_cast<BridgeExtension*>(device->DeviceExtension), &done);
  }
  KeReleaseSpinLock(&Bus->Lock, irql);
  CompleteList(&done);
}
