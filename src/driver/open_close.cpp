// Open, cleanup and close of the port's file handle.
#include "driver/open_close.h"

#include "driver/driver_globals.h"
#include "driver/request_accounting.h"
#include "serial/request_queue.h"
#include "tx/xoff_counter.h"
#include "usb/chip_registers.h"
#include "usb/line_format.h"
#include "usb/modem_lines.h"
#include "usb/port_init.h"
#include "usb/usb_request.h"

namespace {

// Polls of the transmitter before close gives up on it (20 ms apart, about one second).
constexpr ULONG kDrainPolls = 50;
// REG_TX_STATUS bit 0: the chip still has data to send.
constexpr UCHAR kTransmitterBusy = 0x01;

NTSTATUS Finish(PPORT_EXTENSION Port, PIRP Irp, NTSTATUS Status, CCHAR Boost) {
  Irp->IoStatus.Status = Status;
  CompleteRequest(Port, Irp, Boost);
  return Status;
}

// The hub's view of the bridge: FALSE only when the query succeeds and reports it gone, or, with
// FailedMeansGone, when the query fails too.
BOOLEAN BridgeConnected(PDEVICE_OBJECT DeviceObject, BOOLEAN FailedMeansGone) {
  ULONG portStatus = USBD_PORT_CONNECTED;
  NTSTATUS status = GetPortStatus(DeviceObject, &portStatus);
  if (!NT_SUCCESS(status)) return FailedMeansGone ? FALSE : TRUE;
  return (portStatus & USBD_PORT_CONNECTED) != 0 ? TRUE : FALSE;
}

// The resets of a new handle, under OpenMutex; the settings and events the port threads read
// under ControlLock change under it.
VOID ResetForNewHandle(PPORT_EXTENSION Port) {
  Port->WmiCommData.IsBusy = TRUE;
  KIRQL irql;
  KeAcquireSpinLock(&Port->ControlLock, &irql);
  Port->HandFlow.XoffLimit = Port->RingSize / 8;
  Port->HandFlow.XonLimit = Port->RingSize / 2;
  Port->WaitMask = 0;
  Port->EventHistory = 0;
  KeReleaseSpinLock(&Port->ControlLock, irql);
  Port->WmiCommData.XoffXmitThreshold = Port->RingSize / 8;
  Port->WmiCommData.XonXmitThreshold = Port->RingSize / 2;
  RtlZeroMemory(&Port->PerfStats, sizeof(Port->PerfStats));
  RtlZeroMemory(&Port->WmiPerfStats, sizeof(Port->WmiPerfStats));
  Port->EscapeChar = 0;
}

// Waits, at most kDrainPolls times 20 ms, until the chip has sent everything. FALSE when every
// poll found the transmitter busy; polling also ends, with *Connected turned FALSE, when the hub
// reports the bridge gone.
BOOLEAN DrainTransmitter(PDEVICE_OBJECT DeviceObject, PBOOLEAN Connected) {
  for (ULONG poll = 0; poll < kDrainPolls; ++poll) {
    UCHAR modem = 0, transmitter = kTransmitterBusy;
    NTSTATUS status = ReadRegisterPair(DeviceObject, REG_MODEM, &modem, REG_TX_STATUS, &transmitter);
    if (NT_SUCCESS(status) && (transmitter & kTransmitterBusy) == 0) return TRUE;
    if (!BridgeConnected(DeviceObject, FALSE)) {
      *Connected = FALSE;
      return TRUE;
    }
    DelayTwentyMilliseconds();
  }
  return FALSE;
}

// Lets the line settle for the time of ten characters at the current rate.
VOID WaitCharacterTimes(PPORT_EXTENSION Port) {
  LARGE_INTEGER interval;
  interval.QuadPart = -10 * (LONGLONG)CharacterTime(Port);
  (VOID) KeDelayExecutionThread(KernelMode, TRUE, &interval);
}

}  // namespace

NTSTATUS NTAPI CreateDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  InterlockedIncrement(&port->PendingRequests);
  Irp->IoStatus.Information = 0;

  if (!ReadPortFlag(&port->Started) || ReadPortFlag(&port->Removed) || ReadPortFlag(&port->RemovePending)) {
    return Finish(port, Irp, STATUS_INVALID_DEVICE_REQUEST, IO_NO_INCREMENT);
  }
  // A failed query does not stop the open; only a bridge the hub reports gone does.
  if (!BridgeConnected(DeviceObject, FALSE)) {
    return Finish(port, Irp, STATUS_INVALID_DEVICE_REQUEST, IO_NO_INCREMENT);
  }

  ExAcquireFastMutex(&port->OpenMutex);
  if (ReadOpenState(port) != PORT_CLOSED) {
    ExReleaseFastMutex(&port->OpenMutex);
    return Finish(port, Irp, STATUS_ACCESS_DENIED, IO_NO_INCREMENT);
  }
  ResetForNewHandle(port);
  SetOpenState(port, PORT_OPENING);
  ExReleaseFastMutex(&port->OpenMutex);

  // The chip's answer does not decide the open: the port serves the handle either way.
  (VOID) InitializePort(DeviceObject, FALSE);

  ExAcquireFastMutex(&port->OpenMutex);
  SetOpenState(port, PORT_OPEN);
  ExReleaseFastMutex(&port->OpenMutex);

  KeSetEvent(&port->ReaderEvent, 1, FALSE);
  KeSetEvent(&port->StatusEvent, 1, FALSE);
  return Finish(port, Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
}

NTSTATUS NTAPI CleanupDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  InterlockedIncrement(&port->PendingRequests);
  Irp->IoStatus.Information = 0;

  if (ReadOpenState(port) == PORT_CLOSED) {
    return Finish(port, Irp, STATUS_INVALID_DEVICE_REQUEST, IO_NO_INCREMENT);
  }
  // The handle's requests are cancelled even on a port that is not started (powered down or
  // stopped with requests still queued): left queued they would keep the handle from closing.
  CancelAllRequests(DeviceObject, &port->WriteQueue, &port->CurrentWrite);
  CancelAllRequests(DeviceObject, &port->ReadQueue, &port->CurrentRead);
  CancelWaitRequest(DeviceObject);
  CancelCountingXoffCounter(port);
  KeSetEvent(&port->WriterEvent, 1, FALSE);
  if (!ReadPortFlag(&port->Started)) {
    return Finish(port, Irp, STATUS_INVALID_DEVICE_REQUEST, IO_NO_INCREMENT);
  }
  DrainUsbTransfers(DeviceObject, FALSE);
  return Finish(port, Irp, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
}

NTSTATUS NTAPI CloseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  InterlockedIncrement(&port->PendingRequests);
  Irp->IoStatus.Information = 0;

  ExAcquireFastMutex(&port->OpenMutex);
  if (ReadOpenState(port) == PORT_CLOSED) {
    ExReleaseFastMutex(&port->OpenMutex);
    return Finish(port, Irp, STATUS_INVALID_DEVICE_REQUEST, IO_NO_INCREMENT);
  }
  // The port counts as closed from here on. The I/O manager sends no new open to the exclusive
  // device before this close has completed.
  SetOpenState(port, PORT_CLOSED);
  ExReleaseFastMutex(&port->OpenMutex);

  // A failed query counts as a bridge gone: nothing below then talks to the chip.
  BOOLEAN connected = BridgeConnected(DeviceObject, TRUE);
  BOOLEAN drained = TRUE;
  if (connected) {
    (VOID) SetBreak(DeviceObject, FALSE);
    drained = DrainTransmitter(DeviceObject, &connected);
  }
  (VOID) InterlockedExchange((LONG volatile*)&port->TxPending, 0);

  // The far end is not left stopped by an XOFF of this handle.
  LONG rxHold = InterlockedAnd((LONG volatile*)&port->RxHoldFlags, ~(LONG)RX_HOLD_XOFF);
  if ((rxHold & RX_HOLD_XOFF) != 0 && connected) {
    (VOID) TransmitImmediate(DeviceObject, port->SpecialChars.XonChar);
  }
  if (connected) WaitCharacterTimes(port);

  (VOID) DropModemOutputs(DeviceObject, connected);
  // A chip whose transmitter never went idle is reset. The port is closed, so the
  // initialisation keeps DTR and RTS down.
  if (connected && !drained) (VOID) InitializePort(DeviceObject, FALSE);

  (VOID) InterlockedAnd((LONG volatile*)&port->TxHoldFlags, 0);
  (VOID) InterlockedAnd((LONG volatile*)&port->RxHoldFlags, 0);

  port->WmiCommData.IsBusy = FALSE;
  return Finish(port, Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
}
