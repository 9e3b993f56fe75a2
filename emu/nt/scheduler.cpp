// The scheduler: execution contexts on fibers, N processors with their DPC contexts, the seeded
// choice at switch points, the due queue of the virtual clock and the scheduling loop that runs
// on the caller's stack.
//
// Every context carries a priority; at each scheduling step the highest-priority context that
// may run now runs. What may run: a context at DISPATCH_LEVEL or above on the processor it holds;
// a context below DISPATCH_LEVEL when some processor is free (nothing holds it and no DPC is
// pending there); a processor's DPC context when DPCs are queued there and nothing holds it.
// A switch point at which another context may run is a choice point; there the scheduler kind
// decides whether the running context keeps the processor:
//   Random: with odds 1 in kRandomYieldOdds the running context yields: it draws a new random
//           priority and trades it with the best other context's if that keeps it ahead. Fixed
//           odds of switching at every choice point spread the seeds over many interleavings (a
//           new priority drawn without the trade rarely passes a context that lost the first
//           draw, and most runs were then serial).
//   Pct:    probabilistic concurrency testing (Burckhardt et al., ASPLOS 2010). Priorities are
//           random and distinct from creation; pctDepth - 1 change points are drawn uniformly
//           from [1, pctSteps] choice points, and at the i-th the running context drops to
//           priority pctDepth - i, below every priority given at creation. pctSteps is the
//           expected run length k; it defaults to 1000 and a test that knows its length (for
//           example from Kernel::ChoicePoints() of an earlier run) sets it.
// Under both, a context that passes kQuantumChoicePoints choice points without blocking gets a
// new random priority (its quantum ends). The same seed gives the same run.
#include "nt/scheduler.h"

#include "nt/verifier.h"

#include <algorithm>
#include <bit>
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
    case RunState::Interrupted: return "interrupted";
    case RunState::Idle: return "idle";
    case RunState::Finished: return "finished";
  }
  return "?";
}

// Odds (1 in n) that the running context yields at a choice point (Random kind).
constexpr uint64_t kRandomYieldOdds = 3;
}  // namespace

Kernel::Impl::Impl(Kernel& owner_, KernelConfig config_)
    : owner(owner_), config(config_), rng(config_.seed) {
  auto seedOf = [&](uint64_t salt) { return config.seed * 0x9E3779B97F4A7C15ULL ^ salt; };
  eventRng.seed(seedOf(0x65766E74));
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
  mainThread = std::make_unique<_ETHREAD>();
  _ETHREAD* main = mainThread.get();
  *main = _ETHREAD{};
  main->Tcb.Header.Type = ThreadObject;
  InitializeListHead(&main->Tcb.Header.WaitListHead);
  main->Tcb.Priority = 8;
  main->Cid.UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t{4});
  main->Cid.UniqueThread = reinterpret_cast<HANDLE>(uintptr_t{4});

  if (config.scheduler == SchedulerKind::Pct && config.pctDepth > 1) {
    uint64_t steps = std::max<uint64_t>(config.pctSteps, 1);
    for (unsigned i = 1; i < config.pctDepth; ++i) changePoints.push_back(1 + rng() % steps);
    std::sort(changePoints.begin(), changePoints.end());
    changedPriority = config.pctDepth - 1;
  }

  // The processors, each with its DPC context.
  unsigned n = config.processors == ProcessorModel::Uniprocessor ? 1 : config.processorCount;
  if (n == 0 || n > kMaxProcessors) {
    throw std::invalid_argument("the multiprocessor model has 1 to " +
                                std::to_string(kMaxProcessors) + " processors");
  }
  processors.resize(n);
  for (unsigned i = 0; i < n; ++i) {
    Processor& p = processors[i];
    p.number = i;
    p.dpcContext = NewContext(n == 1 ? "dpc" : "dpc" + std::to_string(i), ContextKind::Dpc, nullptr);
    p.dpcContext->processor = i;
    SetState(p.dpcContext, RunState::Idle);
    p.dpcContext->irql = DISPATCH_LEVEL;
    UpdateProcessor(p);
  }
  // Threads get ideal processors in turn, from a seeded start.
  nextIdealProcessor = static_cast<unsigned>(eventRng() % n);
}

Kernel::Impl::~Impl() {
  // Unwind the fibers of contexts that have not finished (after a bug check, or a machine that
  // is simply dropped). Their destructors may still call into the kernel, which then no longer
  // switches or waits.
  tearingDown = true;
  for (auto& [id, c] : contexts) {
    if (c->started && c->state != RunState::Finished && c->fiber) {
      current = c.get();
      hb::Unwind unwind(race, *c);
      c->faultRecoveryArmed = false;  // its top frame is being unwound, not a place to return to
      try {
        boost::context::fiber f = std::move(c->fiber);
      } catch (...) {
      }
      current = nullptr;
    }
    c->fiber = {};
  }
  hb::Forget(contexts);
  ReleaseDeadStacks();
  // Release the quarantine and what the driver left allocated.
  for (auto& [addr, info] : freedPool) ReleasePoolBlock(addr, info);
  for (auto& [addr, info] : livePool) ReleasePoolBlock(addr, info);
}

_ETHREAD* Kernel::Impl::NewThreadObject(Context* c, bool system) {
  auto owned = std::make_unique<_ETHREAD>();
  _ETHREAD* t = owned.get();
  threadObjects.emplace(t, std::move(owned));
  *t = _ETHREAD{};
  t->Tcb.Header.Type = ThreadObject;
  t->Tcb.Header.Size = sizeof(KTHREAD) / sizeof(LONG);
  InitializeListHead(&t->Tcb.Header.WaitListHead);
  t->Tcb.context = c;
  t->Tcb.Priority = 8;
  t->Cid.UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t{system ? 4u : 0x100u});
  t->Cid.UniqueThread = reinterpret_cast<HANDLE>(uintptr_t{0x100} + 4 * c->id);
  t->References = 1;  // the running thread
  t->system = system;
  Register(t, ThreadObject);
  return t;
}

void Kernel::Impl::ReleaseThreadObject(_ETHREAD* t) {
  if (tearingDown || t->References > 0 || t->Tcb.context) return;
  auto node = threadObjects.extract(t);
  if (node.empty()) return;
  // Kept known for a while, so that one dereference too many still finds a thread object.
  releasedThreads.push_back(std::move(node.mapped()));
  if (releasedThreads.size() > kReleasedThreadsKept) {
    ForgetObject(releasedThreads.front().get());
    releasedThreads.pop_front();
  }
}

Context* Kernel::Impl::NewContext(std::string name, ContextKind kind,
                                  std::function<void()> body) {
  auto owned = std::make_unique<Context>();
  Context* c = owned.get();
  c->id = nextContextId++;
  c->name = std::move(name);
  c->kind = kind;
  c->body = std::move(body);
  c->priority = rng() | (uint64_t{1} << 63);  // above every priority a PCT change point gives
  c->processor = nextIdealProcessor++ % ProcessorCount();
  c->state = RunState::Finished;  // SetState counts the transition to Ready
  c->thread = NewThreadObject(c, kind != ContextKind::Application);
  contexts.emplace(c->id, std::move(owned));
  contextTokens.insert(reinterpret_cast<ULONG_PTR>(c));
  SetState(c, RunState::Ready);
  hb::OnCreate(*c);
  if (kind != ContextKind::Dpc) {
    TraceF("thread", "create %s (%s thread)", c->name.c_str(),
           kind == ContextKind::System ? "system" : "application");
  }
  return c;
}

Context* Kernel::Impl::FindContext(Kernel::ContextId id) const {
  auto it = contexts.find(id);
  return it == contexts.end() ? nullptr : it->second.get();
}

void Kernel::Impl::DropFinished(Context* c) {
  _ETHREAD* t = c->thread;
  t->Tcb.context = nullptr;
  contextTokens.erase(reinterpret_cast<ULONG_PTR>(c));
  contexts.erase(c->id);
  ReleaseThreadObject(t);
}

void Kernel::Impl::SetState(Context* c, RunState s) {
  auto listOf = [this](RunState st) -> std::vector<Context*>* {
    switch (st) {
      case RunState::Ready: return &ready;
      case RunState::Waiting: return &waiting;
      case RunState::Spinning: return &spinning;
      case RunState::Blocked: return &blocked;
      default: return nullptr;
    }
  };
  if (c->state == RunState::Ready && c->irql >= DISPATCH_LEVEL) --readyAtDispatch;
  if (s == RunState::Ready && c->irql >= DISPATCH_LEVEL) ++readyAtDispatch;
  if (std::vector<Context*>* from = listOf(c->state)) {
    Context* last = from->back();
    (*from)[c->listIndex] = last;
    last->listIndex = c->listIndex;
    from->pop_back();
  }
  c->state = s;
  if (std::vector<Context*>* to = listOf(s)) {
    c->listIndex = to->size();
    to->push_back(c);
  }
}

void Kernel::Impl::SetContextIrql(Context* c, KIRQL irql) {
  bool held = c->irql >= DISPATCH_LEVEL;
  if (c->state == RunState::Ready) readyAtDispatch += (irql >= DISPATCH_LEVEL) - held;
  c->irql = irql;
  if (c == current) OnIrqlChanged();
  // A DPC context holds its processor for as long as it runs DPCs (RunDpcProcessor).
  if (c->kind == ContextKind::Dpc || held == (irql >= DISPATCH_LEVEL)) return;
  Processor& p = processors[c->processor];
  p.holder = held ? nullptr : c;
  UpdateProcessor(p);
}

void Kernel::Impl::UpdateProcessor(Processor& p) {
  if (p.interrupted && p.dpcs.empty() && !p.holder) {
    // The DPCs that interrupted a context are done (or were taken out of the queue).
    Context* c = p.interrupted;
    p.interrupted = nullptr;
    SetState(c, RunState::Ready);
  }
  uint32_t bit = uint32_t{1} << p.number;
  bool free = !p.holder && !p.interrupted && p.dpcs.empty();
  bool dpcReady = !p.holder && !p.dpcs.empty() && p.dpcContext->state == RunState::Idle;
  freeMask = free ? freeMask | bit : freeMask & ~bit;
  dpcMask = dpcReady ? dpcMask | bit : dpcMask & ~bit;
}

bool Kernel::Impl::DpcsIdle() const {
  for (const Processor& p : processors)
    if (!p.dpcs.empty() || p.dpcContext->state != RunState::Idle) return false;
  return true;
}

Context* Kernel::Impl::Best(bool freeProcessor) const {
  Context* best = nullptr;
  auto consider = [&best](Context* c) {
    if (!best || c->priority > best->priority) best = c;
  };
  for (Context* c : ready)
    if (freeProcessor || c->irql >= DISPATCH_LEVEL) consider(c);
  for (Context* c : spinning)
    if (*c->spinningOn == 0) consider(c);
  if (freeProcessor) {
    for (Context* c : blocked)
      if (c->blockedUntil()) consider(c);
  }
  for (uint32_t m = dpcMask; m != 0; m &= m - 1)
    consider(processors[static_cast<unsigned>(std::countr_zero(m))].dpcContext);
  return best;
}

void Kernel::Impl::PlaceOnProcessor(Context* c) {
  // Below DISPATCH_LEVEL: its ideal (or last) processor when free, otherwise a seeded free one.
  if (freeMask & (uint32_t{1} << c->processor)) return;
  unsigned skip = static_cast<unsigned>(rng() % static_cast<unsigned>(std::popcount(freeMask)));
  uint32_t m = freeMask;
  while (skip-- > 0) m &= m - 1;
  c->processor = static_cast<unsigned>(std::countr_zero(m));
}

void Kernel::Impl::Resume(Context* c) {
  if (c->irql < DISPATCH_LEVEL) PlaceOnProcessor(c);
  SetState(c, RunState::Running);
  c->runLength = 0;
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
  hb::SwitchIn(race, *c);
  c->fiber = std::move(c->fiber).resume();
  hb::SwitchOut(race, *c);
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
    hb::Release(c->thread);
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
  for (const Processor& p : processors) {
    for (KDPC* dpc : p.dpcs) {
      auto a = reinterpret_cast<uintptr_t>(dpc);
      if (a >= low && a < high) owner.BugCheck(bugcheck::kTimerOrDpcInvalid, 1, a, low, high);
    }
  }
}

void Kernel::Impl::RunDpcProcessor(Context* c) {
  Processor& p = processors[c->processor];
  for (;;) {
    if (p.dpcs.empty()) {
      // The queue is drained: the processor is free again.
      p.holder = nullptr;
      SetState(c, RunState::Idle);
      UpdateProcessor(p);
      YieldToScheduler();
      continue;
    }
    p.holder = c;
    KDPC* dpc = p.dpcs.front();
    p.dpcs.pop_front();
    UpdateProcessor(p);
    CheckObject(dpc, sizeof(KDPC), false);
    dpc->DpcData = nullptr;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID a1 = dpc->SystemArgument1;
    PVOID a2 = dpc->SystemArgument2;
    c->runningDpc = dpc;
    c->irql = DISPATCH_LEVEL;
    c->driver = Lookup(dpc)->driver;  // the routine runs for the driver that initialised the DPC
    if (traceEnabled) TraceF("dpc", "run %s", ObjectName(dpc).c_str());
    hb::Acquire(dpc);
    routine(dpc, context, a1, a2);
    hb::Release(&race.dpcsDone);
    c->runningDpc = nullptr;
    c->driver = nullptr;
    if (c->irql != DISPATCH_LEVEL) {
      // IRQL_UNEXPECTED_VALUE: (current << 16) | (expected << 8).
      owner.BugCheck(bugcheck::kIrqlUnexpectedValue,
                     (static_cast<ULONG_PTR>(c->irql) << 16) | (DISPATCH_LEVEL << 8),
                     reinterpret_cast<ULONG_PTR>(routine), reinterpret_cast<ULONG_PTR>(dpc), 0);
    }
    if (!c->spinLocks.empty()) {
      verifier::DpcReturnedHoldingSpinLock(reinterpret_cast<const void*>(routine),
                                           c->spinLocks.back());
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
  if (c->waitNext) verifier::WaitNextBroken(c->irql, c->waitNextIrql);
  Processor& p = processors[c->processor];
  if (c->irql < DISPATCH_LEVEL && !p.dpcs.empty()) {
    // DPCs queued on this processor interrupt the context until they have run.
    p.interrupted = c;
    SetState(c, RunState::Interrupted);
    UpdateProcessor(p);
    YieldToScheduler();
    return;
  }
  if (now >= std::min(NextDue(), runLimit) || postedFlag) {
    // Hardware first: due events run now, whatever the IRQL.
    if (now >= runLimit) limitReached = true;
    Preempt(c);
    return;
  }
  // Most switch points find nobody else to run (Best() would return null); the lists and counts
  // say so without a scan.
  const bool noneReady = freeMask != 0 ? ready.empty() && blocked.empty() : readyAtDispatch == 0;
  if (noneReady && spinning.empty() && dpcMask == 0) return;
  Context* other = Best(freeMask != 0);
  if (other && ChoosePreemption(c, other)) Preempt(c);
}

bool Kernel::Impl::ChoosePreemption(Context* c, Context* other) {
  ++choicePoints;
  if (++c->runLength >= kQuantumChoicePoints) {
    c->runLength = 0;
    c->priority = rng() | (uint64_t{1} << 63);
  }
  if (config.scheduler == SchedulerKind::Pct) {
    while (nextChange < changePoints.size() && changePoints[nextChange] <= choicePoints) {
      c->priority = changedPriority--;
      ++nextChange;
    }
  } else if (rng() % kRandomYieldOdds == 0) {
    // Yield: the two trade places if the new draw would still keep this context ahead.
    uint64_t drawn = rng() | (uint64_t{1} << 63);
    c->priority = std::min(drawn, other->priority);
    other->priority = std::max(drawn, other->priority);
  }
  return other->priority > c->priority;
}

void Kernel::Impl::Preempt(Context* c) {
  SetState(c, RunState::Ready);
  YieldToScheduler();
}

DueKey Kernel::Impl::InsertDue(VirtualTime t, DueItem item) {
  const DueKey key = NextDueKey(t);
  if (spareDueNodes.empty()) {
    due.emplace(key, std::move(item));
    return key;
  }
  auto node = std::move(spareDueNodes.back());
  spareDueNodes.pop_back();
  node.key() = key;
  node.mapped() = std::move(item);
  due.insert(std::move(node));
  return key;
}

namespace {

// Orders the device event heap's entries so that the earliest key is on top.
bool LaterEvent(const DeviceEventEntry& a, const DeviceEventEntry& b) { return b.key < a.key; }

// Cancelled entries are dropped from the whole heap at once when there are more than this many
// and they are at least half of it.
constexpr size_t kCancelledEventsKept = 256;

}  // namespace

Kernel::EventId Kernel::Impl::InsertDeviceEvent(VirtualTime t, std::function<void()>&& fn) {
  uint32_t slot;
  if (!freeDeviceSlots.empty()) {
    slot = freeDeviceSlots.back();
    freeDeviceSlots.pop_back();
  } else {
    if (deviceSlots.size() >= (size_t{1} << kDeviceSlotBits))
      throw std::length_error("too many device events pending");
    slot = static_cast<uint32_t>(deviceSlots.size());
    deviceSlots.emplace_back();
  }
  const DueKey key = NextDueKey(t);
  const EventId id = key.seq << kDeviceSlotBits | slot;
  DeviceEventSlot& s = deviceSlots[slot];
  s.fn = std::move(fn);
  s.id = id;
  s.cancelled = false;
  deviceHeap.push_back({key, slot});
  std::push_heap(deviceHeap.begin(), deviceHeap.end(), LaterEvent);
  return id;
}

bool Kernel::Impl::CancelDeviceEvent(EventId id) {
  const auto slot = static_cast<uint32_t>(id & ((uint64_t{1} << kDeviceSlotBits) - 1));
  if (id == 0 || slot >= deviceSlots.size() || deviceSlots[slot].id != id || deviceSlots[slot].cancelled)
    return false;
  deviceSlots[slot].fn = nullptr;
  deviceSlots[slot].cancelled = true;
  ++cancelledDeviceEvents;
  DropCancelledDeviceEvents();
  return true;
}

void Kernel::Impl::DropCancelledDeviceEvents() {
  if (cancelledDeviceEvents == 0) return;
  auto release = [this](uint32_t slot) {
    deviceSlots[slot].id = 0;
    deviceSlots[slot].cancelled = false;
    freeDeviceSlots.push_back(slot);
    --cancelledDeviceEvents;
  };
  if (cancelledDeviceEvents > kCancelledEventsKept && cancelledDeviceEvents * 2 >= deviceHeap.size()) {
    std::erase_if(deviceHeap, [&](const DeviceEventEntry& e) {
      if (!deviceSlots[e.slot].cancelled) return false;
      release(e.slot);
      return true;
    });
    std::make_heap(deviceHeap.begin(), deviceHeap.end(), LaterEvent);
  }
  while (!deviceHeap.empty() && deviceSlots[deviceHeap.front().slot].cancelled) {
    const uint32_t slot = deviceHeap.front().slot;
    std::pop_heap(deviceHeap.begin(), deviceHeap.end(), LaterEvent);
    deviceHeap.pop_back();
    release(slot);
  }
}

void Kernel::Impl::RunNextDeviceEvent() {
  const uint32_t slot = deviceHeap.front().slot;
  std::pop_heap(deviceHeap.begin(), deviceHeap.end(), LaterEvent);
  deviceHeap.pop_back();
  std::function<void()> fn = std::move(deviceSlots[slot].fn);
  deviceSlots[slot].fn = nullptr;
  deviceSlots[slot].id = 0;
  freeDeviceSlots.push_back(slot);
  DropCancelledDeviceEvents();
  AsHardware(fn);
}

void Kernel::Impl::AsHardware(const std::function<void()>& body) {
  struct Guard {
    bool& flag;
    ~Guard() { flag = false; }
  } guard{inDeviceEvent};
  inDeviceEvent = true;
  hb::Invisible hardware;
  OnIrqlChanged();
  body();
  inDeviceEvent = false;
  OnIrqlChanged();
}

void Kernel::Impl::ProcessDue() {
  for (;;) {
    const bool timedDue = !due.empty() && due.begin()->first.time <= now;
    const bool deviceDue = !deviceHeap.empty() && deviceHeap.front().key.time <= now;
    if (!timedDue && !deviceDue) break;
    if (deviceDue && (!timedDue || deviceHeap.front().key < due.begin()->first)) {
      RunNextDeviceEvent();
      continue;
    }
    auto node = due.extract(due.begin());
    DueItem& item = node.mapped();
    switch (item.kind) {
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
    if (spareDueNodes.size() < kSpareNodes) spareDueNodes.push_back(std::move(node));
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
  AsHardware([&work] {
    for (auto& fn : work) fn();
  });
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
    Impl& k;
    ~Guard() {
      k.inScheduler = false;
      k.runLimit = kForever;
    }
  } guard{*this};
  inScheduler = true;
  runLimit = limit;
  limitReached = false;
  hb::RunBoundary boundary(race, contexts);
  if (config.realTime) {
    wallAnchor = std::chrono::steady_clock::now();
    virtualAnchor = now;
  }
  for (;;) {
    if (done && (*done)()) return true;
    // A context's own time reached the limit (the machine was busy up to it).
    if (limitReached) return !done;
    if (postedFlag) {
      // Work from outside may be what done() waits for: check it again first.
      RunPosted();
      continue;
    }
    ProcessDue();
    if (Context* c = Pick()) {
      Resume(c);
      if (c->state == RunState::Finished) DropFinished(c);
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
  for (const auto& [id, up] : contexts) {
    const Context* c = up.get();
    if (c->state == RunState::Finished) continue;
    if (c->kind == ContextKind::Dpc && c->state == RunState::Idle) continue;
    char line[256];
    std::snprintf(line, sizeof line, "  %-16s %-11s IRQL %u, processor %u", c->name.c_str(),
                  StateName(c->state), static_cast<unsigned>(c->irql), c->processor);
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
  if (current) {
    SetContextIrql(current, irql);
  } else if (!inDeviceEvent) {
    mainIrql = irql;
    OnIrqlChanged();
  }
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
  info.driver = CurrentDriver();
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
  if ((!freedPool.empty() || !releasedMemory.empty()) && InFreedMemory(p, size)) {
    owner.BugCheck(bugcheck::kPageFaultInFreedSpecialPool, reinterpret_cast<ULONG_PTR>(p),
                   write ? 1 : 0, 0, 0);
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
