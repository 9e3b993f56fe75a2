// ProcessStatusChange: what a new reading of the modem inputs and the chip's line status leads to.
//
// It runs on the status monitor thread and on every caller of ReadModemStatus, possibly at the
// same time, and takes its inputs under ControlLock:
//   - EventHistory, CommErrors, LineStatus and the receive ring change only under ControlLock.
//     The line-error bits of LineStatus are claimed (read and cleared) in one acquisition, so an
//     error is classified and answered once even when two evaluations overlap.
//   - TxHoldFlags and RxHoldFlags are shared with the reader thread, the writer and the dispatch
//     routines, and change only through InterlockedOr and InterlockedAnd, so no context loses
//     another's bits. The decisions about the transmit holds use the values those operations
//     return.
#include "driver/driver_globals.h"
#include "rx/receive_ring.h"
#include "tx/serial_events.h"
#include "tx/status_monitor.h"
#include "tx/status_wake.h"
#include "usb/chip_registers.h"
#include "usb/modem_lines.h"

namespace {

// LineStatus (interrupt report byte 0) bits.
const ULONG kLineOverrun = 0x02;
const ULONG kLineReceiveError = 0x04;
const ULONG kLineEvent = 0x10;
const ULONG kLineClassifyByRegister5 = 0x40;  // chips 0x30 and later
const ULONG kLineErrorBits = kLineOverrun | kLineReceiveError | kLineClassifyByRegister5;

const ULONG kClassifyingVersion = 0x30;  // chips with register 5 classification and register 0x27
const UCHAR kRegister5Framing = 0x02;    // register 5: set framing error, clear break

// Register 0x27: the chip's own output handshake enables.
const UCHAR kChipHandshakeCts = 0x01;
const UCHAR kChipHandshakeDsr = 0x02;
const UCHAR kChipHandshakeDcd = 0x08;

const ULONG kSoftwareTxHolds = TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD;

// What an evaluation reads of the port, taken together under ControlLock.
struct Reading {
  UCHAR modem;  // ModemStatus
  UCHAR escapeChar;
  UCHAR errorChar;
  UCHAR breakChar;
  ULONG waitMask;
  ULONG controlHandShake;
  ULONG flowReplace;
  ULONG lineErrors;  // line-error bits claimed for classification (0: none)
};

// Takes the reading; stores the inserted status bytes, records the modem-line and EVENT1 events
// and claims the line-error bits, all in one acquisition of ControlLock.
Reading TakeReading(PPORT_EXTENSION Port) {
  Reading r;
  KIRQL irql;
  KeAcquireSpinLock(&Port->ControlLock, &irql);
  r.modem = Port->ModemStatus;
  r.escapeChar = Port->EscapeChar;
  r.errorChar = Port->SpecialChars.ErrorChar;
  r.breakChar = Port->SpecialChars.BreakChar;
  r.waitMask = Port->WaitMask;
  r.controlHandShake = Port->HandFlow.ControlHandShake;
  r.flowReplace = Port->HandFlow.FlowReplace;
  r.lineErrors = 0;

  // Status insertion: escape, SERIAL_LSRMST_MST, ModemStatus. No reader or event is signalled.
  if (r.escapeChar != 0 && (r.modem & 0x0F) != 0) {
    RingStoreByteLocked(Port, r.escapeChar);
    RingStoreByteLocked(Port, SERIAL_LSRMST_MST);
    RingStoreByteLocked(Port, r.modem);
  }

  // Without a wait mask line errors are neither recorded nor answered: LineStatus keeps them.
  if (r.waitMask != 0) {
    ULONG events = 0;
    if ((r.waitMask & SERIAL_EV_CTS) && (r.modem & SERIAL_MSR_DCTS)) events |= SERIAL_EV_CTS;
    if ((r.waitMask & SERIAL_EV_DSR) && (r.modem & SERIAL_MSR_DDSR)) events |= SERIAL_EV_DSR;
    if ((r.waitMask & SERIAL_EV_RING) && (r.modem & SERIAL_MSR_TERI)) events |= SERIAL_EV_RING;
    if ((r.waitMask & SERIAL_EV_RLSD) && (r.modem & SERIAL_MSR_DDCD)) events |= SERIAL_EV_RLSD;
    if ((r.waitMask & SERIAL_EV_ERR) && (Port->LineStatus & (kLineOverrun | kLineReceiveError))) {
      r.lineErrors = Port->LineStatus & kLineErrorBits;
      Port->LineStatus &= ~kLineErrorBits;
    }
    if ((r.waitMask & SERIAL_EV_EVENT1) && (Port->LineStatus & kLineEvent)) {
      events |= SERIAL_EV_EVENT1;
      Port->LineStatus &= ~kLineEvent;
    }
    Port->EventHistory |= events;
  }
  KeReleaseSpinLock(&Port->ControlLock, irql);
  return r;
}

// Classifies claimed line errors, first matching rule: overrun; parity on chips below 0x30;
// framing or break by register 5 when the chip asks for it; parity otherwise. A register-5 read
// that fails counts as a framing error: the chip flagged a receive error that cannot be shown to
// be a break. Records the error and SERIAL_EV_ERR and stores the error or break character when
// enabled.
VOID RecordLineErrors(PDEVICE_OBJECT DeviceObject, const Reading& R) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  ULONG error;
  if (R.lineErrors & kLineOverrun) {
    error = SERIAL_ERROR_OVERRUN;
  } else if (ReadChipVersion(port) < kClassifyingVersion) {
    error = SERIAL_ERROR_PARITY;
  } else if (R.lineErrors & kLineClassifyByRegister5) {
    UCHAR reg5 = kRegister5Framing;
    UCHAR again = 0;
    (VOID) ReadRegisterPair(DeviceObject, REG_BREAK_RELEASE, &reg5, REG_BREAK_RELEASE, &again);
    error = (reg5 & kRegister5Framing) ? SERIAL_ERROR_FRAMING : SERIAL_ERROR_BREAK;
  } else {
    error = SERIAL_ERROR_PARITY;
  }

  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  port->CommErrors |= error;
  if (error == SERIAL_ERROR_BREAK) {
    if (R.flowReplace & SERIAL_BREAK_CHAR) RingStoreByteLocked(port, R.breakChar);
  } else if (R.flowReplace & SERIAL_ERROR_CHAR) {
    RingStoreByteLocked(port, R.errorChar);
  }
  port->EventHistory |= SERIAL_EV_ERR;
  KeReleaseSpinLock(&port->ControlLock, irql);
}

// Writes register 0x27 (one retry). TRUE when the chip took it.
BOOLEAN WriteChipHandshake(PDEVICE_OBJECT DeviceObject, UCHAR Enables) {
  if (NT_SUCCESS(WriteRegisterPair(DeviceObject, REG_HANDSHAKE, Enables, REG_HANDSHAKE, Enables)))
    return TRUE;
  return NT_SUCCESS(WriteRegisterPair(DeviceObject, REG_HANDSHAKE, Enables, REG_HANDSHAKE, Enables));
}

UCHAR ChipHandshakeEnables(ULONG Handshake) {
  UCHAR enables = 0;
  if (Handshake & SERIAL_CTS_HANDSHAKE) enables |= kChipHandshakeCts;
  if (Handshake & SERIAL_DSR_HANDSHAKE) enables |= kChipHandshakeDsr;
  if (Handshake & SERIAL_DCD_HANDSHAKE) enables |= kChipHandshakeDcd;
  return enables;
}

BOOLEAN WriteIsCurrent(PPORT_EXTENSION Port) {
  return InterlockedCompareExchangePointer((PVOID volatile*)&Port->CurrentWrite, NULL, NULL) != NULL;
}

// The output handshake: the chip enforces it from 0x30 when register 0x27 can be written;
// otherwise the CTS, DSR and DCD transmit holds follow the lines.
VOID ApplyOutputHandshake(PDEVICE_OBJECT DeviceObject, const Reading& R) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  LONG volatile* txHold = (LONG volatile*)&port->TxHoldFlags;
  ULONG handshake = R.controlHandShake & SERIAL_OUT_HANDSHAKEMASK;
  BOOLEAN chipHandshake = ReadChipVersion(port) >= kClassifyingVersion;

  if (handshake == 0) {
    if (chipHandshake) (VOID) WriteChipHandshake(DeviceObject, 0);
    ULONG before = (ULONG)InterlockedAnd(txHold, ~(LONG)kSoftwareTxHolds);
    if ((before & kSoftwareTxHolds) != 0 && (before & ~kSoftwareTxHolds) == 0 && WriteIsCurrent(port))
      KeSetEvent(&port->WriterEvent, 1, FALSE);
    return;
  }

  ULONG now;
  if (chipHandshake && WriteChipHandshake(DeviceObject, ChipHandshakeEnables(handshake))) {
    // The chip holds transmission itself; the software holds stay as they are.
    now = (ULONG)InterlockedOr(txHold, 0);
  } else {
    ULONG hold = 0;
    if ((handshake & SERIAL_CTS_HANDSHAKE) && !(R.modem & SERIAL_MSR_CTS)) hold |= TX_HOLD_CTS;
    if ((handshake & SERIAL_DSR_HANDSHAKE) && !(R.modem & SERIAL_MSR_DSR)) hold |= TX_HOLD_DSR;
    if ((handshake & SERIAL_DCD_HANDSHAKE) && !(R.modem & SERIAL_MSR_DCD)) hold |= TX_HOLD_DCD;
    const ULONG release = kSoftwareTxHolds & ~hold;
    ULONG h0 = (ULONG)InterlockedOr(txHold, (LONG)hold);
    now = (ULONG)InterlockedAnd(txHold, ~(LONG)release) & ~release;
    // Newly held in transmit-toggle mode: RTS is to drop once the transmitter is idle.
    if (h0 == 0 && now != 0 && (R.flowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE)
      WakeStatusThread(DeviceObject);
  }
  if (now == 0 && WriteIsCurrent(port)) KeSetEvent(&port->WriterEvent, 1, FALSE);
}

}  // namespace

VOID ProcessStatusChange(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  Reading r = TakeReading(port);

  // DSR sensitivity: received data is dropped while DSR is off.
  LONG volatile* rxHold = (LONG volatile*)&port->RxHoldFlags;
  if ((r.controlHandShake & SERIAL_DSR_SENSITIVITY) && !(r.modem & SERIAL_MSR_DSR))
    (VOID) InterlockedOr(rxHold, RX_HOLD_DSR);
  else
    (VOID) InterlockedAnd(rxHold, ~(LONG)RX_HOLD_DSR);

  if (r.waitMask != 0) {
    if (r.lineErrors != 0) RecordLineErrors(DeviceObject, r);
    DeliverEvents(port);
  }
  ApplyOutputHandshake(DeviceObject, r);
}
