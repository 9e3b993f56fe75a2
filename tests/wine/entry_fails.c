// A driver whose DriverEntry fails. It imports from every module tarnwire.sys may import from, so
// that reaching DriverEntry also shows that each of them, the WMILIB.SYS stand-in included, loads.
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <wmilib.h>

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(DriverObject);
  // Never true for a service key path; keeps the imports without calling them.
  if (RegistryPath->Length == 0) {
    SYSCTL_IRP_DISPOSITION disposition;
    WmiSystemControl(NULL, NULL, NULL, &disposition);
    USBD_CreateConfigurationRequestEx(NULL, NULL);
    KeQueryPerformanceCounter(NULL);  // a HAL.dll export on x86 and x64 (KeGetCurrentIrql is inline on x64)
    IoGetCurrentProcess();
  }
  return STATUS_UNSUCCESSFUL;
}
