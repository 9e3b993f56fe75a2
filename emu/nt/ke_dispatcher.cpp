// Dispatcher objects (events, semaphores, kernel mutexes, threads, timers as waitable objects)
// and the waits on them: KeWaitForSingleObject, KeWaitForMultipleObjects and
// KeDelayExecutionThread.
//
// Waits follow the kernel's own scheme: each waiting thread links one KWAIT_BLOCK per object
// into the object's DISPATCHER_HEADER.WaitListHead (first come, first served); signalling an
// object walks that list and satisfies the waits its new state allows.
#include "nt/scheduler.h"

#include <climits>
#include <cstdio>
#include <stdexcept>

namespace emu {

namespace {

_ETHREAD* ThreadOf(Kernel::Impl& k, Context* c) { return c ? c->thread : k.threads[0].get(); }

void InitHeader(DISPATCHER_HEADER* h, UCHAR type, UCHAR sizeInLongs, LONG state) {
  h->Type = type;
  h->Absolute = 0;
  h->Size = sizeInLongs;
  h->Inserted = 0;
  h->SignalState = state;
  InitializeListHead(&h->WaitListHead);
}

// Re-initialising an object that threads still wait on would corrupt its wait list.
void CheckNoWaiters(Kernel::Impl& k, const void* object) {
  if (!k.Lookup(object)) return;
  for (auto& up : k.contexts) {
    Context* c = up.get();
    if (c->state != RunState::Waiting) continue;
    for (ULONG i = 0; i < c->waitCount; ++i) {
      if (c->waitBlocks[i].Object == object) {
        // Deadlock-detection subcode "multiple initialization".
        k.owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x1005,
                         reinterpret_cast<ULONG_PTR>(object), 0, 0);
      }
    }
  }
}

// The Wait argument of KeSetEvent, KeReleaseSemaphore and KeReleaseMutex: the caller's next
// call is a wait, and it stays at DISPATCH_LEVEL until then.
void HoldForNextWait(Kernel::Impl& k, KIRQL callerIrql) {
  if (!k.current) return;
  k.current->waitNext = true;
  k.current->waitNextIrql = callerIrql;
  k.current->irql = DISPATCH_LEVEL;
  k.OnIrqlChanged();
}

}  // namespace

VirtualTime Kernel::Impl::DueFromTimeout(LONGLONG q) const {
  if (q < 0) {
    if (q == LLONG_MIN) return kForever;
    VirtualTime d = -q;
    return d > kForever - now ? kForever : now + d;
  }
  if (q == 0) return now;
  VirtualTime t = q - systemTimeBase;  // absolute system time
  return t < now ? now : t;
}

bool Kernel::Impl::IsSignalledFor(DISPATCHER_HEADER* h, Context* c) const {
  if (h->Type == MutantObject) {
    auto* m = reinterpret_cast<KMUTANT*>(h);
    return h->SignalState > 0 ||
           m->OwnerThread == &(c ? c->thread : threads[0].get())->Tcb;
  }
  return h->SignalState > 0;
}

void Kernel::Impl::Satisfy(DISPATCHER_HEADER* h, Context* c) {
  switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject: h->SignalState = 0; break;
    case SemaphoreObject: h->SignalState--; break;
    case MutantObject: {
      auto* m = reinterpret_cast<KMUTANT*>(h);
      if (h->SignalState-- == 1) {
        m->OwnerThread = &ThreadOf(*this, c)->Tcb;
        if (c) {
          c->mutexes.push_back(m);
          c->apcDisable += m->ApcDisable;
        }
      }
      break;
    }
    default: break;  // notification objects stay signalled
  }
}

void Kernel::Impl::Unwait(Context* t, NTSTATUS status) {
  for (ULONG i = 0; i < t->waitCount; ++i) {
    RemoveEntryList(&t->waitBlocks[i].WaitListEntry);
    t->waitBlocks[i].BlockState = 0;
  }
  t->waitBlocks = nullptr;
  t->waitCount = 0;
  if (t->waitTimeoutArmed) {
    due.erase(t->waitTimeoutKey);
    t->waitTimeoutArmed = false;
  }
  t->waitStatus = status;
  SetState(t, RunState::Ready);
}

void Kernel::Impl::SignalObject(DISPATCHER_HEADER* h) {
  PLIST_ENTRY head = &h->WaitListHead;
  PLIST_ENTRY e = head->Flink;
  while (e != head && h->SignalState > 0) {
    KWAIT_BLOCK* wb = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
    Context* t = wb->Thread->context;
    bool woke = false;
    if (wb->WaitType == WaitAny) {
      if (IsSignalledFor(h, t)) {
        Satisfy(h, t);
        Unwait(t, STATUS_WAIT_0 + wb->WaitKey);
        woke = true;
      }
    } else {
      bool all = true;
      for (ULONG i = 0; i < t->waitCount && all; ++i)
        all = IsSignalledFor(static_cast<DISPATCHER_HEADER*>(t->waitBlocks[i].Object), t);
      if (all) {
        for (ULONG i = 0; i < t->waitCount; ++i)
          Satisfy(static_cast<DISPATCHER_HEADER*>(t->waitBlocks[i].Object), t);
        Unwait(t, STATUS_WAIT_0);
        woke = true;
      }
    }
    // A wake unlinks every block of that thread (possibly the next one in this list).
    e = woke ? head->Flink : e->Flink;
  }
}

NTSTATUS Kernel::Impl::Wait(ULONG count, PVOID objs[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                            PKWAIT_BLOCK blocks, const char* what, bool delay) {
  Context* c = current;
  if (tearingDown) return STATUS_TIMEOUT;
  bool zero = timeout && timeout->QuadPart == 0;
  KIRQL irql = Irql();
  if (c && c->waitNext) {
    irql = c->waitNextIrql;
    c->waitNext = false;
  }
  const void* first = count ? objs[0] : nullptr;
  auto timeoutArg = reinterpret_cast<ULONG_PTR>(timeout);

  // Verifier: the objects must be live and initialised, the IRQL must allow the wait.
  for (ULONG i = 0; i < count; ++i) CheckObject(objs[i], sizeof(DISPATCHER_HEADER), true);
  if (c && c->kind == ContextKind::Dpc && (delay || !zero)) {
    owner.BugCheck(bugcheck::kAttemptedSwitchFromDpc, reinterpret_cast<ULONG_PTR>(c->thread), 0,
                   0, 0);
  }
  if (delay) {
    if (irql > APC_LEVEL) {
      owner.BugCheck(bugcheck::kIrqlNotLessOrEqual,
                     reinterpret_cast<ULONG_PTR>(&KeDelayExecutionThread), irql, 8,
                     reinterpret_cast<ULONG_PTR>(&KeDelayExecutionThread));
    }
  } else if (irql > DISPATCH_LEVEL) {
    owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x120, irql,
                   reinterpret_cast<ULONG_PTR>(first), timeoutArg);
  } else if (irql == DISPATCH_LEVEL && !zero) {
    owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, timeout ? 0x122 : 0x121, irql,
                   reinterpret_cast<ULONG_PTR>(first), timeoutArg);
  }
  if (c && !zero && !c->spinLocks.empty()) {
    // A spin lock held across a wait (its holder lowered the IRQL below DISPATCH_LEVEL).
    owner.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x122, DISPATCH_LEVEL,
                   reinterpret_cast<ULONG_PTR>(first), timeoutArg);
  }
  if (count > MAXIMUM_WAIT_OBJECTS || (count > THREAD_WAIT_OBJECTS && !blocks)) {
    owner.BugCheck(bugcheck::kMaximumWaitObjectsExceeded, count, 0, 0, 0);
  }
  if (!c && !zero) {
    RequireContext(delay ? "KeDelayExecutionThread" : "KeWaitForSingleObject/MultipleObjects");
  }
  if (c) {
    c->irql = irql;
    OnIrqlChanged();
  }

  // A wait is a switch point.
  SwitchPoint();

  // Already satisfiable?
  if (count) {
    if (type == WaitAny || count == 1) {
      for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<DISPATCHER_HEADER*>(objs[i]);
        if (IsSignalledFor(h, c)) {
          Satisfy(h, c);
          return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
        }
      }
    } else {
      bool all = true;
      for (ULONG i = 0; i < count && all; ++i)
        all = IsSignalledFor(static_cast<DISPATCHER_HEADER*>(objs[i]), c);
      if (all) {
        for (ULONG i = 0; i < count; ++i) Satisfy(static_cast<DISPATCHER_HEADER*>(objs[i]), c);
        return STATUS_WAIT_0;
      }
    }
  }
  if (zero) return delay ? STATUS_SUCCESS : STATUS_TIMEOUT;

  // Block.
  KWAIT_BLOCK* wb = blocks ? blocks : c->thread->Tcb.WaitBlock;
  for (ULONG i = 0; i < count; ++i) {
    wb[i].Thread = &c->thread->Tcb;
    wb[i].Object = objs[i];
    wb[i].NextWaitBlock = i + 1 < count ? &wb[i + 1] : &wb[0];
    wb[i].WaitKey = static_cast<USHORT>(i);
    wb[i].WaitType = static_cast<UCHAR>(count == 1 ? WaitAny : type);
    wb[i].BlockState = 1;
    InsertTailList(&static_cast<DISPATCHER_HEADER*>(objs[i])->WaitListHead,
                   &wb[i].WaitListEntry);
  }
  c->waitBlocks = wb;
  c->waitCount = count;
  c->waitType = type;
  c->waitWhat = what;
  c->waitStatus = STATUS_TIMEOUT;
  if (timeout) {
    DueItem item{DueKind::WaitTimeout};
    item.context = c;
    c->waitTimeoutKey = InsertDue(DueFromTimeout(timeout->QuadPart), std::move(item));
    c->waitTimeoutArmed = true;
  }
  if (traceEnabled) {
    std::string names;
    for (ULONG i = 0; i < count; ++i) {
      if (i) names += type == WaitAll ? " and " : " or ";
      names += ObjectName(objs[i]);
    }
    char until[64] = "";
    if (timeout) {
      std::snprintf(until, sizeof until, "%suntil %.4f ms", count ? " " : "",
                    static_cast<double>(c->waitTimeoutKey.time) / kMillisecond);
    }
    TraceF("wait", "%s %s%s", delay ? "delay" : "wait", names.c_str(), until);
  }
  SetState(c, RunState::Waiting);
  YieldToScheduler();
  NTSTATUS status = c->waitStatus;
  if (traceEnabled) {
    if (status == STATUS_TIMEOUT)
      TraceF("wait", delay ? "resume" : "wake: time-out");
    else
      TraceF("wait", "wake: %s", ObjectName(objs[status - STATUS_WAIT_0]).c_str());
  }
  if (delay && status == STATUS_TIMEOUT) status = STATUS_SUCCESS;
  return status;
}

}  // namespace emu

using emu::K;

// ---------------------------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------------------------

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  auto& k = K();
  emu::CheckNoWaiters(k, Event);
  UCHAR type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
  emu::InitHeader(&Event->Header, type, sizeof(KEVENT) / sizeof(LONG), State ? 1 : 0);
  k.Register(Event, type);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;  // priority boosts are not modelled: the seeded scheduler picks the next context
  auto& k = K();
  KIRQL irql = k.Irql();
  if (irql > DISPATCH_LEVEL && !k.inDeviceEvent) {
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x80, irql,
                     reinterpret_cast<ULONG_PTR>(Event), 0);
  }
  k.CheckObject(Event, sizeof(KEVENT), true);
  k.SwitchPoint();
  LONG previous = Event->Header.SignalState;
  if (previous == 0) {
    Event->Header.SignalState = 1;
    k.SignalObject(&Event->Header);
  }
  if (Wait)
    emu::HoldForNextWait(k, irql);
  else
    k.SwitchPoint();
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  auto& k = K();
  k.CheckObject(Event, sizeof(KEVENT), true);
  k.SwitchPoint();
  Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  auto& k = K();
  k.CheckObject(Event, sizeof(KEVENT), true);
  k.SwitchPoint();
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  auto& k = K();
  k.CheckObject(Event, sizeof(KEVENT), false);
  return Event->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Semaphores
// ---------------------------------------------------------------------------------------------

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  auto& k = K();
  emu::CheckNoWaiters(k, Semaphore);
  emu::InitHeader(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE) / sizeof(LONG), Count);
  Semaphore->Limit = Limit;
  k.Register(Semaphore, SemaphoreObject);
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                        BOOLEAN Wait) {
  (void)Increment;
  auto& k = K();
  KIRQL irql = k.Irql();
  k.CheckObject(Semaphore, sizeof(KSEMAPHORE), true);
  k.SwitchPoint();
  LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
    // The kernel raises STATUS_SEMAPHORE_LIMIT_EXCEEDED, which nothing in a driver handles.
    k.owner.BugCheck(emu::bugcheck::kSystemThreadExceptionNotHandled, 0xC0000047,
                     reinterpret_cast<ULONG_PTR>(&KeReleaseSemaphore),
                     reinterpret_cast<ULONG_PTR>(Semaphore), 0);
  }
  Semaphore->Header.SignalState = previous + Adjustment;
  if (previous == 0) k.SignalObject(&Semaphore->Header);
  if (Wait)
    emu::HoldForNextWait(k, irql);
  else
    k.SwitchPoint();
  return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  auto& k = K();
  k.CheckObject(Semaphore, sizeof(KSEMAPHORE), false);
  return Semaphore->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Kernel mutexes
// ---------------------------------------------------------------------------------------------

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  (void)Level;
  auto& k = K();
  emu::CheckNoWaiters(k, Mutex);
  emu::InitHeader(&Mutex->Header, MutantObject, sizeof(KMUTEX) / sizeof(LONG), 1);
  InitializeListHead(&Mutex->MutantListEntry);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
  k.Register(Mutex, MutantObject);
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  auto& k = K();
  KIRQL irql = k.Irql();
  k.CheckObject(Mutex, sizeof(KMUTEX), true);
  emu::Context* c = k.current;
  PKTHREAD self = &emu::ThreadOf(k, c)->Tcb;
  if (Mutex->OwnerThread != self || Mutex->Header.SignalState > 0) {
    k.owner.BugCheck(emu::bugcheck::kThreadNotMutexOwner, reinterpret_cast<ULONG_PTR>(self),
                     reinterpret_cast<ULONG_PTR>(Mutex), 0, 0);
  }
  k.SwitchPoint();
  LONG previous = Mutex->Header.SignalState;
  if (++Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    if (c) {
      c->apcDisable -= Mutex->ApcDisable;
      auto& held = c->mutexes;
      for (auto it = held.end(); it != held.begin();) {
        if (*--it == Mutex) {
          held.erase(it);
          break;
        }
      }
    }
    k.SignalObject(&Mutex->Header);
  }
  if (Wait)
    emu::HoldForNextWait(k, irql);
  else
    k.SwitchPoint();
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  auto& k = K();
  k.CheckObject(Mutex, sizeof(KMUTEX), false);
  return Mutex->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Waits
// ---------------------------------------------------------------------------------------------

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;  // no APCs are delivered in the emulated machine
  PVOID objects[1] = {Object};
  return K().Wait(1, objects, WaitAny, Timeout, nullptr, "", false);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  return K().Wait(Count, Object, WaitType, Timeout, WaitBlockArray,
                  WaitType == WaitAll ? "all of" : "any of", false);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return K().Wait(0, nullptr, WaitAny, Interval ? Interval : &zero, nullptr, "delay", true);
}
