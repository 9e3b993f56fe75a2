// The control codes that set and read the port's settings: rate, character format, time-outs,
// special characters, handshake and the status-insertion character. Each routine takes a request
// whose buffer lengths the dispatcher has checked, sets the answer's Information and returns the
// request's status. PASSIVE_LEVEL.
#pragma once

#include "driver/platform.h"

// IOCTL_SERIAL_SET_BAUD_RATE: the rate is stored (also for WMI) before the chip is programmed,
// and stays stored when the chip cannot run it.
NTSTATUS SetBaudRateControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS GetBaudRateControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IOCTL_SERIAL_SET_LINE_CONTROL: STATUS_INVALID_PARAMETER for a word length, parity or stop-bit
// code out of range (the WMI copies of the valid ones are written all the same); otherwise the
// format is stored and programmed.
NTSTATUS SetLineControlControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS GetLineControlControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS SetTimeoutsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS GetTimeoutsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS SetCharsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS GetCharsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IOCTL_SERIAL_SET_HANDFLOW: STATUS_BUFFER_TOO_SMALL for undefined bits, DTR control and DTR
// handshake together, limits outside 0..RingSize, or the error character while status insertion
// is on; otherwise applies the handshake and reads the modem inputs again.
NTSTATUS SetHandFlowControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS GetHandFlowControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IOCTL_SERIAL_LSRMST_INSERT: STATUS_BUFFER_TOO_SMALL for a character that is the XON or XOFF
// character or given while the error character is in use; 0 ends status insertion.
NTSTATUS SetEscapeCharControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
