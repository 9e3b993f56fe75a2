// Synchronous USB requests to the lower driver and the draining of in-flight transfers.
#include "usb/usb_request.h"

#include "driver/driver_globals.h"
#include "driver/port_extension.h"

#if defined(TARNWIRE_WINDOWS)
#if defined(_WIN64)
static_assert(sizeof(URB) == 152, "x64 URB union is 152 bytes");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "x64 pipe request URB is 40 bytes");
#else
static_assert(sizeof(URB) == 96, "x86 URB union is 96 bytes");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "x86 pipe request URB is 24 bytes");
#endif
#endif
static_assert(PORT_URB_AREA_SIZE >= sizeof(URB), "the port's control URB area holds any URB");

namespace {

// 20 ms in relative 100-ns units, the pause between drain passes.
constexpr LONGLONG kDrainPassDelay = -200000;
// Passes (a second) after which a drain of the transmit side alone gives up: a writer still
// streaming starts a new transfer after every abort, and the chip is re-initialised beside it
// rather than never.
constexpr ULONG kTransmitDrainPasses = 50;

inline LONG ReadCount(volatile LONG* Count) { return *Count; }

// Sends one internal device control request to the lower driver with Argument1 in the next stack
// location and waits for it. STATUS_INSUFFICIENT_RESOURCES when the IRP cannot be built.
NTSTATUS CallLowerDriver(PPORT_EXTENSION Port, ULONG IoControlCode, PVOID Argument1) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;

  PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Port->LowerDeviceObject, NULL, 0, NULL, 0, TRUE,
                                           &event, &ioStatus);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.Others.Argument1 = Argument1;

  NTSTATUS status = IoCallDriver(Port->LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  if (status == STATUS_TIMEOUT) status = STATUS_IO_TIMEOUT;
  return status;
}

USBD_PIPE_HANDLE SelectPipe(PPORT_EXTENSION Port, ULONG PipeSelector) {
  switch (PipeSelector) {
    case PIPE_SELECT_INTERRUPT:
      return Port->InterruptPipe;
    case PIPE_SELECT_BULK_IN:
      return Port->BulkInPipe;
    case PIPE_SELECT_BULK_OUT:
      return Port->BulkOutPipe;
    default:
      return NULL;
  }
}

// The hub reports these when the device is gone; callers only want to know "not connected".
bool IsDeviceGoneStatus(NTSTATUS Status) {
  switch (Status) {
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_NO_SUCH_FILE:
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_END_OF_FILE:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_DEVICE_NOT_READY:
    case STATUS_DEVICE_DOES_NOT_EXIST:
    case STATUS_INVALID_DEVICE_STATE:
    case STATUS_DEVICE_REMOVED:
    case STATUS_DEVICE_OFF_LINE:
      return true;
    default:
      return false;
  }
}

}  // namespace

PURB BorrowControlUrb(PDEVICE_OBJECT DeviceObject, ULONG FreshSize, PBOOLEAN Borrowed) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  PURB urb = (PURB)InterlockedExchangePointer((PVOID volatile*)&port->ControlUrbSlot, NULL);
  if (urb != NULL) {
    *Borrowed = TRUE;
    RtlZeroMemory(urb, SMALL_URB_BLOCK_SIZE);
    return urb;
  }
  // Another thread holds the port's block: work on a private one.
  *Borrowed = FALSE;
  urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, FreshSize, TARNWIRE_POOL_TAG);
  if (urb != NULL) RtlZeroMemory(urb, FreshSize);
  return urb;
}

VOID ReturnControlUrb(PDEVICE_OBJECT DeviceObject, PURB Urb, BOOLEAN Borrowed) {
  if (Borrowed) {
    (void)InterlockedExchangePointer((PVOID volatile*)&PortExtension(DeviceObject)->ControlUrbSlot, Urb);
  } else {
    ExFreePoolWithTag(Urb, TARNWIRE_POOL_TAG);
  }
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  InterlockedIncrement(&port->UsbBusyCount);
  NTSTATUS status = CallLowerDriver(port, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
  InterlockedDecrement(&port->UsbBusyCount);
  return status;
}

NTSTATUS ResetUsbPort(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  InterlockedIncrement(&port->UsbBusyCount);
  NTSTATUS status = CallLowerDriver(port, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
  InterlockedDecrement(&port->UsbBusyCount);
  return status;
}

NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus) {
  NTSTATUS status =
      CallLowerDriver(PortExtension(DeviceObject), IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus);
  if (IsDeviceGoneStatus(status)) {
    *PortStatus &= ~(ULONG)USBD_PORT_CONNECTED;
    return STATUS_SUCCESS;
  }
  return status;
}

NTSTATUS PipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, ULONG PipeSelector) {
  // A stopped or sleeping port leaves its pipes alone: the next start or D0 configures them
  // afresh and rewrites their handles meanwhile. Aborts still go out, for the drains of removal.
  if (Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL &&
      !ReadPortFlag(&PortExtension(DeviceObject)->Started))
    return STATUS_DEVICE_NOT_READY;
  BOOLEAN borrowed;
  PURB urb = BorrowControlUrb(DeviceObject, SMALL_URB_BLOCK_SIZE, &borrowed);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = Function;
  urb->UrbPipeRequest.PipeHandle = SelectPipe(PortExtension(DeviceObject), PipeSelector);

  NTSTATUS status =
      urb->UrbPipeRequest.PipeHandle == NULL ? STATUS_NO_SUCH_DEVICE : SubmitUrb(DeviceObject, urb);
  ReturnControlUrb(DeviceObject, urb, borrowed);
  return status;
}

VOID ResetPipeAfterFailure(PDEVICE_OBJECT DeviceObject, ULONG PipeSelector) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  ULONG portStatus = USBD_PORT_CONNECTED;
  NTSTATUS query = GetPortStatus(DeviceObject, &portStatus);
  if (NT_SUCCESS(query) && (portStatus & USBD_PORT_CONNECTED) == 0) return;
  if (ReadPortFlag(&port->Removed) || ReadPortFlag(&port->RemovePending)) return;
  PipeRequest(DeviceObject, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PipeSelector);
}

VOID DrainUsbTransfers(PDEVICE_OBJECT DeviceObject, BOOLEAN abortAll) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);

  ULONG portStatus = USBD_PORT_CONNECTED;
  if (!NT_SUCCESS(GetPortStatus(DeviceObject, &portStatus))) portStatus = USBD_PORT_CONNECTED;

  for (ULONG pass = 0;; pass++) {
    bool query;
    if (abortAll && (ReadCount(&port->InterruptBusy) != 0 || ReadCount(&port->BulkInBusy) != 0)) {
      query = pass >= 2;
    } else {
      // Only the transmit side is left to wait for.
      if (ReadCount(&port->BulkOutBusy) == 0) return;
      if (!abortAll && pass >= kTransmitDrainPasses) return;
      query = !abortAll || pass >= 2;
    }
    if (query) {
      ULONG answer = portStatus;
      if (NT_SUCCESS(GetPortStatus(DeviceObject, &answer))) {
        if ((answer & USBD_PORT_CONNECTED) == 0) return;  // device gone: nothing will complete
        portStatus = answer;
      }
    }

    if ((portStatus & USBD_PORT_CONNECTED) != 0 && pass >= 1) {
      if (ReadCount(&port->BulkInBusy) != 0 && (abortAll || pass >= 5)) {
        // One abort per bulk-in transfer still in flight.
        for (LONG sent = 0; sent < ReadCount(&port->BulkInBusy); sent++) {
          PipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_BULK_IN);
        }
      }
      if (ReadCount(&port->BulkOutBusy) != 0) {
        PipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_BULK_OUT);
      }
      if (ReadCount(&port->InterruptBusy) != 0 && (abortAll || pass == 10 || pass == 30)) {
        if (ReadChipVersion(port) >= 0x20) {
          PipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PIPE_SELECT_INTERRUPT);
        } else if (pass >= 10) {
          // Older chips poll their status on the default pipe, which cannot be aborted; a port
          // reset ends the stuck request. Its status does not matter.
          CallLowerDriver(port, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
        }
      }
    }

    LARGE_INTEGER delay;
    delay.QuadPart = kDrainPassDelay;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
}
