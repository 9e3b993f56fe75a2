// Kernel stacks of the emulated contexts: fiber stacks with a guard page, a fill pattern that
// shows how deep a context has reached, the budget a context may use, and the stacks of ended
// contexts, kept inaccessible for a while so that a late touch of one faults.
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>

#include "nt/scheduler.h"

namespace emu {

namespace {

// x86 Windows gives a thread 12 KB of kernel stack; x64 Windows gives the same code 24 KB, twice
// as much for 8-byte pointers, wider saved registers and the home space of every call, and so
// does the budget here for the 64-bit frames of the driver and of the routines that stand in for
// ntoskrnl (the deepest context of the tests reaches about 6 KB). AddressSanitizer puts redzones
// of 32 bytes or more around every stack object whose address is taken and aligns frames to
// them, which makes the same runs nearly three times as deep (about 16 KB): twice the budget
// again there keeps a margin of three.
constexpr size_t kX86KernelStack = 12u << 10;
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kStackBudget = 4 * kX86KernelStack;
#else
constexpr size_t kStackBudget = 2 * kX86KernelStack;
#endif
// The part below the top of a stack that is filled with the pattern: the budget and a margin,
// so that a high-water mark up to there is exact.
constexpr size_t kFilledBytes = kStackBudget + (16u << 10);
static_assert(kFilledBytes + (8u << 10) < kFiberStackBytes);
constexpr uint64_t kStackFill = 0xCDCDCDCDCDCDCDCDULL;
// Ended contexts' stacks kept inaccessible (address space only: their pages are dropped).
constexpr size_t kDeadStacks = 64;

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// The stack's memory is read and written here outside the frames that own it; ASan's view of
// those frames (redzones of frames that have been left by a jump) does not apply.
__attribute__((no_sanitize_address)) void Fill(uintptr_t low, uintptr_t high) {
  for (auto* w = reinterpret_cast<volatile uint64_t*>(low); w < reinterpret_cast<volatile uint64_t*>(high);
       ++w)
    *w = kStackFill;
}

// The first address in [low, high) whose word differs from `pattern` (high when none does).
__attribute__((no_sanitize_address)) uintptr_t FirstDifferent(uintptr_t low, uintptr_t high,
                                                              uint64_t pattern) {
  for (auto* w = reinterpret_cast<const volatile uint64_t*>(low);
       w < reinterpret_cast<const volatile uint64_t*>(high); ++w)
    if (*w != pattern) return reinterpret_cast<uintptr_t>(w);
  return high;
}

// The lowest page in [low, high) (page-aligned) that has been touched, by the pages' residency:
// a page never touched has never been given memory. high when none has.
uintptr_t LowestTouchedPage(uintptr_t low, uintptr_t high) {
  unsigned char resident[kFiberStackBytes / 4096];
  const size_t page = PageSize();
  const size_t pages = (high - low) / page;
  if (pages == 0 || pages > sizeof resident) return high;
  if (mincore(reinterpret_cast<void*>(low), high - low, resident) != 0) return high;
  for (size_t i = 0; i < pages; ++i)
    if (resident[i] & 1) return low + i * page;
  return high;
}

}  // namespace

size_t Kernel::StackBudget() { return kStackBudget; }

boost::context::stack_context Kernel::Impl::AllocateStack(Context* c) {
  void* vp =
      mmap(nullptr, kFiberStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (vp == MAP_FAILED) throw std::bad_alloc();
  ASAN_UNPOISON_MEMORY_REGION(vp, kFiberStackBytes);
  // The lowest page is the guard: running into it faults, and the fault handler reports a
  // kernel stack overflow.
  mprotect(vp, PageSize(), PROT_NONE);
  c->stackLow = reinterpret_cast<uintptr_t>(vp);
  c->stackHigh = c->stackLow + kFiberStackBytes;
  Fill(c->stackHigh - kFilledBytes, c->stackHigh);
  boost::context::stack_context sc;
  sc.size = kFiberStackBytes;
  sc.sp = reinterpret_cast<char*>(c->stackHigh);
  return sc;
}

void Kernel::Impl::DeallocateStack(boost::context::stack_context& sc) {
  auto high = reinterpret_cast<uintptr_t>(sc.sp);
  uintptr_t low = high - sc.size;
  // Runs on another stack once the fiber has ended (or been unwound).
  mprotect(reinterpret_cast<void*>(low), sc.size, PROT_NONE);
  madvise(reinterpret_cast<void*>(low), sc.size, MADV_DONTNEED);
  deadStacks.emplace_back(low, high);
  while (deadStacks.size() > kDeadStacks) {
    auto [l, h] = deadStacks.front();
    deadStacks.pop_front();
    ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(l), h - l);
    munmap(reinterpret_cast<void*>(l), h - l);
  }
}

void Kernel::Impl::ReleaseDeadStacks() {
  for (auto [l, h] : deadStacks) {
    ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(l), h - l);
    munmap(reinterpret_cast<void*>(l), h - l);
  }
  deadStacks.clear();
}

size_t Kernel::Impl::StackUse(const Context* c) const {
  if (c->stackHigh == 0) return 0;
  const uintptr_t filledLow = c->stackHigh - kFilledBytes;
  // Deeper than the pattern reaches: the lowest page touched there, and in it the lowest word
  // that is not zero (as memory never written reads).
  const uintptr_t page = LowestTouchedPage(c->stackLow + PageSize(), filledLow);
  if (page != filledLow) {
    const uintptr_t word = FirstDifferent(page, page + PageSize(), 0);
    return c->stackHigh - (word != page + PageSize() ? word : page);
  }
  return c->stackHigh - FirstDifferent(filledLow, c->stackHigh, kStackFill);
}

void Kernel::Impl::CheckStackBudget(Context* c) {
  c->ranSinceStackCheck = false;
  if (c->stackHigh == 0) return;
  // Cheap test first: is anything below the budget touched?
  const uintptr_t filledLow = c->stackHigh - kFilledBytes;
  const uintptr_t limit = c->stackHigh - kStackBudget;
  if (LowestTouchedPage(c->stackLow + PageSize(), filledLow) == filledLow &&
      FirstDifferent(filledLow, limit, kStackFill) == limit)
    return;
  TraceF("stack", "%s has used %zu bytes of kernel stack, more than its %zu", c->name.c_str(), StackUse(c),
         kStackBudget);
  // Named after the context that overflowed, wherever the check runs.
  Context* running = current;
  current = c;
  struct Restore {
    Context*& slot;
    Context* value;
    ~Restore() { slot = value; }
  } restore{current, running};
  // UNEXPECTED_KERNEL_MODE_TRAP with the double fault a kernel stack overflow raises on x86.
  owner.BugCheck(bugcheck::kUnexpectedKernelModeTrap, 8, 0, 0, 0);
}

void Kernel::Impl::CheckStackBudgets() {
  if (dead) return;
  for (auto& [id, up] : contexts) {
    Context* c = up.get();
    if (c->ranSinceStackCheck && c->state != RunState::Finished) CheckStackBudget(c);
  }
}

}  // namespace emu
