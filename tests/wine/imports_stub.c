// A driver that loads and unloads cleanly but imports ExQueueWorkItem, which Wine 8.0's ntoskrnl.exe
// exports only as a stub: only the static import check can tell.
#include <ntddk.h>

static VOID NTAPI Unload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DriverObject->DriverUnload = Unload;
  // Never true for a service key path; keeps the import without calling it.
  if (RegistryPath->Length == 0) ExQueueWorkItem(NULL, DelayedWorkQueue);
  return STATUS_SUCCESS;
}
