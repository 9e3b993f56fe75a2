// I/O work items: IoAllocateWorkItem, IoQueueWorkItem and IoFreeWorkItem.
//
// A queued item's routine runs at PASSIVE_LEVEL in a system worker context of its own, created
// when the item is queued and scheduled by the seeded scheduler like any thread, so the same
// seed runs it at the same point. Queueing takes a reference on the item's device object that is
// dropped when the routine returns: a device deleted meanwhile stays allocated until then. The
// item is dequeued before its routine runs, so the routine may queue it again or free it.
//
// Verifier rules, with Windows' codes:
//   queueing an item that is already queued     WORKER_INVALID (0xE4): 1, item, queue type, 0
//   freeing a queued item                       0xE4: 2, item, the routine queued, 0
//   the routine returns above PASSIVE_LEVEL     WORKER_THREAD_RETURNED_AT_BAD_IRQL (0xE1):
//   (a spin lock or fast mutex still held)      the routine, the IRQL, its context, the item
//   the routine returns at PASSIVE_LEVEL owning DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4):
//   a kernel mutex                              0x100A, the worker thread, the mutex, the routine
//                                               (Windows has no worker-specific code for it; this
//                                               is the verifier's "thread ended owning a lock")
//   queueing for a deleted, unreferenced device PAGE_FAULT_IN_FREED_SPECIAL_POOL (0xCC): the device
//   an item of the driver queued or running     DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_
//   when it unloads                             OPERATIONS (0xCE): the routine, 0, 0, 0, as for a
//                                               DPC of the unloaded image
#include <algorithm>
#include <string>

#include "nt/io_manager.h"
#include "nt/io_records.h"
#include "nt/io_util.h"
#include "nt/scheduler.h"
#include "nt/verifier.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT DeviceObject;
  PIO_WORKITEM_ROUTINE Routine;
  PVOID Context;
  WORK_QUEUE_TYPE QueueType;
  BOOLEAN Queued;
};

namespace emu {

namespace {
constexpr ULONG kWorkItemTag = 'IWoI';  // "IoWI"
}  // namespace

PIO_WORKITEM IoManager::AllocateWorkItem(PDEVICE_OBJECT device) {
  DeviceRecord* d = FindDevice(device);
  if (d == nullptr || d->deleted)
    kernel_.BugCheck(bugcheck::kWorkerInvalid, 3, 0, reinterpret_cast<ULONG_PTR>(device), 0);
  auto* item =
      static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag));
  if (item == nullptr) return nullptr;
  *item = _IO_WORKITEM{device, nullptr, nullptr, DelayedWorkQueue, FALSE};
  workItems_.insert(item);
  return item;
}

void IoManager::QueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queueType,
                              PVOID context) {
  verifier::CheckNotFreed(item, sizeof(_IO_WORKITEM), true);
  // The reference is taken on the device object itself: a deleted one that nothing references
  // any more is freed memory.
  DeviceRecord* d = FindDevice(item->DeviceObject);
  if (d == nullptr || d->released)
    kernel_.BugCheck(bugcheck::kPageFaultInFreedSpecialPool, reinterpret_cast<ULONG_PTR>(item->DeviceObject),
                     0, 0, 0);
  if (item->Queued)
    kernel_.BugCheck(bugcheck::kWorkerInvalid, 1, reinterpret_cast<ULONG_PTR>(item),
                     static_cast<ULONG_PTR>(queueType), 0);
  if (routine == nullptr || queueType < CriticalWorkQueue || queueType >= MaximumWorkQueue)
    kernel_.BugCheck(bugcheck::kWorkerInvalid, routine == nullptr ? 7 : 6, reinterpret_cast<ULONG_PTR>(item),
                     static_cast<ULONG_PTR>(queueType), 0);
  item->Routine = routine;
  item->Context = context;
  item->QueueType = queueType;
  item->Queued = TRUE;
  ReferenceObject(item->DeviceObject, 1);

  Kernel::Impl& k = K();
  Context* worker = k.NewContext("worker" + std::to_string(++workerNumber_), ContextKind::System,
                                 [this, item] { RunWorkItem(item); });
  // What the routine creates belongs to the item's driver; the worker itself is the system's.
  worker->driver = item->DeviceObject->DriverObject;
  k.TraceF("work", "queue %s for %s", HexAddress(item).c_str(), Label(item->DeviceObject).c_str());
}

void IoManager::RunWorkItem(PIO_WORKITEM item) {
  // Dequeued before the routine runs: nothing of the item is touched after it returns.
  const PDEVICE_OBJECT device = item->DeviceObject;
  const PIO_WORKITEM_ROUTINE routine = item->Routine;
  const PVOID context = item->Context;
  item->Queued = FALSE;
  const std::pair<PDRIVER_OBJECT, PIO_WORKITEM_ROUTINE> running{device->DriverObject, routine};
  runningWork_.push_back(running);
  kernel_.Trace("work", "run " + HexAddress(item));
  routine(device, context);
  runningWork_.erase(std::find(runningWork_.begin(), runningWork_.end(), running));

  Kernel::Impl& k = K();
  Context* worker = k.current;
  if (worker->irql != PASSIVE_LEVEL)
    kernel_.BugCheck(bugcheck::kWorkerThreadReturnedAtBadIrql, reinterpret_cast<ULONG_PTR>(routine),
                     worker->irql, reinterpret_cast<ULONG_PTR>(context), reinterpret_cast<ULONG_PTR>(item));
  if (!worker->mutexes.empty() || !worker->spinLocks.empty()) {
    const void* lock = !worker->mutexes.empty() ? worker->mutexes.back() : worker->spinLocks.back();
    kernel_.BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x100A,
                     reinterpret_cast<ULONG_PTR>(worker->thread), reinterpret_cast<ULONG_PTR>(lock),
                     reinterpret_cast<ULONG_PTR>(routine));
  }
  ReferenceObject(device, -1);
}

void IoManager::FreeWorkItem(PIO_WORKITEM item) {
  verifier::CheckNotFreed(item, sizeof(_IO_WORKITEM), false);
  if (item->Queued)
    kernel_.BugCheck(bugcheck::kWorkerInvalid, 2, reinterpret_cast<ULONG_PTR>(item),
                     reinterpret_cast<ULONG_PTR>(item->Routine), 0);
  workItems_.erase(item);
  ExFreePoolWithTag(item, kWorkItemTag);
}

size_t IoManager::WorkInProgress() const {
  size_t n = runningWork_.size();
  for (PIO_WORKITEM item : workItems_) n += item->Queued ? 1 : 0;
  return n;
}

void IoManager::VerifyNoWorkItemOf(PDRIVER_OBJECT driver) {
  for (PIO_WORKITEM item : workItems_) {
    if (!item->Queued || item->DeviceObject->DriverObject != driver) continue;
    kernel_.Trace("work", HexAddress(item) + " still queued at unload");
    kernel_.BugCheck(bugcheck::kDriverUnloadedWithoutCancellingPendingOperations,
                     reinterpret_cast<ULONG_PTR>(item->Routine), 0, 0, 0);
  }
  for (const auto& [owner, routine] : runningWork_) {
    if (owner != driver) continue;
    kernel_.Trace("work", "a work item routine still runs at unload");
    kernel_.BugCheck(bugcheck::kDriverUnloadedWithoutCancellingPendingOperations,
                     reinterpret_cast<ULONG_PTR>(routine), 0, 0, 0);
  }
}

}  // namespace emu

using emu::IoManager;

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(DISPATCH_LEVEL, reinterpret_cast<const void*>(&IoAllocateWorkItem));
  return IoManager::Current().AllocateWorkItem(DeviceObject);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(DISPATCH_LEVEL, reinterpret_cast<const void*>(&IoQueueWorkItem));
  IoManager::Current().QueueWorkItem(IoWorkItem, WorkerRoutine, QueueType, Context);
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(DISPATCH_LEVEL, reinterpret_cast<const void*>(&IoFreeWorkItem));
  IoManager::Current().FreeWorkItem(IoWorkItem);
}
