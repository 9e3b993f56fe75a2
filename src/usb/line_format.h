// Line rate and character format of the chip: the prescaler and divisor (registers 0x12 and 0x13),
// the character timing (0x2C) and the line control (0x18 and 0x25), each write skipped when the
// register caches show the chip already holds the value. Chips below 0x30 send 8-bit frames only;
// for fewer data bits the driver adds parity and stop bits to every byte itself.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// A register cache holds a value the chip is known to have (-1 or above 255: unknown).
inline BOOLEAN RegisterCacheKnown(LONG Cache) { return Cache >= 0 && Cache <= 255; }

// Entry i is 1 when the 7-bit value i has an odd number of set bits.
extern const UCHAR ParityTable[128];

// Programs BaudRate into registers 0x12/0x13 and, from it and the character format, register
// 0x2C. STATUS_UNSUCCESSFUL without a write for a rate the chip cannot run. PASSIVE_LEVEL.
NTSTATUS ProgramBaudRate(PDEVICE_OBJECT DeviceObject);

// Stores Rate in BaudRate and in the WMI comm data under ControlLock, then programs it. A rate the
// chip refuses stays stored. PASSIVE_LEVEL.
NTSTATUS SetBaudRate(PDEVICE_OBJECT DeviceObject, ULONG Rate);

// Programs DataMask, Parity and StopBits into registers 0x18/0x25. PASSIVE_LEVEL.
NTSTATUS ProgramLineFormat(PDEVICE_OBJECT DeviceObject);

// Rewrites each byte in place for a character format of fewer than 8 data bits on a chip that
// sends 8-bit frames: the bit above the data bits carries the parity (or mark, or space), every
// bit above it is a stop bit. Nothing changes with 8 data bits or on chips from 0x30, which form
// the parity bit themselves. At or below DISPATCH_LEVEL.
VOID ApplySoftwareParity(PPORT_EXTENSION Port, PUCHAR Buffer, ULONG Length);

// The time of one 11-bit character at BaudRate, in units of 100 ns.
ULONG CharacterTime(PPORT_EXTENSION Port);
