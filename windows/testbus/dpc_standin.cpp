// Stand-in for Wine's KeInsertQueueDpc stub: queued DPCs run on a thread of their own.
#include "dpc_standin.h"

namespace {

constexpr ULONG kImages = 4;

// DPCs queued and not yet run, linked through their DpcListEntry as the kernel links queued DPCs.
LIST_ENTRY g_queue;
KSPIN_LOCK g_lock;
KEVENT g_work;
PVOID g_boundImages[kImages];

// Runs queued DPCs one at a time, in the order they were queued, as one processor does.
VOID NTAPI DpcThread(PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  for (;;) {
    KeWaitForSingleObject(&g_work, Executive, KernelMode, FALSE, NULL);
    for (;;) {
      KIRQL irql;
      KeAcquireSpinLock(&g_lock, &irql);
      if (IsListEmpty(&g_queue)) {
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

BOOLEAN NTAPI InsertQueueDpc(PRKDPC Dpc, PVOID Argument1, PVOID Argument2) {
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  const BOOLEAN queued = Dpc->DpcData == NULL;
  if (queued) {
    Dpc->DpcData = &g_queue;  // marks the DPC queued, as the kernel does
    Dpc->SystemArgument1 = Argument1;
    Dpc->SystemArgument2 = Argument2;
    InsertTailList(&g_queue, &Dpc->DpcListEntry);
  }
  KeReleaseSpinLock(&g_lock, irql);
  if (queued) KeSetEvent(&g_work, IO_NO_INCREMENT, FALSE);
  return queued;
}

ULONG Read32(PUCHAR Base, ULONG Offset) { return *reinterpret_cast<ULONG UNALIGNED*>(Base + Offset); }

BOOLEAN SameName(const char* A, const char* B) {
  for (; *A && *B; ++A, ++B) {
    char a = *A >= 'A' && *A <= 'Z' ? static_cast<char>(*A + 32) : *A;
    char b = *B >= 'A' && *B <= 'Z' ? static_cast<char>(*B + 32) : *B;
    if (a != b) return FALSE;
  }
  return *A == *B;
}

// Points the image's import of ntoskrnl.exe!KeInsertQueueDpc at the stand-in (32-bit PE images).
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
      if (SameName(reinterpret_cast<const char*>(Base + thunk + 2), "KeInsertQueueDpc")) {
        (VOID) InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&slots[i]),
                                   reinterpret_cast<PVOID>(InsertQueueDpc));
      }
    }
  }
}

}  // namespace

NTSTATUS DpcStandInInitialize() {
  InitializeListHead(&g_queue);
  KeInitializeSpinLock(&g_lock);
  KeInitializeEvent(&g_work, SynchronizationEvent, FALSE);
  HANDLE thread;
  NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, DpcThread, NULL);
  if (NT_SUCCESS(status)) ZwClose(thread);
  return status;
}

VOID BindDpcStandIn(PDEVICE_OBJECT Pdo) {
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
