// File objects and the requests the I/O manager sends on behalf of applications and of the Plug
// and Play and power managers: open (with the exclusive-device rule), cleanup and close, reads,
// writes, control codes and any other major function, with buffered, direct or neither I/O.
#include "nt/io_manager.h"
#include "nt/io_records.h"
#include "nt/io_util.h"
#include "nt/object_namespace.h"
#include "nt/pnp_manager.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace emu {

namespace {

void RequireContext(Kernel& kernel, const char* what) {
  if (!kernel.InContext())
    throw std::logic_error(std::string(what) +
                           " must run in an emulated thread (see Machine for wrappers)");
}

}  // namespace

IoManager::FileRecord* IoManager::FindFile(PFILE_OBJECT file) const {
  auto it = files_.find(file);
  return it == files_.end() ? nullptr : it->second.get();
}

size_t IoManager::PendingRequestCount(PFILE_OBJECT file) const {
  FileRecord* f = FindFile(file);
  return f == nullptr ? 0 : f->pending.size();
}

size_t IoManager::OpenFilesOnStack(PDEVICE_OBJECT pdo) const {
  size_t n = 0;
  for (auto& [fo, f] : files_)
    if (!f->gone && PhysicalDeviceOf(fo->DeviceObject) == pdo) ++n;
  return n;
}

size_t IoManager::OpenFileCount() const {
  size_t n = 0;
  for (auto& [fo, f] : files_)
    if (!f->cleanedUp) ++n;
  return n;
}

PIRP IoManager::BuildMachineIrp(PDEVICE_OBJECT top, FileRecord* file, const IoRequest& request,
                                PKEVENT event, PIO_STATUS_BLOCK iosb) {
  PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::Machine, false);
  auto& record = live_[irp];
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = request.majorFunction;
  sp->MinorFunction = request.minorFunction;
  irp->IoStatus.Status = request.initialStatus;
  irp->RequestorMode = file != nullptr ? UserMode : KernelMode;
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  record->heldUntilCompletion = request.heldUntilCompletion;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  if (file != nullptr) {
    sp->FileObject = &file->object;
    irp->Tail.Overlay.OriginalFileObject = &file->object;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    record->file = file;
    file->pending.emplace(record->serial, irp);
  }

  auto bufferIn = [&](const void* data, ULONG length) {
    TakeSystemBuffer(*record, length);
    if (data != nullptr && length != 0) std::memcpy(record->systemBuffer.data(), data, length);
    irp->AssociatedIrp.SystemBuffer = record->systemBuffer.data();
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  };
  auto bufferOut = [&](void* data, ULONG length) {
    irp->Flags |= IRP_INPUT_OPERATION;
    record->copyBackTo = data;
    record->copyBackLength = length;
  };
  auto mapDirect = [&](void* data, ULONG length) {
    record->mdl = std::make_unique<MDL>();
    record->mdl->Size = sizeof(MDL);
    record->mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
    record->mdl->MappedSystemVa = record->mdl->StartVa = data;
    record->mdl->ByteCount = length;
    irp->MdlAddress = record->mdl.get();
  };

  switch (request.majorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
      const bool read = request.majorFunction == IRP_MJ_READ;
      void* data = read ? request.outputBuffer : const_cast<void*>(request.inputBuffer);
      ULONG length = read ? request.outputLength : request.inputLength;
      if (top->Flags & DO_BUFFERED_IO) {
        if (length != 0) {
          bufferIn(read ? nullptr : data, length);
          if (read) bufferOut(data, length);
        }
      } else if (top->Flags & DO_DIRECT_IO) {
        if (length != 0) mapDirect(data, length);
      } else {
        irp->UserBuffer = data;
      }
      sp->Parameters.Read.Length = length;
      sp->Parameters.Read.ByteOffset.QuadPart = request.byteOffset;
      irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
      break;
    }
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      const ULONG code = request.ioControlCode;
      sp->Parameters.DeviceIoControl.IoControlCode = code;
      sp->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
      sp->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
      switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED:
          if (request.inputLength != 0 || request.outputLength != 0) {
            bufferIn(nullptr, std::max(request.inputLength, request.outputLength));
            if (request.inputBuffer != nullptr && request.inputLength != 0)
              std::memcpy(record->systemBuffer.data(), request.inputBuffer, request.inputLength);
            if (request.outputBuffer != nullptr && request.outputLength != 0)
              bufferOut(request.outputBuffer, request.outputLength);
          }
          irp->UserBuffer = request.outputBuffer;
          break;
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
          if (request.inputLength != 0) bufferIn(request.inputBuffer, request.inputLength);
          if (request.outputLength != 0) mapDirect(request.outputBuffer, request.outputLength);
          break;
        default:
          sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(request.inputBuffer);
          irp->UserBuffer = request.outputBuffer;
          break;
      }
      break;
    }
    case IRP_MJ_QUERY_INFORMATION:
      sp->Parameters.QueryFile.Length = request.outputLength;
      sp->Parameters.QueryFile.FileInformationClass =
          static_cast<FILE_INFORMATION_CLASS>(request.informationClass);
      if (request.outputLength != 0) {
        bufferIn(nullptr, request.outputLength);
        bufferOut(request.outputBuffer, request.outputLength);
      }
      break;
    case IRP_MJ_SET_INFORMATION:
      sp->Parameters.SetFile.Length = request.inputLength;
      sp->Parameters.SetFile.FileInformationClass =
          static_cast<FILE_INFORMATION_CLASS>(request.informationClass);
      if (request.inputLength != 0) bufferIn(request.inputBuffer, request.inputLength);
      break;
    default:
      break;
  }
  if (request.setup) request.setup(sp);
  return irp;
}

// Sends an I/O-manager IRP and applies the verifier's rules for the top-level dispatch: a
// status other than STATUS_PENDING means the IRP has been completed, with that same status.
NTSTATUS IoManager::IssueAndCheck(PDEVICE_OBJECT top, PIRP irp) {
  std::shared_ptr<IrpRecord> record = live_.at(irp);
  PIO_STATUS_BLOCK iosb = irp->UserIosb;
  const int location = irp->CurrentLocation - 1;
  NTSTATUS status = CallDriver(top, irp);
  if (status == STATUS_PENDING) return status;
  const auto state = record->state;
  PDRIVER_DISPATCH routine = record->locations[static_cast<size_t>(location)].routine;
  if (state != IrpRecord::State::Completing && state != IrpRecord::State::Completed &&
      state != IrpRecord::State::Freed)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kNotCompletedNorPending,
                     reinterpret_cast<ULONG_PTR>(routine), reinterpret_cast<ULONG_PTR>(irp),
                     reinterpret_cast<ULONG_PTR>(top));
  if (state == IrpRecord::State::Freed && iosb != nullptr && iosb->Status != status)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kStatusMismatch,
                     reinterpret_cast<ULONG_PTR>(routine), reinterpret_cast<ULONG_PTR>(irp),
                     static_cast<ULONG>(status));
  return status;
}

NTSTATUS IoManager::WaitFor(NTSTATUS status, PKEVENT event, PIO_STATUS_BLOCK iosb,
                            ULONG_PTR* information) {
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
  }
  if (information != nullptr) *information = iosb->Information;
  return iosb->Status;
}

NTSTATUS IoManager::OpenFile(std::u16string_view name, ACCESS_MASK access, PFILE_OBJECT* file) {
  RequireContext(kernel_, "OpenFile");
  *file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  std::u16string remainder;
  NTSTATUS status = names_.Resolve(name, &device, &remainder);
  if (!NT_SUCCESS(status)) return status;
  DeviceRecord* d = FindDevice(device);
  // A device being deleted, or one whose driver has not finished initialising it, cannot be
  // opened.
  if (d == nullptr || d->deleted || (device->Flags & DO_DEVICE_INITIALIZING))
    return STATUS_NO_SUCH_DEVICE;
  // A device whose removal began takes no new opens.
  if (pnp_ != nullptr) {
    status = pnp_->CheckOpen(device);
    if (!NT_SUCCESS(status)) {
      kernel_.Trace("irp", "open " + Narrow(name) + " refused: removal began");
      return status;
    }
  }
  // The exclusive rule is the I/O manager's: the driver never sees the second open.
  if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
    kernel_.Trace("irp", "open " + Narrow(name) + " refused: exclusive device already open");
    return STATUS_ACCESS_DENIED;
  }

  auto record = std::make_unique<FileRecord>();
  FileRecord* f = record.get();
  FILE_OBJECT& fo = f->object;
  fo.Type = IO_TYPE_FILE;
  fo.Size = sizeof(FILE_OBJECT);
  fo.DeviceObject = device;
  f->fileName = remainder;
  fo.FileName.Buffer = f->fileName.empty() ? nullptr : f->fileName.data();
  fo.FileName.Length = fo.FileName.MaximumLength =
      static_cast<USHORT>(f->fileName.size() * sizeof(WCHAR));
  fo.Flags = FO_SYNCHRONOUS_IO;
  fo.ReadAccess = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
  fo.WriteAccess = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
  f->securityContext.DesiredAccess = access;
  files_[&fo] = std::move(record);

  device->ReferenceCount++;
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  IoRequest create;
  create.majorFunction = IRP_MJ_CREATE;
  create.setup = [&](PIO_STACK_LOCATION sp) {
    sp->Parameters.Create.SecurityContext = &f->securityContext;
    sp->Parameters.Create.Options =
        (FILE_OPEN << 24) | FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    sp->Parameters.Create.ShareAccess = 0;
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = BuildMachineIrp(top, f, create, &event, &iosb);
  irp->Flags |= IRP_CREATE_OPERATION;
  status = WaitFor(IssueAndCheck(top, irp), &event, &iosb, nullptr);
  if (!NT_SUCCESS(status)) {
    f->cleanedUp = f->closed = f->gone = true;
    DropOpenReference(device);
    if (pnp_ != nullptr) pnp_->FileClosed(device);
    return status;
  }
  fo.Flags |= FO_HANDLE_CREATED;
  *file = &fo;
  return status;
}

NTSTATUS IoManager::CloseFile(PFILE_OBJECT file) {
  RequireContext(kernel_, "CloseFile");
  FileRecord* f = FindFile(file);
  if (f == nullptr || f->cleanedUp) return STATUS_INVALID_HANDLE;
  IoRequest cleanup;
  cleanup.majorFunction = IRP_MJ_CLEANUP;
  NTSTATUS status = SendRequest(file, cleanup);
  f->cleanedUp = true;
  file->Flags |= FO_CLEANUP_COMPLETE;
  if (f->pending.empty()) SendFinalClose(f, true);
  return status;
}

void IoManager::SendFinalClose(FileRecord* f, bool inCaller) {
  f->closed = true;
  auto send = [this, f]() {
    PFILE_OBJECT fo = &f->object;
    PDEVICE_OBJECT top = IoGetAttachedDevice(fo->DeviceObject);
    IoRequest close;
    close.majorFunction = IRP_MJ_CLOSE;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = BuildMachineIrp(top, f, close, &event, &iosb);
    irp->Flags |= IRP_CLOSE_OPERATION;
    WaitFor(IssueAndCheck(top, irp), &event, &iosb, nullptr);
    PDEVICE_OBJECT device = fo->DeviceObject;
    f->gone = true;
    DropOpenReference(device);
    if (pnp_ != nullptr) pnp_->FileClosed(device);
  };
  // The last reference usually goes in the closing thread. When it goes with the completion
  // of a request (in whatever context, possibly at DISPATCH_LEVEL), the close is sent from a
  // system thread.
  if (inCaller) {
    send();
  } else {
    kernel_.StartSystemThread("close", send);
  }
}

NTSTATUS IoManager::StartRequest(PFILE_OBJECT file, const IoRequest& request, PKEVENT event,
                                 PIO_STATUS_BLOCK iosb) {
  FileRecord* f = FindFile(file);
  if (f == nullptr || f->cleanedUp) return STATUS_INVALID_HANDLE;
  PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
  PIRP irp = BuildMachineIrp(top, f, request, event, iosb);
  return IssueAndCheck(top, irp);
}

NTSTATUS IoManager::SendRequest(PFILE_OBJECT file, const IoRequest& request,
                                ULONG_PTR* information) {
  RequireContext(kernel_, "SendRequest");
  FileRecord* f = FindFile(file);
  if (f == nullptr || f->closed) return STATUS_INVALID_HANDLE;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
  PIRP irp = BuildMachineIrp(top, f, request, &event, &iosb);
  return WaitFor(IssueAndCheck(top, irp), &event, &iosb, information);
}

NTSTATUS IoManager::SendToStack(PDEVICE_OBJECT device, const IoRequest& request,
                                ULONG_PTR* information, PIRP* sent) {
  RequireContext(kernel_, "SendToStack");
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  PIRP irp = BuildMachineIrp(top, nullptr, request, &event, &iosb);
  if (sent != nullptr) *sent = irp;
  return WaitFor(IssueAndCheck(top, irp), &event, &iosb, information);
}

ULONG IoManager::CancelFileRequests(PFILE_OBJECT file) {
  return CancelFileRequests(file, nullptr, nullptr, nullptr);
}

ULONG IoManager::CancelFileRequests(PFILE_OBJECT file, PETHREAD thread, PIO_STATUS_BLOCK iosb,
                                    ULONG* matched) {
  if (matched != nullptr) *matched = 0;
  FileRecord* f = FindFile(file);
  if (f == nullptr) return 0;
  ULONG cancelled = 0;
  std::vector<std::pair<uint64_t, PIRP>> pending;
  for (auto [serial, irp] : f->pending) {
    if (thread != nullptr && irp->Tail.Overlay.Thread != thread) continue;
    if (iosb != nullptr && irp->UserIosb != iosb) continue;
    pending.emplace_back(serial, irp);
  }
  if (matched != nullptr) *matched = static_cast<ULONG>(pending.size());
  for (auto [serial, irp] : pending) {
    // An earlier cancel routine may have completed later requests of the list already.
    if (f->pending.count(serial) == 0) continue;
    if (IoCancelIrp(irp)) ++cancelled;
  }
  return cancelled;
}

}  // namespace emu
