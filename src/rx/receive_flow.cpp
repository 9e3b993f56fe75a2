// Receive flow control: the hold rule, ApplyHandFlow and ResumeReceive.
//
// The hold words are changed only with InterlockedOr and InterlockedAnd. A hold's action (DTR or
// RTS dropped, XOFF sent) is taken only by the caller whose InterlockedOr found the bit clear,
// and a release's action (DTR or RTS raised, XON sent) only by the caller whose InterlockedAnd
// found it set. The flow work item's hold rule and release and a dispatch routine's ApplyHandFlow
// or ResumeReceive may race on the same bit; each hold and each release then acts exactly once.
//
// The three routines also run one at a time under FlowLock (a synchronization event, signalled
// while free): it orders each action with the change of its bit, so that a release's XON or
// raised line cannot reach the chip ahead of the hold it ends, and it keeps their updates of the
// ModemControl shadow apart. It is held across the line operations, which are synchronous USB
// requests at PASSIVE_LEVEL; nothing that takes it waits for anything that takes it.
//
// The settings and RingCount are read together under ControlLock, which is never held across
// the line operations.
#include "rx/receive_flow.h"

#include "driver/port_extension.h"
#include "rx/receive_hold_bits.h"
#include "tx/status_wake.h"
#include "usb/modem_lines.h"

namespace {

// What the flow rules read, taken at one moment under ControlLock.
struct FlowSnapshot {
  SERIAL_HANDFLOW HandFlow;
  ULONG RingCount;
  ULONG RingSize;
  UCHAR XonChar;
  UCHAR XoffChar;
};

VOID TakeSnapshot(PPORT_EXTENSION Port, FlowSnapshot* Snapshot) {
  KIRQL irql;
  KeAcquireSpinLock(&Port->ControlLock, &irql);
  Snapshot->HandFlow = Port->HandFlow;
  Snapshot->RingCount = (ULONG)Port->RingCount;
  Snapshot->RingSize = Port->RingSize;
  Snapshot->XonChar = Port->SpecialChars.XonChar;
  Snapshot->XoffChar = Port->SpecialChars.XoffChar;
  KeReleaseSpinLock(&Port->ControlLock, irql);
}

VOID LockFlow(PPORT_EXTENSION Port) {
  (VOID) KeWaitForSingleObject(&Port->FlowLock, Executive, KernelMode, FALSE, NULL);
}

VOID UnlockFlow(PPORT_EXTENSION Port) { (VOID) KeSetEvent(&Port->FlowLock, IO_NO_INCREMENT, FALSE); }

// Hold threshold: the ring holds RingSize - XoffLimit bytes or more (unsigned comparison).
BOOLEAN HoldThresholdReached(const FlowSnapshot* S, const SERIAL_HANDFLOW* HandFlow) {
  return S->RingCount >= S->RingSize - (ULONG)HandFlow->XoffLimit;
}

// Stores FlowReplace, ControlLock held. Interlocked as well: TransmitToggleMode reads it from the
// port threads without the lock.
VOID SetFlowReplaceLocked(PPORT_EXTENSION Port, ULONG FlowReplace) {
  (VOID) InterlockedExchange((LONG volatile*)&Port->HandFlow.FlowReplace, (LONG)FlowReplace);
}

typedef NTSTATUS (*SET_LINE)(PDEVICE_OBJECT DeviceObject, BOOLEAN On);

// DTR or RTS as receive flow control (the new mode of ApplyHandFlow): dropped and held at the
// hold threshold; otherwise raised unless the line is held and the ring is still above XonLimit.
VOID ApplyLineHandshake(PDEVICE_OBJECT DeviceObject, ULONG HoldBit, SET_LINE SetLine, const FlowSnapshot* S,
                        const SERIAL_HANDFLOW* New) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  if (HoldThresholdReached(S, New)) {
    if (TakeHold(&port->RxHoldFlags, HoldBit)) SetLine(DeviceObject, FALSE);
  } else if ((ReadHolds(&port->RxHoldFlags) & HoldBit) == 0) {
    SetLine(DeviceObject, TRUE);
  } else if (S->RingCount <= (ULONG)New->XonLimit && ReleaseHold(&port->RxHoldFlags, HoldBit)) {
    SetLine(DeviceObject, TRUE);
  }
}

// A fixed DTR or RTS mode: the line is no flow control any more, so its hold is dropped.
VOID ApplyFixedLine(PDEVICE_OBJECT DeviceObject, ULONG HoldBit, SET_LINE SetLine, BOOLEAN On) {
  (VOID) ReleaseHold(&PortExtension(DeviceObject)->RxHoldFlags, HoldBit);
  SetLine(DeviceObject, On);
}

VOID ApplyDtrMode(PDEVICE_OBJECT DeviceObject, const FlowSnapshot* S, const SERIAL_HANDFLOW* New) {
  switch (New->ControlHandShake & SERIAL_DTR_MASK) {
    case 0:
      ApplyFixedLine(DeviceObject, RX_HOLD_DTR, SetDtr, FALSE);
      break;
    case SERIAL_DTR_HANDSHAKE:
      ApplyLineHandshake(DeviceObject, RX_HOLD_DTR, SetDtr, S, New);
      break;
    default:  // SERIAL_DTR_CONTROL, and 3 taken as DTR on
      ApplyFixedLine(DeviceObject, RX_HOLD_DTR, SetDtr, TRUE);
      break;
  }
}

// Transmit toggle: RTS is up while something is (or may at once be) sent; otherwise the status
// monitor thread drops it once the transmitter is idle.
VOID ApplyTransmitToggle(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  (VOID) ReleaseHold(&port->RxHoldFlags, RX_HOLD_RTS);
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  SetFlowReplaceLocked(port, (port->HandFlow.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_TRANSMIT_TOGGLE);
  KeReleaseSpinLock(&port->ControlLock, irql);

  ULONG txHolds = ReadHolds(&port->TxHoldFlags);
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN sending = port->CurrentWrite != NULL || (!IsListEmpty(&port->WriteQueue) && txHolds == 0);
  IoReleaseCancelSpinLock(irql);
  if ((txHolds & TX_HOLD_BREAK) != 0 || sending) {
    SetRts(DeviceObject, TRUE);
  } else {
    WakeStatusThread(DeviceObject);
  }
}

VOID ApplyRtsMode(PDEVICE_OBJECT DeviceObject, const FlowSnapshot* S, const SERIAL_HANDFLOW* New) {
  switch (New->FlowReplace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_HANDSHAKE:
      ApplyLineHandshake(DeviceObject, RX_HOLD_RTS, SetRts, S, New);
      break;
    case SERIAL_RTS_CONTROL:
      ApplyFixedLine(DeviceObject, RX_HOLD_RTS, SetRts, TRUE);
      break;
    case SERIAL_TRANSMIT_TOGGLE:
      ApplyTransmitToggle(DeviceObject);
      break;
    default:
      ApplyFixedLine(DeviceObject, RX_HOLD_RTS, SetRts, FALSE);
      break;
  }
}

VOID ApplyAutoReceive(PDEVICE_OBJECT DeviceObject, const FlowSnapshot* S, const SERIAL_HANDFLOW* New) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  if ((New->FlowReplace & SERIAL_AUTO_RECEIVE) != 0) {
    if (HoldThresholdReached(S, New) && TakeHold(&port->RxHoldFlags, RX_HOLD_XOFF))
      TransmitImmediate(DeviceObject, S->XoffChar);
  } else if (ReleaseHold(&port->RxHoldFlags, RX_HOLD_XOFF)) {
    TransmitImmediate(DeviceObject, S->XonChar);
  }
}

// Auto-transmit switched off: a received XOFF no longer holds transmission.
VOID EndAutoTransmitHold(PDEVICE_OBJECT DeviceObject, const FlowSnapshot* S) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  if (!ReleaseHold(&port->TxHoldFlags, TX_HOLD_XOFF)) return;
  TransmitImmediate(DeviceObject, S->XonChar);
  if (ReadHolds(&port->TxHoldFlags) != 0) return;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN writing = port->CurrentWrite != NULL;
  IoReleaseCancelSpinLock(irql);
  if (writing) KeSetEvent(&port->WriterEvent, 1, FALSE);
}

}  // namespace

VOID ApplyReceiveHolds(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  FlowSnapshot s;
  TakeSnapshot(port, &s);
  // Below the threshold, the common case after a transfer, the lock is not needed.
  if (!HoldThresholdReached(&s, &s.HandFlow)) return;
  LockFlow(port);
  TakeSnapshot(port, &s);
  if (!HoldThresholdReached(&s, &s.HandFlow)) {
    UnlockFlow(port);
    return;
  }
  if ((s.HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE &&
      TakeHold(&port->RxHoldFlags, RX_HOLD_DTR)) {
    SetDtr(DeviceObject, FALSE);
  }
  if ((s.HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE &&
      TakeHold(&port->RxHoldFlags, RX_HOLD_RTS)) {
    SetRts(DeviceObject, FALSE);
  }
  if ((s.HandFlow.FlowReplace & SERIAL_AUTO_RECEIVE) != 0 && TakeHold(&port->RxHoldFlags, RX_HOLD_XOFF)) {
    TransmitImmediate(DeviceObject, s.XoffChar);
  }
  UnlockFlow(port);
}

VOID ApplyHandFlow(PDEVICE_OBJECT DeviceObject, const SERIAL_HANDFLOW* HandFlow) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  const SERIAL_HANDFLOW n = *HandFlow;
  LockFlow(port);
  FlowSnapshot s;
  TakeSnapshot(port, &s);
  const SERIAL_HANDFLOW& old = s.HandFlow;
  const BOOLEAN opening = ReadOpenState(port) == PORT_OPENING;

  if (opening || ((n.ControlHandShake ^ old.ControlHandShake) & SERIAL_DTR_MASK) != 0)
    ApplyDtrMode(DeviceObject, &s, &n);
  if (opening || ((n.FlowReplace ^ old.FlowReplace) & SERIAL_RTS_MASK) != 0)
    ApplyRtsMode(DeviceObject, &s, &n);
  if (opening || ((n.FlowReplace ^ old.FlowReplace) & SERIAL_AUTO_RECEIVE) != 0)
    ApplyAutoReceive(DeviceObject, &s, &n);
  if ((opening || ((n.FlowReplace ^ old.FlowReplace) & SERIAL_AUTO_TRANSMIT) != 0) &&
      (n.FlowReplace & SERIAL_AUTO_TRANSMIT) == 0) {
    EndAutoTransmitHold(DeviceObject, &s);
  }

  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  port->HandFlow.ControlHandShake = n.ControlHandShake;
  SetFlowReplaceLocked(port, n.FlowReplace);
  port->HandFlow.XonLimit = n.XonLimit;
  port->HandFlow.XoffLimit = n.XoffLimit;
  KeReleaseSpinLock(&port->ControlLock, irql);
  UnlockFlow(port);
}

NTSTATUS ResumeReceive(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  LockFlow(port);
  FlowSnapshot s;
  TakeSnapshot(port, &s);
  NTSTATUS status = STATUS_SUCCESS;
  if (ReadHolds(&port->RxHoldFlags) == 0 || s.RingCount > (ULONG)s.HandFlow.XonLimit) {
    UnlockFlow(port);
    return status;
  }

  if (ReleaseHold(&port->RxHoldFlags, RX_HOLD_DTR)) status = SetDtr(DeviceObject, TRUE);
  if (ReleaseHold(&port->RxHoldFlags, RX_HOLD_RTS)) status = SetRts(DeviceObject, TRUE);
  if (ReleaseHold(&port->RxHoldFlags, RX_HOLD_XOFF)) status = TransmitImmediate(DeviceObject, s.XonChar);
  UnlockFlow(port);
  return status;
}
