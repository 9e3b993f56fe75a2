// Cancellation: the system cancel spin lock, IoSetCancelRoutine and IoCancelIrp.
#include "nt/io_manager.h"
#include "nt/io_records.h"
#include "nt/io_util.h"

namespace emu {

namespace {
constexpr ULONG kDriverReturnedHoldingCancelLock = 0x11B;
}  // namespace

// Identifies the context holding the cancel spin lock: the current thread, or the processor's
// DPC context.
const void* IoManager::CurrentContextToken() const {
  static const int kOutsideContexts = 0;
  if (!kernel_.InContext()) return &kOutsideContexts;
  return KeGetCurrentThread();
}

void IoManager::AcquireCancelSpinLock(PKIRQL irql) {
  KeAcquireSpinLock(&cancelLock_, irql);
  cancelLockOwner_ = CurrentContextToken();
}

void IoManager::ReleaseCancelSpinLock(KIRQL irql) {
  cancelLockOwner_ = nullptr;
  KeReleaseSpinLock(&cancelLock_, irql);
}

PDRIVER_CANCEL IoManager::SetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
  LookupIrp(irp, bugcheck::kDriverVerifierIoManagerViolation, iov::kCallDriverNonIrp,
            reinterpret_cast<const void*>(&IoSetCancelRoutine));
  return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine), reinterpret_cast<PVOID>(routine)));
}

BOOLEAN IoManager::CancelIrp(PIRP irp) {
  std::shared_ptr<IrpRecord> record =
      LookupIrp(irp, bugcheck::kDriverVerifierIoManagerViolation, iov::kCallDriverNonIrp,
                reinterpret_cast<const void*>(&IoCancelIrp));
  TraceIrp("cancel", irp, "");
  record->cancelsInProgress++;
  BOOLEAN called = CancelHeldIrp(irp, *record);
  if (--record->cancelsInProgress == 0 && record->releaseDeferred) {
    record->releaseDeferred = false;
    ReleaseIrp(record);
  }
  return called;
}

BOOLEAN IoManager::CancelHeldIrp(PIRP irp, IrpRecord& record) {
  KIRQL irql;
  AcquireCancelSpinLock(&irql);
  // Another context may have finished with the IRP while this one waited for the lock: the
  // owner of an IRP it frees itself must keep it alive across IoCancelIrp.
  if (record.state == IrpRecord::State::Freed) UseOfFreedIrp(irp, reinterpret_cast<const void*>(&IoCancelIrp));
  irp->Cancel = TRUE;
  auto routine = reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine), nullptr));
  StartCancelDeadline(irp, routine);
  if (routine == nullptr) {
    ReleaseCancelSpinLock(irql);
    return FALSE;
  }
  // The routine runs holding the cancel spin lock, with the IRQL to return to in CancelIrql; it
  // must release the lock itself.
  irp->CancelIrql = irql;
  const void* me = CurrentContextToken();
  routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
  if (cancelLockOwner_ == me)
    kernel_.BugCheck(kDriverReturnedHoldingCancelLock, reinterpret_cast<ULONG_PTR>(irp),
                     reinterpret_cast<ULONG_PTR>(routine));
  return TRUE;
}

}  // namespace emu

using emu::IoManager;

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { IoManager::Current().AcquireCancelSpinLock(Irql); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { IoManager::Current().ReleaseCancelSpinLock(Irql); }

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  emu::KernelCall();
  return IoManager::Current().SetCancelRoutine(Irp, CancelRoutine);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  emu::RequireIrqlAtMost(DISPATCH_LEVEL, reinterpret_cast<const void*>(&IoCancelIrp));
  return IoManager::Current().CancelIrp(Irp);
}
