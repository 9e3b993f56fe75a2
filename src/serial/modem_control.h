// The control codes of the modem-control outputs and of transmission holds: DTR, RTS, the
// outputs' state, the modem inputs, and XOFF/XON as if the far end had sent them. Each routine
// takes a request whose buffer lengths the dispatcher has checked, sets the answer's Information
// and returns the request's status. PASSIVE_LEVEL.
#pragma once

#include "driver/platform.h"

// IOCTL_SERIAL_SET_DTR / CLR_DTR: STATUS_BUFFER_TOO_SMALL while DTR is a receive handshake;
// otherwise DTR changes and the request succeeds even when the chip could not be told.
NTSTATUS DtrControl(PDEVICE_OBJECT DeviceObject, BOOLEAN On);

// IOCTL_SERIAL_SET_RTS / CLR_RTS: STATUS_BUFFER_TOO_SMALL while RTS is a handshake or a transmit
// toggle; otherwise the status of the change.
NTSTATUS RtsControl(PDEVICE_OBJECT DeviceObject, BOOLEAN On);

// IOCTL_SERIAL_SET_XOFF: holds transmission as a received XOFF would.
NTSTATUS SetXoffControl(PDEVICE_OBJECT DeviceObject);
// IOCTL_SERIAL_SET_XON: ends that hold and resumes a held write when nothing else holds it.
NTSTATUS SetXonControl(PDEVICE_OBJECT DeviceObject);

// IOCTL_SERIAL_GET_DTRRTS and GET_MODEM_CONTROL (WithOut1): the outputs read back from the chip.
NTSTATUS GetModemOutputsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN WithOut1);
// IOCTL_SERIAL_SET_MODEM_CONTROL: DTR, RTS and OUT1 from the SERIAL_IOC_MCR_* bits.
NTSTATUS SetModemOutputsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IOCTL_SERIAL_GET_MODEMSTATUS: the modem inputs read now, in the SERIAL_MSR_* layout.
NTSTATUS GetModemStatusControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
