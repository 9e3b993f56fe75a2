// The modem status monitor: the port thread that watches the modem inputs and the chip's line
// status (interrupt reports on chips 0x20 and later, polling on older chips) and the evaluation
// that turns each new reading into serial events, transmit holds, inserted status bytes, error
// flags and the transmit-toggle RTS drop.
#pragma once

#include "driver/platform.h"

// ModemStatus bits (the SERIAL_MSR_* layout of a 16550's modem status register): lines that
// changed since the previous reading in the low nibble, current line states in the high nibble.
#ifndef SERIAL_MSR_DCTS
#define SERIAL_MSR_DCTS 0x01
#define SERIAL_MSR_DDSR 0x02
#define SERIAL_MSR_TERI 0x04
#define SERIAL_MSR_DDCD 0x08
#define SERIAL_MSR_CTS 0x10
#define SERIAL_MSR_DSR 0x20
#define SERIAL_MSR_RI 0x40
#define SERIAL_MSR_DCD 0x80
#endif

// Thread routine of the status monitor; the start context is the port's device object.
VOID NTAPI StatusMonitorThread(PVOID StartContext);

// Reads the modem inputs from the chip, evaluates the change and returns the new ModemStatus
// (SERIAL_MSR_* layout), zero-extended. A failed read keeps the current lines and reports no
// change. PASSIVE_LEVEL.
ULONG ReadModemStatus(PDEVICE_OBJECT DeviceObject);

// Evaluates ModemStatus and LineStatus: status insertion, DSR sensitivity, serial events and line
// errors, output handshake. PASSIVE_LEVEL (it may read and write chip registers).
VOID ProcessStatusChange(PDEVICE_OBJECT DeviceObject);
