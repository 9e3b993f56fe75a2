// Port initialisation.
#include "usb/port_init.h"

#include "driver/port_extension.h"
#include "rx/receive_flow.h"
#include "rx/receive_ring.h"
#include "tx/status_monitor.h"
#include "usb/chip_registers.h"
#include "usb/line_format.h"
#include "usb/modem_lines.h"
#include "usb/usb_request.h"

namespace {

// Flags in the low byte of wValue of request 0xA1: which parts the request carries.
constexpr USHORT kInitLineControlOld = 0x01;  // register 0x18, chips below 0x30
constexpr USHORT kInitNinthBit = 0x02;        // register 0x25, chips below 0x30
constexpr USHORT kInitPrescaler = 0x04;       // register 0x12
constexpr USHORT kInitDivisor = 0x08;         // register 0x13
constexpr USHORT kInitCharTiming = 0x10;      // register 0x2C
constexpr USHORT kInitLineControlNew = 0x80;  // register 0x18, chips 0x30 and later

// Register 5 bit that comes up set on a 0x25 chip after every initialisation and must be cleared.
constexpr UCHAR kReg5Rev25Clear = 0x10;

// Assembles wValue and wIndex of request 0xA1 from the known register caches. Each cache is
// reduced to the bits the request hands over, so that programming rate and format afterwards
// rewrites exactly the registers whose full values differ.
void BuildInitializeRequest(PPORT_EXTENSION Port, PUSHORT Value, PUSHORT Index) {
  bool newChip = ReadChipVersion(Port) >= 0x30;
  USHORT value = 0, index = 0;
  if (RegisterCacheKnown(Port->Reg18Cache)) {
    ULONG r18 = (ULONG)Port->Reg18Cache;
    if (newChip) {
      value |= kInitLineControlNew;
    } else {
      r18 &= 0xB0;
      value |= kInitLineControlOld;
    }
    r18 |= 0x40;
    Port->Reg18Cache = (LONG)r18;
    value |= (USHORT)(r18 << 8);
  }
  if (!newChip && RegisterCacheKnown(Port->Reg25Cache)) {
    ULONG r25 = (ULONG)Port->Reg25Cache & 0x0F;
    Port->Reg25Cache = (LONG)r25;
    value |= (USHORT)(r25 << 8) | kInitNinthBit;
  }
  if (RegisterCacheKnown(Port->Reg12Cache)) {
    ULONG r12 = (ULONG)Port->Reg12Cache & 0x07;
    if (newChip) r12 |= 0x80;
    Port->Reg12Cache = (LONG)r12;
    index |= (USHORT)r12;
    value |= kInitPrescaler;
  }
  if (RegisterCacheKnown(Port->Reg13Cache)) {
    index |= (USHORT)((ULONG)Port->Reg13Cache << 8);
    value |= kInitDivisor;
  }
  if (RegisterCacheKnown(Port->Reg2CCache)) {
    ULONG r2c = (ULONG)Port->Reg2CCache & 0xF8;
    Port->Reg2CCache = (LONG)r2c;
    index |= (USHORT)r2c;
    value |= kInitCharTiming;
  }
  *Value = value;
  *Index = index;
}

// A 0x25 chip sets register 5 bit 4 at every initialisation; clear it again. Failures do not
// matter: the bit only affects that revision's receive error reporting.
void ClearRev25Register5(PDEVICE_OBJECT DeviceObject) {
  UCHAR reg5, again;
  if (!NT_SUCCESS(ReadRegisterPair(DeviceObject, REG_BREAK_RELEASE, &reg5, REG_BREAK_RELEASE, &again)))
    return;
  reg5 &= (UCHAR)~kReg5Rev25Clear;
  (VOID) WriteRegisterPair(DeviceObject, REG_BREAK_RELEASE, reg5, REG_BREAK_RELEASE, reg5);
}

}  // namespace

NTSTATUS InitializePort(PDEVICE_OBJECT DeviceObject, BOOLEAN KeepBufferedBytes) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  USHORT value, index;
  BuildInitializeRequest(port, &value, &index);
  ForgetModemOutputs(DeviceObject);
  // The next reading then shows every active line as changed. The status thread stores its
  // readings under ControlLock.
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  port->ModemStatus = 0;
  KeReleaseSpinLock(&port->ControlLock, irql);

  DrainUsbTransfers(DeviceObject, FALSE);
  NTSTATUS status =
      VendorRequest(DeviceObject, VENDOR_FLAGS_OUT, VENDOR_INITIALIZE, value, index, NULL, NULL);
  if (NT_SUCCESS(status)) {
    if (ReadChipVersion(port) == 0x25) ClearRev25Register5(DeviceObject);
    (VOID) ProgramBaudRate(DeviceObject);
    (VOID) ProgramLineFormat(DeviceObject);
  } else {
    // The chip's registers are unknown now: the next programming writes them in full.
    port->Reg12Cache = port->Reg13Cache = port->Reg2CCache = -1;
    port->Reg18Cache = port->Reg25Cache = -1;
  }

  if (!KeepBufferedBytes) {
    ClearReceiveRing(port);
    (VOID) InterlockedExchange((LONG volatile*)&port->TxPending, 0);
  }
  SERIAL_HANDFLOW handFlow = port->HandFlow;
  ApplyHandFlow(DeviceObject, &handFlow);
  (VOID) ReadModemStatus(DeviceObject);
  return status;
}
