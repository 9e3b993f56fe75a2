// Port device creation and naming: AddPortDevice and the registry string reader it uses.
#include "driver/port_device.h"

#include "driver/driver_globals.h"
#include "rx/read_request.h"
#include "rx/reader_thread.h"
#include "rx/receive_flow_work.h"
#include "tx/serial_events.h"
#include "tx/status_monitor.h"
#include "tx/write_request.h"
#include "tx/writer_thread.h"
#include "tx/xoff_counter.h"

// Kernel names tried after the first number: "\Device\Serial19" up to "\Device\Serial63".
#define FIRST_RETRY_DEVICE_NUMBER 19
#define LAST_DEVICE_NUMBER 63
// Default COM names start at "COM8" (SerialIndex 7) and end at "COM21" (SerialIndex 20).
#define FIRST_DEFAULT_SERIAL_INDEX 7
#define LAST_DEFAULT_SERIAL_INDEX 20

static BOOLEAN IsNameTaken(NTSTATUS Status) {
  return Status == STATUS_OBJECT_NAME_COLLISION || Status == STATUS_OBJECT_NAME_EXISTS;
}

// Appends Value in decimal to String (formatted into a 20-byte scratch string first).
static VOID AppendDecimal(PUNICODE_STRING String, ULONG Value) {
  WCHAR digits[10];
  UNICODE_STRING scratch;
  scratch.Length = 0;
  scratch.MaximumLength = sizeof(digits);
  scratch.Buffer = digits;
  RtlIntegerToUnicodeString(Value, 10, &scratch);
  RtlAppendUnicodeStringToString(String, &scratch);
}

// Starts an empty counted string over a zero-filled 64-byte name buffer of the port buffer block.
static VOID StartName(PUNICODE_STRING String, PUCHAR Buffer) {
  RtlZeroMemory(Buffer, PORT_NAME_BUFFER_SIZE);
  String->Buffer = (PWSTR)Buffer;
  String->Length = 0;
  String->MaximumLength = PORT_NAME_BUFFER_SIZE;
}

static VOID BuildDeviceName(PUNICODE_STRING DeviceName, PUCHAR Block, ULONG Number) {
  StartName(DeviceName, Block + DEVICE_NAME_OFFSET);
  RtlAppendUnicodeToString(DeviceName, WIDE("\\Device\\Serial"));
  AppendDecimal(DeviceName, Number);
}

// Reads "PortName" from the device's hardware key into the port name buffer. The name is used
// only when it is NUL-terminated within the buffer and 1 to MAX_PORT_NAME_CHARS characters long,
// so that it always fits after "\DosDevices\" and is always terminated; any other value counts
// as unreadable and the port gets a default name.
static NTSTATUS ReadPortNameValue(PDEVICE_OBJECT Pdo, PWCHAR NameBuffer) {
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key);
  // Only STATUS_SUCCESS counts as an opened key; a key opened with another success status is
  // closed again and the port gets a default name.
  if (status != STATUS_SUCCESS) {
    if (!NT_SUCCESS(status)) return status;
    ZwClose(key);
    return STATUS_UNSUCCESSFUL;
  }
  status = ReadRegistryString(key, WIDE("PortName"), NameBuffer, PORT_NAME_BUFFER_SIZE);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return status;

  ULONG length = 0;
  while (length < PORT_NAME_BUFFER_SIZE / sizeof(WCHAR) && NameBuffer[length] != 0) ++length;
  if (length == 0 || length > MAX_PORT_NAME_CHARS) return STATUS_OBJECT_NAME_INVALID;
  return STATUS_SUCCESS;
}

// Builds DosLinkName from PortName and creates the link to the kernel name.
static NTSTATUS CreateDosLink(PPORT_EXTENSION Ext) {
  StartName(&Ext->DosLinkName, Ext->BufferBlock + DOS_LINK_NAME_OFFSET);
  RtlAppendUnicodeToString(&Ext->DosLinkName, WIDE("\\DosDevices\\"));
  RtlAppendUnicodeStringToString(&Ext->DosLinkName, &Ext->PortName);
  return IoCreateSymbolicLink(&Ext->DosLinkName, &Ext->DeviceName);
}

// The COM name is held by another link: the first port in the table that was removed but still
// holds its link gives up its link and SERIALCOMM value, and this port tries once more.
static NTSTATUS TakeOverNameFromRemovedPort(PPORT_EXTENSION Ext, NTSTATUS LinkStatus) {
  for (ULONG i = 0; i < MAX_PORT_DEVICES; ++i) {
    PDEVICE_OBJECT other = DeviceTable[i];
    if (other == NULL || other == Ext->DeviceObject) continue;
    PPORT_EXTENSION otherExt = PortExtension(other);
    if (!ReadPortFlag(&otherExt->Removed) || otherExt->DosLinkName.Buffer == NULL) continue;
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), otherExt->DeviceName.Buffer);
    IoDeleteSymbolicLink(&otherExt->DosLinkName);
    otherExt->DosLinkName.Buffer = NULL;
    return IoCreateSymbolicLink(&Ext->DosLinkName, &Ext->DeviceName);
  }
  return LinkStatus;
}

static VOID BuildDefaultPortName(PPORT_EXTENSION Ext) {
  StartName(&Ext->PortName, Ext->BufferBlock + PORT_NAME_OFFSET);
  RtlAppendUnicodeToString(&Ext->PortName, WIDE("COM"));
  AppendDecimal(&Ext->PortName, Ext->SerialIndex + 1);
}

// Chooses the port name and creates the DOS link: "PortName" from the hardware key when it is
// usable, else "COM<SerialIndex+1>" (from COM8), retried with the next number while the name is
// taken, up to COM21. Returns the status of the last link attempt.
static NTSTATUS NamePort(PPORT_EXTENSION Ext) {
  PUCHAR nameBuffer = Ext->BufferBlock + PORT_NAME_OFFSET;
  RtlZeroMemory(nameBuffer, PORT_NAME_BUFFER_SIZE);

  BOOLEAN defaultName = FALSE;
  if (NT_SUCCESS(ReadPortNameValue(Ext->PhysicalDeviceObject, (PWCHAR)nameBuffer))) {
    RtlInitUnicodeString(&Ext->PortName, (PCWSTR)nameBuffer);
  } else {
    defaultName = TRUE;
    if (Ext->SerialIndex < FIRST_DEFAULT_SERIAL_INDEX) Ext->SerialIndex = FIRST_DEFAULT_SERIAL_INDEX;
    BuildDefaultPortName(Ext);
  }

  for (;;) {
    RtlInitUnicodeString(&Ext->WmiPortName, Ext->PortName.Buffer);
    NTSTATUS status = CreateDosLink(Ext);
    if (IsNameTaken(status)) status = TakeOverNameFromRemovedPort(Ext, status);
    if (!defaultName || !IsNameTaken(status) || Ext->SerialIndex >= LAST_DEFAULT_SERIAL_INDEX) {
      return status;
    }
    ++Ext->SerialIndex;
    BuildDefaultPortName(Ext);
  }
}

static VOID InitializePortDefaults(PPORT_EXTENSION Ext) {
  PUCHAR block = Ext->BufferBlock;
  Ext->ControlUrbSlot = block + CONTROL_URB_OFFSET;
  Ext->StatusUrbBlock = block + STATUS_URB_OFFSET;
  Ext->WriteUrbBlock = block + WRITE_URB_OFFSET;
  Ext->RingBase = block + RING_OFFSET;
  Ext->RingSize = RING_BUFFER_SIZE;
  Ext->RingHighWater = RING_BUFFER_SIZE * 4 / 5;
  Ext->RingWritePtr = Ext->RingBase;
  Ext->RingReadPtr = Ext->RingBase;

  Ext->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
  Ext->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
  Ext->HandFlow.XonLimit = (LONG)(RING_BUFFER_SIZE / 2);
  Ext->HandFlow.XoffLimit = (LONG)(RING_BUFFER_SIZE / 8);
  Ext->SpecialChars.XonChar = 0x11;
  Ext->SpecialChars.XoffChar = 0x13;
  Ext->BaudRate = 19200;
  Ext->Parity = 0;
  Ext->DataMask = 0xFF;
  Ext->StopBits = 0;
  Ext->Reg12Cache = -1;
  Ext->Reg13Cache = -1;
  Ext->Reg2CCache = -1;
  Ext->Reg18Cache = -1;
  Ext->Reg25Cache = -1;
  SetChipVersion(Ext, 0);
  Ext->ProductId = 0x23;
  Ext->BulkInLength = 32;

  KeInitializeSpinLock(&Ext->ControlLock);
  ExInitializeFastMutex(&Ext->OpenMutex);
  InitializeListHead(&Ext->ReadQueue);
  InitializeListHead(&Ext->WriteQueue);
  KeInitializeEvent(&Ext->StatusEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&Ext->ReaderEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&Ext->WriterEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&Ext->WriteAbortEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&Ext->FlowLock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&Ext->ModemControlLock, SynchronizationEvent, TRUE);
  InitializeReadRequests(Ext);
  KeInitializeTimer(&Ext->XoffCounterTimer);
  // The remaining DPCs, each with the extension as its context. A counting XOFF-counter request
  // needs no DPC of its own: whoever ends it completes it.
  KeInitializeDpc(&Ext->WaitDpc, WaitSatisfied, Ext);
  KeInitializeDpc(&Ext->WriteCompleteDpc, WriteComplete, Ext);
  KeInitializeDpc(&Ext->XoffCounterTimeoutDpc, XoffCounterExpired, Ext);
}

// Starts the status monitor, reader and writer threads, in that order, each with the device
// object as its start context. A port without all three threads could never serve reads, writes
// or status changes, so a failed creation fails the whole port: the threads that did start are
// brought to an end here and the status is returned for add-device's failure path.
static NTSTATUS StartPortThreads(PPORT_EXTENSION Ext) {
  static PKSTART_ROUTINE const routines[3] = {StatusMonitorThread, ReaderThread, WriterThread};
  NTSTATUS status = STATUS_SUCCESS;
  LONG started = 0;
  for (ULONG i = 0; i < 3 && NT_SUCCESS(status); ++i) {
    HANDLE thread;
    status = PsCreateSystemThread(&thread, 0, NULL, NULL, NULL, routines[i], Ext->DeviceObject);
    if (NT_SUCCESS(status)) {
      ZwClose(thread);
      ++started;
    }
  }

  // A created thread may not have run yet, and ThreadCount counts only threads that have. Until
  // each has counted itself in, stopping the threads (a removal right after add-device, or the
  // failure below) would see none and free the extension under a thread about to start. Each
  // thread counts itself in before it looks at its run condition, so waiting here is enough.
  while (Ext->ThreadCount < started) DelayTwentyMilliseconds();
  if (NT_SUCCESS(status)) return STATUS_SUCCESS;

  // Withdraw the run condition and wait for the started threads to leave.
  UNICODE_STRING interfaceName = Ext->InterfaceName;
  WithdrawPortThreadsRunCondition(Ext);
  StopPortThreads(Ext->DeviceObject);
  RtlFreeUnicodeString(&interfaceName);
  return status;
}

NTSTATUS NTAPI AddPortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  if (PhysicalDeviceObject == NULL) return STATUS_NO_MORE_ENTRIES;

  ULONG slot = 0;
  while (slot < MAX_PORT_DEVICES && DeviceTable[slot] != NULL) ++slot;
  if (slot == MAX_PORT_DEVICES) return STATUS_NO_MORE_ENTRIES;

  PCONFIGURATION_INFORMATION config = IoGetConfigurationInformation();
  ULONG number = config->SerialCount;
  config->SerialCount = number + 1;
  if (number < 2) number = 2;

  PUCHAR block = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, PORT_BUFFER_BLOCK_SIZE, TARNWIRE_POOL_TAG);
  if (block == NULL) {
    --config->SerialCount;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(block, RING_OFFSET);

  // Kernel name: the first number, then 19 to 63 until one is free.
  UNICODE_STRING deviceName;
  PDEVICE_OBJECT device = NULL;
  ULONG nextRetry = FIRST_RETRY_DEVICE_NUMBER;
  NTSTATUS status;
  for (;;) {
    BuildDeviceName(&deviceName, block, number);
    status = IoCreateDevice(DriverObject, sizeof(PORT_EXTENSION), &deviceName, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    if (NT_SUCCESS(status) || nextRetry > LAST_DEVICE_NUMBER) break;
    number = nextRetry++;
  }
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(block, TARNWIRE_POOL_TAG);
    --config->SerialCount;
    return status;
  }

  PPORT_EXTENSION ext = PortExtension(device);
  RtlZeroMemory(ext, sizeof(PORT_EXTENSION));
  ext->PhysicalDeviceObject = PhysicalDeviceObject;
  ext->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (ext->LowerDeviceObject == NULL) {
    IoDeleteDevice(device);
    ExFreePoolWithTag(block, TARNWIRE_POOL_TAG);
    --config->SerialCount;
    return STATUS_UNSUCCESSFUL;
  }

  DeviceTable[slot] = device;

  ext->SerialIndex = number;
  ext->DeviceObject = device;
  ext->BufferBlock = block;
  ext->DeviceName = deviceName;
  InitializePortDefaults(ext);
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;

  status = NamePort(ext);
  if (NT_SUCCESS(status)) {
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), ext->DeviceName.Buffer, REG_SZ,
                                   ext->PortName.Buffer, ext->PortName.Length + sizeof(WCHAR));
    if (NT_SUCCESS(status)) {
      status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, NULL,
                                         &ext->InterfaceName);
      if (NT_SUCCESS(status)) {
        status = AllocateReceiveFlowWork(ext);
        if (NT_SUCCESS(status)) {
          status = StartPortThreads(ext);
          if (NT_SUCCESS(status)) return STATUS_SUCCESS;
          FreeReceiveFlowWork(ext);
        }
        if (ext->InterfaceName.Buffer != NULL) RtlFreeUnicodeString(&ext->InterfaceName);
      } else {
        ext->InterfaceName.Buffer = NULL;
      }
      RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), ext->DeviceName.Buffer);
    }
    IoDeleteSymbolicLink(&ext->DosLinkName);
  }

  // Failure path.
  IoDetachDevice(ext->LowerDeviceObject);
  ext->LowerDeviceObject = NULL;
  DeviceTable[slot] = NULL;
  IoDeleteDevice(device);
  ExFreePoolWithTag(block, TARNWIRE_POOL_TAG);
  --config->SerialCount;
  return status;
}

NTSTATUS ReadRegistryString(HANDLE KeyHandle, PCWSTR ValueName, PVOID Buffer, ULONG BufferLength) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  ULONG size = name.Length + BufferLength + 25;
  PKEY_VALUE_FULL_INFORMATION info =
      (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, TARNWIRE_POOL_TAG);
  if (info == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  ULONG resultLength = 0;
  NTSTATUS status = ZwQueryValueKey(KeyHandle, &name, KeyValueFullInformation, info, size, &resultLength);
  if (NT_SUCCESS(status)) {
    if (info->DataLength > BufferLength) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      RtlCopyMemory(Buffer, (PUCHAR)info + info->DataOffset, info->DataLength);
    }
  }
  ExFreePoolWithTag(info, TARNWIRE_POOL_TAG);
  return status;
}
