// Baud rate, character format and software parity.
#include "usb/line_format.h"

#include "usb/chip_registers.h"

const UCHAR ParityTable[128] = {
    0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1,
    1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0,
    1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0,
    0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1,
};

namespace {

// Prescaler bit that chips 0x30 and later expect in register 0x12.
constexpr UCHAR kPrescalerNewChip = 0x80;
// Largest value register 0x2C takes.
constexpr ULONG kMaxCharTiming = 254;
// Slowest rate ProgramBaudRate accepts (11719 / 254 is the last factor below 255).
constexpr ULONG kLowestBaudRate = 46;
constexpr ULONG kHighestBaudRate = 3000000;

bool CacheHolds(LONG Cache, ULONG Value) { return Cache == (LONG)Value; }

// Prescaler and divisor byte for a rate; FALSE when the chip cannot run it.
bool RateDivisor(ULONG Baud, PUCHAR Prescaler, PUCHAR Divisor) {
  // Two rates beyond the prescaled clocks run from the undivided one.
  if (Baud == 307200 || Baud == 921600) {
    *Prescaler = 7;
    *Divisor = Baud == 307200 ? 0xD9 : 0xF3;
    return true;
  }
  ULONG clock;
  if (Baud >= 23530) {
    *Prescaler = 3;
    clock = 6000000;
  } else if (Baud >= 2942) {
    *Prescaler = 2;
    clock = 750000;
  } else if (Baud >= 368) {
    *Prescaler = 1;
    clock = 93750;
  } else {
    *Prescaler = 0;
    clock = 11719;
  }
  if (Baud == 0 || Baud > kHighestBaudRate) return false;
  ULONG factor = clock / Baud;
  if (factor == 0 || factor >= 255) return false;
  // The nearer of the two neighbouring factors; a tie keeps the smaller one.
  if (clock / factor - Baud > Baud - clock / (factor + 1)) factor++;
  *Divisor = (UCHAR)(256 - factor);
  return true;
}

// Register 0x2C: 1.5 character times in units of 256 us, from the rate and the character form.
// The long form counts a parity or second stop bit on top of 8 data bits.
ULONG CharTimingValue(ULONG Baud, bool LongForm) {
  ULONG t;
  if (Baud < 9600) {
    t = (LongForm ? 12000000 : 11000000) / Baud;
  } else {
    t = (LongForm ? 11000000 : 10000000) / Baud + 110;
  }
  ULONG h = (t + t / 2 + 255) / 256;
  return h > kMaxCharTiming ? kMaxCharTiming : h;
}

// Writes a register pair unless the caches show the chip holds both values; the caches follow
// the outcome (-1 both after a failure).
NTSTATUS WriteCachedPair(PDEVICE_OBJECT DeviceObject, UCHAR RegisterA, ULONG ValueA, PLONG CacheA,
                         UCHAR RegisterB, ULONG ValueB, PLONG CacheB) {
  if (CacheHolds(*CacheA, ValueA) && CacheHolds(*CacheB, ValueB)) return STATUS_SUCCESS;
  NTSTATUS status = WriteRegisterPair(DeviceObject, RegisterA, (UCHAR)ValueA, RegisterB, (UCHAR)ValueB);
  *CacheA = NT_SUCCESS(status) ? (LONG)ValueA : -1;
  *CacheB = NT_SUCCESS(status) ? (LONG)ValueB : -1;
  return status;
}

// Ninth-bit mode of register 0x25 for a parity (chips below 0x30).
UCHAR NinthBitMode(UCHAR Parity) {
  switch (Parity) {
    case EVEN_PARITY:
      return 7;
    case ODD_PARITY:
      return 6;
    case MARK_PARITY:
      return 5;
    default:
      return 4;  // space
  }
}

// Parity enable and type of register 0x18 (chips 0x30 and later).
UCHAR ParityBits(UCHAR Parity) {
  switch (Parity) {
    case ODD_PARITY:
      return 0x08;
    case EVEN_PARITY:
      return 0x18;
    case MARK_PARITY:
      return 0x28;
    case SPACE_PARITY:
      return 0x38;
    default:
      return 0;
  }
}

// Data-bit code of register 0x18 (chips 0x30 and later): data bits minus 5.
UCHAR DataBitsCode(UCHAR DataMask) {
  switch (DataMask) {
    case 0xFF:
      return 3;
    case 0x7F:
      return 2;
    case 0x3F:
      return 1;
    default:
      return 0;
  }
}

}  // namespace

NTSTATUS ProgramBaudRate(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  const ULONG baud = ReadBaudRate(port);
  const bool longForm = port->DataMask == 0xFF && (port->Parity != NO_PARITY || port->StopBits != STOP_BIT_1);
  KeReleaseSpinLock(&port->ControlLock, irql);
  UCHAR prescaler, divisor;
  if (!RateDivisor(baud, &prescaler, &divisor)) return STATUS_UNSUCCESSFUL;
  if (ReadChipVersion(port) >= 0x30) prescaler |= kPrescalerNewChip;

  NTSTATUS status = WriteCachedPair(DeviceObject, REG_PRESCALER, prescaler, &port->Reg12Cache, REG_DIVISOR,
                                    divisor, &port->Reg13Cache);
  if (!NT_SUCCESS(status)) return status;

  ULONG timing = CharTimingValue(baud, longForm);
  // Hysteresis: a value within a sixteenth of the cached one keeps the cached one.
  ULONG cached = (ULONG)port->Reg2CCache;
  ULONG distance = timing > cached ? timing - cached : cached - timing;
  if (distance <= timing / 16) return status;

  status = WriteRegisterPair(DeviceObject, REG_CHAR_TIMING, (UCHAR)timing, REG_TIMING_PAIR, 0);
  port->Reg2CCache = NT_SUCCESS(status) ? (LONG)timing : -1;
  return status;
}

NTSTATUS SetBaudRate(PDEVICE_OBJECT DeviceObject, ULONG Rate) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  StoreBaudRate(port, Rate);
  port->WmiCommData.BaudRate = Rate;
  KeReleaseSpinLock(&port->ControlLock, irql);
  return ProgramBaudRate(DeviceObject);
}

NTSTATUS ProgramLineFormat(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  UCHAR parity = port->Parity;
  UCHAR stopBits = port->StopBits;
  UCHAR dataMask = port->DataMask;
  KeReleaseSpinLock(&port->ControlLock, irql);

  // Start from the registers' bits that the format leaves alone.
  ULONG l18, l25;
  if (RegisterCacheKnown(port->Reg18Cache) && RegisterCacheKnown(port->Reg25Cache)) {
    l18 = (ULONG)port->Reg18Cache;
    l25 = (ULONG)port->Reg25Cache;
  } else {
    UCHAR value18, value25;
    NTSTATUS status = ReadRegisterPair(DeviceObject, REG_LINE_CONTROL, &value18, REG_NINTH_BIT, &value25);
    if (!NT_SUCCESS(status)) {
      port->Reg18Cache = -1;
      port->Reg25Cache = -1;
      return status;
    }
    port->Reg18Cache = value18;
    port->Reg25Cache = value25;
    l18 = value18;
    l25 = value25;
  }

  bool withParity = parity != NO_PARITY;
  bool extraStop = stopBits != STOP_BIT_1;
  if (ReadChipVersion(port) < 0x30) {
    // 8-bit frames with an optional ninth bit: it carries the parity of 8 data bits, or a mark
    // as the extra stop bit of 8 data bits or of 7 data bits with parity. Every other format is
    // left to ApplySoftwareParity.
    l18 &= 0x50;
    l25 &= 0xF8;
    if (dataMask == 0xFF && withParity) {
      l18 |= 0x80;
      l25 |= NinthBitMode(parity);
    } else if ((dataMask == 0xFF && extraStop) || (dataMask == 0x7F && withParity && extraStop)) {
      l18 |= 0x80;
      l25 |= NinthBitMode(MARK_PARITY);
    }
  } else {
    l25 = 0;
    l18 &= 0xC0;
    l18 |= DataBitsCode(dataMask);
    if (extraStop) l18 |= 0x04;
    l18 |= ParityBits(parity);
  }
  return WriteCachedPair(DeviceObject, REG_LINE_CONTROL, l18, &port->Reg18Cache, REG_NINTH_BIT, l25,
                         &port->Reg25Cache);
}

VOID ApplySoftwareParity(PPORT_EXTENSION Port, PUCHAR Buffer, ULONG Length) {
  if (ReadChipVersion(Port) >= 0x30) return;
  KIRQL irql;
  KeAcquireSpinLock(&Port->ControlLock, &irql);
  const UCHAR mask = Port->DataMask;
  const UCHAR parity = Port->Parity;
  KeReleaseSpinLock(&Port->ControlLock, irql);
  if (mask == 0xFF) return;
  UCHAR mark = (UCHAR)~mask;         // every bit above the data bits set
  UCHAR space = (UCHAR)(mark << 1);  // the same with the bit just above the data bits clear
  for (ULONG i = 0; i < Length; i++) {
    UCHAR v = (UCHAR)(Buffer[i] & mask);
    bool odd = ParityTable[v & 0x7F] != 0;
    bool markBit;
    switch (parity) {
      case SPACE_PARITY:
        markBit = false;
        break;
      case EVEN_PARITY:
        markBit = odd;
        break;
      case ODD_PARITY:
        markBit = !odd;
        break;
      default:  // none and mark
        markBit = true;
        break;
    }
    Buffer[i] = (UCHAR)(v | (markBit ? mark : space));
  }
}

ULONG CharacterTime(PPORT_EXTENSION Port) {
  // A refused rate of 0 can be stored in BaudRate while the chip keeps its previous divisor,
  // whose rate is not known here. The slowest rate the chip accepts gives the longest character
  // time it can have, so a caller waiting for the last characters to leave never waits too
  // little.
  const ULONG stored = ReadBaudRate(Port);
  const ULONG baud = stored != 0 ? stored : kLowestBaudRate;
  return 110000000 / baud;
}
