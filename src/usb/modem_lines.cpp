// Modem-control outputs, break and single-byte transmit.
#include "usb/modem_lines.h"

#include "tx/status_wake.h"
#include "usb/chip_registers.h"
#include "usb/line_format.h"
#include "usb/usb_request.h"

#if defined(TARNWIRE_WINDOWS)
#if defined(_WIN64)
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "x64 bulk transfer URB is 128 bytes");
static_assert(IMMEDIATE_BYTE_OFFSET == 152 && IMMEDIATE_URB_BLOCK_SIZE == 192,
              "x64 immediate byte at 152 of a 192-byte block");
#else
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "x86 bulk transfer URB is 72 bytes");
static_assert(IMMEDIATE_BYTE_OFFSET == 96 && IMMEDIATE_URB_BLOCK_SIZE == 128,
              "x86 immediate byte at 96 of a 128-byte block");
#endif
#endif
static_assert(IMMEDIATE_BYTE_OFFSET < IMMEDIATE_URB_BLOCK_SIZE, "the immediate byte fits after the URB");

namespace {

// Break-release bits: register 5 bit 0 and register 0x18 bit 6, both clear while a break is sent.
constexpr UCHAR kBreakRelease5 = 0x01;
constexpr UCHAR kBreakRelease18 = 0x40;

VOID LockModemControl(PPORT_EXTENSION Port) {
  (VOID) KeWaitForSingleObject(&Port->ModemControlLock, Executive, KernelMode, FALSE, NULL);
}

VOID UnlockModemControl(PPORT_EXTENSION Port) {
  (VOID) KeSetEvent(&Port->ModemControlLock, IO_NO_INCREMENT, FALSE);
}

// Sets or clears one output bit of ModemControl and tells the chip when the bit changed. The
// status thread (transmit-toggle RTS), the receive flow rules and dispatch routines change the
// outputs concurrently, and the chip takes the whole byte: the shadow's change and its write are
// one step under ModemControlLock, so that no writer sends a byte that undoes another's bit.
NTSTATUS SetModemOutput(PDEVICE_OBJECT DeviceObject, UCHAR Bit, BOOLEAN On) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  LockModemControl(port);
  UCHAR before = port->ModemControl;
  UCHAR after = On ? (UCHAR)(before | Bit) : (UCHAR)(before & ~Bit);
  port->ModemControl = after;
  NTSTATUS status = after == before ? STATUS_SUCCESS : WriteModemControl(DeviceObject, (UCHAR)~after);
  UnlockModemControl(port);
  return status;
}

}  // namespace

NTSTATUS SetDtr(PDEVICE_OBJECT DeviceObject, BOOLEAN On) {
  return SetModemOutput(DeviceObject, MODEM_CONTROL_DTR, On);
}

NTSTATUS SetRts(PDEVICE_OBJECT DeviceObject, BOOLEAN On) {
  // WakeStatusThread counts the drop requests from other threads.
  (VOID) InterlockedExchange((LONG volatile*)&PortExtension(DeviceObject)->RtsToggleCount, 0);
  return SetModemOutput(DeviceObject, MODEM_CONTROL_RTS, On);
}

NTSTATUS ReadModemOutputs(PDEVICE_OBJECT DeviceObject, PUCHAR ModemControl) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  UCHAR modem, txStatus;
  LockModemControl(port);
  NTSTATUS status = ReadRegisterPair(DeviceObject, REG_MODEM, &modem, REG_TX_STATUS, &txStatus);
  if (NT_SUCCESS(status)) port->ModemControl = (UCHAR)~modem;
  *ModemControl = port->ModemControl;
  UnlockModemControl(port);
  return status;
}

NTSTATUS WriteModemOutputs(PDEVICE_OBJECT DeviceObject, UCHAR ModemControl) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  LockModemControl(port);
  port->ModemControl = ModemControl;
  NTSTATUS status = WriteModemControl(DeviceObject, (UCHAR)~ModemControl);
  UnlockModemControl(port);
  return status;
}

VOID ForgetModemOutputs(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  LockModemControl(port);
  port->ModemControl = 0;
  UnlockModemControl(port);
}

NTSTATUS DropModemOutputs(PDEVICE_OBJECT DeviceObject, BOOLEAN TellChip) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  (VOID) InterlockedExchange((LONG volatile*)&port->RtsToggleCount, 0);
  LockModemControl(port);
  port->ModemControl = (UCHAR)(port->ModemControl & ~(MODEM_CONTROL_DTR | MODEM_CONTROL_RTS));
  NTSTATUS status = TellChip ? WriteModemControl(DeviceObject, (UCHAR)~port->ModemControl) : STATUS_SUCCESS;
  UnlockModemControl(port);
  return status;
}

NTSTATUS SetBreak(PDEVICE_OBJECT DeviceObject, BOOLEAN On) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  UCHAR r5, r18;
  NTSTATUS status = STATUS_SUCCESS;

  if (On) {
    if (TransmitToggleMode(port)) SetRts(DeviceObject, TRUE);
    status = ReadRegisterPair(DeviceObject, REG_BREAK_RELEASE, &r5, REG_LINE_CONTROL, &r18);
    if (NT_SUCCESS(status) && ((r5 & kBreakRelease5) != 0 || (r18 & kBreakRelease18) != 0)) {
      status = WriteRegisterPair(DeviceObject, REG_BREAK_RELEASE, (UCHAR)(r5 & ~kBreakRelease5),
                                 REG_LINE_CONTROL, (UCHAR)(r18 & ~kBreakRelease18));
    }
    // The writer holds queued data for as long as the break is meant to last, whether or not
    // the chip could be told. The hold words change only by interlocked operations: other
    // bits of the word are changed meanwhile by other threads.
    (VOID) InterlockedOr((LONG volatile*)&port->TxHoldFlags, TX_HOLD_BREAK);
    return status;
  }

  if ((port->TxHoldFlags & TX_HOLD_BREAK) != 0) {
    status = ReadRegisterPair(DeviceObject, REG_BREAK_RELEASE, &r5, REG_LINE_CONTROL, &r18);
    if (NT_SUCCESS(status) && ((r5 & kBreakRelease5) == 0 || (r18 & kBreakRelease18) == 0)) {
      status = WriteRegisterPair(DeviceObject, REG_BREAK_RELEASE, (UCHAR)(r5 | kBreakRelease5),
                                 REG_LINE_CONTROL, (UCHAR)(r18 | kBreakRelease18));
    }
    (VOID) InterlockedAnd((LONG volatile*)&port->TxHoldFlags, ~(LONG)TX_HOLD_BREAK);
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  const BOOLEAN writeCurrent = port->CurrentWrite != NULL;
  IoReleaseCancelSpinLock(irql);
  if (InterlockedCompareExchange((LONG volatile*)&port->TxHoldFlags, 0, 0) == 0 && writeCurrent) {
    KeSetEvent(&port->WriterEvent, 1, FALSE);
  } else if (TransmitToggleMode(port)) {
    WakeStatusThread(DeviceObject);
  }
  return status;
}

NTSTATUS TransmitImmediate(PDEVICE_OBJECT DeviceObject, UCHAR Byte) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  InterlockedIncrement((LONG volatile*)&port->TxPending);

  BOOLEAN borrowed;
  PURB urb = BorrowControlUrb(DeviceObject, IMMEDIATE_URB_BLOCK_SIZE, &borrowed);
  if (urb == NULL) {
    InterlockedDecrement((LONG volatile*)&port->TxPending);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  PUCHAR data = (PUCHAR)urb + IMMEDIATE_BYTE_OFFSET;
  *data = Byte;
  ApplySoftwareParity(port, data, 1);
  if (TransmitToggleMode(port)) SetRts(DeviceObject, TRUE);

  UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         port->BulkOutPipe, data, NULL, 1, 0, NULL);
  InterlockedIncrement(&port->BulkOutBusy);
  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  InterlockedDecrement(&port->BulkOutBusy);
  ReturnControlUrb(DeviceObject, urb, borrowed);

  if (NT_SUCCESS(status)) {
    CountTransmittedBytes(port, 1);
  } else {
    ResetPipeAfterFailure(DeviceObject, PIPE_SELECT_BULK_OUT);
  }
  // The status thread drops RTS again once the chip reports its transmitter empty.
  if (TransmitToggleMode(port)) WakeStatusThread(DeviceObject);

  InterlockedDecrement((LONG volatile*)&port->TxPending);
  return status;
}
