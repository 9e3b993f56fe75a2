// Operations that act on the line at once, outside the ordinary write path: the DTR and RTS
// outputs, the break, and one byte sent ahead of queued data. All block on USB requests and run
// at PASSIVE_LEVEL.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Block for the immediate-byte URB: the URB, then the byte to send, right after the URB union.
#define IMMEDIATE_BYTE_OFFSET ((ULONG)sizeof(URB))
#define IMMEDIATE_URB_BLOCK_SIZE ((ULONG)PORT_URB_AREA_SIZE)

// RTS works as a transmit toggle: raised for every transmission, dropped by the status monitor
// thread once the transmitter is empty. FlowReplace is read interlocked: ApplyHandFlow changes it
// (interlocked, under ControlLock) while the port threads transmit.
inline BOOLEAN TransmitToggleMode(PPORT_EXTENSION Port) {
  ULONG flowReplace = (ULONG)InterlockedCompareExchange((LONG volatile*)&Port->HandFlow.FlowReplace, 0, 0);
  return (flowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
}

// Asserts (On) or drops DTR. No request when DTR already has that state; the ModemControl shadow
// keeps the new state even when the chip could not be told.
NTSTATUS SetDtr(PDEVICE_OBJECT DeviceObject, BOOLEAN On);

// The same for RTS; also ends any pending transmit-toggle drop (RtsToggleCount 0).
NTSTATUS SetRts(PDEVICE_OBJECT DeviceObject, BOOLEAN On);

// Reads the modem-control outputs back from the chip (register 6, active low) into the
// ModemControl shadow, which *ModemControl receives. A failed read changes nothing.
NTSTATUS ReadModemOutputs(PDEVICE_OBJECT DeviceObject, PUCHAR ModemControl);

// Replaces the ModemControl shadow and sends the chip its complement.
NTSTATUS WriteModemOutputs(PDEVICE_OBJECT DeviceObject, UCHAR ModemControl);

// Sets the ModemControl shadow to 0 (both outputs off) without telling the chip, for a chip that
// is being initialised.
VOID ForgetModemOutputs(PDEVICE_OBJECT DeviceObject);
// Drops DTR and RTS in the ModemControl shadow and, with TellChip, sends the chip the complement of
// the new byte even when the bits were already clear.
NTSTATUS DropModemOutputs(PDEVICE_OBJECT DeviceObject, BOOLEAN TellChip);

// Starts (On) or ends a break through registers 5 and 0x18, holding transmission (TxHoldFlags
// break bit) while it lasts. Ending it resumes a current write when nothing else holds it.
NTSTATUS SetBreak(PDEVICE_OBJECT DeviceObject, BOOLEAN On);

// Sends one byte on the bulk-out pipe ahead of any queued data, with software parity where the
// chip needs it. Returns the transfer's status; a failed transfer resets the bulk-out pipe.
NTSTATUS TransmitImmediate(PDEVICE_OBJECT DeviceObject, UCHAR Byte);
