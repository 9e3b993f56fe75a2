// The status monitor thread and the on-demand reading of the modem inputs.
//
// Interrupt mode (chips 0x20 and later): while something is watched the thread keeps one
// interrupt-in transfer outstanding and evaluates every report. Poll mode (older chips): it reads
// registers 6 and 7 every 20 ms while something is watched and looks again every second
// otherwise. Any signal of StatusEvent makes it re-evaluate at once.
//
// ModemStatus and LineStatus are written by this thread and by every caller of ReadModemStatus;
// both are changed only under ControlLock.
#include "tx/status_monitor.h"

#include "driver/driver_globals.h"
#include "usb/chip_registers.h"
#include "usb/modem_lines.h"
#include "usb/usb_request.h"

namespace {

// Serial events whose lines the thread watches: CTS, DSR, RLSD and RING, plus EVENT1 in
// interrupt mode (only the interrupt report carries it).
const ULONG kPollEvents = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING;
const ULONG kInterruptEvents = kPollEvents | SERIAL_EV_EVENT1;

// Chips of this revision and later report status on the interrupt-in pipe.
const ULONG kInterruptModeVersion = 0x20;
const ULONG kPollRequestLength = 7;           // asked for; a sound chip answers 2 bytes
const UCHAR kTransmitterBusy = 0x01;          // report byte 3, register 7
const LONGLONG kPollIdleTimeout = -10000000;  // 1 s
const LONGLONG kPollDueTimeout = -200000;     // 20 ms

// The status area: the URB, then the 8-byte transfer buffer.
const ULONG kStatusBufferOffset = (ULONG)sizeof(URB);
const ULONG kStatusBufferSize = 8;
static_assert(sizeof(URB) + 8 <= PORT_URB_AREA_SIZE, "the status URB area holds the URB and its buffer");

PUCHAR StatusBuffer(PPORT_EXTENSION Port) { return (PUCHAR)Port->StatusUrbBlock + kStatusBufferOffset; }

BOOLEAN DriverLoaded() {
  return InterlockedCompareExchangePointer((PVOID volatile*)&GlobalDriverObject, NULL, NULL) != NULL;
}

// A transmit-toggle RTS drop is pending. WakeStatusThread counts and SetRts clears the count
// from other contexts; only whether it is non-zero matters.
BOOLEAN RtsDropPending(PPORT_EXTENSION Port) {
  return InterlockedCompareExchange((LONG volatile*)&Port->RtsToggleCount, 0, 0) != 0;
}

// Stores a new reading of the modem inputs (low nibble of `Raw`, active low) as ModemStatus:
// current lines in the high nibble, the lines that changed since the previous reading in the low.
UCHAR StoreModemInputs(PPORT_EXTENSION Port, UCHAR Raw) {
  KIRQL irql;
  KeAcquireSpinLock(&Port->ControlLock, &irql);
  UCHAR now = (UCHAR)((Raw & 0x0F) ^ 0x0F);
  UCHAR before = (UCHAR)(Port->ModemStatus >> 4);
  UCHAR status = (UCHAR)((now << 4) | (now ^ before));
  Port->ModemStatus = status;
  KeReleaseSpinLock(&Port->ControlLock, irql);
  return status;
}

// Whether the lines are watched now. Watching needs the port started, open and not removed and
// one of `Events` in WaitMask or an output handshake; a pending RTS drop is watched on a closed
// port too in interrupt mode, but never once the port is stopped or removed: a removal's drain
// would otherwise abort transfer after transfer that this thread submits again.
// Poll mode watches the output handshake too, so that a software transmit hold is lifted when the
// line returns (the writer reads the lines only while it is not held).
BOOLEAN WatchDue(PPORT_EXTENSION Port, ULONG Events, BOOLEAN DropNeedsOpenPort) {
  if (!ReadPortFlag(&Port->Started) || ReadPortFlag(&Port->Removed)) return FALSE;
  BOOLEAN drop = RtsDropPending(Port);
  if (drop && !DropNeedsOpenPort) return TRUE;
  if (ReadOpenState(Port) == PORT_CLOSED) return FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&Port->ControlLock, &irql);
  BOOLEAN watched =
      (Port->WaitMask & Events) != 0 || (Port->HandFlow.ControlHandShake & SERIAL_OUT_HANDSHAKEMASK) != 0;
  KeReleaseSpinLock(&Port->ControlLock, irql);
  return watched || drop;
}

// After a failed transfer: the hub reports the device gone (a failed query counts as present).
BOOLEAN DeviceGone(PDEVICE_OBJECT DeviceObject) {
  ULONG portStatus = USBD_PORT_CONNECTED;
  return NT_SUCCESS(GetPortStatus(DeviceObject, &portStatus)) && (portStatus & USBD_PORT_CONNECTED) == 0;
}

// Drops RTS once the transmitter is idle, when a transmit-toggle drop is pending.
VOID DropRtsWhenIdle(PDEVICE_OBJECT DeviceObject, UCHAR TransmitterByte) {
  if (RtsDropPending(PortExtension(DeviceObject)) && (TransmitterByte & kTransmitterBusy) == 0)
    (VOID) SetRts(DeviceObject, FALSE);
}

// Interrupt mode after a wake-up: keeps a transfer outstanding while watching is due. FALSE: the
// thread is to end.
BOOLEAN WatchInterruptReports(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  PURB urb = (PURB)port->StatusUrbBlock;
  PUCHAR report = StatusBuffer(port);
  // A withdrawn interface name ends the thread in the next pass.
  while (PortThreadsMayRun(port) && WatchDue(port, kInterruptEvents, FALSE)) {
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           port->InterruptPipe, report, NULL, kStatusBufferSize,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    InterlockedIncrement(&port->InterruptBusy);
    InterlockedIncrement(&port->UsbBusyCount);
    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    InterlockedDecrement(&port->InterruptBusy);
    InterlockedDecrement(&port->UsbBusyCount);

    if (NT_SUCCESS(status)) {
      // A report shorter than 4 bytes is ignored.
      if (urb->UrbBulkOrInterruptTransfer.TransferBufferLength >= 4) {
        StoreModemInputs(port, report[2]);
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        port->LineStatus =
            (ULONG)report[0] | ((ULONG)report[1] << 8) | ((ULONG)report[2] << 16) | ((ULONG)report[3] << 24);
        KeReleaseSpinLock(&port->ControlLock, irql);
        ProcessStatusChange(DeviceObject);
        DropRtsWhenIdle(DeviceObject, report[3]);
      }
    } else {
      if (DeviceGone(DeviceObject)) return FALSE;
      if (!ReadPortFlag(&port->Removed) && !ReadPortFlag(&port->RemovePending))
        (VOID) PipeRequest(DeviceObject, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PIPE_SELECT_INTERRUPT);
    }
    if (!DriverLoaded()) return FALSE;
  }
  return TRUE;
}

// State of poll mode across passes.
struct PollState {
  BOOLEAN timed = FALSE;  // no time-out before the first wait
  LARGE_INTEGER timeout = {};
  ULONG counter = 0;
};

// Poll mode after a wake-up or time-out: one poll while watching is due. FALSE: the thread is to
// end.
BOOLEAN PollOnce(PDEVICE_OBJECT DeviceObject, PollState* State) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  State->timeout.QuadPart = kPollIdleTimeout;
  if (!PortThreadsMayRun(port)) return FALSE;
  if (!WatchDue(port, kPollEvents, TRUE)) return TRUE;

  PURB urb = (PURB)port->StatusUrbBlock;
  PUCHAR reply = StatusBuffer(port);
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                        (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, VENDOR_READ_REGISTERS,
                        (USHORT)((REG_TX_STATUS << 8) | REG_MODEM), 0, reply, NULL, kPollRequestLength, NULL);
  InterlockedIncrement(&port->InterruptBusy);
  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  InterlockedDecrement(&port->InterruptBusy);

  if (NT_SUCCESS(status) && urb->UrbControlVendorClassRequest.TransferBufferLength == 2) {
    UCHAR modem = StoreModemInputs(port, reply[0]);
    // Evaluated at every change and, without changes, on every fifth poll.
    State->counter = (State->counter + 1) % 5;
    if ((modem & 0x0F) != 0 || State->counter == 0) ProcessStatusChange(DeviceObject);
    DropRtsWhenIdle(DeviceObject, reply[1]);
  } else if (DeviceGone(DeviceObject)) {
    return FALSE;
  }
  State->timeout.QuadPart = kPollDueTimeout;
  return TRUE;
}

}  // namespace

VOID NTAPI StatusMonitorThread(PVOID StartContext) {
  PDEVICE_OBJECT device = (PDEVICE_OBJECT)StartContext;
  PPORT_EXTENSION port = PortExtension(device);
  InterlockedIncrement(&port->ThreadCount);
  KeSetPriorityThread(KeGetCurrentThread(), 16);
  PollState poll;
  while (PortThreadsMayRun(port)) {
    // The first wait has no time-out; in poll mode every later one has.
    const BOOLEAN timed = poll.timed && ReadChipVersion(port) < kInterruptModeVersion;
    KeWaitForSingleObject(&port->StatusEvent, Executive, KernelMode, FALSE, timed ? &poll.timeout : NULL);
    poll.timed = TRUE;
    if (!DriverLoaded()) break;
    // The mode is chosen after the wake-up: the thread starts waiting before the port is started
    // and the chip's revision known, and the wake-up that follows the start must not be spent on
    // the wrong mode.
    const BOOLEAN keep = ReadChipVersion(port) >= kInterruptModeVersion ? WatchInterruptReports(device)
                                                                        : PollOnce(device, &poll);
    if (!keep) break;
  }
  // The extension may be freed as soon as the count reaches 0: nothing of it is used after this.
  InterlockedDecrement(&port->ThreadCount);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

ULONG ReadModemStatus(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  KeSetEvent(&port->StatusEvent, 1, FALSE);
  UCHAR modem = 0, transmitter = 0;
  UCHAR status;
  if (NT_SUCCESS(ReadRegisterPair(DeviceObject, REG_MODEM, &modem, REG_TX_STATUS, &transmitter))) {
    status = StoreModemInputs(port, modem);
  } else {
    // Current lines kept, no change reported.
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    port->ModemStatus &= 0xF0;
    status = port->ModemStatus;
    KeReleaseSpinLock(&port->ControlLock, irql);
  }
  ProcessStatusChange(DeviceObject);
  return status;
}
