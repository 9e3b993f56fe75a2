// Verifier helpers for the rest of the emulated machine: pool-block queries (use-after-free and
// bad-pointer checks), which driver's code runs, the checks when a driver's image goes away and
// readable names for bug check codes.
#pragma once

#include "nt/kernel.h"

#include <optional>
#include <string>

namespace emu::verifier {

// Parameter 1 of DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4) for the DDI compliance rules the
// kernel checks; parameter 2 is then the text of the rule's condition.
constexpr ULONG_PTR kRuleIrqlKeSetEvent = 0x00020016;
constexpr ULONG_PTR kRuleSpinLock = 0x00040009;
constexpr ULONG_PTR kRulePnpRemove = 0x00043006;

// True when any byte of [p, p + size) lies in a freed pool block that is still quarantined
// (freed blocks are poisoned and kept mapped for a while to catch late use) or in released
// object memory (see ReleaseObjectMemory).
bool IsInFreedPool(const void* p, size_t size = 1);
// True when p is the start of a live (allocated, not yet freed) pool block.
bool IsLivePoolBlock(const void* p);
// The live pool block containing p, if any.
std::optional<Kernel::PoolBlock> FindLivePoolBlock(const void* p);
// Bug checks PAGE_FAULT_IN_FREED_SPECIAL_POOL (0xCC) when [p, p + size) touches freed pool.
void CheckNotFreed(const void* p, size_t size, bool write);

// Memory of a kernel object given back outside the pool (a deleted device object with its
// extension, once nothing references it). A timer still set or a DPC still queued in it bug-checks
// TIMER_OR_DPC_INVALID (0xC7); afterwards any use of it through a kernel routine is use of freed
// memory (0xCC), as for freed pool.
void ReleaseObjectMemory(const void* p, size_t size);

// --- Which driver's code runs ---------------------------------------------------------------
// What a driver creates (system threads, DPCs, timers and other dispatcher objects, IRPs) is
// attributed to the driver whose routine runs at the time, so that its unload can be checked.
// The machine and the I/O manager enter a driver around every call of one of its routines
// (DriverEntry, AddDevice, DriverUnload, dispatch and completion routines); a DPC routine runs for
// the driver that initialised its DPC, a system thread for the driver that created it. (Windows
// goes by code addresses in the image; the host build has no image ranges.) Code of the kernel,
// of the bus models and of tests runs for no driver (nullptr).
const void* CurrentDriver();

class DriverScope {
 public:
  explicit DriverScope(const void* driver);
  ~DriverScope();
  DriverScope(const DriverScope&) = delete;
  DriverScope& operator=(const DriverScope&) = delete;

 private:
  const void** slot_ = nullptr;
  const void* previous_ = nullptr;
};

// After a driver's unload routine: bug checks when code of `driver` could still run once its
// image is gone. [imageLow, imageHigh) is the image's range, for the parameters.
//   a timer of it still set                   TIMER_OR_DPC_INVALID (0xC7): 2, the DPC routine (or
//                                             0, the timer when it has no DPC), imageLow, imageHigh
//   a DPC of it queued or running             DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS
//                                             (0xCE): the DPC routine, 0 (read), 0, 0
//   a system thread of it not yet ended       0xCE: the thread's start routine, 0, 0, 0
void CheckNothingRunsAfterUnload(const void* driver, ULONG_PTR imageLow, ULONG_PTR imageHigh);

// A DPC routine returned holding a spin lock (DRIVER_VERIFIER_DETECTED_VIOLATION, the DDI
// compliance rule SpinLock: 0x00040009, the rule's text, the lock, the routine).
[[noreturn]] void DpcReturnedHoldingSpinLock(const void* routine, const void* lock);
// IoCompleteRequest while the caller holds a spin lock (the cancel spin lock included): a
// completion routine that takes the same lock deadlocks. DRIVER_VERIFIER_DETECTED_VIOLATION with
// the SpinLock rule's id 0x00040009 (Windows checks this as the static rule SpinLockSafe, which has
// no run-time id of its own), the condition's text, the lock, the IRP.
void CheckNoSpinLockHeldToComplete(const void* irp);
// A kernel routine other than a wait called after KeSetEvent, KeReleaseSemaphore or
// KeReleaseMutex with Wait TRUE, which return at DISPATCH_LEVEL for the wait that must follow
// at once: IRQL_UNEXPECTED_VALUE (0xC8), (current IRQL << 16) | (the caller's IRQL << 8).
[[noreturn]] void WaitNextBroken(KIRQL current, KIRQL callerIrql);

// "DRIVER_VERIFIER_DETECTED_VIOLATION" for 0xC4, and so on ("UNKNOWN_BUGCHECK" otherwise).
const char* BugCheckName(ULONG code);
// A sentence on what the parameters mean, where the kernel knows it ("" otherwise).
std::string DescribeBugCheck(ULONG code, const ULONG_PTR (&params)[4]);

}  // namespace emu::verifier
