// The WMI library's interface (WMILIB.SYS) for the host build: the context a driver registers its
// data blocks with, the callbacks it supplies, and the two dispatch helpers.
#pragma once

#include "wdk_types.h"
#include "wmistr.h"

struct _DEVICE_OBJECT;
struct _IRP;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
typedef struct _IRP* PIRP;

typedef enum _WMIENABLEDISABLECONTROL {
  WmiEventControl,
  WmiDataBlockControl
} WMIENABLEDISABLECONTROL,
    *PWMIENABLEDISABLECONTROL;

typedef enum _SYSCTL_IRP_DISPOSITION {
  IrpProcessed,
  IrpNotCompleted,
  IrpNotWmi,
  IrpForward
} SYSCTL_IRP_DISPOSITION,
    *PSYSCTL_IRP_DISPOSITION;

typedef struct _WMIGUIDREGINFO {
  LPCGUID Guid;
  ULONG InstanceCount;
  ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef NTSTATUS(NTAPI WMI_QUERY_REGINFO_CALLBACK)(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                                   PUNICODE_STRING InstanceName,
                                                   PUNICODE_STRING* RegistryPath,
                                                   PUNICODE_STRING MofResourceName, PDEVICE_OBJECT* Pdo);
typedef WMI_QUERY_REGINFO_CALLBACK* PWMI_QUERY_REGINFO;

typedef NTSTATUS(NTAPI WMI_FUNCTION_CONTROL_CALLBACK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                      WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);
typedef WMI_FUNCTION_CONTROL_CALLBACK* PWMI_FUNCTION_CONTROL;

typedef NTSTATUS(NTAPI WMI_QUERY_DATABLOCK_CALLBACK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                     ULONG InstanceIndex, ULONG InstanceCount,
                                                     PULONG InstanceLengthArray, ULONG BufferAvail,
                                                     PUCHAR Buffer);
typedef WMI_QUERY_DATABLOCK_CALLBACK* PWMI_QUERY_DATABLOCK;

typedef NTSTATUS(NTAPI WMI_EXECUTE_METHOD_CALLBACK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                    ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                                    ULONG OutBufferSize, PUCHAR Buffer);
typedef WMI_EXECUTE_METHOD_CALLBACK* PWMI_EXECUTE_METHOD;

typedef NTSTATUS(NTAPI WMI_SET_DATABLOCK_CALLBACK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                   ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer);
typedef WMI_SET_DATABLOCK_CALLBACK* PWMI_SET_DATABLOCK;

typedef NTSTATUS(NTAPI WMI_SET_DATAITEM_CALLBACK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                  ULONG InstanceIndex, ULONG DataItemId, ULONG BufferSize,
                                                  PUCHAR Buffer);
typedef WMI_SET_DATAITEM_CALLBACK* PWMI_SET_DATAITEM;

typedef struct _WMILIB_CONTEXT {
  ULONG GuidCount;
  PWMIGUIDREGINFO GuidList;
  PWMI_QUERY_REGINFO QueryWmiRegInfo;
  PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
  PWMI_SET_DATABLOCK SetWmiDataBlock;
  PWMI_SET_DATAITEM SetWmiDataItem;
  PWMI_EXECUTE_METHOD ExecuteWmiMethod;
  PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

// Completes a WMI request handed to one of the callbacks above (BufferUsed bytes of the request's
// buffer were filled, or are needed when Status is STATUS_BUFFER_TOO_SMALL).
NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CCHAR PriorityBoost);

// Dispatches an IRP_MJ_SYSTEM_CONTROL request to the callbacks of WmiLibInfo; *IrpDisposition
// tells the caller whether the request was processed or must be forwarded or completed.
NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition);

NTSTATUS NTAPI WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid, ULONG InstanceIndex,
                            ULONG EventDataSize, PVOID EventData);
