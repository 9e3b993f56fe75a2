// Control codes that report on the port.
#include "serial/status_control.h"

#include "driver/port_extension.h"
#include "rx/receive_hold_bits.h"
#include "serial/comm_properties.h"
#include "serial/control_buffer.h"
#include "tx/status_monitor.h"

namespace {

// Chips from this revision hold transmission for the output handshake themselves.
const ULONG kChipHoldsOutputHandshake = 0x30;

// Transmit holds and the hold reasons they report.
const struct {
  ULONG Hold;
  ULONG Reason;
} kTxHoldReasons[] = {
    {TX_HOLD_CTS, SERIAL_TX_WAITING_FOR_CTS},    {TX_HOLD_DSR, SERIAL_TX_WAITING_FOR_DSR},
    {TX_HOLD_DCD, SERIAL_TX_WAITING_FOR_DCD},    {TX_HOLD_XOFF, SERIAL_TX_WAITING_FOR_XON},
    {TX_HOLD_BREAK, SERIAL_TX_WAITING_ON_BREAK},
};

// Output handshakes, the modem input each waits for and its hold reason.
const struct {
  ULONG Handshake;
  UCHAR Input;
  ULONG Reason;
} kOutputHandshakes[] = {
    {SERIAL_CTS_HANDSHAKE, SERIAL_MSR_CTS, SERIAL_TX_WAITING_FOR_CTS},
    {SERIAL_DSR_HANDSHAKE, SERIAL_MSR_DSR, SERIAL_TX_WAITING_FOR_DSR},
    {SERIAL_DCD_HANDSHAKE, SERIAL_MSR_DCD, SERIAL_TX_WAITING_FOR_DCD},
};

ULONG HoldReasons(PPORT_EXTENSION Port, ULONG TxPending, ULONG ControlHandShake, UCHAR ModemStatus) {
  ULONG reasons = 0;
  if (ReadChipVersion(Port) >= kChipHoldsOutputHandshake && TxPending != 0 &&
      (ControlHandShake & SERIAL_OUT_HANDSHAKEMASK) != 0) {
    for (const auto& h : kOutputHandshakes) {
      if ((ModemStatus & h.Input) == 0) reasons |= h.Reason;
    }
  }
  const ULONG txHolds = ReadHolds(&Port->TxHoldFlags);
  for (const auto& h : kTxHoldReasons) {
    if ((txHolds & h.Hold) != 0) reasons |= h.Reason;
  }
  const ULONG rxHolds = ReadHolds(&Port->RxHoldFlags);
  if ((rxHolds & RX_HOLD_DSR) != 0) reasons |= SERIAL_RX_WAITING_FOR_DSR;
  if ((rxHolds & RX_HOLD_XOFF) != 0) reasons |= SERIAL_TX_WAITING_XOFF_SENT;
  return reasons;
}

}  // namespace

NTSTATUS GetCommStatusControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  PSERIAL_STATUS status = (PSERIAL_STATUS)ControlBuffer(Irp);
  RtlZeroMemory(status, sizeof(SERIAL_STATUS));
  // The errors are recorded under ControlLock; the cancel spin lock comes first.
  KIRQL cancelIrql, irql;
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLock(&port->ControlLock, &irql);
  status->Errors = port->CommErrors;
  port->CommErrors = 0;
  status->AmountInInQueue = (ULONG)port->RingCount;
  status->AmountInOutQueue = port->TxPending;
  status->HoldReasons =
      HoldReasons(port, port->TxPending, port->HandFlow.ControlHandShake, port->ModemStatus);
  KeReleaseSpinLock(&port->ControlLock, irql);
  IoReleaseCancelSpinLock(cancelIrql);
  Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
  return STATUS_SUCCESS;
}

NTSTATUS GetStatsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  *(PSERIALPERF_STATS)ControlBuffer(Irp) = port->PerfStats;
  KeReleaseSpinLock(&port->ControlLock, irql);
  Irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
  return STATUS_SUCCESS;
}

NTSTATUS ClearStatsControl(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  RtlZeroMemory(&port->PerfStats, sizeof(SERIALPERF_STATS));
  RtlZeroMemory(&port->WmiPerfStats, sizeof(SERIALPERF_STATS));
  KeReleaseSpinLock(&port->ControlLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS GetPropertiesControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSERIAL_COMMPROP properties = (PSERIAL_COMMPROP)ControlBuffer(Irp);
  RtlZeroMemory(properties, COMM_PROPERTIES_SIZE);
  FillCommProperties(DeviceObject, properties);
  Irp->IoStatus.Information = COMM_PROPERTIES_SIZE;
  return STATUS_SUCCESS;
}

NTSTATUS GetWaitMaskControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ReturnUlong(Irp, PortExtension(DeviceObject)->WaitMask);
}
