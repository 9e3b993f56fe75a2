// The kernel handle table: handles returned by PsCreateSystemThread (and any other object the
// emulated kernel hands out by handle). ZwClose asks this table first.
#pragma once

#include <wdk_types.h>

namespace emu {

// Registers `object` and returns a new kernel handle for it. `onClose` (optional) runs when the
// handle is closed, with `object` as its argument.
HANDLE CreateKernelHandle(PVOID object, void (*onClose)(PVOID object) = nullptr);
// Closes a handle created by CreateKernelHandle. Returns false if the handle is not in the table
// (ZwClose then tries its own handles).
bool CloseKernelHandle(HANDLE handle);
// The object a handle refers to, or nullptr (ObReferenceObjectByHandle uses this).
PVOID LookupKernelHandle(HANDLE handle);

}  // namespace emu
