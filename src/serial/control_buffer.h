// The buffered control requests' system buffer: the caller's input on entry, the answer on
// completion (Information says how much of it the I/O manager copies back).
#pragma once

#include "driver/platform.h"

inline PVOID ControlBuffer(PIRP Irp) { return Irp->AssociatedIrp.SystemBuffer; }

inline ULONG ControlInputLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
}

inline ULONG ControlOutputLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

// Answers with one ULONG.
inline NTSTATUS ReturnUlong(PIRP Irp, ULONG Value) {
  *(PULONG)ControlBuffer(Irp) = Value;
  Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}
