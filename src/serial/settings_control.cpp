// Control codes of the port's settings.
#include "serial/settings_control.h"

#include "driver/port_extension.h"
#include "driver/wmi_blocks.h"
#include "rx/receive_flow.h"
#include "serial/control_buffer.h"
#include "tx/status_monitor.h"
#include "usb/line_format.h"

namespace {

// DataMask of each word length from 5 to 8 bits.
const UCHAR kDataMasks[] = {0x1F, 0x3F, 0x7F, 0xFF};
const UCHAR kLowestWordLength = 5;

// Copies Length bytes between the settings and a request's buffer under ControlLock.
VOID CopyLocked(PPORT_EXTENSION Port, PVOID To, const VOID* From, ULONG Length) {
  KIRQL irql;
  KeAcquireSpinLock(&Port->ControlLock, &irql);
  RtlCopyMemory(To, From, Length);
  KeReleaseSpinLock(&Port->ControlLock, irql);
}

// Answers with Length bytes of the settings, copied under ControlLock.
NTSTATUS ReturnSetting(PPORT_EXTENSION Port, PIRP Irp, const VOID* Setting, ULONG Length) {
  CopyLocked(Port, ControlBuffer(Irp), Setting, Length);
  Irp->IoStatus.Information = Length;
  return STATUS_SUCCESS;
}

BOOLEAN LimitOutOfRange(LONG Limit, ULONG RingSize) { return Limit < 0 || (ULONG)Limit > RingSize; }

}  // namespace

NTSTATUS SetBaudRateControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return SetBaudRate(DeviceObject, ((PSERIAL_BAUD_RATE)ControlBuffer(Irp))->BaudRate);
}

NTSTATUS GetBaudRateControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ReturnUlong(Irp, ReadBaudRate(PortExtension(DeviceObject)));
}

NTSTATUS SetLineControlControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  const SERIAL_LINE_CONTROL line = *(PSERIAL_LINE_CONTROL)ControlBuffer(Irp);
  const ULONG maskIndex = (ULONG)line.WordLength - kLowestWordLength;
  const BOOLEAN wordValid = maskIndex < sizeof kDataMasks;
  const BOOLEAN parityValid = line.Parity <= SPACE_PARITY;
  const BOOLEAN stopValid = line.StopBits <= STOP_BITS_2;

  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  // WMI sees every valid part of the request, and the word length as given, even when the
  // request as a whole is refused.
  if (parityValid) port->WmiCommData.Parity = WmiParity(line.Parity);
  port->WmiCommData.BitsPerByte = line.WordLength;
  if (stopValid) port->WmiCommData.StopBits = line.StopBits;
  const BOOLEAN valid = wordValid && parityValid && stopValid;
  if (valid) {
    port->DataMask = kDataMasks[maskIndex];
    port->Parity = line.Parity;
    port->StopBits = line.StopBits;
  }
  KeReleaseSpinLock(&port->ControlLock, irql);
  return valid ? ProgramLineFormat(DeviceObject) : STATUS_INVALID_PARAMETER;
}

NTSTATUS GetLineControlControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  PSERIAL_LINE_CONTROL line = (PSERIAL_LINE_CONTROL)ControlBuffer(Irp);
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  line->WordLength = (UCHAR)WmiBitsPerByte(port->DataMask);
  line->Parity = port->Parity;
  line->StopBits = port->StopBits;
  KeReleaseSpinLock(&port->ControlLock, irql);
  Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
  return STATUS_SUCCESS;
}

NTSTATUS SetTimeoutsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  CopyLocked(port, &port->Timeouts, ControlBuffer(Irp), sizeof(SERIAL_TIMEOUTS));
  return STATUS_SUCCESS;
}

NTSTATUS GetTimeoutsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  return ReturnSetting(port, Irp, &port->Timeouts, sizeof(SERIAL_TIMEOUTS));
}

NTSTATUS SetCharsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  const SERIAL_CHARS* chars = (const SERIAL_CHARS*)ControlBuffer(Irp);
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  port->WmiCommData.XonCharacter = chars->XonChar;
  port->WmiCommData.XoffCharacter = chars->XoffChar;
  port->SpecialChars = *chars;
  KeReleaseSpinLock(&port->ControlLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS GetCharsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  return ReturnSetting(port, Irp, &port->SpecialChars, sizeof(SERIAL_CHARS));
}

NTSTATUS SetHandFlowControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  const SERIAL_HANDFLOW handFlow = *(PSERIAL_HANDFLOW)ControlBuffer(Irp);
  if ((handFlow.ControlHandShake & SERIAL_CONTROL_INVALID) != 0 ||
      (handFlow.FlowReplace & SERIAL_FLOW_INVALID) != 0 ||
      (handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK ||
      LimitOutOfRange(handFlow.XonLimit, port->RingSize) ||
      LimitOutOfRange(handFlow.XoffLimit, port->RingSize)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  const BOOLEAN inserting = port->EscapeChar != 0;
  KeReleaseSpinLock(&port->ControlLock, irql);
  if (inserting && (handFlow.FlowReplace & SERIAL_ERROR_CHAR) != 0) return STATUS_BUFFER_TOO_SMALL;
  ApplyHandFlow(DeviceObject, &handFlow);
  (VOID) ReadModemStatus(DeviceObject);
  return STATUS_SUCCESS;
}

NTSTATUS GetHandFlowControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  return ReturnSetting(port, Irp, &port->HandFlow, sizeof(SERIAL_HANDFLOW));
}

NTSTATUS SetEscapeCharControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  const UCHAR escape = *(PUCHAR)ControlBuffer(Irp);
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  if (escape != 0 && (escape == port->SpecialChars.XonChar || escape == port->SpecialChars.XoffChar ||
                      (port->HandFlow.FlowReplace & SERIAL_ERROR_CHAR) != 0)) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    port->EscapeChar = escape;
  }
  KeReleaseSpinLock(&port->ControlLock, irql);
  return status;
}
