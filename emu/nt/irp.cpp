// IRPs: allocation and the freed-IRP quarantine, IoCallDriver, IoCompleteRequest with its
// completion-routine walk, the I/O manager's own request builders, and the verifier rules that
// go with them.
#include "nt/happens_before.h"
#include "nt/io_manager.h"
#include "nt/io_records.h"
#include "nt/io_util.h"
#include "nt/object_namespace.h"
#include "nt/verifier.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace emu {

namespace {

constexpr size_t kIrpAlignment = 16;
constexpr size_t kQuarantineSize = 4096;
constexpr size_t kSpareSystemBuffers = 16;
constexpr uint8_t kFreedPattern = 0xDD;
constexpr ULONG kNoMoreIrpStackLocations = 0x35;

const char* MajorName(UCHAR major) {
  static const char* const names[] = {
      "CREATE", "CREATE_NAMED_PIPE", "CLOSE", "READ", "WRITE", "QUERY_INFORMATION",
      "SET_INFORMATION", "QUERY_EA", "SET_EA", "FLUSH_BUFFERS", "QUERY_VOLUME_INFORMATION",
      "SET_VOLUME_INFORMATION", "DIRECTORY_CONTROL", "FILE_SYSTEM_CONTROL", "DEVICE_CONTROL",
      "INTERNAL_DEVICE_CONTROL", "SHUTDOWN", "LOCK_CONTROL", "CLEANUP", "CREATE_MAILSLOT",
      "QUERY_SECURITY", "SET_SECURITY", "POWER", "SYSTEM_CONTROL", "DEVICE_CHANGE",
      "QUERY_QUOTA", "SET_QUOTA", "PNP"};
  return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "?";
}

PIO_STACK_LOCATION FirstLocation(PIRP irp) {
  return reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<uint8_t*>(irp) + sizeof(IRP));
}

void InitializeFields(PIRP irp, USHORT size, CCHAR stackSize) {
  std::memset(irp, 0, size);
  irp->Type = IO_TYPE_IRP;
  irp->Size = size;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->ApcEnvironment = 0;
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = FirstLocation(irp) + stackSize;
}

// What ZeroIrpStackLocation clears once completion has passed a location.
void ZeroLocation(PIO_STACK_LOCATION sp) {
  sp->MinorFunction = 0;
  sp->Flags = 0;
  sp->Control = 0;
  sp->Parameters.Others.Argument1 = nullptr;
  sp->Parameters.Others.Argument2 = nullptr;
  sp->Parameters.Others.Argument3 = nullptr;
  sp->Parameters.Others.Argument4 = nullptr;
  sp->FileObject = nullptr;
}

}  // namespace

void IoManager::TraceIrp(const char* what, PIRP irp, const std::string& detail) {
  if (!kernel_.TraceEnabled()) return;
  // IRPs are named by their allocation number so that traces of the same run read alike.
  auto it = live_.find(irp);
  std::string id = it != live_.end() ? "irp#" + std::to_string(it->second->serial) : HexAddress(irp);
  kernel_.Trace("irp", std::string(what) + " " + id + (detail.empty() ? "" : " ") + detail);
}

void IoManager::UseOfFreedIrp(PIRP irp, const void* routine) {
  // With the IRP's memory gone to special pool, touching it faults:
  // DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL (address, read, the routine that touched it).
  kernel_.BugCheck(bugcheck::kDriverPageFaultInFreedSpecialPool, reinterpret_cast<ULONG_PTR>(irp),
                   0, reinterpret_cast<ULONG_PTR>(routine), 0);
}

std::shared_ptr<IoManager::IrpRecord> IoManager::LookupIrp(PIRP irp, ULONG notAnIrpCode,
                                                           ULONG_PTR notAnIrpSubcode,
                                                           const void* routine) {
  // Requests look up the same IRP several times in a row (call, completion, cancel routine).
  if (irp == lastLookup_.irp) return *lastLookup_.record;
  auto it = live_.find(irp);
  if (it != live_.end()) {
    lastLookup_ = {irp, &it->second};
    return it->second;
  }
  if (freed_.count(irp) != 0) UseOfFreedIrp(irp, routine);
  if (notAnIrpCode == bugcheck::kDriverVerifierIoManagerViolation)
    kernel_.BugCheck(notAnIrpCode, notAnIrpSubcode, reinterpret_cast<ULONG_PTR>(irp));
  kernel_.BugCheck(notAnIrpCode, reinterpret_cast<ULONG_PTR>(irp));
}

PIRP IoManager::AllocateIrp(CCHAR stackSize, IrpOrigin origin, bool mayFail) {
  if (mayFail && kernel_.ShouldFailIrpAllocation()) return nullptr;
  if (stackSize < 1) stackSize = 1;
  USHORT size = IoSizeOfIrp(stackSize);
  auto* irp = static_cast<PIRP>(::operator new(size, std::align_val_t(kIrpAlignment)));
  InitializeFields(irp, size, stackSize);
  auto record = std::make_shared<IrpRecord>();
  record->irp = irp;
  record->size = size;
  record->origin = origin;
  record->serial = ++irpSerial_;
  if (origin != IrpOrigin::Machine) record->driver = verifier::CurrentDriver();
  record->locations.resize(static_cast<size_t>(stackSize) + 2);
  live_[irp] = record;
  return irp;
}

void IoManager::InitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  auto it = live_.find(irp);
  if (it != live_.end() && it->second->ownsMemory) {
    // IoInitializeIrp on an IRP from IoAllocateIrp: only legal through IoReuseIrp.
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, 0x20D, 0,
                     reinterpret_cast<ULONG_PTR>(irp));
  }
  freed_.erase(irp);  // the caller's memory may have held an IRP before
  InitializeFields(irp, packetSize, stackSize);
  auto record = std::make_shared<IrpRecord>();
  record->irp = irp;
  record->size = packetSize;
  record->ownsMemory = false;
  record->origin = IrpOrigin::Driver;
  record->serial = ++irpSerial_;
  record->driver = verifier::CurrentDriver();
  record->locations.resize(static_cast<size_t>(stackSize) + 2);
  live_[irp] = record;
}

void IoManager::ReuseIrp(PIRP irp, NTSTATUS status) {
  auto record = LookupIrp(irp, bugcheck::kDriverVerifierIoManagerViolation, iov::kFreeNonIrp,
                          reinterpret_cast<const void*>(&IoReuseIrp));
  if (record->state == IrpRecord::State::Dispatched)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kFreeIrpInUse, 0,
                     reinterpret_cast<ULONG_PTR>(irp));
  UCHAR allocationFlags = irp->AllocationFlags;
  InitializeFields(irp, irp->Size, irp->StackCount);
  irp->AllocationFlags = allocationFlags;
  irp->IoStatus.Status = status;
  record->state = IrpRecord::State::Allocated;
  std::fill(record->locations.begin(), record->locations.end(), IrpRecord::Location{});
}

void IoManager::ReleaseIrp(const std::shared_ptr<IrpRecord>& record) {
  PIRP irp = record->irp;
  record->state = IrpRecord::State::Freed;
  if (lastLookup_.irp == irp) lastLookup_ = {};
  live_.erase(irp);
  if (!record->ownsMemory) return;  // the driver's own memory: it frees it
  std::memset(irp, kFreedPattern, record->size);
  ASAN_POISON_MEMORY_REGION(irp, record->size);  // until it leaves the quarantine
  if (record->systemBuffer.capacity() != 0 && spareSystemBuffers_.size() < kSpareSystemBuffers)
    spareSystemBuffers_.push_back(std::move(record->systemBuffer));
  record->systemBuffer = {};
  record->mdl.reset();
  freed_[irp] = record;
  quarantine_.push_back(record);
  if (quarantine_.size() > kQuarantineSize) {
    auto oldest = quarantine_.front();
    quarantine_.pop_front();
    auto f = freed_.find(oldest->irp);
    if (f != freed_.end() && f->second == oldest) freed_.erase(f);
    ASAN_UNPOISON_MEMORY_REGION(oldest->irp, oldest->size);
    ::operator delete(oldest->irp, std::align_val_t(kIrpAlignment));
  }
}

void IoManager::TakeSystemBuffer(IrpRecord& record, ULONG length) {
  if (!spareSystemBuffers_.empty()) {
    record.systemBuffer = std::move(spareSystemBuffers_.back());
    spareSystemBuffers_.pop_back();
  }
  record.systemBuffer.resize(length);
}

void IoManager::FreeIrp(PIRP irp) {
  auto record = LookupIrp(irp, bugcheck::kDriverVerifierIoManagerViolation, iov::kFreeNonIrp,
                          reinterpret_cast<const void*>(&IoFreeIrp));
  if (record->origin != IrpOrigin::Driver)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kFreeThreadedIrp,
                     reinterpret_cast<ULONG_PTR>(irp));
  if (record->state == IrpRecord::State::Dispatched)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kFreeIrpInUse, 0,
                     reinterpret_cast<ULONG_PTR>(irp));
  ReleaseIrp(record);
}

// The pending rule, both ways: a dispatch routine returns STATUS_PENDING exactly when its stack
// location is marked pending by the time completion reads it (marked by itself with
// IoMarkIrpPending, by the I/O manager's propagation when it set no completion routine, or by
// its completion routine). Returning STATUS_PENDING unmarked is I/O verifier error 0x23D; marking
// and returning anything else (the I/O manager would then finish the request twice) is 0x23E.
// Checked when both facts are known, whichever comes last.
void IoManager::CheckPendingRule(IrpRecord& record, int location) {
  auto& loc = record.locations[static_cast<size_t>(location)];
  if (!loc.dispatchReturned || !loc.passed || loc.returnedPending == loc.marked) return;
  if (!loc.returnedPending && loc.premarked) return;
  kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation,
                   loc.returnedPending ? iov::kPendingNotMarked : iov::kMarkedButNotPending,
                   reinterpret_cast<ULONG_PTR>(loc.routine),
                   reinterpret_cast<ULONG_PTR>(record.irp),
                   reinterpret_cast<ULONG_PTR>(loc.device));
}

NTSTATUS IoManager::CallDriver(PDEVICE_OBJECT device, PIRP irp) {
  const KIRQL irql = kernel_.CurrentIrql();
  if (irql > DISPATCH_LEVEL)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kCallDriverAboveDispatch,
                     irql);
  auto record = LookupIrp(irp, bugcheck::kDriverVerifierIoManagerViolation,
                          iov::kCallDriverNonIrp, reinterpret_cast<const void*>(&IofCallDriver));
  DeviceRecord* d = FindDevice(device);
  if (d == nullptr || d->released)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kCallDriverBadDevice,
                     reinterpret_cast<ULONG_PTR>(device));

  if (record->state == IrpRecord::State::Allocated) CheckNewIrpStatus(irp, device);
  irp->CurrentLocation--;
  if (irp->CurrentLocation <= 0)
    kernel_.BugCheck(kNoMoreIrpStackLocations, reinterpret_cast<ULONG_PTR>(irp));
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
  sp->DeviceObject = device;
  const int location = irp->CurrentLocation;
  record->state = IrpRecord::State::Dispatched;

  PDRIVER_DISPATCH routine = device->DriverObject->MajorFunction[sp->MajorFunction];
  auto& loc = record->locations[static_cast<size_t>(location)];
  loc = IrpRecord::Location{};
  loc.device = device;
  loc.routine = routine;
  const bool premarked = (sp->Control & SL_PENDING_RETURNED) != 0;

  if (kernel_.TraceEnabled()) {
    std::string detail = std::string("IRP_MJ_") + MajorName(sp->MajorFunction);
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
        sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
      char code[16];
      std::snprintf(code, sizeof code, " 0x%08X", sp->Parameters.DeviceIoControl.IoControlCode);
      detail += code;
    } else if (sp->MajorFunction == IRP_MJ_PNP || sp->MajorFunction == IRP_MJ_POWER ||
               sp->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
      detail += " minor=" + std::to_string(sp->MinorFunction);
    }
    detail += " dev=" + Label(device);
    TraceIrp("call", irp, detail);
  }

  hb::Release(irp);
  NTSTATUS status;
  {
    verifier::DriverScope scope(device->DriverObject);
    status = routine(device, irp);
  }

  const KIRQL after = kernel_.CurrentIrql();
  if (after != irql)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kIrqlChangedInDispatch,
                     reinterpret_cast<ULONG_PTR>(device), irql, after);
  // `loc` may be stale if the location vector was reset by IoReuseIrp; index again.
  // A driver that skipped its location shares it with the one it called: the return checked is
  // this routine's.
  auto& done = record->locations[static_cast<size_t>(location)];
  done.device = device;
  done.routine = routine;
  done.premarked = premarked;
  done.dispatchReturned = true;
  done.returnedPending = status == STATUS_PENDING;
  CheckPendingRule(*record, location);
  return status;
}

void IoManager::CompleteRequest(PIRP irp, CCHAR priorityBoost) {
  const KIRQL irql = kernel_.CurrentIrql();
  if (irql > DISPATCH_LEVEL)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kCompleteAboveDispatch,
                     irql, reinterpret_cast<ULONG_PTR>(irp));
  verifier::CheckNoSpinLockHeldToComplete(irp);
  // A threaded IRP is freed by the I/O manager once its completion is done; on Windows its
  // final processing is still queued to the thread then, so completing it again is
  // MULTIPLE_IRP_COMPLETE_REQUESTS rather than a fault in freed memory.
  auto freed = freed_.find(irp);
  if (freed != freed_.end() && freed->second->freedAfterCompletion)
    kernel_.BugCheck(bugcheck::kMultipleIrpCompleteRequests, reinterpret_cast<ULONG_PTR>(irp));
  auto record = LookupIrp(irp, bugcheck::kMultipleIrpCompleteRequests, 0,
                          reinterpret_cast<const void*>(&IofCompleteRequest));
  if (record->state == IrpRecord::State::Completed ||
      irp->CurrentLocation > static_cast<CHAR>(irp->StackCount + 1))
    kernel_.BugCheck(bugcheck::kMultipleIrpCompleteRequests, reinterpret_cast<ULONG_PTR>(irp));
  if (irp->CancelRoutine != nullptr)
    kernel_.BugCheck(bugcheck::kCancelStateInCompletedIrp, reinterpret_cast<ULONG_PTR>(irp),
                     reinterpret_cast<ULONG_PTR>(irp->CancelRoutine));
  if (irp->IoStatus.Status == STATUS_PENDING || irp->IoStatus.Status == static_cast<NTSTATUS>(-1))
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kCompleteWithPendingStatus,
                     static_cast<ULONG>(irp->IoStatus.Status), reinterpret_cast<ULONG_PTR>(irp));

  EndCancelDeadline(*record);
  hb::Acquire(irp);
  if (kernel_.TraceEnabled())
    TraceIrp("complete", irp,
             "status=" + HexStatus(irp->IoStatus.Status) + " info=" + std::to_string(irp->IoStatus.Information));
  record->state = IrpRecord::State::Completing;

  // Walk up from the completing driver's location. Each location holds the completion routine
  // of the driver above it, which runs with that driver's device object (NULL above the top).
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
  const CHAR top = static_cast<CHAR>(irp->StackCount + 1);
  while (irp->CurrentLocation <= top) {
    const int location = irp->CurrentLocation - 1;
    irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
    auto& loc = record->locations[static_cast<size_t>(location)];
    loc.passed = true;
    loc.marked = irp->PendingReturned != 0;
    CheckPendingRule(*record, location);

    const NTSTATUS status = irp->IoStatus.Status;
    const bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                        (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                        (irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
    if (invoke && sp->CompletionRoutine != nullptr) {
      PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
      PVOID context = sp->Context;
      ZeroLocation(sp);
      PDEVICE_OBJECT owner =
          irp->CurrentLocation == top ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      kernel_.SwitchPoint();  // a completion routine may run after another context's step
      // The routine belongs to the owner's driver; above the top, to the IRP's allocator.
      NTSTATUS result;
      {
        verifier::DriverScope scope(owner != nullptr ? owner->DriverObject : record->driver);
        result = routine(owner, irp, context);
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The IRP is back in its owner's hands (it may already be freed or completed again).
        if (record->state == IrpRecord::State::Completing) record->state = IrpRecord::State::Stopped;
        return;
      }
      if (record->state == IrpRecord::State::Freed)
        UseOfFreedIrp(irp, reinterpret_cast<const void*>(routine));
      if (record->state == IrpRecord::State::Completed)
        kernel_.BugCheck(bugcheck::kMultipleIrpCompleteRequests, reinterpret_cast<ULONG_PTR>(irp));
    } else {
      if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) IoMarkIrpPending(irp);
      ZeroLocation(sp);
    }
    sp++;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
  }

  record->state = IrpRecord::State::Completed;
  if (record->origin == IrpOrigin::Driver) {
    // Completion ran past the top of an IRP that no thread owns: the I/O manager would queue
    // its final processing to a NULL thread. The allocating driver must stop completion with
    // STATUS_MORE_PROCESSING_REQUIRED from its completion routine.
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kUnknown, 0,
                     reinterpret_cast<ULONG_PTR>(irp));
  }
  FinishThreadedIrp(record, priorityBoost);
}

void IoManager::FinishThreadedIrp(const std::shared_ptr<IrpRecord>& record, CCHAR boost) {
  PIRP irp = record->irp;
  const IO_STATUS_BLOCK result = irp->IoStatus;
  if (record->copyBackTo != nullptr && !NT_ERROR(result.Status)) {
    ULONG_PTR n = result.Information;
    if (n > record->copyBackLength || n > record->systemBuffer.size()) {
      kernel_.Trace("irp", "information " + std::to_string(n) + " exceeds the buffer of irp#" +
                               std::to_string(record->serial));
      n = std::min<ULONG_PTR>(record->copyBackLength, record->systemBuffer.size());
    }
    if (n != 0) std::memcpy(record->copyBackTo, record->systemBuffer.data(), n);
  }
  PKEVENT event = irp->UserEvent;
  PIO_STATUS_BLOCK iosb = irp->UserIosb;
  const std::shared_ptr<const void> held = std::move(record->heldUntilCompletion);
  FileRecord* file = record->file;
  if (file != nullptr) file->pending.erase(record->serial);
  if (iosb != nullptr) *iosb = result;
  record->freedAfterCompletion = true;
  if (record->cancelsInProgress > 0) {
    record->releaseDeferred = true;
  } else {
    ReleaseIrp(record);
  }
  if (event != nullptr) KeSetEvent(event, boost, FALSE);
  if (file != nullptr && file->cleanedUp && !file->closed && file->pending.empty())
    SendFinalClose(file, false);
}

PIRP IoManager::BuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                            ULONG inputLength, PVOID output,
                                            ULONG outputLength, BOOLEAN internal, PKEVENT event,
                                            PIO_STATUS_BLOCK iosb) {
  PIRP irp = AllocateIrp(device->StackSize, IrpOrigin::Built, true);
  if (irp == nullptr) return nullptr;
  auto& record = live_[irp];
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  sp->Parameters.DeviceIoControl.IoControlCode = code;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
      if (inputLength != 0 || outputLength != 0) {
        record->systemBuffer.assign(std::max(inputLength, outputLength), 0);
        if (input != nullptr && inputLength != 0)
          std::memcpy(record->systemBuffer.data(), input, inputLength);
        irp->AssociatedIrp.SystemBuffer = record->systemBuffer.data();
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (output != nullptr && outputLength != 0) {
          irp->Flags |= IRP_INPUT_OPERATION;
          record->copyBackTo = output;
          record->copyBackLength = outputLength;
        }
      }
      irp->UserBuffer = output;
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (input != nullptr && inputLength != 0) {
        record->systemBuffer.assign(static_cast<const uint8_t*>(input),
                                    static_cast<const uint8_t*>(input) + inputLength);
        irp->AssociatedIrp.SystemBuffer = record->systemBuffer.data();
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (output != nullptr && outputLength != 0) {
        record->mdl = std::make_unique<MDL>();
        record->mdl->Size = sizeof(MDL);
        record->mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
        record->mdl->MappedSystemVa = record->mdl->StartVa = output;
        record->mdl->ByteCount = outputLength;
        irp->MdlAddress = record->mdl.get();
      }
      break;
    case METHOD_NEITHER:
      sp->Parameters.DeviceIoControl.Type3InputBuffer = input;
      irp->UserBuffer = output;
      break;
  }
  irp->RequestorMode = KernelMode;
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  irp->Tail.Overlay.Thread = kernel_.InContext() ? PsGetCurrentThread() : nullptr;
  return irp;
}

PIRP IoManager::BuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer,
                                           ULONG length, PLARGE_INTEGER offset, PKEVENT event,
                                           PIO_STATUS_BLOCK iosb) {
  PIRP irp = AllocateIrp(device->StackSize, IrpOrigin::Built, true);
  if (irp == nullptr) return nullptr;
  auto& record = live_[irp];
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = static_cast<UCHAR>(major);
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
    if (device->Flags & DO_BUFFERED_IO) {
      record->systemBuffer.assign(length, 0);
      if (major == IRP_MJ_WRITE && length != 0) std::memcpy(record->systemBuffer.data(), buffer, length);
      irp->AssociatedIrp.SystemBuffer = record->systemBuffer.data();
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (major == IRP_MJ_READ) {
        irp->Flags |= IRP_INPUT_OPERATION;
        record->copyBackTo = buffer;
        record->copyBackLength = length;
      }
    } else if (device->Flags & DO_DIRECT_IO) {
      record->mdl = std::make_unique<MDL>();
      record->mdl->Size = sizeof(MDL);
      record->mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
      record->mdl->MappedSystemVa = record->mdl->StartVa = buffer;
      record->mdl->ByteCount = length;
      irp->MdlAddress = record->mdl.get();
    } else {
      irp->UserBuffer = buffer;
    }
    sp->Parameters.Read.Length = length;
    sp->Parameters.Read.ByteOffset.QuadPart = offset != nullptr ? offset->QuadPart : 0;
  }
  irp->RequestorMode = KernelMode;
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  irp->Tail.Overlay.Thread = kernel_.InContext() ? PsGetCurrentThread() : nullptr;
  return irp;
}

}  // namespace emu

// ---------------------------------------------------------------------------------------------
// Io* routines for IRPs
// ---------------------------------------------------------------------------------------------

using emu::IoManager;
using emu::IrpOrigin;

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(DISPATCH_LEVEL, reinterpret_cast<const void*>(&IoAllocateIrp));
  (void)ChargeQuota;
  IoManager::Current().kernel().NoteIrpAllocationSite(__builtin_return_address(0));
  return IoManager::Current().AllocateIrp(StackSize, IrpOrigin::Driver, true);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(DISPATCH_LEVEL, reinterpret_cast<const void*>(&IoFreeIrp));
  IoManager::Current().FreeIrp(Irp);
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  emu::KernelCall();
  IoManager::Current().InitializeIrp(Irp, PacketSize, StackSize);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  emu::KernelCall();
  IoManager::Current().ReuseIrp(Irp, Iostatus);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  emu::KernelCall();
  return IoManager::Current().CallDriver(DeviceObject, Irp);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  emu::KernelCall();
  IoManager::Current().CompleteRequest(Irp, PriorityBoost);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  emu::KernelCall();
  // Documented for IRQL <= APC_LEVEL (PASSIVE_LEVEL when the caller then waits on Event).
  emu::RequireIrqlAtMost(APC_LEVEL, reinterpret_cast<const void*>(&IoBuildDeviceIoControlRequest));
  IoManager::Current().kernel().NoteIrpAllocationSite(__builtin_return_address(0));
  return IoManager::Current().BuildDeviceIoControlRequest(
      IoControlCode, DeviceObject, InputBuffer, InputBufferLength, OutputBuffer,
      OutputBufferLength, InternalDeviceIoControl, Event, IoStatusBlock);
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length,
                                        PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                        PIO_STATUS_BLOCK IoStatusBlock) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&IoBuildSynchronousFsdRequest));
  IoManager::Current().kernel().NoteIrpAllocationSite(__builtin_return_address(0));
  return IoManager::Current().BuildSynchronousFsdRequest(MajorFunction, DeviceObject, Buffer,
                                                         Length, StartingOffset, Event,
                                                         IoStatusBlock);
}
