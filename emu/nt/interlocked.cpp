// Interlocked operations. Each is a switch point (the scheduler may run another context before
// the operation takes effect), and each checks that its target is not in freed pool. They are
// processor instructions rather than kernel calls, so they cost no virtual time.
#include "nt/scheduler.h"

namespace {

inline void Enter(volatile void* target, size_t size) {
  if (emu::Kernel::Impl* k = emu::KOrNull()) {
    k->CheckObjectMemory(const_cast<const void*>(target), size, true);
    k->SwitchPoint();
  }
  emu::hb::Barrier(target);
}

}  // namespace

LONG InterlockedIncrement(LONG volatile* Addend) {
  Enter(Addend, sizeof(LONG));
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* Addend) {
  Enter(Addend, sizeof(LONG));
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  Enter(Target, sizeof(LONG));
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  Enter(Destination, sizeof(LONG));
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;  // the initial value
}

LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  Enter(Addend, sizeof(LONG));
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
  Enter(Destination, sizeof(LONG));
  return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}

LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
  Enter(Destination, sizeof(LONG));
  return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}

LONG InterlockedXor(LONG volatile* Destination, LONG Value) {
  Enter(Destination, sizeof(LONG));
  return __atomic_fetch_xor(Destination, Value, __ATOMIC_SEQ_CST);
}

PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  Enter(Target, sizeof(PVOID));
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comparand) {
  Enter(Destination, sizeof(PVOID));
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}
