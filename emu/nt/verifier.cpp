// Bug check names and descriptions, the verifier's memory queries for other components, the
// attribution of work to drivers and the checks when a driver's image goes away.
#include "nt/verifier.h"

#include "nt/scheduler.h"

#include <cstdio>
#include <iterator>

namespace emu {

bool Kernel::Impl::InFreedMemory(const void* p, size_t size) const {
  auto a = reinterpret_cast<uintptr_t>(p);
  // The same counters and objects are checked over and over between frees.
  if (KnownClear(a, size)) return false;
  uintptr_t start;
  if (FindFreed(p, &start)) return true;
  // A freed block may begin inside the range.
  auto block = freedPool.lower_bound(a);
  if (block != freedPool.end() && block->first < a + size) return true;
  if (!releasedMemory.empty()) {
    auto range = releasedMemory.upper_bound(a + size - 1);
    if (range != releasedMemory.begin() && a < std::prev(range)->first + std::prev(range)->second)
      return true;
  }
  clearCache[ClearSlot(a)] = {a, size, freedGeneration};
  return false;
}

}  // namespace emu

namespace emu::verifier {

bool IsInFreedPool(const void* p, size_t size) {
  Kernel::Impl* k = KOrNull();
  return k && (!k->freedPool.empty() || !k->releasedMemory.empty()) &&
         k->InFreedMemory(p, size == 0 ? 1 : size);
}

void ReleaseObjectMemory(const void* p, size_t size) {
  Kernel::Impl& k = K();
  auto a = reinterpret_cast<uintptr_t>(p);
  k.CheckNoTimerOrDpcIn(a, a + size);
  k.ForgetObjectsIn(a, size);
  k.releasedMemory[a] = size;
  ++k.freedGeneration;
}

const void* CurrentDriver() {
  Kernel::Impl* k = KOrNull();
  return k ? k->CurrentDriver() : nullptr;
}

DriverScope::DriverScope(const void* driver) {
  Kernel::Impl* k = KOrNull();
  if (!k) return;
  // The slot of the context the routine runs in: the scope ends in that same context.
  slot_ = k->current ? &k->current->driver : &k->outsideDriver;
  previous_ = *slot_;
  *slot_ = driver;
}

DriverScope::~DriverScope() {
  if (slot_) *slot_ = previous_;
}

void CheckNothingRunsAfterUnload(const void* driver, ULONG_PTR imageLow, ULONG_PTR imageHigh) {
  Kernel::Impl& k = K();
  if (driver == nullptr) return;
  auto driverOf = [&k](const void* object) {
    const ObjectInfo* info = k.LookupConst(object);
    return info ? info->driver : nullptr;
  };
  // The kernel checks the timer table against the image before unmapping it. Of several such
  // timers the one initialised first is reported, the same in every run.
  const KTIMER* stale = nullptr;
  bool byDpc = false;
  uint32_t staleId = UINT32_MAX;
  for (const auto& [timer, key] : k.insertedTimers) {
    const bool dpcOfDriver = timer->Dpc != nullptr && driverOf(timer->Dpc) == driver;
    const ObjectInfo* info = k.LookupConst(timer);
    if ((dpcOfDriver || driverOf(timer) == driver) && info != nullptr && info->id < staleId) {
      stale = timer;
      byDpc = dpcOfDriver;
      staleId = info->id;
    }
  }
  if (stale != nullptr) {
    k.TraceF("timer", "%s still set at unload", k.ObjectName(stale).c_str());
    k.owner.BugCheck(bugcheck::kTimerOrDpcInvalid, byDpc ? 2 : 0,
                     byDpc ? reinterpret_cast<ULONG_PTR>(stale->Dpc->DeferredRoutine)
                           : reinterpret_cast<ULONG_PTR>(stale),
                     imageLow, imageHigh);
  }
  // A queued DPC, or one running on another processor, would execute unmapped code.
  auto dpcStillRuns = [&](const KDPC* dpc, const char* how) {
    if (driverOf(dpc) != driver) return;
    k.TraceF("dpc", "%s %s at unload", k.ObjectName(dpc).c_str(), how);
    k.owner.BugCheck(bugcheck::kDriverUnloadedWithoutCancellingPendingOperations,
                     reinterpret_cast<ULONG_PTR>(dpc->DeferredRoutine), 0, 0, 0);
  };
  for (const Processor& p : k.processors) {
    for (const KDPC* dpc : p.dpcs) dpcStillRuns(dpc, "still queued");
    if (p.dpcContext->runningDpc != nullptr) dpcStillRuns(p.dpcContext->runningDpc, "still running");
  }
  // So would a thread of the driver that has not ended.
  for (const auto& [id, c] : k.contexts) {
    if (c->creator != driver || c->state == RunState::Finished) continue;
    k.TraceF("thread", "%s of the driver still runs at unload", c->name.c_str());
    k.owner.BugCheck(bugcheck::kDriverUnloadedWithoutCancellingPendingOperations,
                     reinterpret_cast<ULONG_PTR>(c->startRoutine), 0, 0, 0);
  }
}

void DpcReturnedHoldingSpinLock(const void* routine, const void* lock) {
  static const char kCondition[] =
      "A DPC routine must release every spin lock it acquired before it returns.";
  Kernel::Current().BugCheck(bugcheck::kDriverVerifierDetectedViolation, kRuleSpinLock,
                             reinterpret_cast<ULONG_PTR>(kCondition),
                             reinterpret_cast<ULONG_PTR>(lock),
                             reinterpret_cast<ULONG_PTR>(routine));
}

void CheckNoSpinLockHeldToComplete(const void* irp) {
  static const char kCondition[] =
      "IoCompleteRequest must not be called while the caller holds a spin lock.";
  Kernel::Impl* k = KOrNull();
  if (k == nullptr || k->current == nullptr || k->current->spinLocks.empty()) return;
  k->owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, kRuleSpinLock,
                    reinterpret_cast<ULONG_PTR>(kCondition),
                    reinterpret_cast<ULONG_PTR>(k->current->spinLocks.back()),
                    reinterpret_cast<ULONG_PTR>(irp));
}

void WaitNextBroken(KIRQL current, KIRQL callerIrql) {
  Kernel::Current().BugCheck(bugcheck::kIrqlUnexpectedValue,
                             (static_cast<ULONG_PTR>(current) << 16) |
                                 (static_cast<ULONG_PTR>(callerIrql) << 8),
                             0, 0, 0);
}

bool IsLivePoolBlock(const void* p) {
  Kernel::Impl* k = KOrNull();
  return k && k->livePool.count(reinterpret_cast<uintptr_t>(p)) != 0;
}

std::optional<Kernel::PoolBlock> FindLivePoolBlock(const void* p) {
  Kernel::Impl* k = KOrNull();
  if (!k) return std::nullopt;
  uintptr_t start;
  const PoolInfo* info = k->FindLive(p, &start);
  if (!info) return std::nullopt;
  return Kernel::PoolBlock{reinterpret_cast<const void*>(start), info->size, info->tag, info->type};
}

void CheckNotFreed(const void* p, size_t size, bool write) {
  if (IsInFreedPool(p, size)) {
    Kernel::Current().BugCheck(bugcheck::kPageFaultInFreedSpecialPool,
                               reinterpret_cast<ULONG_PTR>(p), write ? 1 : 0, 0, 0);
  }
}

const char* BugCheckName(ULONG code) {
  switch (code) {
    case 0x0A: return "IRQL_NOT_LESS_OR_EQUAL";
    case 0x0C: return "MAXIMUM_WAIT_OBJECTS_EXCEEDED";
    case 0x0F: return "SPIN_LOCK_ALREADY_OWNED";
    case 0x10: return "SPIN_LOCK_NOT_OWNED";
    case 0x11: return "THREAD_NOT_MUTEX_OWNER";
    case 0x20: return "KERNEL_APC_PENDING_DURING_EXIT";
    case 0x44: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case 0x50: return "PAGE_FAULT_IN_NONPAGED_AREA";
    case 0x48: return "CANCEL_STATE_IN_COMPLETED_IRP";
    case 0x7E: return "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED";
    case 0x7F: return "UNEXPECTED_KERNEL_MODE_TRAP";
    case 0xB8: return "ATTEMPTED_SWITCH_FROM_DPC";
    case 0xC1: return "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION";
    case 0xC2: return "BAD_POOL_CALLER";
    case 0xC4: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case 0xC7: return "TIMER_OR_DPC_INVALID";
    case 0xC8: return "IRQL_UNEXPECTED_VALUE";
    case 0xC9: return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
    case 0xCC: return "PAGE_FAULT_IN_FREED_SPECIAL_POOL";
    case 0xCE: return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    case 0xD5: return "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL";
    case 0xE1: return "WORKER_THREAD_RETURNED_AT_BAD_IRQL";
    case 0xE4: return "WORKER_INVALID";
    default: return "UNKNOWN_BUGCHECK";
  }
}

namespace {
const char* VerifierSubcode(ULONG_PTR subcode) {
  switch (subcode) {
    case 0x00: return "zero-byte pool allocation";
    case 0x01: return "paged pool allocated above APC_LEVEL";
    case 0x02: return "nonpaged pool allocated above DISPATCH_LEVEL";
    case 0x10: return "freeing an address that no allocation returned";
    case 0x11: return "paged pool freed above APC_LEVEL";
    case 0x12: return "nonpaged pool freed above DISPATCH_LEVEL";
    case 0x15: return "freeing pool that holds an active timer";
    case 0x30: return "KeRaiseIrql to a lower IRQL";
    case 0x31: return "KeLowerIrql to a higher IRQL (or below DISPATCH_LEVEL in a DPC)";
    case 0x32: return "KeReleaseSpinLock at an IRQL other than DISPATCH_LEVEL";
    case 0x33: return "fast mutex acquired above APC_LEVEL";
    case 0x34: return "fast mutex released at an IRQL other than APC_LEVEL";
    case 0x3F: return "object reference count already zero";
    case 0x40: return "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL";
    case 0x41: return "KeReleaseSpinLockFromDpcLevel below DISPATCH_LEVEL";
    case 0x42: return "KeAcquireSpinLock above DISPATCH_LEVEL";
    case 0x62: return "driver unloading with pool still allocated";
    case 0x80: return "KeSetEvent above DISPATCH_LEVEL";
    case 0x120: return "wait above DISPATCH_LEVEL";
    case 0x121: return "wait at DISPATCH_LEVEL without a time-out";
    case 0x122: return "wait at DISPATCH_LEVEL (or holding a spin lock) with a non-zero time-out";
    case 0x1000: return "self-deadlock: lock acquired recursively";
    case 0x1001: return "deadlock: locks taken in an order that crosses an earlier one";
    case 0x1002: return "object used without being initialised";
    case 0x1004: return "lock released by a thread that does not own it";
    case 0x1005: return "object initialised again while in use";
    case 0x1007: return "lock released without being acquired";
    case 0x100A: return "thread ended owning a lock";
    case kRuleIrqlKeSetEvent: return "KeSetEvent with Wait TRUE at DISPATCH_LEVEL or above";
    case kRuleSpinLock: return "a spin lock held where it must not be (parameter 2 says where)";
    case kRulePnpRemove: return "a driver failed a Plug and Play removal request it must not fail";
    default: return nullptr;
  }
}
}  // namespace

std::string DescribeBugCheck(ULONG code, const ULONG_PTR (&params)[4]) {
  const char* what = nullptr;
  switch (code) {
    case 0xC4: what = VerifierSubcode(params[0]); break;
    case 0xC2:
      if (params[0] == 0x07) what = "pool freed twice";
      if (params[0] == 0x0A) what = "pool freed with a tag other than its allocation's";
      if (params[0] == 0x9A) what = "must-succeed pool requested";
      if (params[0] == 0x9B) what = "pool allocated with a zero tag";
      break;
    case 0xC9:
      if (params[0] == 0x23D) what = "STATUS_PENDING returned without IoMarkIrpPending";
      if (params[0] == 0x23E) what = "IRP marked pending but another status than STATUS_PENDING returned";
      if (params[0] == 0x21D) what = "a driver still attached to the stack after IRP_MN_REMOVE_DEVICE";
      if (params[0] == 0x241) what = "a device detached during surprise removal";
      if (params[0] == 0x242) what = "a device deleted during surprise removal";
      if (params[0] == 0x20E) what = "a new PnP IRP sent with a status other than STATUS_NOT_SUPPORTED";
      if (params[0] == 0x20F) what = "a new power IRP sent with a status other than STATUS_NOT_SUPPORTED";
      if (params[0] == 0x210) what = "a new WMI IRP sent with a status other than STATUS_NOT_SUPPORTED";
      if (params[0] == 0x200) what = "an I/O verification error without a code of its own (see the trace)";
      break;
    case 0xCC: what = "freed pool referenced"; break;
    case 0x50: what = "invalid memory referenced"; break;
    case 0x7F:
      if (params[0] == 8) what = "double fault: kernel stack overflow";
      break;
    case 0xC1:
      if (params[3] == 0x24) what = "bytes after the end of a pool block were overwritten";
      break;
    case 0xC7:
      what = params[0] == 0   ? "an active timer in memory that is going away"
             : params[0] == 1 ? "a queued DPC in memory that is going away"
                              : "an active timer whose DPC routine lies in an image going away";
      break;
    case 0xCE:
      what = "an unloaded driver left something behind that still refers to it (device, request, "
             "thread or DPC)";
      break;
    case 0xE1: what = "a work item's routine returned at raised IRQL"; break;
    case 0xE4:
      if (params[0] == 1) what = "a work item queued while it was already queued";
      if (params[0] == 2) what = "a queued work item freed";
      break;
    case 0xC8: what = "IRQL not the one expected (raised and never restored)"; break;
    case 0xB8: what = "a DPC routine tried to wait"; break;
    case 0x0F: what = "spin lock acquired by its owner"; break;
    case 0x10: what = "spin lock released by a context that does not own it"; break;
    case 0x20: what = "thread ended at raised IRQL or with kernel APCs disabled"; break;
    default: break;
  }
  return what ? what : "";
}

}  // namespace emu::verifier
