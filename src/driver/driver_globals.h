// Driver-wide state shared by every part of the driver, and the driver's load and unload routines.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// Tag of every pool block the driver allocates ("Tarn" in pool listings).
#define TARNWIRE_POOL_TAG 'nraT'

// The driver object while the driver is loaded; NULL from the first step of unload on. Every
// port thread keeps running only while it is non-NULL.
extern PDRIVER_OBJECT volatile GlobalDriverObject;
// Copy of the registry path given to DriverEntry (nonpaged, lives until unload).
extern UNICODE_STRING ServiceKeyPath;
// "UserRemoval" under the service key; 0 when absent or unreadable.
extern ULONG UserRemovalSetting;
// One slot per port device; NULL is a free slot.
extern PDEVICE_OBJECT DeviceTable[MAX_PORT_DEVICES];

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI UnloadDriver(PDRIVER_OBJECT DriverObject);

// Reads a REG_DWORD under the absolute key path. *Value holds the default on entry and keeps it
// when the value is absent. TRUE when the query succeeded.
BOOLEAN ReadRegistryDword(PCUNICODE_STRING KeyPath, PCWSTR ValueName, PULONG Value);

// Wakes the port's threads until every one has left (ThreadCount 0). PASSIVE_LEVEL.
VOID StopPortThreads(PDEVICE_OBJECT DeviceObject);
// The port threads' run condition: the driver is loaded and the port still has its interface
// name. The threads test it while add-device's failure path, removal and unload withdraw it, so
// both sides use interlocked pointer operations rather than plain reads and writes.
BOOLEAN PortThreadsMayRun(PPORT_EXTENSION Ext);
// Clears the port's interface name buffer pointer (the caller keeps the string to free it).
VOID WithdrawPortThreadsRunCondition(PPORT_EXTENSION Ext);

// The driver's polling delay: 20 ms, relative, kernel mode, not alertable.
VOID DelayTwentyMilliseconds();
