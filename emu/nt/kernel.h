// The emulated machine's kernel core: deterministic scheduler over a virtual clock, execution
// contexts, IRQL, device events, the verifier's bug check, low-resources simulation, pool
// bookkeeping and the trace. The WDM routines of emu/wdk are implemented on top of this class.
#pragma once

#include <wdk_types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// Virtual time in 100-ns units since the machine started (the unit of KeQueryInterruptTime).
using VirtualTime = int64_t;
constexpr VirtualTime kMillisecond = 10000;
constexpr VirtualTime kSecond = 10000000;
constexpr VirtualTime kForever = INT64_MAX;

enum class ProcessorModel { Uniprocessor, Multiprocessor };

// How the scheduler chooses at switch points where another context could run (choice points).
//   Random: every context has a random priority, and at each choice point the running context
//           draws a new one with a fixed probability.
//   Pct:    probabilistic concurrency testing: random distinct priorities at creation, and
//           pctDepth - 1 priority-change points chosen at random over the expected run length
//           (pctSteps choice points), each of which drops the running context below every other.
enum class SchedulerKind { Random, Pct };

// Seeded failure injection ("low resources simulation"). Percentages are per call, drawn from a
// generator of their own seeded from KernelConfig::seed, so that the same seed fails the same calls.
struct LowResources {
  uint32_t poolFailPercent = 0;    // ExAllocatePool*
  uint32_t irpFailPercent = 0;     // IoAllocateIrp, IoBuildDeviceIoControlRequest
  uint32_t threadFailPercent = 0;  // PsCreateSystemThread
  // Systematic simulation: the allocation made the failReach-th time (from 1) that driver code
  // reaches the call site failSite fails (see Kernel::AllocationSites and low_resources.h).
  const void* failSite = nullptr;
  uint32_t failReach = 0;
};

// A call site in driver code that allocates (ExAllocatePoolWithTag, IoAllocateIrp,
// IoBuildDeviceIoControlRequest, IoBuildSynchronousFsdRequest, PsCreateSystemThread): the return
// address of the call, what it allocates ("pool", "irp", "thread") and how often it was reached.
struct AllocationSite {
  const void* address;
  const char* kind;
  uint32_t reaches;
};

struct KernelConfig {
  uint64_t seed = 1;
  ProcessorModel processors = ProcessorModel::Uniprocessor;
  unsigned processorCount = 2;  // processors of the multiprocessor model (1 to 32)
  SchedulerKind scheduler = SchedulerKind::Random;
  unsigned pctDepth = 3;      // PCT's bug depth d (d - 1 change points)
  uint64_t pctSteps = 1000;   // PCT's expected run length k, in choice points
  bool realTime = false;  // virtual time follows the wall clock (interactive use)
  LowResources lowResources;
  // Paged pool blocks get pages of their own that are inaccessible while the running context is
  // at DISPATCH_LEVEL or above, so that touching paged pool there faults and bug-checks
  // IRQL_NOT_LESS_OR_EQUAL as a page fault at raised IRQL does on Windows. Costs an mprotect per
  // paged block at every crossing of DISPATCH_LEVEL, so it is opt-in.
  bool pagedPoolFaultsAtDispatch = false;
};

// Thrown out of Kernel::Run (or out of the calling code when raised outside any context) when a
// rule of the verifier is broken. The machine cannot run any further afterwards.
struct BugCheckError : std::runtime_error {
  BugCheckError(ULONG code, const ULONG_PTR (&params)[4], std::string context, std::string report);
  ULONG code;
  ULONG_PTR params[4];
  std::string context;  // name of the context that broke the rule
  std::string report;   // the code, parameters, context and trace tail, for a person
};

struct TraceEvent {
  VirtualTime time;
  std::string context;   // context that produced the event ("hw" for device events)
  std::string category;  // "irp", "urb", "dpc", "timer", "thread", "wait", "pnp", ...
  std::string text;
};

// Bug check codes raised by the verifier (Windows values).
namespace bugcheck {
constexpr ULONG kIrqlNotLessOrEqual = 0x0A;
constexpr ULONG kSpinLockAlreadyOwned = 0x0F;
constexpr ULONG kSpinLockNotOwned = 0x10;
constexpr ULONG kMultipleIrpCompleteRequests = 0x44;
constexpr ULONG kCancelStateInCompletedIrp = 0x48;
constexpr ULONG kAttemptedSwitchFromDpc = 0xB8;
constexpr ULONG kBadPoolCaller = 0xC2;
constexpr ULONG kDriverVerifierDetectedViolation = 0xC4;
constexpr ULONG kDriverVerifierIoManagerViolation = 0xC9;
constexpr ULONG kDriverUnloadedWithoutCancellingPendingOperations = 0xCE;
constexpr ULONG kDriverPageFaultInFreedSpecialPool = 0xCC;
constexpr ULONG kSystemThreadExceptionNotHandled = 0x7E;
constexpr ULONG kMaximumWaitObjectsExceeded = 0x0C;
constexpr ULONG kThreadNotMutexOwner = 0x11;
constexpr ULONG kKernelApcPendingDuringExit = 0x20;
constexpr ULONG kPageFaultInFreedSpecialPool = 0xCC;
constexpr ULONG kIrqlUnexpectedValue = 0xC8;
constexpr ULONG kTimerOrDpcInvalid = 0xC7;
constexpr ULONG kWorkerThreadReturnedAtBadIrql = 0xE1;
constexpr ULONG kWorkerInvalid = 0xE4;
constexpr ULONG kPageFaultInNonpagedArea = 0x50;
constexpr ULONG kUnexpectedKernelModeTrap = 0x7F;
constexpr ULONG kSpecialPoolDetectedMemoryCorruption = 0xC1;
}  // namespace bugcheck

class Kernel {
 public:
  using ContextId = uint32_t;
  using EventId = uint64_t;

  explicit Kernel(KernelConfig config = {});
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The kernel that the WDM routines act on (one machine at a time per process).
  static Kernel& Current();
  static Kernel* CurrentOrNull();
  const KernelConfig& Config() const;

  // --- Contexts ---------------------------------------------------------------------------
  // An application thread: PASSIVE_LEVEL, may call the Win32 layer and wait.
  ContextId StartApplicationThread(std::string name, std::function<void()> body);
  // A system thread (PsCreateSystemThread, and the system worker that delivers PnP and power
  // requests and runs DriverEntry/AddDevice/DriverUnload).
  ContextId StartSystemThread(std::string name, std::function<void()> body);
  bool ContextFinished(ContextId id) const;

  // --- Running ----------------------------------------------------------------------------
  // Runs contexts, DPCs, timers and device events until nothing is runnable and nothing is due
  // (every remaining context waits without a time-out). Rethrows a bug check.
  void Run();
  // Runs until done() is true (checked at every scheduling step) or virtual time reaches limit
  // (kernel calls cost time, so a busy machine stops at the first call that reaches it).
  // Returns done().
  bool RunUntil(const std::function<bool()>& done, VirtualTime limit = kForever);
  // Runs for the given virtual duration.
  void RunFor(VirtualTime duration);
  // Starts a system thread running body and runs the machine until that thread has ended.
  void RunInSystemThread(std::string name, std::function<void()> body);
  VirtualTime Now() const;

  // --- Device models -----------------------------------------------------------------------
  // Hardware events: fn runs at virtual time `due` on the scheduler itself, outside every
  // context, at an IRQL above DISPATCH_LEVEL. It may insert DPCs, signal dispatcher objects and
  // schedule further events; it must not wait.
  EventId ScheduleDeviceEvent(VirtualTime due, std::function<void()> fn);
  bool CancelDeviceEvent(EventId id);
  // Thread-safe: queues fn to run as a device event at the machine's current time (for input
  // from outside the machine, such as a pty, in real-time mode). In real-time mode RunUntil with
  // a done() condition waits for posted work while nothing else is due.
  void PostFromAnyThread(std::function<void()> fn);

  // --- Scheduling points and the current context -------------------------------------------
  // A switch point: the scheduler may run another context before returning.
  void SwitchPoint();
  bool InContext() const;  // false on the test's own (main) stack and in device events
  std::string CurrentContextName() const;
  KIRQL CurrentIrql() const;
  // One line per unfinished context: its state, IRQL and what it waits for.
  std::string DescribeContexts() const;
  uint64_t ContextSwitches() const;
  // Switch points at which another context could have run (the steps PCT counts): a run's
  // length, from which a later run of the same scenario can take its pctSteps.
  uint64_t ChoicePoints() const;
  unsigned ProcessorCount() const;
  // The stack a context may use: more, measured when its thread ends (or when the machine stops
  // with the context unfinished), bug-checks as a kernel stack overflow (0x7F, 8).
  static size_t StackBudget();

  // --- Verifier ------------------------------------------------------------------------------
  [[noreturn]] void BugCheck(ULONG code, ULONG_PTR p1 = 0, ULONG_PTR p2 = 0, ULONG_PTR p3 = 0,
                             ULONG_PTR p4 = 0);

  // --- Low-resources simulation ---------------------------------------------------------------
  bool ShouldFailPoolAllocation();
  bool ShouldFailIrpAllocation();
  bool ShouldFailThreadCreation();
  // Targeted failures: the next n calls of the kind fail (after `skip` successful ones).
  void FailPoolAllocations(uint32_t n, uint32_t skip = 0);
  void FailIrpAllocations(uint32_t n, uint32_t skip = 0);
  void FailThreadCreations(uint32_t n, uint32_t skip = 0);
  // The call site of the IRP allocation an Io* routine is about to make (its return address),
  // for the next ShouldFailIrpAllocation.
  void NoteIrpAllocationSite(const void* site);
  // The allocation sites driver code reached so far, in the order first reached.
  const std::vector<AllocationSite>& AllocationSites() const;

  // --- Pool bookkeeping ------------------------------------------------------------------------
  struct PoolBlock {
    const void* address;
    size_t size;
    ULONG tag;
    POOL_TYPE type;
  };
  std::vector<PoolBlock> LivePoolBlocks() const;
  // Bug checks (0xC4, 0x62, ...) when pool is still allocated; called by the I/O manager when a
  // driver unloads.
  void VerifyNoPoolAtUnload(const char* driverName);

  // --- Trace -------------------------------------------------------------------------------------
  void Trace(std::string_view category, std::string text);
  const std::vector<TraceEvent>& TraceEvents() const;
  std::string FormatTrace(size_t lastN = SIZE_MAX) const;
  // Tracing can be switched off (benchmarks); TraceEnabled() lets callers skip formatting.
  void SetTraceEnabled(bool enabled);
  bool TraceEnabled() const;
  // Keeps at most about this many recent events (older ones are dropped in bulk).
  void SetTraceCapacity(size_t events);

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// The entry of a kernel routine a driver calls: the call's virtual cost (kCallCost, 100 ns) and a
// switch point. Does nothing outside the machine's contexts (main stack, device events).
void KernelCall();

}  // namespace emu
