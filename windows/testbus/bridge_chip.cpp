// The test bus's ZM470 bridge: vendor requests, registers and the UART on a loopback plug or a
// null-modem cable.
#include "bridge_chip.h"

#include "zm470/uart_rules.h"

namespace {

constexpr UCHAR kMcOut1 = 0x10;
constexpr UCHAR kMcDtr = 0x20;
constexpr UCHAR kMcRts = 0x40;


void Copy(PUCHAR To, const UCHAR* From, ULONG Length) {
  for (ULONG i = 0; i < Length; ++i) To[i] = From[i];
}

void RaiseReport(BridgeChip* Chip) { Chip->ReportPending = TRUE; }

UCHAR ModemRegister(const BridgeChip* Chip) {
  // Bits 0-3: CTS, DSR, RI, DCD; bits 4-6: OUT1, DTR, RTS. Each 0 while asserted.
  return static_cast<UCHAR>((Chip->ModemControl & 0xF0) | (Chip->Cts ? 0 : 0x01) | (Chip->Dsr ? 0 : 0x02) | 0x04 |
                            (Chip->Dcd ? 0 : 0x08));
}

// The chip at the far end of the line: itself through the loopback plug, the cable's other end, or
// NULL for a cable with nothing at its other end.
BridgeChip* FarEnd(BridgeChip* Chip) { return Chip->Cabled ? Chip->Peer : Chip; }

void SetInputs(BridgeChip* Chip, BOOLEAN Cts, BOOLEAN DsrDcd) {
  if (Chip->Cts == Cts && Chip->Dsr == DsrDcd && Chip->Dcd == DsrDcd) return;
  Chip->Cts = Cts;
  Chip->Dsr = DsrDcd;
  Chip->Dcd = DsrDcd;
  RaiseReport(Chip);
}

// The outputs reach the far end's inputs: RTS as CTS, DTR as DSR and DCD.
void DriveFarEnd(BridgeChip* Chip) {
  BridgeChip* farEnd = FarEnd(Chip);
  if (farEnd) SetInputs(farEnd, !(Chip->ModemControl & kMcRts), !(Chip->ModemControl & kMcDtr));
}

void SetModemControl(BridgeChip* Chip, UCHAR Byte) {
  Chip->ModemControl = Byte;
  DriveFarEnd(Chip);
}

BOOLEAN HandshakeHolds(const BridgeChip* Chip) {
  const UCHAR h = Chip->Regs[REG_HANDSHAKE] & 0x0B;
  return ((h & 0x01) && !Chip->Cts) || ((h & 0x02) && !Chip->Dsr) || ((h & 0x08) && !Chip->Dcd);
}

// Bits of one character on the line in half bits: start, data, parity, stop (1, 1.5 or 2).
ULONG CharacterHalfBits(const BridgeChip* Chip) {
  const UCHAR lc = Chip->Regs[REG_LINE_CONTROL];
  return 2 * (1 + zm470_uart::DataBits(lc) + (zm470_uart::ParityOn(lc) ? 1 : 0)) + zm470_uart::StopHalfBits(lc);
}

void TxStateChanged(BridgeChip* Chip) {
  const BOOLEAN busy = Chip->TxCount != 0;
  if (busy == Chip->TxBusy) return;
  Chip->TxBusy = busy;
  // The report announces the transmitter running empty.
  if (!busy) RaiseReport(Chip);
}

void Receive(BridgeChip* Chip, UCHAR Byte) {
  if (Chip->RxCount == BRIDGE_RX_FIFO) {
    Chip->LineStatus |= 0x02;  // overrun: the character is lost
    RaiseReport(Chip);
    return;
  }
  Chip->Rx[(Chip->RxHead + Chip->RxCount++) % BRIDGE_RX_FIFO] = Byte;
}

void Initialize(BridgeChip* Chip, USHORT Value, USHORT Index) {
  const UCHAR flags = static_cast<UCHAR>(Value);
  const UCHAR lineControl = static_cast<UCHAR>(Value >> 8);
  const UCHAR low = static_cast<UCHAR>(Index);
  if (flags & 0x80) Chip->Regs[REG_LINE_CONTROL] = lineControl;
  if (flags & 0x04) Chip->Regs[REG_PRESCALER] = static_cast<UCHAR>(low & 0x87);
  if (flags & 0x08) Chip->Regs[REG_DIVISOR] = static_cast<UCHAR>(Index >> 8);
  if (flags & 0x10) Chip->Regs[REG_CHAR_TIMING] = low & ((flags & 0x04) ? 0x78 : 0xF8);
  // The UART restarts: FIFOs emptied, line errors dropped, modem outputs deasserted, break released.
  Chip->TxCount = 0;
  Chip->RxCount = 0;
  Chip->LineStatus = 0;
  Chip->Credit = 0;
  Chip->Regs[REG_BREAK_RELEASE] |= 0x01;
  if (!(flags & 0x81)) Chip->Regs[REG_LINE_CONTROL] |= 0x40;
  SetModemControl(Chip, static_cast<UCHAR>(Chip->ModemControl | kMcOut1 | kMcDtr | kMcRts));
  TxStateChanged(Chip);
}

BOOLEAN Writable(UCHAR Register) {
  switch (Register) {
    case REG_BREAK_RELEASE:
    case REG_TIMING_PAIR:
    case REG_PRESCALER:
    case REG_DIVISOR:
    case REG_LINE_CONTROL:
    case REG_NINTH_BIT:
    case REG_HANDSHAKE:
    case REG_CHAR_TIMING:
      return TRUE;
    default:
      return FALSE;
  }
}

BOOLEAN Readable(UCHAR Register) { return Writable(Register) || Register == REG_MODEM || Register == REG_TX_STATUS; }

UCHAR ReadRegister(const BridgeChip* Chip, UCHAR Register) {
  if (Register == REG_MODEM) return ModemRegister(Chip);
  if (Register == REG_TX_STATUS) return static_cast<UCHAR>(Chip->TxCount ? 1 : 0);
  return Chip->Regs[Register];
}

}  // namespace

BOOLEAN BridgeBreakOn(const BridgeChip* Chip) {
  return !(Chip->Regs[REG_BREAK_RELEASE] & 0x01) || !(Chip->Regs[REG_LINE_CONTROL] & 0x40);
}

void BridgeJoinByNullModem(BridgeChip* A, BridgeChip* B) {
  A->Cabled = B->Cabled = TRUE;
  A->Peer = B;
  B->Peer = A;
  DriveFarEnd(A);
  DriveFarEnd(B);
}

void BridgeLeaveCable(BridgeChip* Chip) {
  if (!Chip->Cabled) return;
  if (Chip->Peer) {
    Chip->Peer->Peer = NULL;
    SetInputs(Chip->Peer, FALSE, FALSE);
  }
  Chip->Peer = NULL;
  Chip->Cabled = FALSE;
}

void BridgePowerOn(BridgeChip* Chip) {
  for (ULONG i = 0; i < sizeof *Chip; ++i) reinterpret_cast<PUCHAR>(Chip)[i] = 0;
  Chip->Regs[REG_BREAK_RELEASE] = 0x01;
  Chip->Regs[REG_LINE_CONTROL] = 0xC3;  // 8N1, no break
  Chip->Regs[REG_PRESCALER] = 0x82;     // 750 kHz / 78: about 9600 baud
  Chip->Regs[REG_DIVISOR] = 0xB2;
  Chip->Regs[REG_CHAR_TIMING] = 7;
  Chip->ModemControl = 0xFF;
}

BOOLEAN BridgeVendorRequest(BridgeChip* Chip, const BridgeSetup* Setup, PUCHAR Data, PULONG Length) {
  const UCHAR lo = static_cast<UCHAR>(Setup->Value), hi = static_cast<UCHAR>(Setup->Value >> 8);
  UCHAR answer[8] = {};
  ULONG answerLength = 0;
  switch (Setup->Request) {
    case VENDOR_READ_REVISION:
      if (!Setup->In) return FALSE;
      answer[0] = BRIDGE_REVISION;
      answerLength = 2;
      break;
    case VENDOR_READ_REGISTERS:
      if (!Setup->In || !Readable(lo) || !Readable(hi) || *Length < 2) return FALSE;
      answer[0] = ReadRegister(Chip, lo);
      answer[1] = ReadRegister(Chip, hi);
      answerLength = 2;
      break;
    case VENDOR_WRITE_REGISTERS:
      if (Setup->In || !Writable(lo) || !Writable(hi)) return FALSE;
      Chip->Regs[lo] = static_cast<UCHAR>(Setup->Index);
      Chip->Regs[hi] = static_cast<UCHAR>(Setup->Index >> 8);
      break;
    case VENDOR_INITIALIZE:
      if (Setup->In) return FALSE;
      Initialize(Chip, Setup->Value, Setup->Index);
      break;
    case VENDOR_MODEM_CONTROL:
      if (Setup->In || hi != 0 || Setup->Index != 0) return FALSE;
      SetModemControl(Chip, lo);
      break;
    case VENDOR_AUX_ACCESS:
      if ((Setup->Index & 0x01FF) != 0x0001) return FALSE;
      if (Setup->In) {
        answer[0] = Chip->Aux[hi];
        answerLength = 1;
      } else {
        Chip->Aux[hi] = lo;
      }
      break;
    case VENDOR_AUX_COMMIT:
      if (Setup->In || Setup->Value != 0x000A || Setup->Index != 0) return FALSE;
      break;
    default:
      return FALSE;
  }
  if (!Setup->In) {
    *Length = 0;
    return TRUE;
  }
  if (*Length < answerLength) answerLength = *Length;
  Copy(Data, answer, answerLength);
  *Length = answerLength;
  return TRUE;
}

ULONG BridgeWrite(BridgeChip* Chip, const UCHAR* Data, ULONG Length) {
  ULONG n = 0;
  for (; n < Length && Chip->TxCount < BRIDGE_TX_FIFO; ++n) {
    Chip->Tx[(Chip->TxHead + Chip->TxCount++) % BRIDGE_TX_FIFO] = Data[n];
  }
  TxStateChanged(Chip);
  return n;
}

ULONG BridgeRead(BridgeChip* Chip, PUCHAR Data, ULONG Length) {
  ULONG n = 0;
  for (; n < Length && Chip->RxCount != 0; ++n) {
    Data[n] = Chip->Rx[Chip->RxHead];
    Chip->RxHead = (Chip->RxHead + 1) % BRIDGE_RX_FIFO;
    --Chip->RxCount;
  }
  return n;
}

BOOLEAN BridgeTakeReport(BridgeChip* Chip, PUCHAR Report) {
  if (!Chip->ReportPending) return FALSE;
  Report[0] = Chip->LineStatus;
  Report[1] = 0;
  Report[2] = ModemRegister(Chip);
  Report[3] = static_cast<UCHAR>(Chip->TxCount ? 1 : 0);
  Chip->LineStatus = 0;
  Chip->ReportPending = FALSE;
  return TRUE;
}

void BridgeAdvance(BridgeChip* Chip, ULONGLONG Elapsed, ULONGLONG Frequency) {
  if (Chip->TxCount == 0 || BridgeBreakOn(Chip) || HandshakeHolds(Chip)) {
    Chip->Credit = 0;  // an idle transmitter saves up no time
    return;
  }
  const ULONG factor = zm470_uart::DivisionFactor(Chip->Regs[REG_DIVISOR]);
  // A character takes HalfBits/2 * factor / clock seconds; in units of 1/(2 * Frequency) clock cycles.
  const ULONGLONG perCharacter = static_cast<ULONGLONG>(CharacterHalfBits(Chip)) * factor * Frequency;
  Chip->Credit += Elapsed * 2 * zm470_uart::kClock[Chip->Regs[REG_PRESCALER] & 7];
  BridgeChip* farEnd = FarEnd(Chip);
  while (Chip->TxCount != 0 && Chip->Credit >= perCharacter) {
    if (farEnd && farEnd->RxCount == BRIDGE_RX_FIFO) {
      Chip->Credit = 0;  // the line waits for the far end's host to read: see BridgeAdvance
      break;
    }
    Chip->Credit -= perCharacter;
    const UCHAR byte = Chip->Tx[Chip->TxHead];
    Chip->TxHead = (Chip->TxHead + 1) % BRIDGE_TX_FIFO;
    --Chip->TxCount;
    ++Chip->BytesLooped;
    if (farEnd) Receive(farEnd, byte);
  }
  if (Chip->TxCount == 0) Chip->Credit = 0;
  TxStateChanged(Chip);
}

ULONG BridgeDeviceDescriptor(PUCHAR Data, ULONG Room) {
  static const UCHAR kDevice[18] = {18, 1, 0x10, 0x01, 0xFF, 0x00, 0x00, 8, 0x5D, 0x0A, 0x23, 0x00,
                                    0x50, 0x02, 0, 2, 0, 1};
  Copy(Data, kDevice, Room < sizeof kDevice ? Room : sizeof kDevice);
  return sizeof kDevice;
}

ULONG BridgeConfigurationDescriptor(PUCHAR Data, ULONG Room) {
  static const UCHAR kConfiguration[39] = {
      9, 2, 39, 0, 1, 1, 0, 0x80, 0x31,                 // configuration: one interface, 98 mA
      9, 4, 0, 0, 3, 0xFF, 0x00, 0x00, 0,               // interface 0: three endpoints, vendor class
      7, 5, BRIDGE_EP_BULK_IN, 2, BRIDGE_BULK_PACKET, 0, 0,  // bulk in
      7, 5, BRIDGE_EP_BULK_OUT, 2, BRIDGE_BULK_PACKET, 0, 0, // bulk out
      7, 5, BRIDGE_EP_INTERRUPT_IN, 3, 8, 0, 1};        // interrupt in
  Copy(Data, kConfiguration, Room < sizeof kConfiguration ? Room : sizeof kConfiguration);
  return sizeof kConfiguration;
}
