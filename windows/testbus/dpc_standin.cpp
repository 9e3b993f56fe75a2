// Stand-in for Wine's KeInsertQueueDpc stub: DPCs queued through one-shot timers.
#include "dpc_standin.h"

namespace {

constexpr ULONG kSlots = 32;
constexpr ULONG kImages = 4;

// One DPC of a function driver, relayed through a timer whose own DPC calls it.
struct Relay {
  PKDPC Target;
  PVOID Argument1, Argument2;
  BOOLEAN Queued;
  KTIMER Timer;
  KDPC TimerDpc;
};

Relay g_relays[kSlots];
KSPIN_LOCK g_lock;
PVOID g_boundImages[kImages];

VOID NTAPI RunRelayed(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  Relay* relay = static_cast<Relay*>(Context);
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  PKDPC target = relay->Target;
  PVOID a1 = relay->Argument1, a2 = relay->Argument2;
  relay->Queued = FALSE;  // from here on the DPC may be queued again, as a real DPC once dequeued
  KeReleaseSpinLock(&g_lock, irql);
  target->DeferredRoutine(target, target->DeferredContext, a1, a2);
}

BOOLEAN NTAPI InsertQueueDpc(PRKDPC Dpc, PVOID Argument1, PVOID Argument2) {
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  Relay* relay = NULL;
  for (Relay& r : g_relays) {
    if (r.Target == Dpc) {
      relay = &r;
      break;
    }
    if (!relay && r.Target == NULL) relay = &r;
  }
  if (relay && relay->Target == NULL) {
    relay->Target = Dpc;
    KeInitializeTimer(&relay->Timer);
    KeInitializeDpc(&relay->TimerDpc, RunRelayed, relay);
  }
  BOOLEAN queued = FALSE;
  if (relay && !relay->Queued) {
    relay->Queued = TRUE;
    relay->Argument1 = Argument1;
    relay->Argument2 = Argument2;
    LARGE_INTEGER due;
    due.QuadPart = -1;  // due at once
    (VOID) KeSetTimer(&relay->Timer, due, &relay->TimerDpc);
    queued = TRUE;
  }
  KeReleaseSpinLock(&g_lock, irql);
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

VOID DpcStandInInitialize() { KeInitializeSpinLock(&g_lock); }

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
