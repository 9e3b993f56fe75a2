// The port's file handle: open, cleanup and close. One handle at a time; open programs the chip
// from the stored settings, cleanup cancels what the handle left queued, close lets the chip
// finish sending and drops DTR and RTS. Each routine counts its request and completes it through
// CompleteRequest. PASSIVE_LEVEL, in the caller's thread.
#pragma once

#include "driver/platform.h"

NTSTATUS NTAPI CreateDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI CleanupDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI CloseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
