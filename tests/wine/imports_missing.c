// A driver that loads and unloads cleanly but imports EtwRegister, which Wine 8.0's ntoskrnl.exe
// does not export: Wine's loader only warns and binds the import to a trap.
#include <ntddk.h>

static VOID NTAPI Unload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DriverObject->DriverUnload = Unload;
  // Never true for a service key path; keeps the import without calling it.
  if (RegistryPath->Length == 0) EtwRegister(NULL, NULL, NULL, NULL);
  return STATUS_SUCCESS;
}
