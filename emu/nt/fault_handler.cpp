// Faults in the emulated machine become bug checks. A SIGSEGV or SIGBUS on the thread that runs
// the machine is classified by what the address was (freed pool, paged pool at raised IRQL, the
// guard page of a stack, anything else) into the bug check Windows raises for it.
//
// Inside a context's fiber the handler jumps back to the top of that fiber (FiberMain), which
// raises the bug check there: the machine stops as with any other bug check, Kernel::Run throws
// it to the test, and the process goes on. On the caller's own stack or in a device event there
// is no context to abandon: the handler prints the report and aborts.
//
// The handler runs on an alternate signal stack, so that a stack overflow can be reported. In
// AddressSanitizer builds this handler, not ASan's, handles SIGSEGV and SIGBUS (ASan is told to
// let a program install its own); ASan still reports what its instrumentation finds.
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "nt/scheduler.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "allow_user_segv_handler=1"; }
#endif

namespace emu {

namespace {

constexpr size_t kAltStackBytes = 256u << 10;  // the abort path formats the report on it

struct sigaction g_previousSegv;
struct sigaction g_previousBus;
thread_local stack_t t_altStack{};  // this thread's alternate signal stack

struct Registers {
  uintptr_t pc = 0;
  uintptr_t sp = 0;
  bool write = false;
};

Registers RegistersOf(void* uc) {
  Registers r;
#if defined(__x86_64__)
  const mcontext_t& m = static_cast<ucontext_t*>(uc)->uc_mcontext;
  r.pc = static_cast<uintptr_t>(m.gregs[REG_RIP]);
  r.sp = static_cast<uintptr_t>(m.gregs[REG_RSP]);
  r.write = (m.gregs[REG_ERR] & 2) != 0;  // page-fault error code: bit 1 set for a write
#else
  (void)uc;
#endif
  return r;
}

void WriteAll(const char* text, size_t n) {
  while (n > 0) {
    ssize_t w = write(STDERR_FILENO, text, n);
    if (w <= 0) return;
    text += w;
    n -= static_cast<size_t>(w);
  }
}

// Hands the signal back to whoever had it before (the default action: the process dies).
void Resignal(int sig) { sigaction(sig, sig == SIGBUS ? &g_previousBus : &g_previousSegv, nullptr); }

// The frames a recovery jumps over never run their destructors: what they held is lost as a
// crashed thread's objects are. LeakSanitizer, which would have found those objects from the
// live stack, is told to leave them out of its report.
__attribute__((no_sanitize_address)) void KeepAbandonedObjects(uintptr_t low, uintptr_t high) {
#if defined(__SANITIZE_ADDRESS__)
  for (auto* w = reinterpret_cast<void* const*>(low); w < reinterpret_cast<void* const*>(high); ++w)
    __lsan_ignore_object(*w);
#else
  (void)low;
  (void)high;
#endif
}

void OnFault(int sig, siginfo_t* info, void* uc) {
  Kernel::Impl* k = KOrNull();
  if (k == nullptr || !pthread_equal(pthread_self(), k->machineThread)) {
    Resignal(sig);  // not the machine's doing: the faulting access repeats on return
    return;
  }
  Registers regs = RegistersOf(uc);
  Context::Fault fault;
  fault.address = reinterpret_cast<uintptr_t>(info->si_addr);
  fault.write = regs.write;
  fault.pc = regs.pc;
  Context* c = k->current;
  if (c != nullptr && c->faultRecoveryArmed && regs.sp >= c->stackLow && regs.sp < c->stackHigh) {
    c->fault = fault;
    const uintptr_t usable = c->stackLow + static_cast<uintptr_t>(getpagesize());  // above the guard
    constexpr uintptr_t kRedZone = 128;  // below the stack pointer, the leaf function's own
    KeepAbandonedObjects(std::max(regs.sp - kRedZone, usable), c->stackHigh);
    // The frames between the fault and the top of the fiber, and those on the alternate stack,
    // are abandoned: ASan must not keep their redzones.
    ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(usable), c->stackHigh - usable);
    ASAN_UNPOISON_MEMORY_REGION(t_altStack.ss_sp, t_altStack.ss_size);
    siglongjmp(c->faultRecovery, 1);
  }
  // On the caller's stack or the scheduler's: report and stop.
  static const char kHead[] = "\nfault outside every emulated context: the machine stops\n";
  WriteAll(kHead, sizeof kHead - 1);
  try {
    k->RaiseFault(fault);
  } catch (const BugCheckError& e) {
    WriteAll(e.report.data(), e.report.size());
  } catch (...) {
  }
  std::abort();
}

void InstallAltStack() {
  thread_local bool installed = false;
  if (installed) return;
  installed = true;
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
      current.ss_size >= kAltStackBytes) {
    t_altStack = current;
    return;
  }
  // Mapped, not allocated: a runtime that tears down a thread's alternate stack unmaps it.
  void* p = mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;
  stack_t ss{};
  ss.ss_sp = p;
  ss.ss_size = kAltStackBytes;
  if (sigaltstack(&ss, nullptr) == 0) t_altStack = ss;
}

}  // namespace

void Kernel::Impl::InstallFaultHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_sigaction = &OnFault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, &g_previousSegv);
    sigaction(SIGBUS, &sa, &g_previousBus);
  });
  InstallAltStack();
}

void Kernel::Impl::RaiseFault(const Context::Fault& fault) {
  const uintptr_t a = fault.address;
  const ULONG_PTR rw = fault.write ? 1 : 0;
  const char* access = fault.write ? "write" : "read";
  const void* p = reinterpret_cast<const void*>(a);
  const Context* c = current;
  if (c != nullptr && a >= c->stackLow && a < c->stackLow + static_cast<size_t>(getpagesize())) {
    TraceF("fault", "%s at %p: the guard page below the stack (stack overflow)", access, p);
    owner.BugCheck(bugcheck::kUnexpectedKernelModeTrap, 8, 0, 0, 0);  // double fault
  }
  if (auto it = freedPool.upper_bound(a); it != freedPool.begin()) {
    --it;
    if (a < it->first + std::max(it->second.size, it->second.mapped)) {
      TraceF("fault", "%s at %p: pool block 0x%llx (%zu bytes) was freed", access, p,
             static_cast<unsigned long long>(it->first), it->second.size);
      owner.BugCheck(bugcheck::kPageFaultInFreedSpecialPool, a, rw, fault.pc, 0);
    }
  }
  if (auto it = pagedMappings.upper_bound(a); pagedMappingsProtected && it != pagedMappings.begin()) {
    --it;
    if (a < it->first + it->second) {
      TraceF("fault", "%s at %p: paged pool at IRQL %u", access, p, static_cast<unsigned>(Irql()));
      owner.BugCheck(bugcheck::kIrqlNotLessOrEqual, a, Irql(), rw, fault.pc);
    }
  }
  const char* what = "";
  for (auto [low, high] : deadStacks)
    if (a >= low && a < high) what = ": the stack of a context that has ended";
  TraceF("fault", "%s at %p%s", access, p, what);
  owner.BugCheck(bugcheck::kPageFaultInNonpagedArea, a, rw, fault.pc, 0);
}

}  // namespace emu
