// Control codes of the modem-control outputs and transmission holds.
#include "serial/modem_control.h"

#include "driver/port_extension.h"
#include "rx/receive_hold_bits.h"
#include "serial/control_buffer.h"
#include "tx/status_monitor.h"
#include "tx/status_wake.h"
#include "usb/modem_lines.h"

namespace {

// The handshake as it is now, read under ControlLock.
SERIAL_HANDFLOW CurrentHandFlow(PPORT_EXTENSION Port) {
  KIRQL irql;
  KeAcquireSpinLock(&Port->ControlLock, &irql);
  SERIAL_HANDFLOW handFlow = Port->HandFlow;
  KeReleaseSpinLock(&Port->ControlLock, irql);
  return handFlow;
}

}  // namespace

NTSTATUS DtrControl(PDEVICE_OBJECT DeviceObject, BOOLEAN On) {
  const SERIAL_HANDFLOW handFlow = CurrentHandFlow(PortExtension(DeviceObject));
  if ((handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) return STATUS_BUFFER_TOO_SMALL;
  // The shadow keeps the new state; a chip that missed it gets it with the next change.
  (VOID) SetDtr(DeviceObject, On);
  return STATUS_SUCCESS;
}

NTSTATUS RtsControl(PDEVICE_OBJECT DeviceObject, BOOLEAN On) {
  const SERIAL_HANDFLOW handFlow = CurrentHandFlow(PortExtension(DeviceObject));
  const ULONG rtsMode = handFlow.FlowReplace & SERIAL_RTS_MASK;
  if (rtsMode == SERIAL_RTS_HANDSHAKE || rtsMode == SERIAL_TRANSMIT_TOGGLE) return STATUS_BUFFER_TOO_SMALL;
  return SetRts(DeviceObject, On);
}

NTSTATUS SetXoffControl(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  (VOID) TakeHold(&port->TxHoldFlags, TX_HOLD_XOFF);
  // A held transmit toggle drops RTS once the chip's transmitter is empty.
  if (TransmitToggleMode(port)) WakeStatusThread(DeviceObject);
  return STATUS_SUCCESS;
}

NTSTATUS SetXonControl(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  if (ReadHolds(&port->TxHoldFlags) == 0) return STATUS_SUCCESS;
  (VOID) ReleaseHold(&port->TxHoldFlags, TX_HOLD_XOFF);
  if (ReadHolds(&port->TxHoldFlags) != 0) return STATUS_SUCCESS;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  const BOOLEAN writing = port->CurrentWrite != NULL;
  IoReleaseCancelSpinLock(irql);
  if (writing) KeSetEvent(&port->WriterEvent, 1, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS GetModemOutputsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN WithOut1) {
  UCHAR outputs;
  NTSTATUS status = ReadModemOutputs(DeviceObject, &outputs);
  if (!NT_SUCCESS(status)) return status;
  ULONG result = 0;
  if ((outputs & MODEM_CONTROL_DTR) != 0) result |= SERIAL_DTR_STATE;
  if ((outputs & MODEM_CONTROL_RTS) != 0) result |= SERIAL_RTS_STATE;
  if (WithOut1 && (outputs & MODEM_CONTROL_OUT1) != 0) result |= SERIAL_IOC_MCR_OUT1;
  return ReturnUlong(Irp, result);
}

NTSTATUS SetModemOutputsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const ULONG bits = *(PULONG)ControlBuffer(Irp);
  UCHAR outputs = 0;
  if ((bits & SERIAL_IOC_MCR_DTR) != 0) outputs |= MODEM_CONTROL_DTR;
  if ((bits & SERIAL_IOC_MCR_RTS) != 0) outputs |= MODEM_CONTROL_RTS;
  if ((bits & SERIAL_IOC_MCR_OUT1) != 0) outputs |= MODEM_CONTROL_OUT1;
  return WriteModemOutputs(DeviceObject, outputs);
}

NTSTATUS GetModemStatusControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ReturnUlong(Irp, ReadModemStatus(DeviceObject));
}
