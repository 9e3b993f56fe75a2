// IRQL, spin locks and fast mutexes.
//
// A spin lock holds the address of the owning context (0 when free). A holder is at
// DISPATCH_LEVEL and so holds its processor; a contender on another processor spins there: it is
// not runnable until the lock is free. With one processor nobody can contend for a lock acquired
// correctly. KeGetCurrentIrql only reads the processor's state and is no switch point.
#include "nt/scheduler.h"

#include <algorithm>
#include <stdexcept>

namespace emu {
namespace {

// The value a spin lock holds while owned by the caller.
ULONG_PTR OwnerToken(Kernel::Impl& k) {
  if (k.current) return reinterpret_cast<ULONG_PTR>(k.current);
  return reinterpret_cast<ULONG_PTR>(k.mainThread.get());  // main stack or device event
}

bool IsContextToken(Kernel::Impl& k, ULONG_PTR v) {
  return v == reinterpret_cast<ULONG_PTR>(k.mainThread.get()) || k.contextTokens.count(v) != 0;
}

void AcquireSpinLock(Kernel::Impl& k, PKSPIN_LOCK lock) {
  ULONG_PTR token = OwnerToken(k);
  if (*lock == token) {
    k.owner.BugCheck(bugcheck::kSpinLockAlreadyOwned, reinterpret_cast<ULONG_PTR>(lock), 0, 0, 0);
  }
  k.CheckLockOrder(lock);
  while (*lock != 0) {
    if (!IsContextToken(k, *lock)) {
      // Not a value a spin lock can hold: never initialised (or overwritten).
      k.owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x1002,
                       reinterpret_cast<ULONG_PTR>(lock), 0, 0);
    }
    Context* c = k.current;
    if (!c || k.tearingDown) {
      throw std::logic_error(
          "a spin lock held inside the emulated machine was acquired from outside every "
          "context");
    }
    c->spinningOn = lock;
    k.SetState(c, RunState::Spinning);
    k.YieldToScheduler();
    c->spinningOn = nullptr;
  }
  *lock = token;
  hb::Acquire(lock);
  if (k.current) k.current->spinLocks.push_back(lock);
}

void ReleaseSpinLock(Kernel::Impl& k, PKSPIN_LOCK lock) {
  if (*lock != OwnerToken(k)) {
    k.owner.BugCheck(bugcheck::kSpinLockNotOwned, reinterpret_cast<ULONG_PTR>(lock), *lock, 0, 0);
  }
  hb::Release(lock);
  *lock = 0;
  if (Context* c = k.current) {
    auto& held = c->spinLocks;
    auto it = std::find(held.rbegin(), held.rend(), lock);
    if (it != held.rend()) held.erase(std::next(it).base());
  }
}

void LowerIrql(Kernel::Impl& k, KIRQL newIrql) {
  KIRQL cur = k.Irql();
  if (newIrql > cur) {
    k.owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x31, cur, newIrql, 0);
  }
  if (k.current && k.current->kind == ContextKind::Dpc && newIrql < DISPATCH_LEVEL) {
    k.owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x31, cur, newIrql, 1);
  }
  k.SetIrql(newIrql);
}

}  // namespace
}  // namespace emu

using emu::K;

// ---------------------------------------------------------------------------------------------
// IRQL
// ---------------------------------------------------------------------------------------------

KIRQL KeGetCurrentIrql(VOID) { return K().Irql(); }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  auto& k = K();
  KIRQL cur = k.Irql();
  if (NewIrql < cur || NewIrql > HIGH_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x30, cur, NewIrql, 0);
  }
  k.Call();
  *OldIrql = cur;
  k.SetIrql(NewIrql);
}

VOID KeLowerIrql(KIRQL NewIrql) {
  auto& k = K();
  k.Call();
  emu::LowerIrql(k, NewIrql);
  // Below DISPATCH_LEVEL pending DPCs are delivered here.
  k.SwitchPoint();
}

KIRQL KeRaiseIrqlToDpcLevel(VOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

// ---------------------------------------------------------------------------------------------
// Spin locks
// ---------------------------------------------------------------------------------------------

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  emu::KernelCall();
  *SpinLock = 0;
  K().lockOrder.Forget(reinterpret_cast<uintptr_t>(SpinLock), sizeof(KSPIN_LOCK));
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  auto& k = K();
  KIRQL old = k.Irql();
  if (old > DISPATCH_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x42, old,
                     reinterpret_cast<ULONG_PTR>(SpinLock), 0);
  }
  k.CheckObjectMemory(SpinLock, sizeof(KSPIN_LOCK), true);
  k.Call();
  k.SetIrql(DISPATCH_LEVEL);
  emu::AcquireSpinLock(k, SpinLock);
  return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  auto& k = K();
  k.Call();
  KIRQL cur = k.Irql();
  if (cur != DISPATCH_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x32, cur,
                     reinterpret_cast<ULONG_PTR>(SpinLock), 0);
  }
  k.CheckObjectMemory(SpinLock, sizeof(KSPIN_LOCK), true);
  emu::ReleaseSpinLock(k, SpinLock);
  emu::LowerIrql(k, NewIrql);
  k.SwitchPoint();
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  auto& k = K();
  KIRQL cur = k.Irql();
  if (cur < DISPATCH_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x40, cur,
                     reinterpret_cast<ULONG_PTR>(SpinLock), 0);
  }
  k.CheckObjectMemory(SpinLock, sizeof(KSPIN_LOCK), true);
  k.Call();
  emu::AcquireSpinLock(k, SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  auto& k = K();
  k.Call();
  KIRQL cur = k.Irql();
  if (cur < DISPATCH_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x41, cur,
                     reinterpret_cast<ULONG_PTR>(SpinLock), 0);
  }
  k.CheckObjectMemory(SpinLock, sizeof(KSPIN_LOCK), true);
  emu::ReleaseSpinLock(k, SpinLock);
  k.SwitchPoint();
}

// ---------------------------------------------------------------------------------------------
// Fast mutexes: Count is 1 when free, 0 when owned, -n when owned with n waiters on Event.
// The owner runs at APC_LEVEL.
// ---------------------------------------------------------------------------------------------

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  auto& k = K();
  k.Call();
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  FastMutex->OldIrql = 0;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
  k.Register(FastMutex, emu::kFastMutexKind);
  k.lockOrder.Forget(reinterpret_cast<uintptr_t>(FastMutex), sizeof(FAST_MUTEX));
}

// Both acquire forms: a fast mutex is taken at or below APC_LEVEL, on an initialised object.
static void CheckFastMutexAcquire(decltype(K())& k, PFAST_MUTEX FastMutex, KIRQL irql) {
  if (irql > APC_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x33, irql,
                     reinterpret_cast<ULONG_PTR>(FastMutex), 0);
  }
  k.CheckObject(FastMutex, sizeof(FAST_MUTEX), true);
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  auto& k = K();
  KIRQL irql = k.Irql();
  CheckFastMutexAcquire(k, FastMutex, irql);
  PKTHREAD self = KeGetCurrentThread();
  if (FastMutex->Owner == self) {
    // Deadlock-detection subcode "self-deadlock": a fast mutex cannot be acquired recursively.
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x1000,
                     reinterpret_cast<ULONG_PTR>(FastMutex), 0, 0);
  }
  k.CheckLockOrder(FastMutex);
  k.Call();
  k.SetIrql(APC_LEVEL);
  LONG count = FastMutex->Count - 1;
  FastMutex->Count = count;
  if (count != 0) {
    FastMutex->Contention++;
    PVOID objects[1] = {&FastMutex->Event};
    k.Wait(1, objects, WaitAny, nullptr, nullptr, "fast mutex", false);
  }
  FastMutex->Owner = self;
  FastMutex->OldIrql = irql;
  emu::hb::Acquire(FastMutex);
  if (k.current) k.current->mutexes.push_back(FastMutex);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  auto& k = K();
  KIRQL irql = k.Irql();
  CheckFastMutexAcquire(k, FastMutex, irql);
  k.Call();
  if (FastMutex->Count != 1) return FALSE;
  FastMutex->Count = 0;
  FastMutex->Owner = KeGetCurrentThread();
  FastMutex->OldIrql = irql;
  k.SetIrql(APC_LEVEL);
  emu::hb::Acquire(FastMutex);
  if (k.current) k.current->mutexes.push_back(FastMutex);
  return TRUE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  auto& k = K();
  k.Call();
  KIRQL irql = k.Irql();
  k.CheckObject(FastMutex, sizeof(FAST_MUTEX), true);
  if (irql != APC_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x34, irql,
                     reinterpret_cast<ULONG_PTR>(FastMutex), 0);
  }
  PKTHREAD self = KeGetCurrentThread();
  if (FastMutex->Owner == nullptr) {
    // Deadlock-detection subcode "unacquired resource released".
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x1007,
                     reinterpret_cast<ULONG_PTR>(FastMutex), 0, 0);
  }
  if (FastMutex->Owner != self) {
    // Deadlock-detection subcode "unexpected thread".
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x1004,
                     reinterpret_cast<ULONG_PTR>(FastMutex),
                     reinterpret_cast<ULONG_PTR>(FastMutex->Owner),
                     reinterpret_cast<ULONG_PTR>(self));
  }
  emu::hb::Release(FastMutex);
  FastMutex->Owner = nullptr;
  if (emu::Context* c = k.current) {
    auto& held = c->mutexes;
    auto it = std::find(held.rbegin(), held.rend(), FastMutex);
    if (it != held.rend()) held.erase(std::next(it).base());
  }
  LONG count = FastMutex->Count + 1;
  FastMutex->Count = count;
  if (count <= 0) {
    // Hand the mutex to the first waiter.
    FastMutex->Event.Header.SignalState = 1;
    k.SignalObject(&FastMutex->Event.Header);
  }
  k.SetIrql(static_cast<KIRQL>(FastMutex->OldIrql));
  k.SwitchPoint();
}
