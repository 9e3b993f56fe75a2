// Paged pool on pages of its own (KernelConfig::pagedPoolFaultsAtDispatch). A page fault at
// DISPATCH_LEVEL or above cannot be served on Windows, so touching paged memory there bug-checks
// IRQL_NOT_LESS_OR_EQUAL whenever the page happens to be out. Here the pages of every live paged
// block are inaccessible whenever the running context is at DISPATCH_LEVEL or above, so the touch
// faults every time; the fault handler turns it into that bug check. Freed paged blocks stay
// inaccessible in the quarantine, so a late touch of one faults as freed pool.
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include "nt/scheduler.h"

namespace emu {

void* Kernel::Impl::MapPagedBlock(size_t bytes, size_t* mapped) {
  const auto page = static_cast<size_t>(getpagesize());
  const size_t length = (bytes + page - 1) & ~(page - 1);
  void* p = mmap(nullptr, length, pagedMappingsProtected ? PROT_NONE : PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  ASAN_UNPOISON_MEMORY_REGION(p, length);
  pagedMappings.emplace(reinterpret_cast<uintptr_t>(p), length);
  *mapped = length;
  return p;
}

void Kernel::Impl::QuarantinePagedBlock(uintptr_t start, size_t mapped) {
  pagedMappings.erase(start);
  mprotect(reinterpret_cast<void*>(start), mapped, PROT_NONE);
}

void Kernel::Impl::UnmapPagedBlock(uintptr_t start, size_t mapped) {
  pagedMappings.erase(start);
  ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(start), mapped);
  munmap(reinterpret_cast<void*>(start), mapped);
}

void Kernel::Impl::SyncPagedPoolAccess() {
  const bool protect = Irql() >= DISPATCH_LEVEL;
  if (protect == pagedMappingsProtected) return;
  pagedMappingsProtected = protect;
  const int access = protect ? PROT_NONE : PROT_READ | PROT_WRITE;
  for (const auto& [start, length] : pagedMappings) mprotect(reinterpret_cast<void*>(start), length, access);
}

}  // namespace emu
