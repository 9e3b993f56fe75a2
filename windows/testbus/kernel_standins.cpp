// Stand-ins for Wine's DPC, timer, interrupt time and device key routines, and their binding into images.
#include "kernel_standins.h"

namespace {

constexpr ULONG kImages = 4;

// DPCs queued and not yet run, linked through their DpcListEntry as the kernel links queued DPCs,
// and timers set and not yet due, linked through their TimerListEntry.
LIST_ENTRY g_queue;
LIST_ENTRY g_timers;
KSPIN_LOCK g_lock;
KEVENT g_work;         // a DPC was queued
KEVENT g_timersMoved;  // a timer was set or cancelled
KEVENT g_idle;         // no DPC queued or running
PVOID g_boundImages[kImages];

ULONGLONG Now() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return static_cast<ULONGLONG>(now.QuadPart);
}

// Lock held.
BOOLEAN QueueLocked(PKDPC Dpc, PVOID Argument1, PVOID Argument2) {
  if (Dpc->DpcData != NULL) return FALSE;
  Dpc->DpcData = &g_queue;  // marks the DPC queued, as the kernel does
  Dpc->SystemArgument1 = Argument1;
  Dpc->SystemArgument2 = Argument2;
  InsertTailList(&g_queue, &Dpc->DpcListEntry);
  KeClearEvent(&g_idle);
  return TRUE;
}

// Runs queued DPCs one at a time, in the order they were queued, as one processor does.
VOID NTAPI DpcThread(PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  for (;;) {
    KeWaitForSingleObject(&g_work, Executive, KernelMode, FALSE, NULL);
    for (;;) {
      KIRQL irql;
      KeAcquireSpinLock(&g_lock, &irql);
      if (IsListEmpty(&g_queue)) {
        KeSetEvent(&g_idle, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&g_lock, irql);
        break;
      }
      PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&g_queue), KDPC, DpcListEntry);
      PVOID a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
      dpc->DpcData = NULL;  // dequeued: it may be queued again from here on
      KeReleaseSpinLock(&g_lock, irql);
      dpc->DeferredRoutine(dpc, dpc->DeferredContext, a1, a2);
    }
  }
}

// Queues the DPCs of the timers that fell due, and sleeps until the next one is due.
VOID NTAPI TimerThread(PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  for (;;) {
    KIRQL irql;
    BOOLEAN queued = FALSE;
    LONGLONG wait = 0;
    KeAcquireSpinLock(&g_lock, &irql);
    const ULONGLONG now = Now();
    while (!IsListEmpty(&g_timers)) {
      PKTIMER timer = CONTAINING_RECORD(g_timers.Flink, KTIMER, TimerListEntry);
      if (timer->DueTime.QuadPart > now) {
        wait = static_cast<LONGLONG>(timer->DueTime.QuadPart - now);
        break;
      }
      RemoveEntryList(&timer->TimerListEntry);
      timer->Header.Inserted = FALSE;
      timer->Header.SignalState = TRUE;
      if (timer->Dpc) queued = QueueLocked(timer->Dpc, NULL, NULL) || queued;
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (queued) KeSetEvent(&g_work, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -wait;
    KeWaitForSingleObject(&g_timersMoved, Executive, KernelMode, FALSE, wait ? &timeout : NULL);
  }
}

BOOLEAN NTAPI InsertQueueDpc(PRKDPC Dpc, PVOID Argument1, PVOID Argument2) {
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  const BOOLEAN queued = QueueLocked(Dpc, Argument1, Argument2);
  KeReleaseSpinLock(&g_lock, irql);
  if (queued) KeSetEvent(&g_work, IO_NO_INCREMENT, FALSE);
  return queued;
}

VOID NTAPI FlushQueuedDpcs() { KeWaitForSingleObject(&g_idle, Executive, KernelMode, FALSE, NULL); }

VOID NTAPI InitializeTimer(PKTIMER Timer) { RtlZeroMemory(Timer, sizeof *Timer); }

// Lock held.
BOOLEAN CancelLocked(PKTIMER Timer) {
  const BOOLEAN inserted = Timer->Header.Inserted;
  if (inserted) RemoveEntryList(&Timer->TimerListEntry);
  Timer->Header.Inserted = FALSE;
  return inserted;
}

BOOLEAN NTAPI SetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  const BOOLEAN wasSet = CancelLocked(Timer);
  // A negative due time is relative, a positive one a system time; both in 100 ns units.
  Timer->DueTime.QuadPart = DueTime.QuadPart < 0 ? Now() + static_cast<ULONGLONG>(-DueTime.QuadPart)
                                                 : static_cast<ULONGLONG>(DueTime.QuadPart);
  Timer->Dpc = Dpc;
  Timer->Header.SignalState = FALSE;
  Timer->Header.Inserted = TRUE;
  PLIST_ENTRY e = g_timers.Flink;
  while (e != &g_timers && CONTAINING_RECORD(e, KTIMER, TimerListEntry)->DueTime.QuadPart <= Timer->DueTime.QuadPart) {
    e = e->Flink;
  }
  InsertTailList(e, &Timer->TimerListEntry);  // before e: the list stays ordered by due time
  KeReleaseSpinLock(&g_lock, irql);
  KeSetEvent(&g_timersMoved, IO_NO_INCREMENT, FALSE);
  return wasSet;
}

// Never waits for the timer's DPC, which may be the caller.
BOOLEAN NTAPI CancelTimer(PKTIMER Timer) {
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  const BOOLEAN wasSet = CancelLocked(Timer);
  KeReleaseSpinLock(&g_lock, irql);
  return wasSet;
}

// The clock Wine's kernel timers run on: they are pool timers due at a system time (100 ns units).
ULONGLONG NTAPI QueryInterruptTime() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return static_cast<ULONGLONG>(now.QuadPart);
}

struct StandIn {
  const char* Name;
  PVOID Routine;
};

// A kernel-mode caller's handle is not access-checked on Windows; Wine checks it as a program's.
NTSTATUS NTAPI OpenDeviceRegistryKey(PDEVICE_OBJECT Device, ULONG Type, ACCESS_MASK Access, PHANDLE Key) {
  return IoOpenDeviceRegistryKey(Device, Type, Access | KEY_READ, Key);
}

const StandIn kStandIns[] = {
    {"IoOpenDeviceRegistryKey", reinterpret_cast<PVOID>(OpenDeviceRegistryKey)},
    {"KeInsertQueueDpc", reinterpret_cast<PVOID>(InsertQueueDpc)},
    {"KeFlushQueuedDpcs", reinterpret_cast<PVOID>(FlushQueuedDpcs)},
    {"KeInitializeTimer", reinterpret_cast<PVOID>(InitializeTimer)},
    {"KeSetTimer", reinterpret_cast<PVOID>(SetTimer)},
    {"KeCancelTimer", reinterpret_cast<PVOID>(CancelTimer)},
    {"KeQueryInterruptTime", reinterpret_cast<PVOID>(QueryInterruptTime)},
};

ULONG Read32(PUCHAR Base, ULONG Offset) { return *reinterpret_cast<ULONG UNALIGNED*>(Base + Offset); }

BOOLEAN SameName(const char* A, const char* B) {
  for (; *A && *B; ++A, ++B) {
    char a = *A >= 'A' && *A <= 'Z' ? static_cast<char>(*A + 32) : *A;
    char b = *B >= 'A' && *B <= 'Z' ? static_cast<char>(*B + 32) : *B;
    if (a != b) return FALSE;
  }
  return *A == *B;
}

// Points the image's imports of the stood-in ntoskrnl.exe routines at the stand-ins (32-bit PE images).
VOID BindImage(PUCHAR Base) {
  if (Base[0] != 'M' || Base[1] != 'Z') return;
  const ULONG nt = Read32(Base, 0x3C);
  if (Read32(Base, nt) != 0x00004550 || *reinterpret_cast<USHORT*>(Base + nt + 24) != 0x10B) return;
  const ULONG imports = Read32(Base, nt + 24 + 96 + 8);  // data directory 1: the import table
  if (imports == 0) return;
  for (PUCHAR d = Base + imports; Read32(d, 12) != 0; d += 20) {
    if (!SameName(reinterpret_cast<const char*>(Base + Read32(d, 12)), "ntoskrnl.exe")) continue;
    const ULONG names = Read32(d, 0) ? Read32(d, 0) : Read32(d, 16);
    PULONG_PTR slots = reinterpret_cast<PULONG_PTR>(Base + Read32(d, 16));
    for (ULONG i = 0; Read32(Base, names + 4 * i) != 0; ++i) {
      const ULONG thunk = Read32(Base, names + 4 * i);
      if (thunk & 0x80000000u) continue;  // by ordinal
      for (const StandIn& standIn : kStandIns) {
        if (SameName(reinterpret_cast<const char*>(Base + thunk + 2), standIn.Name)) {
          (VOID) InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&slots[i]), standIn.Routine);
        }
      }
    }
  }
}

}  // namespace

NTSTATUS KernelStandInsInitialize() {
  InitializeListHead(&g_queue);
  InitializeListHead(&g_timers);
  KeInitializeSpinLock(&g_lock);
  KeInitializeEvent(&g_work, SynchronizationEvent, FALSE);
  KeInitializeEvent(&g_timersMoved, SynchronizationEvent, FALSE);
  KeInitializeEvent(&g_idle, NotificationEvent, TRUE);
  PKSTART_ROUTINE routines[2] = {DpcThread, TimerThread};
  for (PKSTART_ROUTINE routine : routines) {
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, routine, NULL);
    if (!NT_SUCCESS(status)) return status;
    ZwClose(thread);
  }
  return STATUS_SUCCESS;
}

VOID BindKernelStandIns(PDEVICE_OBJECT Pdo) {
  for (PDEVICE_OBJECT d = Pdo->AttachedDevice; d != NULL; d = d->AttachedDevice) {
    PVOID image = d->DriverObject->DriverStart;
    BOOLEAN bound = FALSE;
    for (PVOID& slot : g_boundImages) {
      if (slot == image) bound = TRUE;
    }
    if (bound || !image) continue;
    BindImage(static_cast<PUCHAR>(image));
    for (PVOID& slot : g_boundImages) {
      if (slot == NULL) {
        slot = image;
        break;
      }
    }
  }
}
