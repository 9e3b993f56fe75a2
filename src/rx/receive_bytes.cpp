// Filtering of received bytes.
#include "rx/receive_bytes.h"

#include "rx/receive_ring.h"
#include "tx/serial_events.h"
#include "tx/status_wake.h"
#include "tx/xoff_counter.h"
#include "usb/line_format.h"

namespace {

// Chips below this revision check no parity themselves with fewer than 8 data bits.
const ULONG kHardwareParityVersion = 0x30;

// The byte expected for the data bits of `Byte` in 8-bit frames: the data bits, the parity (or
// mark, or space) bit above them and stop bits (ones) above that.
UCHAR ExpectedByte(UCHAR Byte, UCHAR DataMask, UCHAR Parity) {
  const UCHAR data = (UCHAR)(Byte & DataMask);
  const UCHAR above = (UCHAR)~DataMask;
  const UCHAR parityClear = (UCHAR)(above << 1);
  const BOOLEAN odd = ParityTable[data & 0x7F] != 0;
  UCHAR high;
  switch (Parity) {
    case ODD_PARITY:
      high = odd ? parityClear : above;
      break;
    case EVEN_PARITY:
      high = odd ? above : parityClear;
      break;
    case SPACE_PARITY:
      high = parityClear;
      break;
    default:  // none, mark
      high = above;
  }
  return (UCHAR)(data | high);
}

// XON/XOFF recognition with auto-transmit: TRUE when Byte was a flow character (dropped).
BOOLEAN TakeFlowCharacter(PDEVICE_OBJECT DeviceObject, UCHAR Byte) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  LONG volatile* txHold = (LONG volatile*)&ext->TxHoldFlags;
  if (Byte == ext->SpecialChars.XoffChar) {
    (VOID) InterlockedOr(txHold, TX_HOLD_XOFF);
    if ((ext->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE)
      WakeStatusThread(DeviceObject);
    return TRUE;
  }
  if (Byte == ext->SpecialChars.XonChar) {
    // The writer looks for a parked request itself: CurrentWrite is guarded by the cancel spin
    // lock, which cannot be taken under ControlLock.
    if ((InterlockedAnd(txHold, ~(LONG)TX_HOLD_XOFF) & ~(LONG)TX_HOLD_XOFF) == 0)
      (VOID) KeSetEvent(&ext->WriterEvent, 1, FALSE);
    return TRUE;
  }
  return FALSE;
}

// Records the receive events of a stored byte.
VOID RecordReceiveEvents(PPORT_EXTENSION Ext, UCHAR Byte) {
  const ULONG mask = Ext->WaitMask;
  if (mask == 0) return;
  if (mask & SERIAL_EV_RXCHAR) Ext->EventHistory |= SERIAL_EV_RXCHAR;
  if ((mask & SERIAL_EV_RXFLAG) && Byte == Ext->SpecialChars.EventChar) Ext->EventHistory |= SERIAL_EV_RXFLAG;
  if ((mask & SERIAL_EV_RX80FULL) && (ULONG)Ext->RingCount >= Ext->RingHighWater)
    Ext->EventHistory |= SERIAL_EV_RX80FULL;
}

}  // namespace

VOID StoreReceivedBytes(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Count) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  const ULONG flow = ext->HandFlow.FlowReplace;
  const BOOLEAN checkParity = ext->DataMask != 0xFF && ReadChipVersion(ext) < kHardwareParityVersion;
  ULONG stored = 0;  // bytes that pass the filters count for a counting XOFF-counter request
  for (ULONG i = 0; i < Count; ++i) {
    UCHAR b = Bytes[i];
    if (checkParity) {
      if (b != ExpectedByte(b, ext->DataMask, ext->Parity)) {
        ext->CommErrors |= SERIAL_ERROR_PARITY;
        if (flow & SERIAL_ERROR_CHAR) RingStoreByteLocked(ext, ext->SpecialChars.ErrorChar);
        if (ext->WaitMask & SERIAL_EV_ERR) ext->EventHistory |= SERIAL_EV_ERR;
      }
      b &= ext->DataMask;
    }
    if (b == 0 && (flow & SERIAL_NULL_STRIPPING)) continue;
    if ((flow & SERIAL_AUTO_TRANSMIT) && TakeFlowCharacter(DeviceObject, b)) continue;
    if ((ext->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) &&
        (InterlockedOr((LONG volatile*)&ext->RxHoldFlags, 0) & RX_HOLD_DSR))
      continue;
    ++stored;
    RingStoreByteLocked(ext, b);
    if (ext->EscapeChar != 0 && b == ext->EscapeChar) RingStoreByteLocked(ext, 0);
    RecordReceiveEvents(ext, b);
  }
  ext->PerfStats.ReceivedCount += Count;
  ext->WmiPerfStats.ReceivedCount += Count;
  KeReleaseSpinLock(&ext->ControlLock, irql);
  // Counted after the ring lock is released: the counter's lock comes first and its completion
  // must not happen under a spin lock.
  CountXoffCounterBytes(ext, stored);
  DeliverEvents(ext);
}
