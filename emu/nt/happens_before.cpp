// ThreadSanitizer builds: the contexts' fibers, the orderings the waits and timers announce, and
// the machine's configuration printed with every report.
#include "nt/happens_before.h"

#if TARNWIRE_TSAN

#include <atomic>
#include <cstdio>

#include "nt/scheduler.h"

// Exported by the runtime, not declared by its public header.
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();

namespace emu::hb {

namespace {

constexpr unsigned kNoSync = __tsan_switch_to_fiber_no_sync;

std::atomic<uint64_t> g_reports{0};

void SwitchTo(void* fiber) { __tsan_switch_to_fiber(fiber, kNoSync); }

void DestroyFiber(Context& c) {
  if (c.race.fiber == nullptr) return;
  __tsan_destroy_fiber(c.race.fiber);
  c.race.fiber = nullptr;
}

}  // namespace

void ReleaseTimer(const KTIMER* timer, const KDPC* dpc) {
  Release(timer);
  if (dpc != nullptr) Release(dpc);
}

void AcquireWaited(ULONG count, PVOID objects[], WAIT_TYPE type, NTSTATUS status) {
  if (status < STATUS_WAIT_0 || static_cast<ULONG>(status - STATUS_WAIT_0) >= count) return;
  if (type == WaitAll) {
    for (ULONG i = 0; i < count; ++i) Acquire(objects[i]);
  } else {
    Acquire(objects[status - STATUS_WAIT_0]);
  }
}

Invisible::Invisible() { __tsan_ignore_thread_begin(); }
Invisible::~Invisible() { __tsan_ignore_thread_end(); }

std::function<bool()> Peek(const std::function<bool()>& done) {
  return [&done] {
    Invisible peeking;
    return done();
  };
}

void OnCreate(Context& c) {
  // Creating a fiber orders the creator's past before the fiber's start, as PsCreateSystemThread
  // does for the new thread.
  c.race.fiber = __tsan_create_fiber(0);
  __tsan_set_fiber_name(c.race.fiber, c.name.c_str());
}

void SwitchIn(MachineState& m, Context& c) {
  m.scheduler = __tsan_get_current_fiber();
  SwitchTo(c.race.fiber);
  if (c.race.run != m.run) {
    c.race.run = m.run;
    Acquire(&m.started);
  }
}

void SwitchOut(MachineState& m, Context& c) {
  // A context that has ended publishes its work to the test now: its fiber goes away.
  if (c.state == RunState::Finished) Release(&m.stopped);
  SwitchTo(m.scheduler);
  if (c.state == RunState::Finished) DestroyFiber(c);
}

Unwind::Unwind(MachineState& m, Context& c) : m_(m), c_(c), scheduler_(__tsan_get_current_fiber()) {
  SwitchTo(c.race.fiber);
}

Unwind::~Unwind() {
  Release(&m_.stopped);
  SwitchTo(scheduler_);
  Acquire(&m_.stopped);
  DestroyFiber(c_);
}

void Forget(const ContextTable& contexts) {
  for (const auto& [id, c] : contexts) DestroyFiber(*c);
}

RunBoundary::RunBoundary(MachineState& m, const ContextTable& contexts)
    : m_(m), contexts_(contexts) {
  ++m_.run;
  Release(&m_.started);
}

RunBoundary::~RunBoundary() {
  // Each context resumed in this run publishes its work so far. The scheduler's stack does not
  // run the context here: it only takes the context's identity for the release.
  void* scheduler = __tsan_get_current_fiber();
  for (const auto& [id, c] : contexts_) {
    if (c->race.fiber == nullptr || c->race.run != m_.run) continue;
    SwitchTo(c->race.fiber);
    Release(&m_.stopped);
    SwitchTo(scheduler);
  }
  Acquire(&m_.stopped);
}

uint64_t ReportCount() { return g_reports.load(); }

}  // namespace emu::hb

extern "C" {

// Called by ThreadSanitizer after it has printed a report: the machine's configuration reproduces
// the interleaving.
void __tsan_on_report(const void* report) {
  (void)report;
  emu::hb::g_reports++;
  emu::Kernel* k = emu::Kernel::CurrentOrNull();
  if (k == nullptr) return;
  const emu::KernelConfig& c = k->Config();
  char detail[64] = "random scheduler";
  if (c.scheduler == emu::SchedulerKind::Pct)
    std::snprintf(detail, sizeof detail, "PCT scheduler of depth %u", c.pctDepth);
  if (c.processors == emu::ProcessorModel::Uniprocessor) {
    std::fprintf(stderr, "Emulated machine: seed %llu, model UP (%s)\n",
                 static_cast<unsigned long long>(c.seed), detail);
  } else {
    std::fprintf(stderr, "Emulated machine: seed %llu, model MP (%u processors, %s)\n",
                 static_cast<unsigned long long>(c.seed), c.processorCount, detail);
  }
}

// The emulator is not instrumented, and neither are the libc calls it makes (copies into the
// driver's buffers, its own allocations): only the driver's and the tests' own accesses count.
const char* __tsan_default_options() { return "ignore_interceptors_accesses=1"; }

}  // extern "C"

#endif
