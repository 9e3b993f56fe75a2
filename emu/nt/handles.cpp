// The kernel handle table.
#include "nt/handles.h"

#include "nt/scheduler.h"

namespace emu {

namespace {
constexpr uintptr_t kKernelHandleBase = 0xFFFFFFFF80000000ull;

_ETHREAD* AsThread(Kernel::Impl& k, PVOID object) {
  const ObjectInfo* info = k.Lookup(object);
  if (!info || info->kind != ThreadObject) return nullptr;
  return static_cast<_ETHREAD*>(object);
}
}  // namespace

HANDLE CreateKernelHandle(PVOID object, void (*onClose)(PVOID)) {
  Kernel::Impl& k = K();
  uintptr_t h = kKernelHandleBase + 4 * ++k.nextHandle;
  k.handles.emplace(h, Kernel::Impl::HandleEntry{object, onClose});
  return reinterpret_cast<HANDLE>(h);
}

bool CloseKernelHandle(HANDLE handle) {
  Kernel::Impl* k = KOrNull();
  if (!k) return false;
  auto it = k->handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == k->handles.end()) return false;
  Kernel::Impl::HandleEntry entry = it->second;
  k->handles.erase(it);
  if (entry.onClose) entry.onClose(entry.object);
  return true;
}

PVOID LookupKernelHandle(HANDLE handle) {
  Kernel::Impl* k = KOrNull();
  if (!k) return nullptr;
  auto it = k->handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == k->handles.end() ? nullptr : it->second.object;
}

bool ReferenceKernelObject(PVOID object) {
  Kernel::Impl* k = KOrNull();
  if (!k) return false;
  _ETHREAD* t = AsThread(*k, object);
  if (!t) return false;
  t->References++;
  return true;
}

bool DereferenceKernelObject(PVOID object) {
  Kernel::Impl* k = KOrNull();
  if (!k) return false;
  _ETHREAD* t = AsThread(*k, object);
  if (!t) return false;
  if (t->References <= 0) {
    // Object reference count already zero (verifier subcode 0x3F, dereference case).
    k->owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x3F,
                      reinterpret_cast<ULONG_PTR>(object), static_cast<ULONG_PTR>(-1), 0);
  }
  t->References--;
  k->ReleaseThreadObject(t);
  return true;
}

}  // namespace emu
