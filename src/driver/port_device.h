// Creation and naming of a port device (the driver's AddDevice routine).
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Longest port name, in characters, that fits after "\DosDevices\" in the 64-byte DosLinkName.
#define MAX_PORT_NAME_CHARS 20

// Creates the port device for a bridge's PDO: device object and extension, kernel name, COM name
// and DOS link, SERIALCOMM value, COM-port interface, attachment to the stack, defaults, and the
// three port threads. PASSIVE_LEVEL, in the Plug and Play manager's thread.
NTSTATUS NTAPI AddPortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// Reads a value of any type under an open key into Buffer. STATUS_BUFFER_TOO_SMALL when the data
// is longer than BufferLength.
NTSTATUS ReadRegistryString(HANDLE KeyHandle, PCWSTR ValueName, PVOID Buffer, ULONG BufferLength);
