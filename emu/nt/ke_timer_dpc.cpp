// Kernel timers, DPCs, the clock and the time routines, KeStallExecutionProcessor and
// KeBugCheckEx.
//
// Timers and wait time-outs expire on clock ticks, as on Windows: the clock interrupts every
// clockIncrement (15.625 ms unless ExSetTimerResolution shortened it), ticks fall on multiples of
// the increment since time 0, and an expiry due between two ticks happens at the later one (one
// due now or earlier happens at once). At expiry a timer is signalled, its waiters wake and its
// DPC, if any, is queued with the expiry's system time as SystemArgument1 (low part) and
// SystemArgument2 (high part). Device events are not clock-driven and keep their exact times.
//
// A DPC is queued on the processor of the context that queues it; outside every context (a
// device event, the clock, the main stack) on a processor chosen by the seed.
#include "nt/scheduler.h"

#include <algorithm>
#include <cstdio>

namespace emu {

VirtualTime Kernel::Impl::TickAtOrAfter(VirtualTime exact) const {
  if (exact <= now || exact == kForever) return exact;
  VirtualTime rest = exact % clockIncrement;
  if (rest == 0) return exact;
  VirtualTime tick = exact - rest + clockIncrement;
  return tick < exact ? kForever : tick;
}

DueKey Kernel::Impl::InsertTimed(VirtualTime exact, DueItem item) {
  item.exact = exact;
  return InsertDue(TickAtOrAfter(exact), std::move(item));
}

ULONG Kernel::Impl::SetTimerResolution(ULONG desired, bool set) {
  // Requests are counted; the clock runs at the finest one until every requester has withdrawn.
  ULONG before = clockIncrement;
  if (set) {
    ++resolutionRequests;
    ULONG wanted = desired >= kMaximumClockIncrement ? kMaximumClockIncrement
                   : desired < kMinimumClockIncrement
                       ? kMinimumClockIncrement
                       : desired / static_cast<ULONG>(kMillisecond) * static_cast<ULONG>(kMillisecond);
    clockIncrement = std::min(clockIncrement, wanted);
  } else if (resolutionRequests > 0 && --resolutionRequests == 0) {
    clockIncrement = kMaximumClockIncrement;
  }
  if (clockIncrement != before) {
    // Pending timers and time-outs move to the ticks of the new period.
    std::vector<std::pair<DueKey, DueItem>> timed;
    for (auto it = due.begin(); it != due.end();) {
      auto node = due.extract(it++);
      timed.emplace_back(node.key(), std::move(node.mapped()));
    }
    for (auto& [key, item] : timed) {
      DueKey moved{TickAtOrAfter(item.exact), key.order, key.seq};
      if (item.kind == DueKind::Timer)
        insertedTimers[item.timer] = moved;
      else
        item.context->waitTimeoutKey = moved;
      due.emplace(moved, std::move(item));
    }
  }
  return clockIncrement;
}

void Kernel::Impl::ExpireTimer(KTIMER* t) {
  t->Header.Inserted = 0;
  t->Header.SignalState = 1;
  if (traceEnabled) TraceF("timer", "expire %s", ObjectName(t).c_str());
  SignalObject(&t->Header);
  if (t->Period) {
    VirtualTime next = now + static_cast<VirtualTime>(t->Period) * kMillisecond;
    DueItem item{DueKind::Timer};
    item.timer = t;
    insertedTimers[t] = InsertTimed(next, std::move(item));
    t->Header.Inserted = 1;
    t->DueTime.QuadPart = static_cast<ULONGLONG>(next);
  }
  if (t->Dpc) {
    int64_t st = SystemTime();
    QueueDpc(t->Dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(st & 0xFFFFFFFF)),
             reinterpret_cast<PVOID>(static_cast<uintptr_t>((st >> 32) & 0xFFFFFFFF)),
             DeviceProcessor());
  }
}

unsigned Kernel::Impl::DeviceProcessor() {
  return processors.size() == 1 ? 0 : static_cast<unsigned>(eventRng() % processors.size());
}

bool Kernel::Impl::QueueDpc(KDPC* dpc, PVOID a1, PVOID a2, unsigned processor) {
  if (dpc->DpcData) return false;
  Processor& p = processors[processor];
  dpc->DpcData = &p;
  dpc->SystemArgument1 = a1;
  dpc->SystemArgument2 = a2;
  if (dpc->Importance == HighImportance)
    p.dpcs.push_front(dpc);
  else
    p.dpcs.push_back(dpc);
  UpdateProcessor(p);
  return true;
}

bool Kernel::Impl::DpcQueued(const KDPC* dpc) const {
  for (const Processor& p : processors)
    if (std::find(p.dpcs.begin(), p.dpcs.end(), dpc) != p.dpcs.end()) return true;
  return false;
}

}  // namespace emu

using emu::K;

// ---------------------------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------------------------

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  auto& k = K();
  k.Call();
  if (k.insertedTimers.count(Timer) && k.Lookup(Timer)) {
    // Re-initialising a timer that is still in the timer queue (deadlock-detection subcode
    // "multiple initialization").
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x1005,
                     reinterpret_cast<ULONG_PTR>(Timer), 0, 0);
  }
  UCHAR type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
  Timer->Header.Type = type;
  Timer->Header.Absolute = 0;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = 0;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = nullptr;
  Timer->Period = 0;
  k.Register(Timer, type);
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  auto& k = K();
  KIRQL irql = k.Irql();
  if (irql > DISPATCH_LEVEL && !k.inDeviceEvent) {
    k.owner.BugCheck(emu::bugcheck::kIrqlNotLessOrEqual, reinterpret_cast<ULONG_PTR>(Timer), irql,
                     1, reinterpret_cast<ULONG_PTR>(&KeSetTimerEx));
  }
  k.CheckObject(Timer, sizeof(KTIMER), true);
  if (Dpc) k.CheckObject(Dpc, sizeof(KDPC), false);
  k.Call();
  BOOLEAN wasInserted = FALSE;
  auto it = k.insertedTimers.find(Timer);
  if (it != k.insertedTimers.end()) {
    k.due.erase(it->second);
    k.insertedTimers.erase(it);
    wasInserted = TRUE;
  }
  emu::hb::ReleaseTimer(Timer, Dpc);
  Timer->Header.SignalState = 0;
  Timer->Header.Absolute = DueTime.QuadPart > 0;
  Timer->Dpc = Dpc;
  Timer->Period = static_cast<ULONG>(Period < 0 ? 0 : Period);
  emu::VirtualTime when = k.DueFromTimeout(DueTime.QuadPart);
  emu::DueItem item{emu::DueKind::Timer};
  item.timer = Timer;
  emu::DueKey key = k.InsertTimed(when, std::move(item));
  k.insertedTimers[Timer] = key;
  Timer->Header.Inserted = 1;
  Timer->DueTime.QuadPart = static_cast<ULONGLONG>(when);
  if (k.traceEnabled) {
    k.TraceF("timer", "set %s to %.4f ms (tick %.4f ms)%s%s", k.ObjectName(Timer).c_str(),
             static_cast<double>(when) / emu::kMillisecond,
             static_cast<double>(key.time) / emu::kMillisecond, Dpc ? " with " : "",
             Dpc ? k.ObjectName(Dpc).c_str() : "");
  }
  return wasInserted;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  auto& k = K();
  k.CheckObject(Timer, sizeof(KTIMER), true);
  k.Call();
  auto it = k.insertedTimers.find(Timer);
  if (it == k.insertedTimers.end()) return FALSE;
  k.due.erase(it->second);
  k.insertedTimers.erase(it);
  Timer->Header.Inserted = 0;
  if (k.traceEnabled) k.TraceF("timer", "cancel %s", k.ObjectName(Timer).c_str());
  return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  auto& k = K();
  k.Call();
  k.CheckObject(Timer, sizeof(KTIMER), false);
  return Timer->Header.SignalState != 0;
}

// ---------------------------------------------------------------------------------------------
// DPCs
// ---------------------------------------------------------------------------------------------

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  auto& k = K();
  k.Call();
  if (k.Lookup(Dpc) && k.DpcQueued(Dpc)) {
    // Re-initialising a queued DPC.
    k.owner.BugCheck(emu::bugcheck::kDriverVerifierDetectedViolation, 0x1005,
                     reinterpret_cast<ULONG_PTR>(Dpc), 0, 0);
  }
  Dpc->Type = DpcObject;
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
  k.Register(Dpc, DpcObject);
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  auto& k = K();
  k.CheckObject(Dpc, sizeof(KDPC), true);
  emu::hb::Release(Dpc);
  unsigned processor = k.current ? k.current->processor : k.DeviceProcessor();
  bool queued = k.QueueDpc(Dpc, SystemArgument1, SystemArgument2, processor);
  // Below DISPATCH_LEVEL the DPC runs on this processor before this call returns.
  k.Call();
  return queued ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  auto& k = K();
  k.CheckObject(Dpc, sizeof(KDPC), true);
  k.Call();
  if (!Dpc->DpcData) return FALSE;
  auto* p = static_cast<emu::Processor*>(Dpc->DpcData);
  auto it = std::find(p->dpcs.begin(), p->dpcs.end(), Dpc);
  if (it != p->dpcs.end()) p->dpcs.erase(it);
  Dpc->DpcData = nullptr;
  k.UpdateProcessor(*p);
  return TRUE;
}

VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
  K().Call();
  Dpc->Importance = static_cast<UCHAR>(Importance);
}

VOID KeFlushQueuedDpcs(VOID) {
  auto& k = K();
  KIRQL irql = k.Irql();
  if (irql != PASSIVE_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kIrqlNotLessOrEqual,
                     reinterpret_cast<ULONG_PTR>(&KeFlushQueuedDpcs), irql, 8,
                     reinterpret_cast<ULONG_PTR>(&KeFlushQueuedDpcs));
  }
  emu::hb::AcquireOnExit flushed(&k.race.dpcsDone);
  k.Call();
  auto idle = [&k] { return k.DpcsIdle(); };
  if (idle()) return;
  emu::Context* c = k.current;
  if (!c) k.RequireContext("KeFlushQueuedDpcs");
  c->blockedUntil = idle;
  k.SetState(c, emu::RunState::Blocked);
  k.YieldToScheduler();
  c->blockedUntil = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------------------------

ULONGLONG KeQueryInterruptTime(VOID) {
  auto& k = K();
  k.Call();
  return static_cast<ULONGLONG>(k.now);
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  auto& k = K();
  k.Call();
  CurrentTime->QuadPart = k.SystemTime();
}

// The tick count advances by one per maximum clock increment, whatever the resolution.
VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
  auto& k = K();
  k.Call();
  TickCount->QuadPart = k.now / emu::kMaximumClockIncrement;
}

// The largest increment the clock adds per interrupt, not the current one (as on Windows).
ULONG KeQueryTimeIncrement(VOID) {
  K().Call();
  return emu::kMaximumClockIncrement;
}

ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
  auto& k = K();
  k.Call();
  KIRQL irql = k.Irql();
  if (irql > APC_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kIrqlNotLessOrEqual,
                     reinterpret_cast<ULONG_PTR>(&ExSetTimerResolution), irql, 8,
                     reinterpret_cast<ULONG_PTR>(&ExSetTimerResolution));
  }
  return k.SetTimerResolution(DesiredTime, SetResolution != FALSE);
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  // A busy wait: the processor's time passes without a wait. Device events that fall due
  // meanwhile interrupt it at their time (each is a switch point).
  auto& k = K();
  k.Call();
  const emu::VirtualTime end = k.now + static_cast<emu::VirtualTime>(MicroSeconds) * 10;
  if (!k.current) {
    k.now = end;
    return;
  }
  while (k.now < end && !k.dead && !k.tearingDown) {
    k.now = std::min(end, std::max(k.now, std::min(k.NextDue(), k.runLimit)));
    k.SwitchPoint();
  }
}

// ---------------------------------------------------------------------------------------------
// Bug checks
// ---------------------------------------------------------------------------------------------

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                  ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) {
  emu::Kernel::Current().BugCheck(BugCheckCode, BugCheckParameter1, BugCheckParameter2,
                                  BugCheckParameter3, BugCheckParameter4);
}

VOID KeBugCheck(ULONG BugCheckCode) { emu::Kernel::Current().BugCheck(BugCheckCode); }
