// Driver entry and unload, the driver-wide state, and the stopping of a port's threads.
#include "driver/driver_globals.h"
#include "driver/file_information.h"
#include "driver/open_close.h"
#include "driver/pnp_dispatch.h"
#include "driver/port_device.h"
#include "driver/power_dispatch.h"
#include "driver/wmi_blocks.h"
#include "rx/read_request.h"
#include "serial/device_control.h"
#include "serial/internal_control.h"
#include "tx/write_request.h"
#include "usb/usb_request.h"

PDRIVER_OBJECT volatile GlobalDriverObject;
UNICODE_STRING ServiceKeyPath;
ULONG UserRemovalSetting;
PDEVICE_OBJECT DeviceTable[MAX_PORT_DEVICES];

// Size of ReadRegistryDword's local copy of the key path, terminating NUL included.
#define REGISTRY_PATH_BUFFER_SIZE 512

// Published values; older DDK headers lack them.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

VOID DelayTwentyMilliseconds() {
  LARGE_INTEGER interval;
  interval.QuadPart = -200000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  GlobalDriverObject = DriverObject;

  // The driver-wide state is zero when an image is loaded; set it again explicitly so that a
  // second load of the same image (the host runs many machines in one process) starts clean.
  ServiceKeyPath.Length = 0;
  ServiceKeyPath.MaximumLength = 0;
  ServiceKeyPath.Buffer = NULL;
  UserRemovalSetting = 0;
  for (ULONG i = 0; i < MAX_PORT_DEVICES; ++i) DeviceTable[i] = NULL;

  PWSTR copy = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, RegistryPath->MaximumLength, TARNWIRE_POOL_TAG);
  if (copy == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(copy, RegistryPath->MaximumLength);
  RtlCopyMemory(copy, RegistryPath->Buffer, RegistryPath->Length);
  ServiceKeyPath.Buffer = copy;
  ServiceKeyPath.Length = RegistryPath->Length;
  ServiceKeyPath.MaximumLength = RegistryPath->MaximumLength;

  if (!ReadRegistryDword(&ServiceKeyPath, WIDE("UserRemoval"), &UserRemovalSetting)) {
    UserRemovalSetting = 0;
  }

  // Every major function a serial port receives has a routine; the others keep the system's
  // default, which fails the request as an invalid device request.
  DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateDispatch;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = CleanupDispatch;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = CloseDispatch;
  DriverObject->MajorFunction[IRP_MJ_READ] = ReadDispatch;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = WriteDispatch;
  DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = QueryInformationDispatch;
  DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = SetInformationDispatch;
  DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = WriteDispatch;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlDispatch;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalIoctlDispatch;
  DriverObject->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControlDispatch;
  DriverObject->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
  DriverObject->DriverUnload = UnloadDriver;
  DriverObject->DriverExtension->AddDevice = AddPortDevice;
  return STATUS_SUCCESS;
}

VOID NTAPI UnloadDriver(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  (VOID) InterlockedExchangePointer((PVOID volatile*)&GlobalDriverObject, NULL);

  // A slot is emptied only by the port's teardown. The wait has no time-out on purpose: while a
  // port thread still runs, its code is in this image, and returning would let the system unmap
  // the image under it.
  for (ULONG i = 0; i < MAX_PORT_DEVICES; ++i) {
    PDEVICE_OBJECT device;
    while ((device = (PDEVICE_OBJECT)InterlockedCompareExchangePointer((PVOID volatile*)&DeviceTable[i], NULL,
                                                                       NULL)) != NULL) {
      StopPortThreads(device);
      DelayTwentyMilliseconds();
    }
  }

  if (ServiceKeyPath.Buffer != NULL) {
    ExFreePoolWithTag(ServiceKeyPath.Buffer, TARNWIRE_POOL_TAG);
    ServiceKeyPath.Buffer = NULL;
    ServiceKeyPath.Length = 0;
    ServiceKeyPath.MaximumLength = 0;
  }
}

BOOLEAN ReadRegistryDword(PCUNICODE_STRING KeyPath, PCWSTR ValueName, PULONG Value) {
  // The path must fit with its terminating NUL. A longer path is refused rather than cut short:
  // a truncated path could name another key, and the caller keeps its default either way.
  if (KeyPath->Length > REGISTRY_PATH_BUFFER_SIZE - sizeof(WCHAR)) return FALSE;

  WCHAR path[REGISTRY_PATH_BUFFER_SIZE / sizeof(WCHAR)];
  RtlZeroMemory(path, sizeof(path));
  RtlCopyMemory(path, KeyPath->Buffer, KeyPath->Length);

  ULONG defaultValue = *Value;

  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof(table));
  // A direct query stores a string value as a UNICODE_STRING into EntryContext; the type check
  // makes a value of any type but REG_DWORD fail the query instead of overrunning the ULONG.
  table[0].QueryRoutine = NULL;
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
  table[0].Name = (PWSTR)ValueName;
  table[0].EntryContext = Value;
  table[0].DefaultType = REG_DWORD | (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT);
  table[0].DefaultData = &defaultValue;
  table[0].DefaultLength = sizeof(ULONG);

  NTSTATUS status =
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, table, NULL, NULL);
  return NT_SUCCESS(status) ? TRUE : FALSE;
}

BOOLEAN PortThreadsMayRun(PPORT_EXTENSION Ext) {
  PVOID driver = InterlockedCompareExchangePointer((PVOID volatile*)&GlobalDriverObject, NULL, NULL);
  PVOID name = InterlockedCompareExchangePointer((PVOID volatile*)&Ext->InterfaceName.Buffer, NULL, NULL);
  return driver != NULL && name != NULL;
}

VOID WithdrawPortThreadsRunCondition(PPORT_EXTENSION Ext) {
  (VOID) InterlockedExchangePointer((PVOID volatile*)&Ext->InterfaceName.Buffer, NULL);
}

VOID StopPortThreads(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);

  // Passes are 20 ms apart. The wake events are set in passes 0 and 2 and in every pass from 8
  // on (0 ms, 40 ms, then every 20 ms from 160 ms), so a thread that used up one wake-up on work
  // of its own is woken again. Like unload, this waits without a time-out: a thread that has not
  // left still runs on this port's memory.
  for (ULONG pass = 0;; ++pass) {
    if (pass == 0 || pass == 2 || pass >= 8) {
      KeSetEvent(&ext->ReaderEvent, 1, FALSE);
      KeSetEvent(&ext->WriterEvent, 1, FALSE);
      KeSetEvent(&ext->WriteAbortEvent, 1, FALSE);
      KeSetEvent(&ext->StatusEvent, 1, FALSE);
      // On the unload path the interface is still registered and a thread may be blocked in a
      // USB transfer; from pass 13 on, abort the port's transfers so that it returns.
      if (pass >= 13 && ext->InterfaceName.Buffer != NULL) DrainUsbTransfers(DeviceObject, TRUE);
    }
    // An interlocked read pairs with each thread's final decrement: what a thread did before it
    // left is visible here, before the extension is released.
    if (InterlockedCompareExchange(&ext->ThreadCount, 0, 0) == 0) return;
    DelayTwentyMilliseconds();
  }
}
