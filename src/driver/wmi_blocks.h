// The port as a WMI data provider of the five serial-port data blocks: port name, communication
// settings, hardware configuration, performance counters and communication properties. Requests
// go through the system's WMI library; every block is read-only.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// IRP_MJ_SYSTEM_CONTROL: handed to the WMI library with the port's WmiLibContext; requests for
// another provider of the stack, or not for WMI, go down. Not admitted nor counted; answered in
// every Plug and Play state.
NTSTATUS NTAPI SystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Fills the blocks and the WMI library context before the port registers with WMI at start:
// hardware block and counters zeroed, comm data from the current settings with IsBusy FALSE.
VOID FillWmiBlocks(PPORT_EXTENSION Ext);

// The WMI values of the line settings (also kept current when the settings change).
ULONG WmiBitsPerByte(UCHAR DataMask);
ULONG WmiParity(UCHAR Parity);
ULONG WmiStopBits(UCHAR StopBits);

// The WMI library callbacks.
NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                            PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                            PDEVICE_OBJECT* Pdo);
NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                              ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                              PUCHAR Buffer);
NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                            ULONG BufferSize, PUCHAR Buffer);
NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                           ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer);
// Completes a set request: STATUS_INVALID_DEVICE_REQUEST for one of the five blocks,
// STATUS_WMI_GUID_NOT_FOUND for any other index.
NTSTATUS RefuseWmiSet(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex);
