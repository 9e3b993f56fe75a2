// Kernel timers, DPCs, the time routines, KeStallExecutionProcessor and KeBugCheckEx.
//
// Timers expire exactly at their due time on the virtual clock (Windows rounds expiry up to the
// next clock tick; tests get exact, reproducible times instead). At expiry a timer is signalled,
// its waiters wake and its DPC, if any, is queued with the expiry's system time as
// SystemArgument1 (low part) and SystemArgument2 (high part).
#include "nt/scheduler.h"

#include <algorithm>
#include <cstdio>

namespace emu {

void Kernel::Impl::ExpireTimer(KTIMER* t) {
  t->Header.Inserted = 0;
  t->Header.SignalState = 1;
  if (traceEnabled) TraceF("timer", "expire %s", ObjectName(t).c_str());
  SignalObject(&t->Header);
  if (t->Period) {
    VirtualTime next = now + static_cast<VirtualTime>(t->Period) * kMillisecond;
    DueItem item{DueKind::Timer};
    item.timer = t;
    insertedTimers[t] = InsertDue(next, std::move(item));
    t->Header.Inserted = 1;
    t->DueTime.QuadPart = static_cast<ULONGLONG>(next);
  }
  if (t->Dpc) {
    int64_t st = SystemTime();
    QueueDpc(t->Dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(st & 0xFFFFFFFF)),
             reinterpret_cast<PVOID>(static_cast<uintptr_t>((st >> 32) & 0xFFFFFFFF)));
  }
}

bool Kernel::Impl::QueueDpc(KDPC* dpc, PVOID a1, PVOID a2) {
  if (dpc->DpcData) return false;
  dpc->DpcData = &dpcQueue;
  dpc->SystemArgument1 = a1;
  dpc->SystemArgument2 = a2;
  if (dpc->Importance == HighImportance)
    dpcQueue.push_front(dpc);
  else
    dpcQueue.push_back(dpc);
  return true;
}

}  // namespace emu

using emu::K;

// ---------------------------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------------------------

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  auto& k = K();
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
  k.SwitchPoint();
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
  k.insertedTimers[Timer] = k.InsertDue(when, std::move(item));
  Timer->Header.Inserted = 1;
  Timer->DueTime.QuadPart = static_cast<ULONGLONG>(when);
  if (k.traceEnabled) {
    k.TraceF("timer", "set %s to %.4f ms%s%s", k.ObjectName(Timer).c_str(),
             static_cast<double>(when) / emu::kMillisecond, Dpc ? " with " : "",
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
  k.SwitchPoint();
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
  k.CheckObject(Timer, sizeof(KTIMER), false);
  return Timer->Header.SignalState != 0;
}

// ---------------------------------------------------------------------------------------------
// DPCs
// ---------------------------------------------------------------------------------------------

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  auto& k = K();
  if (k.Lookup(Dpc) &&
      std::find(k.dpcQueue.begin(), k.dpcQueue.end(), Dpc) != k.dpcQueue.end()) {
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
  bool queued = k.QueueDpc(Dpc, SystemArgument1, SystemArgument2);
  // Below DISPATCH_LEVEL (uniprocessor) the DPC runs before this call returns.
  k.SwitchPoint();
  return queued ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  auto& k = K();
  k.CheckObject(Dpc, sizeof(KDPC), true);
  k.SwitchPoint();
  if (!Dpc->DpcData) return FALSE;
  auto it = std::find(k.dpcQueue.begin(), k.dpcQueue.end(), Dpc);
  if (it != k.dpcQueue.end()) k.dpcQueue.erase(it);
  Dpc->DpcData = nullptr;
  return TRUE;
}

VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
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
  auto idle = [&k] {
    if (!k.dpcQueue.empty()) return false;
    for (emu::Context* p : k.dpcProcessors)
      if (p->state != emu::RunState::Idle) return false;
    return true;
  };
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

namespace {
// The clock interrupt period: 15.625 ms in 100-ns units.
constexpr ULONG kTimeIncrement = 156250;
}  // namespace

ULONGLONG KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(K().now); }

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = K().SystemTime(); }

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = K().now / kTimeIncrement;
}

ULONG KeQueryTimeIncrement(VOID) { return kTimeIncrement; }

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  // A busy wait: the processor's time passes without a switch. Events that fall due meanwhile
  // are handled, in order, at the next scheduling step.
  auto& k = K();
  k.now += static_cast<emu::VirtualTime>(MicroSeconds) * 10;
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
