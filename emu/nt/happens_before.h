// ThreadSanitizer's view of the emulated machine (TARNWIRE_TSAN builds).
//
// In those builds the driver and the tests' driver snippets are instrumented and the emulator is
// not: it is single-threaded by construction, and its own memory traffic is invisible to the
// race detector. Every context runs on a ThreadSanitizer fiber of its own, and switching
// between them implies no ordering, so the detector sees the contexts as the processors of a
// multiprocessor would run them. What orders them is exactly what Windows guarantees on a
// multiprocessor, announced by the kernel's synchronisation routines below:
//   - a spin lock, fast mutex or kernel mutex: its release before its next acquisition;
//   - a signal (KeSetEvent, KeReleaseSemaphore, KeReleaseMutex, KeSetTimer(Ex) for the expiry,
//     a thread's end) before the wait it satisfies;
//   - KeInsertQueueDpc and KeSetTimer(Ex) with a DPC before the DPC routine, and every DPC
//     routine that has run before KeFlushQueuedDpcs returns;
//   - IoCallDriver before IoCompleteRequest of that IRP (dispatch and completion routines run
//     in the caller's and in the completer's own context; the waiter of a threaded IRP is
//     ordered by its event, which the I/O manager sets after filling the status block);
//   - thread creation before the thread's start (implied by creating its fiber);
//   - an interlocked operation: a full barrier on its target.
// Raising the IRQL orders nothing: on a multiprocessor it does not exclude another processor.
//
// The test stopping the machine is a synchronisation too: when Kernel::Run* returns, the test
// sees everything the contexts did, and what the test does before the next Run* happens before
// the contexts continue. Device events are the hardware: like the emulator, their memory
// accesses are invisible (the signals and DPCs they raise still order), and so are the reads of
// a test peeking at the running machine through RunUntil's predicate.
//
// Every report of ThreadSanitizer is followed by the machine's configuration, which reproduces
// the run: "Emulated machine: seed N, model UP|MP (...)" (printed from the runtime's report hook).
//
// In other builds every call compiles to nothing.
#pragma once

#include <wdk_ke.h>
#include <wdk_types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#if TARNWIRE_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace emu {
struct Context;
// The unfinished contexts of a machine by id.
using ContextTable = std::map<uint32_t, std::unique_ptr<Context>>;
}

namespace emu::hb {

// Per context: its fiber and the last run of the machine in which it was resumed.
struct FiberState {
  void* fiber = nullptr;
  uint64_t run = 0;
};

// Per machine: the fiber of the scheduler's stack while a context runs, the current run of the
// machine, and the synchronisation objects between the test and the contexts.
struct MachineState {
  void* scheduler = nullptr;
  uint64_t run = 0;
  char started = 0;   // released by the test when a run starts
  char stopped = 0;   // released by the contexts for the test
  char dpcsDone = 0;  // released after every DPC routine, for KeFlushQueuedDpcs
};

#if TARNWIRE_TSAN

inline void Release(const volatile void* object) { __tsan_release(const_cast<void*>(object)); }
inline void Acquire(const volatile void* object) { __tsan_acquire(const_cast<void*>(object)); }
// Interlocked operations are full barriers on their target.
inline void Barrier(const volatile void* target) {
  Acquire(target);
  Release(target);
}

// Acquires `object` when the scope ends: a routine that returns once others are done.
class AcquireOnExit {
 public:
  explicit AcquireOnExit(const volatile void* object) : object_(object) {}
  ~AcquireOnExit() { Acquire(object_); }
  AcquireOnExit(const AcquireOnExit&) = delete;
  AcquireOnExit& operator=(const AcquireOnExit&) = delete;

 private:
  const volatile void* object_;
};

// A timer set with a DPC: the setter's work happens before the expiry and before the DPC.
void ReleaseTimer(const KTIMER* timer, const KDPC* dpc);
// A wait ended with `status`: acquires the objects that satisfied it.
void AcquireWaited(ULONG count, PVOID objects[], WAIT_TYPE type, NTSTATUS status);

// For its lifetime, the memory accesses of the running code are invisible (device events).
class Invisible {
 public:
  Invisible();
  ~Invisible();
  Invisible(const Invisible&) = delete;
  Invisible& operator=(const Invisible&) = delete;
};
// RunUntil's predicate, with its reads invisible.
std::function<bool()> Peek(const std::function<bool()>& done);

// Fibers: one per context, named after it; switching implies no ordering.
void OnCreate(Context& c);
void SwitchIn(MachineState& m, Context& c);   // just before resuming c's fiber
void SwitchOut(MachineState& m, Context& c);  // just after it came back to the scheduler
// The machine goes away: an unfinished context is unwound on its own fiber (for the scope of
// this object), and then every fiber is released.
class Unwind {
 public:
  Unwind(MachineState& m, Context& c);
  ~Unwind();
  Unwind(const Unwind&) = delete;
  Unwind& operator=(const Unwind&) = delete;

 private:
  MachineState& m_;
  Context& c_;
  void* scheduler_;
};
void Forget(const ContextTable& contexts);

// Kernel::Run* from start to return: what the test did before it happens before the contexts
// continue, and what they did happens before it returns.
class RunBoundary {
 public:
  RunBoundary(MachineState& m, const ContextTable& contexts);
  ~RunBoundary();
  RunBoundary(const RunBoundary&) = delete;
  RunBoundary& operator=(const RunBoundary&) = delete;

 private:
  MachineState& m_;
  const ContextTable& contexts_;
};

// Reports of ThreadSanitizer so far in this process (each also prints the machine's seed and
// processor model).
uint64_t ReportCount();

#else

inline void Release(const volatile void*) {}
inline void Acquire(const volatile void*) {}
inline void Barrier(const volatile void*) {}
struct AcquireOnExit {
  explicit AcquireOnExit(const volatile void*) {}
};
inline void ReleaseTimer(const KTIMER*, const KDPC*) {}
inline void AcquireWaited(ULONG, PVOID[], WAIT_TYPE, NTSTATUS) {}
struct Invisible {
  Invisible() {}
};
inline const std::function<bool()>& Peek(const std::function<bool()>& done) { return done; }
inline void OnCreate(Context&) {}
inline void SwitchIn(MachineState&, Context&) {}
inline void SwitchOut(MachineState&, Context&) {}
struct Unwind {
  Unwind(MachineState&, Context&) {}
};
inline void Forget(const ContextTable&) {}
struct RunBoundary {
  RunBoundary(MachineState&, const ContextTable&) {}
};
inline uint64_t ReportCount() { return 0; }

#endif

}  // namespace emu::hb
