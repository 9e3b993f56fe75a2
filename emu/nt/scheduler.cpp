// The scheduler: execution contexts on fibers, the seeded choice at switch points, DPC
// processors, the due queue of the virtual clock and the scheduling loop that runs on the
// caller's stack.
//
// Choice at switch points: every context carries a random priority drawn from the seeded
// generator when it is created; the highest-priority runnable context runs, and at each switch
// point the running context gets a new random priority with probability 1/kPriorityChangeOdds
// (a PCT-style scheduler with random priority change points). The same seed therefore gives the
// same run, and different seeds give different interleavings.
#include "nt/scheduler.h"

#include "nt/verifier.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace emu {

namespace {
// 2007-09-01 00:00:00 UTC in 100-ns units since 1601-01-01: the system time at virtual time 0
// when the machine does not follow the wall clock.
constexpr int64_t kDefaultSystemTimeBase = 128330784000000000LL;
constexpr int64_t kUnixEpochAsSystemTime = 116444736000000000LL;

// A context's fiber stack (kernel_stack.cpp): guarded, filled with a pattern, recorded in the
// context.
struct RecordingStack {
  Kernel::Impl* kernel;
  Context* context;
  boost::context::stack_context allocate() { return kernel->AllocateStack(context); }
  void deallocate(boost::context::stack_context& sc) noexcept { kernel->DeallocateStack(sc); }
};

const char* StateName(RunState s) {
  switch (s) {
    case RunState::Ready: return "ready";
    case RunState::Running: return "running";
    case RunState::Waiting: return "waiting";
    case RunState::Spinning: return "spinning";
    case RunState::Blocked: return "blocked";
    case RunState::Idle: return "idle";
    case RunState::Finished: return "finished";
  }
  return "?";
}
}  // namespace

Kernel::Impl::Impl(Kernel& owner_, KernelConfig config_)
    : owner(owner_), config(config_), rng(config_.seed) {
  auto seedOf = [&](uint64_t salt) { return config.seed * 0x9E3779B97F4A7C15ULL ^ salt; };
  poolFailures.percent = config.lowResources.poolFailPercent;
  poolFailures.rng.seed(seedOf(0x706F6F6C));
  irpFailures.percent = config.lowResources.irpFailPercent;
  irpFailures.rng.seed(seedOf(0x69727073));
  threadFailures.percent = config.lowResources.threadFailPercent;
  threadFailures.rng.seed(seedOf(0x74687264));
  if (config.realTime) {
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    systemTimeBase =
        kUnixEpochAsSystemTime +
        std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100;
  } else {
    systemTimeBase = kDefaultSystemTimeBase;
  }
  objects.reserve(1024);
  machineThread = pthread_self();
  InstallFaultHandler();

  // The pseudo thread of the caller's own (main) stack and of device events.
  threads.push_back(std::make_unique<_ETHREAD>());
  _ETHREAD* main = threads.back().get();
  *main = _ETHREAD{};
  main->Tcb.Header.Type = ThreadObject;
  InitializeListHead(&main->Tcb.Header.WaitListHead);
  main->Tcb.Priority = 8;
  main->Cid.UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t{4});
  main->Cid.UniqueThread = reinterpret_cast<HANDLE>(uintptr_t{4});

  // The processors' DPC contexts: one per processor.
  unsigned processors = config.processors == ProcessorModel::Uniprocessor ? 1 : 2;
  for (unsigned i = 0; i < processors; ++i) {
    std::string name = processors == 1 ? "dpc" : "dpc" + std::to_string(i);
    Context* c = NewContext(std::move(name), ContextKind::Dpc, nullptr);
    c->processor = i;
    c->irql = DISPATCH_LEVEL;
    SetState(c, RunState::Idle);
    dpcProcessors.push_back(c);
  }
}

Kernel::Impl::~Impl() {
  // Unwind the fibers of contexts that have not finished (after a bug check, or a machine that
  // is simply dropped). Their destructors may still call into the kernel, which then no longer
  // switches or waits.
  tearingDown = true;
  for (auto& c : contexts) {
    if (c->started && c->state != RunState::Finished && c->fiber) {
      current = c.get();
      c->faultRecoveryArmed = false;  // its top frame is being unwound, not a place to return to
      try {
        boost::context::fiber f = std::move(c->fiber);
      } catch (...) {
      }
      current = nullptr;
    }
    c->fiber = {};
  }
  ReleaseDeadStacks();
  // Release the quarantine and what the driver left allocated.
  for (auto& [addr, info] : freedPool) ReleasePoolBlock(addr, info);
  for (auto& [addr, info] : livePool) ReleasePoolBlock(addr, info);
}

_ETHREAD* Kernel::Impl::NewThreadObject(Context* c, bool system) {
  threads.push_back(std::make_unique<_ETHREAD>());
  _ETHREAD* t = threads.back().get();
  *t = _ETHREAD{};
  t->Tcb.Header.Type = ThreadObject;
  t->Tcb.Header.Size = sizeof(KTHREAD) / sizeof(LONG);
  InitializeListHead(&t->Tcb.Header.WaitListHead);
  t->Tcb.context = c;
  t->Tcb.Priority = system ? 8 : 8;
  t->Cid.UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t{system ? 4u : 0x100u});
  t->Cid.UniqueThread = reinterpret_cast<HANDLE>(uintptr_t{0x100} + 4 * c->id);
  t->References = 1;  // the running thread
  t->system = system;
  Register(t, ThreadObject);
  return t;
}

Context* Kernel::Impl::NewContext(std::string name, ContextKind kind,
                                  std::function<void()> body) {
  contexts.push_back(std::make_unique<Context>());
  Context* c = contexts.back().get();
  c->id = static_cast<Kernel::ContextId>(contexts.size());
  c->name = std::move(name);
  c->kind = kind;
  c->body = std::move(body);
  c->priority = rng();
  c->state = RunState::Finished;  // SetState counts the transition to Ready
  c->thread = NewThreadObject(c, kind != ContextKind::Application);
  SetState(c, RunState::Ready);
  if (kind != ContextKind::Dpc) {
    TraceF("thread", "create %s (%s thread)", c->name.c_str(),
           kind == ContextKind::System ? "system" : "application");
  }
  return c;
}

void Kernel::Impl::SetState(Context* c, RunState s) {
  auto count = [&](RunState st, int d) {
    switch (st) {
      case RunState::Ready: readyCount += d; break;
      case RunState::Spinning: spinningCount += d; break;
      case RunState::Blocked: blockedCount += d; break;
      default: break;
    }
  };
  count(c->state, -1);
  c->state = s;
  count(s, +1);
}

bool Kernel::Impl::DpcWorkAvailable() const { return !dpcQueue.empty(); }

bool Kernel::Impl::Runnable(const Context* c) const {
  switch (c->state) {
    case RunState::Ready: return true;
    case RunState::Spinning: return *c->spinningOn == 0;
    case RunState::Blocked: return c->blockedUntil();
    case RunState::Idle: return !dpcQueue.empty();
    default: return false;
  }
}

Context* Kernel::Impl::Pick() {
  // Uniprocessor: a pending DPC runs ahead of every thread (no context can be at DISPATCH_LEVEL
  // here, since such a context is never switched away from).
  if (config.processors == ProcessorModel::Uniprocessor && Runnable(dpcProcessors[0]))
    return dpcProcessors[0];
  Context* best = nullptr;
  for (auto& up : contexts) {
    Context* c = up.get();
    if (c->state == RunState::Finished || c->state == RunState::Waiting) continue;
    if (!Runnable(c)) continue;
    if (!best || c->priority > best->priority) best = c;
  }
  return best;
}

void Kernel::Impl::Resume(Context* c) {
  SetState(c, RunState::Running);
  current = c;
  c->ranSinceStackCheck = true;
  OnIrqlChanged();
  ++switches;
  if (!c->started) {
    c->started = true;
    c->fiber = boost::context::fiber(
        std::allocator_arg, RecordingStack{this, c},
        [this, c](boost::context::fiber&& sched) { return FiberMain(c, std::move(sched)); });
  }
  c->fiber = std::move(c->fiber).resume();
  // A fiber that has ended may still hold its stack (the ucontext backend): release it now.
  if (c->state == RunState::Finished) c->fiber = {};
  current = nullptr;
  OnIrqlChanged();
}

boost::context::fiber Kernel::Impl::FiberMain(Context* c, boost::context::fiber&& sched) {
  schedulerFiber = std::move(sched);
  // A fault (SIGSEGV, SIGBUS) in this context jumps back here and becomes its bug check.
  if (sigsetjmp(c->faultRecovery, 1) == 0) {
    c->faultRecoveryArmed = true;
    RunContext(c);
  } else {
    try {
      RaiseFault(c->fault);
    } catch (...) {
      if (!pendingFailure) pendingFailure = std::current_exception();
      dead = true;
    }
  }
  c->faultRecoveryArmed = false;
  if (!dead) {
    TraceF("thread", "end (status 0x%08X)", static_cast<unsigned>(c->thread->ExitStatus));
    // The thread object becomes signalled.
    c->thread->Tcb.Header.SignalState = 1;
    SignalObject(&c->thread->Tcb.Header);
  }
  c->body = nullptr;
  c->thread->References--;
  SetState(c, RunState::Finished);
  return std::move(schedulerFiber);
}

void Kernel::Impl::RunContext(Context* c) {
  try {
    if (c->kind == ContextKind::Dpc) {
      RunDpcProcessor(c);
    } else {
      TraceF("thread", "start");
      try {
        c->body();
      } catch (const ThreadExit& e) {
        c->thread->ExitStatus = e.status;
      }
      ThreadEndChecks(c);
    }
  } catch (const boost::context::detail::forced_unwind&) {
    throw;
  } catch (...) {
    if (!pendingFailure) pendingFailure = std::current_exception();
    dead = true;
  }
}

void Kernel::Impl::ThreadEndChecks(Context* c) {
  // A thread must end at PASSIVE_LEVEL owning no lock.
  if (!c->spinLocks.empty()) {
    owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x100A,
                   reinterpret_cast<ULONG_PTR>(c->thread),
                   reinterpret_cast<ULONG_PTR>(c->spinLocks.back()), 0);
  }
  if (!c->mutexes.empty()) {
    owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x100A,
                   reinterpret_cast<ULONG_PTR>(c->thread),
                   reinterpret_cast<ULONG_PTR>(c->mutexes.back()), 0);
  }
  if (c->irql != PASSIVE_LEVEL || c->apcDisable != 0) {
    owner.BugCheck(bugcheck::kKernelApcPendingDuringExit, 0,
                   static_cast<ULONG_PTR>(-c->apcDisable), c->irql, 0);
  }
  // The stack goes away with the thread: no timer or DPC may still live on it.
  CheckNoTimerOrDpcIn(c->stackLow, c->stackHigh);
  CheckStackBudget(c);
}

void Kernel::Impl::CheckNoTimerOrDpcIn(uintptr_t low, uintptr_t high) {
  if (low >= high) return;
  auto timer = insertedTimers.lower_bound(reinterpret_cast<const KTIMER*>(low));
  if (timer != insertedTimers.end() && reinterpret_cast<uintptr_t>(timer->first) < high) {
    owner.BugCheck(bugcheck::kTimerOrDpcInvalid, 0, reinterpret_cast<ULONG_PTR>(timer->first),
                   low, high);
  }
  for (KDPC* dpc : dpcQueue) {
    auto a = reinterpret_cast<uintptr_t>(dpc);
    if (a >= low && a < high) owner.BugCheck(bugcheck::kTimerOrDpcInvalid, 1, a, low, high);
  }
}

void Kernel::Impl::RunDpcProcessor(Context* c) {
  for (;;) {
    if (dpcQueue.empty()) {
      SetState(c, RunState::Idle);
      YieldToScheduler();
      continue;
    }
    KDPC* dpc = dpcQueue.front();
    dpcQueue.pop_front();
    CheckObject(dpc, sizeof(KDPC), false);
    dpc->DpcData = nullptr;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID a1 = dpc->SystemArgument1;
    PVOID a2 = dpc->SystemArgument2;
    c->runningDpc = dpc;
    c->irql = DISPATCH_LEVEL;
    if (traceEnabled) TraceF("dpc", "run %s", ObjectName(dpc).c_str());
    routine(dpc, context, a1, a2);
    c->runningDpc = nullptr;
    if (c->irql != DISPATCH_LEVEL) {
      // IRQL_UNEXPECTED_VALUE: (current << 16) | (expected << 8).
      owner.BugCheck(bugcheck::kIrqlUnexpectedValue,
                     (static_cast<ULONG_PTR>(c->irql) << 16) | (DISPATCH_LEVEL << 8),
                     reinterpret_cast<ULONG_PTR>(routine), reinterpret_cast<ULONG_PTR>(dpc), 0);
    }
  }
}

void Kernel::Impl::YieldToScheduler() {
  if (tearingDown) return;
  schedulerFiber = std::move(schedulerFiber).resume();
}

void Kernel::Impl::SwitchPoint() {
  Context* c = current;
  if (!c || tearingDown || dead) return;
  if (config.processors == ProcessorModel::Uniprocessor && c->irql >= DISPATCH_LEVEL) return;
  bool dueNow = !due.empty() && due.begin()->first.time <= now;
  bool dpcNow = !dpcQueue.empty();
  if (readyCount == 0 && spinningCount == 0 && blockedCount == 0 && !dueNow && !dpcNow &&
      !postedFlag)
    return;
  bool yield = dueNow || postedFlag ||
               (dpcNow && config.processors == ProcessorModel::Uniprocessor);
  if (!yield) {
    if (rng() % kPriorityChangeOdds == 0) c->priority = rng();
    for (auto& up : contexts) {
      Context* o = up.get();
      if (o == c || o->priority <= c->priority) continue;
      if (o->state == RunState::Finished || o->state == RunState::Waiting) continue;
      if (Runnable(o)) {
        yield = true;
        break;
      }
    }
  }
  if (!yield) return;
  SetState(c, RunState::Ready);
  YieldToScheduler();
}

DueKey Kernel::Impl::InsertDue(VirtualTime t, DueItem item) {
  DueKey key{t, ++dueSeq};
  due.emplace(key, std::move(item));
  return key;
}

VirtualTime Kernel::Impl::NextDue() const { return due.empty() ? kForever : due.begin()->first.time; }

void Kernel::Impl::ProcessDue() {
  while (!due.empty() && due.begin()->first.time <= now) {
    auto node = due.extract(due.begin());
    DueItem& item = node.mapped();
    switch (item.kind) {
      case DueKind::Device: {
        deviceEvents.erase(item.event);
        struct Guard {
          bool& flag;
          ~Guard() { flag = false; }
        } guard{inDeviceEvent};
        inDeviceEvent = true;
        OnIrqlChanged();
        item.fn();
        inDeviceEvent = false;
        OnIrqlChanged();
        break;
      }
      case DueKind::Timer:
        insertedTimers.erase(item.timer);
        outsideName = "clock";
        ExpireTimer(item.timer);
        outsideName = nullptr;
        break;
      case DueKind::WaitTimeout:
        item.context->waitTimeoutArmed = false;
        Unwait(item.context, STATUS_TIMEOUT);
        break;
    }
  }
}

void Kernel::Impl::RunPosted() {
  std::vector<std::function<void()>> work;
  {
    std::lock_guard<std::mutex> lock(postMutex);
    work.swap(posted);
    postedPending = false;
    postedFlag = false;
  }
  struct Guard {
    bool& flag;
    ~Guard() { flag = false; }
  } guard{inDeviceEvent};
  inDeviceEvent = true;
  OnIrqlChanged();
  for (auto& fn : work) fn();
  inDeviceEvent = false;
  OnIrqlChanged();
}

void Kernel::Impl::AdvanceTo(VirtualTime t) {
  if (t <= now) return;
  if (!config.realTime) {
    now = t;
    return;
  }
  // Real time: wait for the wall clock (or for work posted from outside).
  auto target = wallAnchor + std::chrono::nanoseconds((t - virtualAnchor) * 100);
  {
    std::unique_lock<std::mutex> lock(postMutex);
    postCv.wait_until(lock, target, [&] { return postedPending; });
  }
  auto elapsed = std::chrono::steady_clock::now() - wallAnchor;
  VirtualTime wallNow =
      virtualAnchor + std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
  now = std::max(now, std::min(t, wallNow));
}

void Kernel::Impl::RethrowPending() {
  if (!pendingFailure) return;
  std::exception_ptr e = pendingFailure;
  pendingFailure = nullptr;
  dead = true;
  std::rethrow_exception(e);
}

bool Kernel::Impl::Schedule(const std::function<bool()>* done, VirtualTime limit) {
  if (current || inDeviceEvent)
    throw std::logic_error("Kernel::Run* called from inside the emulated machine");
  if (inScheduler) throw std::logic_error("Kernel::Run* called re-entrantly");
  if (dead) {
    if (bugCheck) throw BugCheckError(*bugCheck);
    throw std::logic_error("the emulated machine has stopped after a failure");
  }
  struct Guard {
    bool& flag;
    ~Guard() { flag = false; }
  } guard{inScheduler};
  inScheduler = true;
  if (config.realTime) {
    wallAnchor = std::chrono::steady_clock::now();
    virtualAnchor = now;
  }
  for (;;) {
    if (done && (*done)()) return true;
    if (postedFlag) RunPosted();
    ProcessDue();
    if (Context* c = Pick()) {
      Resume(c);
      RethrowPending();
      continue;
    }
    VirtualTime t = NextDue();
    if (t > limit || t == kForever) {
      if (config.realTime && (done || limit != kForever)) {
        // Interactive use: idle until the limit, or until work is posted from outside.
        std::unique_lock<std::mutex> lock(postMutex);
        if (limit == kForever) {
          postCv.wait(lock, [&] { return postedPending; });
        } else {
          auto target = wallAnchor + std::chrono::nanoseconds((limit - virtualAnchor) * 100);
          if (!postCv.wait_until(lock, target, [&] { return postedPending; })) {
            lock.unlock();
            now = std::max(now, limit);
            return done ? (*done)() : true;
          }
        }
        auto elapsed = std::chrono::steady_clock::now() - wallAnchor;
        now = std::max(now, virtualAnchor + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                elapsed)
                                                    .count() /
                                                100);
        continue;
      }
      if (limit != kForever && now < limit) now = limit;
      return done ? (*done)() : true;
    }
    AdvanceTo(t);
  }
}

std::string Kernel::Impl::DescribeContexts() const {
  std::string out;
  for (const auto& up : contexts) {
    const Context* c = up.get();
    if (c->state == RunState::Finished) continue;
    if (c->kind == ContextKind::Dpc && c->state == RunState::Idle) continue;
    char line[256];
    std::snprintf(line, sizeof line, "  %-16s %-8s IRQL %u", c->name.c_str(), StateName(c->state),
                  static_cast<unsigned>(c->irql));
    out += line;
    if (c->state == RunState::Waiting) {
      out += " waiting for ";
      out += c->waitWhat;
      for (ULONG i = 0; i < c->waitCount; ++i) {
        out += i ? ", " : " ";
        out += ObjectName(c->waitBlocks[i].Object);
      }
      if (c->waitTimeoutArmed) {
        char t[64];
        std::snprintf(t, sizeof t, " until %.4f ms",
                      static_cast<double>(c->waitTimeoutKey.time) / kMillisecond);
        out += t;
      }
    } else if (c->state == RunState::Spinning) {
      out += " spinning on a spin lock held by ";
      const Context* holder = reinterpret_cast<const Context*>(*c->spinningOn);
      out += holder ? holder->name : "nobody";
    }
    for (KSPIN_LOCK* l : c->spinLocks) {
      (void)l;
      out += " [holds a spin lock]";
    }
    if (!c->mutexes.empty()) out += " [holds a mutex]";
    out += "\n";
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Current-context helpers
// ---------------------------------------------------------------------------------------------

KIRQL Kernel::Impl::Irql() const {
  if (current) return current->irql;
  if (inDeviceEvent) return kDeviceIrql;
  return mainIrql;
}

void Kernel::Impl::SetIrql(KIRQL irql) {
  if (current)
    current->irql = irql;
  else if (!inDeviceEvent)
    mainIrql = irql;
  OnIrqlChanged();
}

std::string Kernel::Impl::ContextName() const {
  if (current) return current->name;
  if (inDeviceEvent) return "hw";
  if (outsideName) return outsideName;
  return "main";
}

void Kernel::Impl::RequireContext(const char* routine) const {
  throw std::logic_error(std::string(routine) +
                         " would block, but it was called outside every emulated context (" +
                         (inDeviceEvent ? "in a device event" : "on the caller's own stack") +
                         "): run it in a thread of the machine");
}

// ---------------------------------------------------------------------------------------------
// Object registry: every dispatcher object, DPC and fast mutex the kernel has initialised, with
// a stable number for the trace.
// ---------------------------------------------------------------------------------------------

ObjectInfo& Kernel::Impl::Register(const void* p, uint8_t kind) {
  ObjectInfo& info = objects[p];
  info.kind = kind;
  info.id = nextObjectId++;
  objectCache[CacheSlot(p)] = {p, &info};
  return info;
}

const ObjectInfo* Kernel::Impl::Lookup(const void* p) {
  ObjectCacheEntry& slot = objectCache[CacheSlot(p)];
  if (slot.key == p) return slot.info;
  auto it = objects.find(p);
  if (it == objects.end()) return nullptr;
  slot = {p, &it->second};
  return &it->second;
}

const ObjectInfo* Kernel::Impl::LookupConst(const void* p) const {
  auto it = objects.find(p);
  return it == objects.end() ? nullptr : &it->second;
}

void Kernel::Impl::ForgetObject(const void* p) {
  ObjectCacheEntry& slot = objectCache[CacheSlot(p)];
  if (slot.key == p) slot = {};
  objects.erase(p);
}

void Kernel::Impl::CheckObject(const void* p, size_t size, bool write) {
  if (!freedPool.empty()) {
    uintptr_t start;
    if (FindFreed(p, &start) ||
        (size > 1 && FindFreed(static_cast<const char*>(p) + size - 1, &start))) {
      owner.BugCheck(bugcheck::kPageFaultInFreedSpecialPool, reinterpret_cast<ULONG_PTR>(p),
                     write ? 1 : 0, 0, 0);
    }
  }
  if (!Lookup(p)) {
    // Deadlock-detection subcode "uninitialized resource".
    owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x1002,
                   reinterpret_cast<ULONG_PTR>(p), 0, 0);
  }
}

std::string Kernel::Impl::ObjectName(const void* p) const {
  const ObjectInfo* info = LookupConst(p);
  if (!info) return "object?";
  const char* kind = "object";
  switch (info->kind) {
    case EventNotificationObject: kind = "event"; break;
    case EventSynchronizationObject: kind = "syncevent"; break;
    case MutantObject: kind = "mutex"; break;
    case SemaphoreObject: kind = "semaphore"; break;
    case ThreadObject: kind = "thread"; break;
    case TimerNotificationObject: kind = "timer"; break;
    case TimerSynchronizationObject: kind = "synctimer"; break;
    case DpcObject: kind = "dpc"; break;
    case kFastMutexKind: kind = "fastmutex"; break;
    default: break;
  }
  if (info->kind == ThreadObject) {
    const auto* t = static_cast<const KTHREAD*>(p);
    if (t->context) return std::string("thread ") + t->context->name;
  }
  return std::string(kind) + "#" + std::to_string(info->id);
}

}  // namespace emu

#if defined(BOOST_USE_UCONTEXT)
// Sanitizer builds switch fibers with Boost.Context's ucontext backend, which annotates every
// switch for AddressSanitizer. The system's Boost.Context library is built for the fcontext
// backend, so the one out-of-line function of the ucontext backend is defined here: the
// per-thread pointer to the running activation record, initially the thread's own context.
namespace boost::context::detail {
fiber_activation_record*& fiber_activation_record::current() noexcept {
  thread_local fiber_activation_record toplevel;
  thread_local fiber_activation_record* running = &toplevel;
  return running;
}
}  // namespace boost::context::detail
#endif
