// The chip's vendor register protocol on the default pipe. Registers are reached in pairs: wValue
// carries register A in its low byte and register B in its high byte, and a write carries the two
// values in wIndex in the same order. All routines block and run at PASSIVE_LEVEL.
#pragma once

#include "driver/platform.h"

// Transfer flags for VendorRequest.
#define VENDOR_FLAGS_OUT 0
#define VENDOR_FLAGS_IN (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)

// Vendor request codes.
#define VENDOR_AUX_STATUS 0x52       // in: auxiliary byte access status (chips below 0x20)
#define VENDOR_AUX_ACCESS_OLD 0x53   // out: auxiliary byte access (chips below 0x20)
#define VENDOR_AUX_ACCESS 0x54       // in/out: auxiliary byte access (chips 0x20 and later)
#define VENDOR_AUX_COMMIT 0x5E       // out: follows an auxiliary byte write (chips 0x20 and later)
#define VENDOR_READ_REVISION 0x5F    // in: byte 0 is the chip revision
#define VENDOR_READ_REGISTERS 0x95   // in: a register pair, exactly 2 bytes
#define VENDOR_WRITE_REGISTERS 0x9A  // out: a register pair
#define VENDOR_INITIALIZE 0xA1       // out: port initialisation
#define VENDOR_MODEM_CONTROL 0xA4    // out: modem-control byte (chips 0x20 and later)

// Chip registers.
#define REG_BREAK_RELEASE 0x05  // bit 0 clear while a break is sent
#define REG_MODEM 0x06          // modem inputs and outputs, active low
#define REG_TX_STATUS 0x07      // bit 0 set while the transmitter holds data
#define REG_TIMING_PAIR 0x0F    // written 0 beside register 0x2C
#define REG_PRESCALER 0x12
#define REG_DIVISOR 0x13
#define REG_LINE_CONTROL 0x18  // bit 6 clear while a break is sent
#define REG_NINTH_BIT 0x25     // ninth-bit mode, chips below 0x30
#define REG_HANDSHAKE 0x27     // output handshake enables, chips 0x30 and later
#define REG_CHAR_TIMING 0x2C   // 1.5 character times in units of 256 us

// Sends one vendor device request. TransferFlags is VENDOR_FLAGS_OUT or VENDOR_FLAGS_IN. Length is
// in/out (buffer size in, bytes moved out; 0 after a failure) or NULL for no data stage.
NTSTATUS VendorRequest(PDEVICE_OBJECT DeviceObject, ULONG TransferFlags, UCHAR Request, USHORT Value,
                       USHORT Index, PVOID Buffer, PULONG Length);

// Reads two registers (request 0x95). Any failure, including an answer of other than 2 bytes
// (STATUS_INSUFFICIENT_RESOURCES), leaves *ValueA and *ValueB untouched.
NTSTATUS ReadRegisterPair(PDEVICE_OBJECT DeviceObject, UCHAR RegisterA, PUCHAR ValueA, UCHAR RegisterB,
                          PUCHAR ValueB);

// Writes two registers (request 0x9A).
NTSTATUS WriteRegisterPair(PDEVICE_OBJECT DeviceObject, UCHAR RegisterA, UCHAR ValueA, UCHAR RegisterB,
                           UCHAR ValueB);

// Sends the modem-control byte (callers pass the complement of the ModemControl shadow): request
// 0xA4 on chips 0x20 and later, register pair 6/6 on older chips.
NTSTATUS WriteModemControl(PDEVICE_OBJECT DeviceObject, UCHAR ModemControlByte);
