// The kernel handle table: handles returned by PsCreateSystemThread (and any other object the
// emulated kernel hands out by handle). ZwClose asks this table first; ObReferenceObjectByHandle
// and ObDereferenceObject use it for the kernel's own objects (threads).
//
// Kernel handle values have the kernel-handle bit pattern of Windows
// (0xFFFFFFFF80000000 + 4n), so they never collide with small handle numbers.
#pragma once

#include <wdk_types.h>

namespace emu {

// Registers `object` and returns a new kernel handle for it. `onClose` (optional) runs when the
// handle is closed, with `object` as its argument.
HANDLE CreateKernelHandle(PVOID object, void (*onClose)(PVOID object) = nullptr);
// Closes a handle created by CreateKernelHandle. Returns false if the handle is not in the table
// (ZwClose then tries its own handles).
bool CloseKernelHandle(HANDLE handle);
// The object a handle refers to, or nullptr.
PVOID LookupKernelHandle(HANDLE handle);
// Reference counting of the kernel's own objects (thread objects). Both return false when
// `object` is not one of them, so the object manager can fall back to its own objects.
bool ReferenceKernelObject(PVOID object);
bool DereferenceKernelObject(PVOID object);

}  // namespace emu
