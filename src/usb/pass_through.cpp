// The USB pass-through control code.
#include "usb/pass_through.h"

#include "driver/driver_globals.h"
#include "driver/port_extension.h"
#include "usb/chip_registers.h"
#include "usb/usb_request.h"

// Each request builds its URBs in a private block that holds any of them.
#define PASS_THROUGH_URB_SIZE ((ULONG)sizeof(URB))

#if defined(TARNWIRE_WINDOWS)
#if defined(_WIN64)
static_assert(PASS_THROUGH_URB_SIZE == 152, "x64 pass-through URB block is 152 bytes");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "x64 descriptor URB is 136 bytes");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "x64 vendor URB is 136 bytes");
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 136, "x64 get-status URB is 136 bytes");
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 136, "x64 feature URB is 136 bytes");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "x64 bulk URB is 128 bytes");
static_assert(FIELD_OFFSET(struct _URB_CONTROL_FEATURE_REQUEST, FeatureSelector) == 130,
              "x64 feature selector");
static_assert(FIELD_OFFSET(struct _URB_CONTROL_GET_STATUS_REQUEST, Index) == 132, "x64 get-status index");
#else
static_assert(PASS_THROUGH_URB_SIZE == 96, "x86 pass-through URB block is 96 bytes");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "x86 descriptor URB is 80 bytes");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "x86 vendor URB is 80 bytes");
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 80, "x86 get-status URB is 80 bytes");
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 80, "x86 feature URB is 80 bytes");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "x86 bulk URB is 72 bytes");
static_assert(FIELD_OFFSET(struct _URB_CONTROL_FEATURE_REQUEST, FeatureSelector) == 74,
              "x86 feature selector");
static_assert(FIELD_OFFSET(struct _URB_CONTROL_GET_STATUS_REQUEST, Index) == 76, "x86 get-status index");
#endif
#endif

// SubmitControl reads the returned length through the descriptor request's view.
static_assert(FIELD_OFFSET(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBufferLength) ==
                      FIELD_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) &&
                  FIELD_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) ==
                      FIELD_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength),
              "control URBs keep their transfer length in one place");

namespace {

const UCHAR kIdentification = 0x28;
const ULONG kSetupPacketSize = 8;
const ULONG kStatusBlockSize = 8;
const ULONG kGetStatusSize = 2;
const UCHAR kStatusBlockRequest = 0x52;

// bmRequestType fields.
const UCHAR kRequestTypeIn = 0x80;
const UCHAR kRequestTypeStandard = 0;
const UCHAR kRequestTypeVendor = 2;

// Standard requests a tool may send.
const UCHAR kGetStatus = 0;
const UCHAR kClearFeature = 1;
const UCHAR kSetFeature = 3;
const UCHAR kGetDescriptor = 6;

// One request's buffers and URB block.
struct PASS_THROUGH_CALL {
  PDEVICE_OBJECT Device;
  PIRP Irp;
  PURB Urb;
  PUCHAR Data;       // the data area, after the header
  ULONG InputData;   // bytes of the data area the caller filled
  ULONG OutputData;  // bytes of the data area that can go back to the caller
  ULONG Length;      // the header's data length
  ULONG Returned;    // the returned length
};

// Whether the command's reads and writes stay inside the caller's buffers.
bool Fits(const PASS_THROUGH_CALL* Call, ULONG Reads, ULONG Writes) {
  return Reads <= Call->InputData && Writes <= Call->OutputData;
}

USHORT ReadUshort(const UCHAR* Bytes) { return (USHORT)(Bytes[0] | (Bytes[1] << 8)); }

// A transfer on a data pipe may wait for ever (an IN pipe without data, an OUT pipe held by the
// far end): the caller's cancellation cancels it below. The caller's request carries this
// record in DriverContext[0] while its cancel routine is set.
struct CANCELLABLE_TRANSFER {
  KEVENT Done;        // the lower request has completed
  KEVENT CancelDone;  // the cancel routine no longer uses Lower
  PIRP Lower;
};

NTSTATUS NTAPI TransferDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(&((CANCELLABLE_TRANSFER*)Context)->Done, IO_NO_INCREMENT, FALSE);
  // The IRP is ours: it is freed once the cancel routine is done with it.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  CANCELLABLE_TRANSFER* transfer = (CANCELLABLE_TRANSFER*)Irp->Tail.Overlay.DriverContext[0];
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  IoCancelIrp(transfer->Lower);
  KeSetEvent(&transfer->CancelDone, IO_NO_INCREMENT, FALSE);
}

// Submits the URB and waits for it, counted in UsbBusyCount and in the pipe's busy count so that
// a drain aborts the pipe, and cancelled when the caller's request is.
NTSTATUS SubmitCancellableUrb(PASS_THROUGH_CALL* Call, volatile LONG* PipeBusy) {
  PPORT_EXTENSION port = PortExtension(Call->Device);
  PIRP lower = IoAllocateIrp(port->LowerDeviceObject->StackSize, FALSE);
  if (lower == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  CANCELLABLE_TRANSFER transfer;
  KeInitializeEvent(&transfer.Done, NotificationEvent, FALSE);
  KeInitializeEvent(&transfer.CancelDone, NotificationEvent, FALSE);
  transfer.Lower = lower;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(lower);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Call->Urb;
  IoSetCompletionRoutine(lower, TransferDone, &transfer, TRUE, TRUE, TRUE);

  InterlockedIncrement(PipeBusy);
  InterlockedIncrement(&port->UsbBusyCount);
  (VOID) IoCallDriver(port->LowerDeviceObject, lower);

  // The lower request stays allocated until freed below, so cancelling it is safe at any time.
  PIRP irp = Call->Irp;
  irp->Tail.Overlay.DriverContext[0] = &transfer;
  (VOID) IoSetCancelRoutine(irp, CancelTransfer);
  BOOLEAN armed = TRUE;
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    // Cancelled before the routine was set: nobody else will cancel the transfer.
    armed = FALSE;
    IoCancelIrp(lower);
  }
  KeWaitForSingleObject(&transfer.Done, Executive, KernelMode, FALSE, NULL);
  // A routine already taken by IoCancelIrp runs to its end before the transfer record goes.
  if (armed && IoSetCancelRoutine(irp, NULL) == NULL) {
    KeWaitForSingleObject(&transfer.CancelDone, Executive, KernelMode, FALSE, NULL);
  }
  InterlockedDecrement(&port->UsbBusyCount);
  InterlockedDecrement(PipeBusy);

  NTSTATUS status = lower->IoStatus.Status;
  IoFreeIrp(lower);
  return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status;
}

// Commands 5 to 7: the header's data length moves on the pipe through the data area.
NTSTATUS PipeTransfer(PASS_THROUGH_CALL* Call, ULONG PipeSelector) {
  PPORT_EXTENSION port = PortExtension(Call->Device);
  USBD_PIPE_HANDLE pipe;
  volatile LONG* busy;
  ULONG flags = USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN;
  switch (PipeSelector) {
    case PIPE_SELECT_INTERRUPT:
      pipe = port->InterruptPipe;
      busy = &port->InterruptBusy;
      break;
    case PIPE_SELECT_BULK_IN:
      pipe = port->BulkInPipe;
      busy = &port->BulkInBusy;
      break;
    default:
      pipe = port->BulkOutPipe;
      busy = &port->BulkOutBusy;
      flags = USBD_SHORT_TRANSFER_OK;
      break;
  }
  if (pipe == NULL) return STATUS_NO_SUCH_DEVICE;
  // Bytes sent come from the input; bytes received, or the count of bytes sent, go back.
  const ULONG reads = PipeSelector == PIPE_SELECT_BULK_OUT ? Call->Length : 0;
  if (!Fits(Call, reads, Call->Length)) return STATUS_BUFFER_TOO_SMALL;

  UsbBuildInterruptOrBulkTransferRequest(Call->Urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         pipe, Call->Data, NULL, Call->Length, flags, NULL);
  NTSTATUS status = SubmitCancellableUrb(Call, busy);
  const ULONG moved = Call->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  Call->Returned = moved < Call->Length ? moved : Call->Length;
  if (!NT_SUCCESS(status)) {
    (VOID) PipeRequest(Call->Device, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PipeSelector);
  }
  // The reader thread may have stopped for want of room meanwhile and found the count not 0.
  if (PipeSelector == PIPE_SELECT_BULK_IN) (VOID) KeSetEvent(&port->ReaderEvent, IO_NO_INCREMENT, FALSE);
  return status;
}

// Submits a control URB whose data stage may return up to Wanted bytes; the returned length is
// what the URB reports afterwards.
NTSTATUS SubmitControl(PASS_THROUGH_CALL* Call, ULONG Wanted) {
  NTSTATUS status = SubmitUrb(Call->Device, Call->Urb);
  // The transfer buffer length sits at the same place in every control URB built here.
  const ULONG moved = Call->Urb->UrbControlDescriptorRequest.TransferBufferLength;
  Call->Returned = moved < Wanted ? moved : Wanted;
  return status;
}

NTSTATUS StandardRequest(PASS_THROUGH_CALL* Call, UCHAR Request, USHORT Value, USHORT Index, USHORT Length) {
  PURB urb = Call->Urb;
  switch (Request) {
    case kGetStatus:
      if (!Fits(Call, kSetupPacketSize, kGetStatusSize)) return STATUS_BUFFER_TOO_SMALL;
      UsbBuildGetStatusRequest(urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, Index, Call->Data, NULL, NULL);
      return SubmitControl(Call, kGetStatusSize);
    case kClearFeature:
    case kSetFeature:
      UsbBuildFeatureRequest(urb,
                             Request == kClearFeature ? URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE
                                                      : URB_FUNCTION_SET_FEATURE_TO_DEVICE,
                             Value, Index, NULL);
      return SubmitUrb(Call->Device, urb);
    case kGetDescriptor: {
      if (!Fits(Call, kSetupPacketSize, Length)) return STATUS_BUFFER_TOO_SMALL;
      const UCHAR type = (Value >> 8) == USB_DEVICE_DESCRIPTOR_TYPE ? USB_DEVICE_DESCRIPTOR_TYPE
                                                                    : USB_CONFIGURATION_DESCRIPTOR_TYPE;
      UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                   Call->Data, NULL, Length, NULL);
      return SubmitControl(Call, Length);
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS VendorControl(PASS_THROUGH_CALL* Call, UCHAR RequestType, UCHAR Request, USHORT Value, USHORT Index,
                       USHORT Length) {
  static const USHORT kFunctionByRecipient[4] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                                 URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};
  const bool in = (RequestType & kRequestTypeIn) != 0;
  // An OUT data stage is taken from the data area, setup packet first.
  const ULONG reads = in || Length < kSetupPacketSize ? kSetupPacketSize : Length;
  if (!Fits(Call, reads, Length)) return STATUS_BUFFER_TOO_SMALL;
  const ULONG flags = USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
  UsbBuildVendorRequest(Call->Urb, kFunctionByRecipient[RequestType & 3],
                        (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, Request, Value,
                        Index, Call->Data, NULL, Length, NULL);
  return SubmitControl(Call, Length);
}

// Command 4: the setup packet at the start of the data area.
NTSTATUS ControlRequest(PASS_THROUGH_CALL* Call) {
  if (!Fits(Call, kSetupPacketSize, 0)) return STATUS_BUFFER_TOO_SMALL;
  const UCHAR* setup = Call->Data;
  const UCHAR requestType = setup[0];
  const UCHAR request = setup[1];
  const USHORT value = ReadUshort(setup + 2);
  const USHORT index = ReadUshort(setup + 4);
  const USHORT length = ReadUshort(setup + 6);
  switch ((requestType >> 5) & 3) {
    case kRequestTypeStandard:
      return StandardRequest(Call, request, value, index, length);
    case kRequestTypeVendor:
      return VendorControl(Call, requestType, request, value, index, length);
    default:  // class and reserved requests
      return STATUS_INVALID_PARAMETER;
  }
}

// Commands 13 and 14: the pipe selector is the first ULONG of the data area.
NTSTATUS PipeCommand(PASS_THROUGH_CALL* Call, USHORT Function) {
  ULONG selector;
  if (!Fits(Call, sizeof(selector), 0)) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(&selector, Call->Data, sizeof(selector));
  return PipeRequest(Call->Device, Function, selector);
}

NTSTATUS RunCommand(PASS_THROUGH_CALL* Call, ULONG Command) {
  switch (Command) {
    case PASS_THROUGH_IDENTIFY:
      if (!Fits(Call, 0, 1)) return STATUS_BUFFER_TOO_SMALL;
      Call->Data[0] = kIdentification;
      Call->Returned = 1;
      return STATUS_SUCCESS;
    case PASS_THROUGH_CONFIG_DESCRIPTOR:
      if (!Fits(Call, 0, Call->Length)) return STATUS_BUFFER_TOO_SMALL;
      UsbBuildGetDescriptorRequest(Call->Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                   USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, Call->Data, NULL, Call->Length,
                                   NULL);
      return SubmitControl(Call, Call->Length);
    case PASS_THROUGH_CONTROL:
      return ControlRequest(Call);
    case PASS_THROUGH_INTERRUPT_IN:
      return PipeTransfer(Call, PIPE_SELECT_INTERRUPT);
    case PASS_THROUGH_BULK_IN:
      return PipeTransfer(Call, PIPE_SELECT_BULK_IN);
    case PASS_THROUGH_BULK_OUT:
      return PipeTransfer(Call, PIPE_SELECT_BULK_OUT);
    case PASS_THROUGH_STATUS_BLOCK: {
      if (!Fits(Call, 0, kStatusBlockSize)) return STATUS_BUFFER_TOO_SMALL;
      ULONG length = kStatusBlockSize;
      NTSTATUS status =
          VendorRequest(Call->Device, VENDOR_FLAGS_IN, kStatusBlockRequest, 0, 0, Call->Data, &length);
      Call->Returned = length < kStatusBlockSize ? length : kStatusBlockSize;
      return status;
    }
    case PASS_THROUGH_RESET_PORT:
      return ResetUsbPort(Call->Device);
    case PASS_THROUGH_RESET_PIPE:
      return PipeCommand(Call, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    case PASS_THROUGH_ABORT_PIPE:
      return PipeCommand(Call, URB_FUNCTION_ABORT_PIPE);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

NTSTATUS PassThroughRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, PASS_THROUGH_URB_SIZE, TARNWIRE_POOL_TAG);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  // The header goes back through the output: without room for it there is nothing to report.
  if (inputLength < PASS_THROUGH_HEADER_SIZE || outputLength < PASS_THROUGH_HEADER_SIZE) {
    ExFreePoolWithTag(urb, TARNWIRE_POOL_TAG);
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlZeroMemory(urb, PASS_THROUGH_URB_SIZE);

  PULONG header = (PULONG)Irp->AssociatedIrp.SystemBuffer;
  PASS_THROUGH_CALL call;
  call.Device = DeviceObject;
  call.Irp = Irp;
  call.Urb = urb;
  call.Data = (PUCHAR)header + PASS_THROUGH_HEADER_SIZE;
  call.InputData = inputLength - PASS_THROUGH_HEADER_SIZE;
  call.OutputData = outputLength - PASS_THROUGH_HEADER_SIZE;
  call.Length = header[1];
  call.Returned = 0;

  NTSTATUS status = RunCommand(&call, header[0]);

  header[0] = (ULONG)status;
  header[1] = call.Returned;
  ExFreePoolWithTag(urb, TARNWIRE_POOL_TAG);
  Irp->IoStatus.Information = call.Returned + PASS_THROUGH_HEADER_SIZE;
  return status;
}
