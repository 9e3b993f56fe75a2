// The five WMI data blocks of a port and the WMI library callbacks that serve them.
#include "driver/wmi_blocks.h"

#include "driver/driver_globals.h"
#include "serial/comm_properties.h"

// Positions in the GUID list: the GuidIndex the library passes to the callbacks.
#define WMI_PORT_NAME_INDEX 0
#define WMI_COMM_INDEX 1
#define WMI_HW_INDEX 2
#define WMI_PERF_INDEX 3
#define WMI_PROPERTIES_INDEX 4
#define WMI_BLOCK_COUNT 5

// MSSerial_CommProperties: the SERIAL_COMMPROP fields up to ProvSpec2, then the provider-character
// count and one provider character.
#define WMI_PROPERTIES_SIZE 68
#define WMI_PROV_CHAR_COUNT_OFFSET 60
#define WMI_COMM_DATA_SIZE 64
#define WMI_HW_DATA_SIZE 32
#define WMI_PERF_DATA_SIZE 24

static_assert(sizeof(SERIAL_WMI_COMM_DATA) == WMI_COMM_DATA_SIZE, "MSSerial_CommInfo is 64 bytes");
static_assert(sizeof(SERIALPERF_STATS) == WMI_PERF_DATA_SIZE, "MSSerial_PerformanceInformation is 24 bytes");
static_assert(sizeof(((PPORT_EXTENSION)0)->WmiHwData) == WMI_HW_DATA_SIZE, "MSSerial_HardwareConfiguration");

static const GUID PortNameGuid = SERIAL_PORT_WMI_NAME_GUID;
static const GUID CommGuid = SERIAL_PORT_WMI_COMM_GUID;
static const GUID HardwareGuid = SERIAL_PORT_WMI_HW_GUID;
static const GUID PerfGuid = SERIAL_PORT_WMI_PERF_GUID;
static const GUID PropertiesGuid = SERIAL_PORT_WMI_PROPERTIES_GUID;

// One instance each, no flags; shared by every port (the library only reads it).
static WMIGUIDREGINFO SerialWmiGuids[WMI_BLOCK_COUNT] = {
    {&PortNameGuid, 1, 0}, {&CommGuid, 1, 0},       {&HardwareGuid, 1, 0},
    {&PerfGuid, 1, 0},     {&PropertiesGuid, 1, 0},
};

NTSTATUS NTAPI SystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  SYSCTL_IRP_DISPOSITION disposition;
  NTSTATUS status = WmiSystemControl(&ext->WmiLibContext, DeviceObject, Irp, &disposition);
  switch (disposition) {
    case IrpProcessed:
      return status;
    case IrpNotCompleted:
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return status;
    default:
      IoSkipCurrentIrpStackLocation(Irp);
      return IoCallDriver(ext->LowerDeviceObject, Irp);
  }
}

ULONG WmiBitsPerByte(UCHAR DataMask) {
  switch (DataMask) {
    case 0x1F:
      return 5;
    case 0x3F:
      return 6;
    case 0x7F:
      return 7;
    default:
      return 8;
  }
}

ULONG WmiParity(UCHAR Parity) {
  switch (Parity) {
    case ODD_PARITY:
      return SERIAL_WMI_PARITY_ODD;
    case EVEN_PARITY:
      return SERIAL_WMI_PARITY_EVEN;
    case MARK_PARITY:
      return SERIAL_WMI_PARITY_MARK;
    case SPACE_PARITY:
      return SERIAL_WMI_PARITY_SPACE;
    default:
      return SERIAL_WMI_PARITY_NONE;
  }
}

ULONG WmiStopBits(UCHAR StopBits) { return StopBits <= STOP_BITS_2 ? StopBits : SERIAL_WMI_STOP_1; }

VOID FillWmiBlocks(PPORT_EXTENSION Ext) {
  RtlZeroMemory(Ext->WmiHwData, sizeof(Ext->WmiHwData));

  PSERIAL_WMI_COMM_DATA comm = &Ext->WmiCommData;
  RtlZeroMemory(comm, sizeof(*comm));
  comm->BaudRate = Ext->BaudRate;
  comm->BitsPerByte = WmiBitsPerByte(Ext->DataMask);
  comm->Parity = WmiParity(Ext->Parity);
  comm->ParityCheckEnable = Ext->Parity != NO_PARITY ? TRUE : FALSE;
  comm->StopBits = WmiStopBits(Ext->StopBits);
  comm->XoffCharacter = Ext->SpecialChars.XoffChar;
  comm->XoffXmitThreshold = Ext->HandFlow.XoffLimit;
  comm->XonCharacter = Ext->SpecialChars.XonChar;
  comm->XonXmitThreshold = Ext->HandFlow.XonLimit;
  comm->MaximumBaudRate = 0x10000000;
  comm->MaximumOutputBufferSize = 0xFFFFFFFF;
  comm->MaximumInputBufferSize = 0xFFFFFFFF;
  comm->Support16BitMode = FALSE;
  comm->SupportDTRDSR = TRUE;
  comm->SupportIntervalTimeouts = TRUE;
  comm->SupportParityCheck = TRUE;
  comm->SupportRTSCTS = TRUE;
  comm->SupportXonXoff = TRUE;
  comm->SettableBaudRate = TRUE;
  comm->SettableDataBits = TRUE;
  comm->SettableFlowControl = TRUE;
  comm->SettableParity = TRUE;
  comm->SettableParityCheck = TRUE;
  comm->SettableStopBits = TRUE;
  comm->IsBusy = FALSE;

  RtlZeroMemory(&Ext->WmiPerfStats, sizeof(Ext->WmiPerfStats));

  PWMILIB_CONTEXT context = &Ext->WmiLibContext;
  context->GuidCount = WMI_BLOCK_COUNT;
  context->GuidList = SerialWmiGuids;
  context->QueryWmiRegInfo = QueryRegInfo;
  context->QueryWmiDataBlock = QueryDataBlock;
  context->SetWmiDataBlock = SetDataBlock;
  context->SetWmiDataItem = SetDataItem;
  context->ExecuteWmiMethod = NULL;
  context->WmiFunctionControl = NULL;
}

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                            PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                            PDEVICE_OBJECT* Pdo) {
  UNREFERENCED_PARAMETER(InstanceName);
  UNREFERENCED_PARAMETER(MofResourceName);
  *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
  *RegistryPath = &ServiceKeyPath;
  *Pdo = PortExtension(DeviceObject)->PhysicalDeviceObject;
  return STATUS_SUCCESS;
}

// Block 4: the answer of IOCTL_SERIAL_GET_PROPERTIES without provider characters.
static VOID WriteCommProperties(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer) {
  RtlZeroMemory(Buffer, WMI_PROPERTIES_SIZE);
  FillCommProperties(DeviceObject, (PSERIAL_COMMPROP)Buffer);
  const ULONG noProviderChars = 0;
  RtlCopyMemory(Buffer + WMI_PROV_CHAR_COUNT_OFFSET, &noProviderChars, sizeof(noProviderChars));
}

NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                              ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                              PUCHAR Buffer) {
  UNREFERENCED_PARAMETER(InstanceIndex);
  UNREFERENCED_PARAMETER(InstanceCount);
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  ULONG size;
  KIRQL irql;
  switch (GuidIndex) {
    case WMI_PORT_NAME_INDEX:
      size = ext->WmiPortName.Length + sizeof(USHORT);
      break;
    case WMI_COMM_INDEX:
      size = WMI_COMM_DATA_SIZE;
      break;
    case WMI_HW_INDEX:
      size = WMI_HW_DATA_SIZE;
      break;
    case WMI_PERF_INDEX:
      size = WMI_PERF_DATA_SIZE;
      break;
    case WMI_PROPERTIES_INDEX:
      size = WMI_PROPERTIES_SIZE;
      break;
    default:
      return WmiCompleteRequest(DeviceObject, Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
  }
  if (BufferAvail < size)
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_BUFFER_TOO_SMALL, size, IO_NO_INCREMENT);

  switch (GuidIndex) {
    case WMI_PORT_NAME_INDEX:
      // The WMI counted-string form: a byte count, then the characters without a NUL.
      RtlCopyMemory(Buffer, &ext->WmiPortName.Length, sizeof(USHORT));
      RtlCopyMemory(Buffer + sizeof(USHORT), ext->WmiPortName.Buffer, ext->WmiPortName.Length);
      break;
    case WMI_COMM_INDEX:
      // The settings and the statistics change under ControlLock; the copies are taken under it.
      KeAcquireSpinLock(&ext->ControlLock, &irql);
      RtlCopyMemory(Buffer, &ext->WmiCommData, WMI_COMM_DATA_SIZE);
      KeReleaseSpinLock(&ext->ControlLock, irql);
      break;
    case WMI_HW_INDEX:
      RtlCopyMemory(Buffer, ext->WmiHwData, WMI_HW_DATA_SIZE);
      break;
    case WMI_PERF_INDEX:
      KeAcquireSpinLock(&ext->ControlLock, &irql);
      RtlCopyMemory(Buffer, &ext->WmiPerfStats, WMI_PERF_DATA_SIZE);
      KeReleaseSpinLock(&ext->ControlLock, irql);
      break;
    default:
      WriteCommProperties(DeviceObject, Buffer);
      break;
  }
  InstanceLengthArray[0] = size;
  return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, size, IO_NO_INCREMENT);
}

NTSTATUS RefuseWmiSet(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex) {
  NTSTATUS status = GuidIndex < WMI_BLOCK_COUNT ? STATUS_INVALID_DEVICE_REQUEST : STATUS_WMI_GUID_NOT_FOUND;
  return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                            ULONG BufferSize, PUCHAR Buffer) {
  UNREFERENCED_PARAMETER(InstanceIndex);
  UNREFERENCED_PARAMETER(BufferSize);
  UNREFERENCED_PARAMETER(Buffer);
  return RefuseWmiSet(DeviceObject, Irp, GuidIndex);
}

NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                           ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer) {
  UNREFERENCED_PARAMETER(InstanceIndex);
  UNREFERENCED_PARAMETER(DataItemId);
  UNREFERENCED_PARAMETER(BufferSize);
  UNREFERENCED_PARAMETER(Buffer);
  return RefuseWmiSet(DeviceObject, Irp, GuidIndex);
}
