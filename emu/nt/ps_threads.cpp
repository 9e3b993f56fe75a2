// System threads: PsCreateSystemThread, PsTerminateSystemThread, thread priorities, the
// current-thread and processor routines.
//
// A thread object lives while its thread runs or anything references it (the handle of
// PsCreateSystemThread, ObReferenceObjectByHandle); the routines that only read the current
// processor's state (current thread, thread id, processor number) are no switch points.
#include "nt/handles.h"
#include "nt/scheduler.h"

#include <string>

using emu::K;

namespace {

void ReleaseThreadReference(PVOID object) {
  auto* t = static_cast<_ETHREAD*>(object);
  t->References--;
  K().ReleaseThreadObject(t);
}

}  // namespace

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  (void)DesiredAccess;
  (void)ObjectAttributes;
  (void)ProcessHandle;  // every thread belongs to the system process
  auto& k = K();
  k.Call();
  KIRQL irql = k.Irql();
  if (irql != PASSIVE_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kIrqlNotLessOrEqual,
                     reinterpret_cast<ULONG_PTR>(&PsCreateSystemThread), irql, 8,
                     reinterpret_cast<ULONG_PTR>(&PsCreateSystemThread));
  }
  if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
  if (k.ShouldFail(k.threadFailures, "thread", __builtin_return_address(0))) {
    k.TraceF("thread", "PsCreateSystemThread fails: insufficient resources (simulated)");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::string name = "thread" + std::to_string(k.nextThreadNumber++);
  emu::Context* c = k.NewContext(std::move(name), emu::ContextKind::System,
                                 [StartRoutine, StartContext] { StartRoutine(StartContext); });
  c->creator = c->driver = k.CurrentDriver();  // the thread runs for the driver that created it
  c->startRoutine = reinterpret_cast<const void*>(StartRoutine);
  c->thread->References++;
  *ThreadHandle = emu::CreateKernelHandle(c->thread, &ReleaseThreadReference);
  if (ClientId) *ClientId = c->thread->Cid;
  k.SwitchPoint();  // the new thread may run at once
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  auto& k = K();
  emu::Context* c = k.current;
  if (!c || c->kind != emu::ContextKind::System) {
    if (c && c->kind == emu::ContextKind::Dpc) {
      k.owner.BugCheck(emu::bugcheck::kIrqlNotLessOrEqual,
                       reinterpret_cast<ULONG_PTR>(&PsTerminateSystemThread), c->irql, 8,
                       reinterpret_cast<ULONG_PTR>(&PsTerminateSystemThread));
    }
    throw std::logic_error("PsTerminateSystemThread called outside a system thread");
  }
  // Unwinds the thread's stack to the top of its context, where it ends.
  throw emu::ThreadExit{ExitStatus};
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  auto& k = K();
  k.Call();
  KIRQL irql = k.Irql();
  if (irql > DISPATCH_LEVEL) {
    k.owner.BugCheck(emu::bugcheck::kIrqlNotLessOrEqual, reinterpret_cast<ULONG_PTR>(Thread), irql,
                     0, reinterpret_cast<ULONG_PTR>(&KeSetPriorityThread));
  }
  k.CheckObject(Thread, sizeof(KTHREAD), true);
  // Recorded only: the seeded scheduler chooses among runnable contexts by its own priorities.
  KPRIORITY old = Thread->Priority;
  Thread->Priority = Priority;
  return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
  K().Call();
  return Thread->Priority;
}

PKTHREAD KeGetCurrentThread(VOID) {
  auto& k = K();
  return k.current ? &k.current->thread->Tcb : &k.mainThread->Tcb;
}

PETHREAD PsGetCurrentThread(VOID) {
  auto& k = K();
  return k.current ? k.current->thread : k.mainThread.get();
}

HANDLE PsGetCurrentThreadId(VOID) { return PsGetCurrentThread()->Cid.UniqueThread; }

BOOLEAN PsIsSystemThread(PETHREAD Thread) {
  K().Call();
  return Thread->system ? TRUE : FALSE;
}

// The main stack and device events count as processor 0.
ULONG KeGetCurrentProcessorNumber(VOID) {
  auto& k = K();
  return k.current ? k.current->processor : 0;
}

KAFFINITY KeQueryActiveProcessors(VOID) {
  auto& k = K();
  k.Call();
  return k.ProcessorCount() == 8 * sizeof(KAFFINITY) ? ~KAFFINITY{0}
                                                     : (KAFFINITY{1} << k.ProcessorCount()) - 1;
}
