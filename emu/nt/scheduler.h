// Internals of the emulated kernel core: execution contexts on Boost.Context fibers, the seeded
// scheduler over N processors, the due queue of the virtual clock and its clock ticks,
// dispatcher-object waits, per-processor DPC queues, pool bookkeeping and the trace. Only emu/nt
// includes this header.
#pragma once

#include <wdk_types.h>
#include <wdk_ke.h>

#include "nt/happens_before.h"
#include "nt/kernel.h"
#include "nt/lock_order.h"

#include <boost/context/fiber.hpp>

#include <algorithm>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csetjmp>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace emu {
struct Context;
}

// The kernel's thread object. The dispatcher header comes first so that a thread can be waited
// on; it is signalled when the thread has ended.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  emu::Context* context;
  KPRIORITY Priority;
  KWAIT_BLOCK WaitBlock[THREAD_WAIT_OBJECTS + 1];
};

typedef struct _KTHREAD KTHREAD;

struct _ETHREAD {
  KTHREAD Tcb;
  CLIENT_ID Cid;
  NTSTATUS ExitStatus;
  LONG References;  // handles and object references (bookkeeping only)
  bool system;      // created as a system thread
};

namespace emu {

enum class ContextKind : uint8_t { Application, System, Dpc };

enum class RunState : uint8_t {
  Ready,        // runnable
  Running,      // the context on the processor now
  Waiting,      // in KeWaitFor*/KeDelayExecutionThread, woken by a signal or its time-out
  Spinning,     // acquiring a spin lock held by another context: runnable once it is free
  Blocked,      // waiting for an internal condition (for example KeFlushQueuedDpcs)
  Interrupted,  // below DISPATCH_LEVEL while its processor's DPC queue drains
  Idle,         // a DPC processor with nothing to do
  Finished,
};

// Orders entries of the due queue: by time, then by a seeded draw (entries due at the same time
// fire in an order chosen by the seed), then by insertion.
struct DueKey {
  VirtualTime time;
  uint64_t order;
  uint64_t seq;
  bool operator<(const DueKey& o) const {
    if (time != o.time) return time < o.time;
    return order != o.order ? order < o.order : seq < o.seq;
  }
};

enum class DueKind : uint8_t { Timer, WaitTimeout };

struct DueItem {
  explicit DueItem(DueKind k) : kind(k) {}
  DueKind kind;
  VirtualTime exact = 0;  // the due time before rounding to a clock tick
  KTIMER* timer = nullptr;
  Context* context = nullptr;
};

// A device event in the device event heap: its key in the due order and the slot holding its
// callback.
struct DeviceEventEntry {
  DueKey key;
  uint32_t slot;
};

struct DeviceEventSlot {
  std::function<void()> fn;
  Kernel::EventId id = 0;  // 0 while free
  bool cancelled = false;  // its heap entry is still in the heap, to be dropped
};

struct Context {
  Kernel::ContextId id = 0;
  std::string name;
  ContextKind kind = ContextKind::System;
  RunState state = RunState::Ready;
  KIRQL irql = PASSIVE_LEVEL;
  uint64_t priority = 0;  // scheduling priority: the highest runnable context runs
  std::function<void()> body;
  boost::context::fiber fiber;
  bool started = false;
  _ETHREAD* thread = nullptr;
  // The processor it runs on (or last ran on; a context at DISPATCH_LEVEL or above keeps it).
  unsigned processor = 0;
  // Position in the scheduler's list for its state (ready, waiting, spinning or blocked).
  size_t listIndex = 0;
  // Choice points passed since it was last resumed (for the quantum).
  uint32_t runLength = 0;

  // Wait in progress.
  KWAIT_BLOCK* waitBlocks = nullptr;
  ULONG waitCount = 0;
  WAIT_TYPE waitType = WaitAny;
  NTSTATUS waitStatus = STATUS_SUCCESS;
  bool waitTimeoutArmed = false;
  DueKey waitTimeoutKey{};
  const char* waitWhat = "";  // for DescribeContexts

  // KeSetEvent/KeReleaseSemaphore/KeReleaseMutex with Wait = TRUE: the next call must be a wait,
  // which returns to waitNextIrql.
  bool waitNext = false;
  KIRQL waitNextIrql = PASSIVE_LEVEL;

  KSPIN_LOCK* spinningOn = nullptr;
  std::function<bool()> blockedUntil;

  // Locks held, for the checks at waits and at thread exit.
  std::vector<KSPIN_LOCK*> spinLocks;
  std::vector<const void*> mutexes;  // fast mutexes and kernel mutexes
  int apcDisable = 0;                // kernel mutexes held (KeEnterCriticalRegion count)

  // DPC processor: the DPC being run.
  KDPC* runningDpc = nullptr;

  // The driver whose code runs in this context now: threads, DPCs, timers and IRPs created
  // meanwhile are attributed to it. A thread of PsCreateSystemThread also keeps its creator and
  // start routine for the checks when that driver unloads.
  const void* driver = nullptr;
  const void* creator = nullptr;
  const void* startRoutine = nullptr;

  // The fiber's stack, [stackLow, stackHigh); its lowest page is the guard page.
  uintptr_t stackLow = 0;
  uintptr_t stackHigh = 0;
  bool ranSinceStackCheck = false;

  // Where a fault (SIGSEGV, SIGBUS) in this context's fiber resumes: the top of FiberMain.
  sigjmp_buf faultRecovery;
  bool faultRecoveryArmed = false;
  struct Fault {
    uintptr_t address = 0;
    bool write = false;
    uintptr_t pc = 0;  // the faulting instruction
  } fault;

  hb::FiberState race;  // ThreadSanitizer's fiber (TSan builds)
};

// A processor of the machine. A context at DISPATCH_LEVEL or above holds its processor until it
// lowers the IRQL: nothing else runs there meanwhile, not even the processor's DPCs. A context
// below DISPATCH_LEVEL runs on any processor that nothing holds and that has no DPC pending.
struct Processor {
  unsigned number = 0;
  Context* holder = nullptr;       // the context at DISPATCH_LEVEL or above on it
  Context* interrupted = nullptr;  // the context below DISPATCH_LEVEL its DPCs interrupted
  Context* dpcContext = nullptr;   // runs the queued DPCs
  std::deque<KDPC*> dpcs;
};

// Thrown by PsTerminateSystemThread and caught at the top of the thread's fiber.
struct ThreadExit {
  NTSTATUS status;
};

struct ObjectInfo {
  uint8_t kind;  // KOBJECTS value, DpcObject for DPCs
  uint32_t id;   // stable number for the trace
  const void* driver;  // the driver whose code initialised it (nullptr: none)
};

struct PoolInfo {
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  uint64_t serial;
  size_t mapped = 0;  // a block on pages of its own: the bytes mapped (0: a heap block)
};

// A small, fast generator for the scheduler's choices (xoshiro256**, seeded by splitmix64).
class SchedulerRng {
 public:
  explicit SchedulerRng(uint64_t seed = 1) { this->seed(seed); }
  void seed(uint64_t seed) {
    for (uint64_t& w : s_) {
      seed += 0x9E3779B97F4A7C15ULL;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
      w = z ^ (z >> 31);
    }
  }
  uint64_t operator()() {
    uint64_t result = Rotl(s_[1] * 5, 7) * 9;
    uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = Rotl(s_[3], 45);
    return result;
  }

 private:
  static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t s_[4];
};

// Virtual time a kernel routine costs its caller: 100 ns, the order of a system service on the
// machines the driver targets. Enough for a loop polling KeQueryInterruptTime to see time pass.
constexpr VirtualTime kCallCost = 1;
// Clock interrupt periods: 15.625 ms by default (what KeQueryTimeIncrement reports), and
// ExSetTimerResolution can shorten it in whole milliseconds down to 1 ms.
constexpr ULONG kMaximumClockIncrement = 156250;
constexpr ULONG kMinimumClockIncrement = 10000;
// Released thread objects kept before their memory is returned (a dereference too many then
// still finds the thread object, not reused memory).
constexpr size_t kReleasedThreadsKept = 256;
// Spare nodes of the due queue kept for reuse.
constexpr size_t kSpareNodes = 64;
// A device event's id holds its slot in the low bits.
constexpr unsigned kDeviceSlotBits = 24;
// Choice points a context may pass without blocking before it gets a new priority (its quantum
// ends), so that a thread polling for another cannot keep it off the processors for ever.
constexpr uint32_t kQuantumChoicePoints = 4096;
// The most processors of the multiprocessor model (the bits of an x86 KAFFINITY).
constexpr unsigned kMaxProcessors = 32;

struct Kernel::Impl {
  explicit Impl(Kernel& owner, KernelConfig config);
  ~Impl();

  Kernel& owner;
  KernelConfig config;

  // --- Contexts and scheduling ------------------------------------------------------------
  // Unfinished contexts by id; a context is dropped as soon as it has finished.
  ContextTable contexts;
  std::unordered_set<ULONG_PTR> contextTokens;  // addresses of the contexts above (spin lock owners)
  Kernel::ContextId nextContextId = 1;
  // Thread objects outlive their context while referenced (handles, ObReferenceObject*).
  std::unique_ptr<_ETHREAD> mainThread;  // pseudo thread of the main stack and device events
  std::unordered_map<_ETHREAD*, std::unique_ptr<_ETHREAD>> threadObjects;
  std::deque<std::unique_ptr<_ETHREAD>> releasedThreads;  // recently released, not yet reused
  // Contexts by state, for choices that never scan every context.
  std::vector<Context*> ready, waiting, spinning, blocked;
  size_t readyAtDispatch = 0;  // contexts in `ready` at DISPATCH_LEVEL or above
  std::vector<Processor> processors;
  uint32_t freeMask = 0;  // processors a context below DISPATCH_LEVEL may run on
  uint32_t dpcMask = 0;   // processors whose idle DPC context may start on queued DPCs
  unsigned nextIdealProcessor = 0;
  Context* current = nullptr;   // context on the processor, nullptr on the scheduler/main stack
  bool inScheduler = false;     // Run/RunUntil active on the caller's stack
  bool inDeviceEvent = false;   // a device event runs on the scheduler stack
  bool tearingDown = false;
  const char* outsideName = nullptr;  // context name for work on the scheduler stack ("clock")
  const void* outsideDriver = nullptr;  // driver whose code runs on the caller's own stack
  KIRQL mainIrql = PASSIVE_LEVEL;
  boost::context::fiber schedulerFiber;
  hb::MachineState race;  // ThreadSanitizer\'s view of the scheduler (TSan builds)
  SchedulerRng rng;       // choices at switch points
  SchedulerRng eventRng;  // order of simultaneous due entries, processors of device DPCs
  uint64_t switches = 0;
  uint64_t choicePoints = 0;  // switch points at which another context could have run
  // PCT: the choice points at which the running context's priority drops, in order, and the
  // priority it drops to next (below every priority given at creation).
  std::vector<uint64_t> changePoints;
  size_t nextChange = 0;
  uint64_t changedPriority = 0;
  uint32_t nextThreadNumber = 1;

  // --- Virtual clock and due queue ----------------------------------------------------------
  VirtualTime now = 0;
  VirtualTime runLimit = kForever;  // limit of the Run*/RunUntil in progress
  bool limitReached = false;        // a context's own time reached runLimit
  ULONG clockIncrement = kMaximumClockIncrement;  // the clock interrupt period now
  uint32_t resolutionRequests = 0;                 // ExSetTimerResolution(.., TRUE) in force
  uint64_t dueSeq = 0;
  // Timers and wait time-outs. Nodes taken out when their entry ran are reused.
  std::map<DueKey, DueItem> due;
  std::vector<std::map<DueKey, DueItem>::node_type> spareDueNodes;
  // Device events (one or more per line character): a binary heap in the same order as the due
  // queue, over slots that hold the callbacks and are reused, so that scheduling one allocates
  // nothing. A cancelled event's entry stays in the heap until it reaches the top (the top is
  // never a cancelled one) or until they are many.
  std::vector<DeviceEventEntry> deviceHeap;
  std::vector<DeviceEventSlot> deviceSlots;
  std::vector<uint32_t> freeDeviceSlots;
  size_t cancelledDeviceEvents = 0;
  std::map<const KTIMER*, DueKey> insertedTimers;  // ordered by address for range queries
  int64_t systemTimeBase = 0;                      // KeQuerySystemTime at virtual time 0
  std::chrono::steady_clock::time_point wallAnchor;
  VirtualTime virtualAnchor = 0;
  bool wallAnchored = false;

  // Work posted from other OS threads (real-time use).
  std::mutex postMutex;
  std::condition_variable postCv;
  std::vector<std::function<void()>> posted;
  bool postedPending = false;  // guarded by postMutex; mirrored in postedFlag
  std::atomic<bool> postedFlag{false};

  // --- Objects ---------------------------------------------------------------------------------
  std::unordered_map<const void*, ObjectInfo> objects;
  uint32_t nextObjectId = 1;
  // Direct-mapped cache in front of `objects` (its nodes do not move on rehash).
  struct ObjectCacheEntry {
    const void* key = nullptr;
    ObjectInfo* info = nullptr;
  };
  static constexpr size_t kObjectCacheSize = 256;
  ObjectCacheEntry objectCache[kObjectCacheSize];
  static size_t CacheSlot(const void* p) {
    return (reinterpret_cast<uintptr_t>(p) >> 3) & (kObjectCacheSize - 1);
  }
  void ForgetObject(const void* p);

  // --- Verifier ---------------------------------------------------------------------------------
  bool dead = false;
  std::exception_ptr pendingFailure;  // bug check (or other exception) raised inside a fiber
  std::unique_ptr<BugCheckError> bugCheck;
  LockOrder lockOrder;                  // deadlock detection (lock_order.cpp)
  std::vector<const void*> locksHeld;  // CheckLockOrder's list, kept for its memory
  // Before a blocking acquisition of `lock` by the current context: bug checks (0xC4, 0x1001)
  // when a lock it holds was earlier taken after `lock`.
  void CheckLockOrder(const void* lock);

  // --- Pool -------------------------------------------------------------------------------------
  std::map<uintptr_t, PoolInfo> livePool;
  std::map<uintptr_t, PoolInfo> freedPool;  // quarantine: poisoned, still mapped
  std::deque<uintptr_t> quarantineOrder;
  size_t quarantineBytes = 0;
  uint64_t poolSerial = 0;
  // Memory of kernel objects given back outside the pool (deleted device objects): start, size.
  std::map<uintptr_t, size_t> releasedMemory;
  // Ranges last found clear of freed memory, by address; an entry holds while freedGeneration,
  // which every addition to freedPool or releasedMemory advances, is unchanged.
  struct ClearRange {
    uintptr_t start = 0;
    size_t size = 0;
    uint64_t generation = 0;
  };
  static constexpr size_t kClearCacheSize = 64;
  static size_t ClearSlot(uintptr_t a) { return (a >> 2) & (kClearCacheSize - 1); }
  mutable ClearRange clearCache[kClearCacheSize];
  uint64_t freedGeneration = 1;

  // Live paged blocks on pages of their own (KernelConfig::pagedPoolFaultsAtDispatch), by start
  // of mapping, and whether they are inaccessible now.
  std::map<uintptr_t, size_t> pagedMappings;
  bool pagedMappingsProtected = false;

  // --- Stacks and faults ----------------------------------------------------------------------
  pthread_t machineThread;  // the OS thread that runs the machine's fibers
  // Stacks of ended contexts, kept inaccessible for a while so that a late touch faults instead
  // of landing in a newer context's stack: [low, high) in the order they ended.
  std::deque<std::pair<uintptr_t, uintptr_t>> deadStacks;

  // --- Low resources ------------------------------------------------------------------------------
  struct Failures {
    uint32_t percent = 0;
    uint32_t skip = 0;
    uint32_t fail = 0;
    SchedulerRng rng;
    bool Next();
  };
  Failures poolFailures, irpFailures, threadFailures;
  // Systematic simulation (low_resources.cpp): allocation sites of driver code in the order
  // first reached, and the site of the IRP allocation an Io* routine is about to make.
  std::vector<AllocationSite> allocationSites;
  std::unordered_map<const void*, size_t> allocationSiteIndex;
  const void* irpAllocationSite = nullptr;
  // Whether the allocation of `kind` at `site` fails: the systematic simulation's chosen reach
  // of its site, else the seeded or targeted failures.
  bool ShouldFail(Failures& failures, const char* kind, const void* site);

  // --- Handles ------------------------------------------------------------------------------------
  struct HandleEntry {
    PVOID object;
    void (*onClose)(PVOID);
  };
  std::unordered_map<uintptr_t, HandleEntry> handles;
  uintptr_t nextHandle = 0;

  // --- Trace --------------------------------------------------------------------------------------
  std::vector<TraceEvent> trace;
  bool traceEnabled = true;
  size_t traceCapacity = 1u << 17;

  // ================================================================================================
  // Scheduling (scheduler.cpp)
  Context* NewContext(std::string name, ContextKind kind, std::function<void()> body);
  _ETHREAD* NewThreadObject(Context* c, bool system);
  // Drops a thread object once its context has finished and nothing references it.
  void ReleaseThreadObject(_ETHREAD* t);
  void DropFinished(Context* c);
  Context* FindContext(Kernel::ContextId id) const;
  void SetState(Context* c, RunState s);
  Context* Best(bool freeProcessor) const;  // highest-priority context that may run now
  Context* Pick() const { return Best(freeMask != 0); }
  void Resume(Context* c);
  void PlaceOnProcessor(Context* c);
  boost::context::fiber FiberMain(Context* c, boost::context::fiber&& sched);
  void RunContext(Context* c);  // the context's work, with failures kept for Run to rethrow
  void RunDpcProcessor(Context* c);
  void ThreadEndChecks(Context* c);
  void YieldToScheduler();
  // A kernel routine's entry: its virtual cost, then a switch point.
  void Call() {
    if (!current) return;
    VirtualTime horizon = std::min(NextDue(), runLimit);
    if (now < horizon) now = std::min(now + kCallCost, horizon);
    SwitchPoint();
  }
  void SwitchPoint();
  bool ChoosePreemption(Context* c, Context* other);
  void Preempt(Context* c);  // back to the ready list, and to the scheduler
  bool Schedule(const std::function<bool()>* done, VirtualTime limit);
  void ProcessDue();
  void AdvanceTo(VirtualTime t);
  VirtualTime NextDue() const {
    const VirtualTime timed = due.empty() ? kForever : due.begin()->first.time;
    return deviceHeap.empty() ? timed : std::min(timed, deviceHeap.front().key.time);
  }
  void RunPosted();
  void RethrowPending();
  std::string DescribeContexts() const;

  // Processors: IRQL changes across DISPATCH_LEVEL take or give up the processor.
  unsigned ProcessorCount() const { return static_cast<unsigned>(processors.size()); }
  void SetContextIrql(Context* c, KIRQL irql);
  void UpdateProcessor(Processor& p);
  bool DpcsIdle() const;  // no DPC queued or running on any processor

  // Due queue and clock ticks.
  DueKey InsertDue(VirtualTime t, DueItem item);
  DueKey NextDueKey(VirtualTime t) { return DueKey{t, eventRng(), ++dueSeq}; }
  // Device events (ScheduleDeviceEvent, CancelDeviceEvent).
  EventId InsertDeviceEvent(VirtualTime t, std::function<void()>&& fn);
  bool CancelDeviceEvent(EventId id);
  void RunNextDeviceEvent();
  // Runs `body` as the hardware does: outside every context, at device IRQL, invisible to the
  // race detector.
  void AsHardware(const std::function<void()>& body);
  void DropCancelledDeviceEvents();  // from the top, or all of them when they are many
  // The clock tick at or after `exact` at which a timer or time-out due then expires.
  VirtualTime TickAtOrAfter(VirtualTime exact) const;
  DueKey InsertTimed(VirtualTime exact, DueItem item);  // rounded to the clock tick
  ULONG SetTimerResolution(ULONG desired, bool set);    // ExSetTimerResolution

  // Waits (ke_dispatcher.cpp).
  NTSTATUS Wait(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                PKWAIT_BLOCK blocks, const char* what, bool delay);
  bool IsSignalledFor(DISPATCHER_HEADER* h, Context* c) const;
  void Satisfy(DISPATCHER_HEADER* h, Context* c);
  void SignalObject(DISPATCHER_HEADER* h);  // wakes what the new signal state allows
  void Unwait(Context* c, NTSTATUS status);
  VirtualTime DueFromTimeout(LONGLONG q) const;

  // Timers and DPCs (ke_timer_dpc.cpp).
  void ExpireTimer(KTIMER* t);
  bool QueueDpc(KDPC* dpc, PVOID a1, PVOID a2, unsigned processor);
  unsigned DeviceProcessor();  // processor that takes a DPC queued outside every context
  bool DpcQueued(const KDPC* dpc) const;

  // Objects.
  ObjectInfo& Register(const void* p, uint8_t kind);
  const ObjectInfo* Lookup(const void* p);
  const ObjectInfo* LookupConst(const void* p) const;
  // Bug checks when `p` lies in freed pool (0xCC) or was never initialised (0xC4/0x1002).
  void CheckObject(const void* p, size_t size, bool write);
  // Bug checks (0xCC) when [p, p + size) touches freed pool; no initialisation check. Inline
  // for the ranges found clear before: an interlocked operation per byte checks its counter.
  void CheckObjectMemory(const void* p, size_t size, bool write) {
    if (!KnownClear(reinterpret_cast<uintptr_t>(p), size)) CheckObjectMemoryAgain(p, size, write);
  }
  void CheckObjectMemoryAgain(const void* p, size_t size, bool write);
  // True when [p, p + size) touches freed pool or released object memory (verifier.cpp).
  bool InFreedMemory(const void* p, size_t size) const;
  // True when [a, a + size) was found clear of freed memory and nothing was freed since.
  bool KnownClear(uintptr_t a, size_t size) const {
    const ClearRange& clear = clearCache[ClearSlot(a)];
    return clear.generation == freedGeneration && clear.start == a && clear.size >= size;
  }
  // The driver whose code runs now (see verifier::DriverScope).
  const void* CurrentDriver() const { return current ? current->driver : outsideDriver; }
  std::string ObjectName(const void* p) const;

  // Current context helpers.
  KIRQL Irql() const;
  void SetIrql(KIRQL irql);
  std::string ContextName() const;
  [[noreturn]] void RequireContext(const char* routine) const;  // throws logic_error

  // Pool (ex_pool.cpp).
  void ReleasePoolBlock(uintptr_t start, const PoolInfo& info);
  // Bug checks SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION (0xC1) when the bytes after a live
  // block are no longer what the allocation left there.
  void CheckPoolCanary(uintptr_t start, const PoolInfo& info);
  void CheckPoolCanaries();
  // Paged pool on pages of its own (paged_pool_pages.cpp): mapping, protection at raised IRQL.
  void* MapPagedBlock(size_t bytes, size_t* mapped);
  void UnmapPagedBlock(uintptr_t start, size_t mapped);
  void QuarantinePagedBlock(uintptr_t start, size_t mapped);
  // Called wherever the running IRQL may have changed (an IRQL change, a context switch, entering
  // or leaving a device event): paged pool becomes inaccessible at DISPATCH_LEVEL and above.
  void OnIrqlChanged() {
    if (config.pagedPoolFaultsAtDispatch) SyncPagedPoolAccess();
  }
  void SyncPagedPoolAccess();
  const PoolInfo* FindLive(const void* p, uintptr_t* start) const;
  const PoolInfo* FindFreed(const void* p, uintptr_t* start) const;
  void ForgetObjectsIn(uintptr_t start, size_t size);
  // Bug checks TIMER_OR_DPC_INVALID (0xC7) when an inserted timer or a queued DPC lies in
  // [low, high), memory that is about to disappear.
  void CheckNoTimerOrDpcIn(uintptr_t low, uintptr_t high);

  // Kernel stacks (kernel_stack.cpp): pattern fill, high-water mark, budget, dead stacks.
  boost::context::stack_context AllocateStack(Context* c);
  void DeallocateStack(boost::context::stack_context& sc);
  size_t StackUse(const Context* c) const;
  // Bug checks a kernel stack overflow (0x7F, 8) when c has used more than the budget.
  void CheckStackBudget(Context* c);
  // The same for every unfinished context that has run since the last check (end of Run*).
  void CheckStackBudgets();
  void ReleaseDeadStacks();

  // Faults (fault_handler.cpp).
  static void InstallFaultHandler();  // once per process (and an alternate stack per thread)
  // Raises the bug check a fault in the running context becomes, by what the address was.
  [[noreturn]] void RaiseFault(const Context::Fault& fault);

  // Time.
  int64_t SystemTime() const { return systemTimeBase + now; }

  // Trace (trace.cpp).
  void TraceF(const char* category, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
};

// The kernel the WDM routines act on.
Kernel::Impl& K();
Kernel::Impl* KOrNull();

// Registry kind of fast mutexes (not a dispatcher object type).
constexpr uint8_t kFastMutexKind = 0xF0;
// Interrupt level at which device events run.
constexpr KIRQL kDeviceIrql = 12;
// Quarantine of freed pool blocks (kept poisoned to catch use after free).
constexpr size_t kQuarantineBytes = 64u << 20;
constexpr size_t kQuarantineBlocks = 1u << 15;
constexpr size_t kFiberStackBytes = 256u << 10;  // including the guard page
// Poison patterns: freshly allocated pool (its contents are undefined) and freed pool.
constexpr uint8_t kAllocFill = 0xC5;
constexpr uint8_t kFreeFill = 0xF5;

}  // namespace emu
