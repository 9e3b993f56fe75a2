// The handle table and the kernel side of the Win32 layer. Handles are small multiples of four
// (as Windows' are) that are never reused, so a stale handle stays invalid. A closed object lives
// on while a request started before the close may still signal its event.
#include "win32/machine_link.h"

#include <wdm.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "nt/machine.h"
#include "win32/booted_machine.h"

namespace emu::win32 {
namespace {

struct Object {
  enum class Kind { File, Event };
  Kind kind;
  Machine* machine;
  PFILE_OBJECT file = nullptr;
  bool overlapped = false;
  // An event object's event, or a file's own event (signalled when a request started without
  // an event completes).
  KEVENT event{};
  // Signalled while no request of a synchronous file runs: the I/O manager lets the requests on
  // a file opened without FILE_FLAG_OVERLAPPED through one at a time, so a second thread's
  // request waits until the first one completes.
  KEVENT idle{};
};

static_assert(sizeof(StatusBlock) == sizeof(IO_STATUS_BLOCK) &&
                  offsetof(IO_STATUS_BLOCK, Information) == offsetof(StatusBlock, information),
              "OVERLAPPED starts with an IO_STATUS_BLOCK");

struct Table {
  std::mutex lock;
  std::map<uintptr_t, std::shared_ptr<Object>> objects;
  uintptr_t next = 0x40;
  std::map<HANDLE, ULONG> lastErrors;  // by emulated thread id
};

Table& Handles() {
  static Table* table = new Table;  // outlives every machine and every static destructor
  return *table;
}

thread_local ULONG outsideLastError = 0;

// The machine the API acts on. A program built with the machine (a test) acts on the one that
// is current; an application linked with the shared library gets one booted on first use.
Machine* TargetMachine() {
#ifdef TARNWIRE_WIN32_BOOT
  BootedMachine* booted = ProcessMachine();
  return booted != nullptr ? booted->machine() : nullptr;
#else
  return Machine::CurrentOrNull();
#endif
}

// Whether the caller runs in an emulated context. A thread outside a real-time machine never
// does, and must not look at the kernel that another OS thread runs.
bool InEmulatedContext() {
  Kernel* k = Kernel::CurrentOrNull();
  if (k == nullptr) return false;
  if (BootedMachine::Serving() != nullptr && !BootedMachine::OnMachineThread()) return false;
  return k->InContext();
}

std::shared_ptr<Object> Find(HANDLE h, Object::Kind kind) {
  Table& t = Handles();
  std::lock_guard guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
  if (it == t.objects.end() || it->second->kind != kind || it->second->machine != TargetMachine())
    return nullptr;
  return it->second;
}

std::shared_ptr<Object> FindAny(HANDLE h) {
  auto o = Find(h, Object::Kind::File);
  return o ? o : Find(h, Object::Kind::Event);
}

HANDLE Insert(std::shared_ptr<Object> object) {
  Table& t = Handles();
  std::lock_guard guard(t.lock);
  const uintptr_t value = t.next;
  t.next += 4;
  t.objects[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

IoRequest ToIoRequest(const Request& request) {
  IoRequest r;
  switch (request.operation) {
    case Operation::Read:
      r.majorFunction = IRP_MJ_READ;
      break;
    case Operation::Write:
      r.majorFunction = IRP_MJ_WRITE;
      break;
    case Operation::Flush:
      r.majorFunction = IRP_MJ_FLUSH_BUFFERS;
      break;
    default:
      r.majorFunction = IRP_MJ_DEVICE_CONTROL;
  }
  r.ioControlCode = request.ioControlCode;
  r.inputBuffer = request.input;
  r.inputLength = request.inputLength;
  r.outputBuffer = request.output;
  r.outputLength = request.outputLength;
  return r;
}

}  // namespace

bool RunInMachine(const std::function<void()>& fn) {
  Machine* machine = TargetMachine();
  if (machine == nullptr) return false;
  if (InEmulatedContext()) {
    fn();
    return true;
  }
  // A call from outside the machine gets a thread of its own, whose last error goes with it.
  auto inThread = [&] {
    fn();
    Table& t = Handles();
    std::lock_guard guard(t.lock);
    t.lastErrors.erase(PsGetCurrentThreadId());
  };
  if (BootedMachine* served = BootedMachine::Serving(); served != nullptr && served->machine() == machine)
    return served->Run(inThread);
  return machine->RunInApplicationThread("win32 call", inThread);
}

ULONG NoMachineError() {
#ifdef TARNWIRE_WIN32_BOOT
  return kErrorFileNotFound;
#else
  return kErrorNotReady;
#endif
}

ULONG LastError() {
  if (!InEmulatedContext()) return outsideLastError;
  Table& t = Handles();
  std::lock_guard guard(t.lock);
  auto it = t.lastErrors.find(PsGetCurrentThreadId());
  return it == t.lastErrors.end() ? 0 : it->second;
}

void SetLastErrorValue(ULONG error) {
  if (!InEmulatedContext()) {
    outsideLastError = error;
    return;
  }
  Table& t = Handles();
  std::lock_guard guard(t.lock);
  t.lastErrors[PsGetCurrentThreadId()] = error;
}

HANDLE OpenFile(std::u16string_view name, ACCESS_MASK access, bool overlapped, NTSTATUS* status) {
  Machine* machine = TargetMachine();
  auto object = std::make_shared<Object>(Object{Object::Kind::File, machine});
  object->overlapped = overlapped;
  KeInitializeEvent(&object->event, NotificationEvent, FALSE);
  KeInitializeEvent(&object->idle, SynchronizationEvent, TRUE);
  *status = machine->io().OpenFile(name, access, &object->file);
  if (!NT_SUCCESS(*status)) return nullptr;
  return Insert(std::move(object));
}

bool IsFile(HANDLE h, bool* overlapped) {
  auto o = Find(h, Object::Kind::File);
  if (o && overlapped != nullptr) *overlapped = o->overlapped;
  return o != nullptr;
}

NTSTATUS CloseObject(HANDLE h) {
  std::shared_ptr<Object> o = FindAny(h);
  if (!o) return STATUS_INVALID_HANDLE;
  {
    Table& t = Handles();
    std::lock_guard guard(t.lock);
    t.objects.erase(reinterpret_cast<uintptr_t>(h));
  }
  if (o->kind == Object::Kind::File) return o->machine->io().CloseFile(o->file);
  return STATUS_SUCCESS;
}

NTSTATUS StartRequest(HANDLE file, const Request& request, StatusBlock* block, HANDLE event) {
  auto o = Find(file, Object::Kind::File);
  if (!o) return STATUS_INVALID_HANDLE;
  std::shared_ptr<Object> signal = o;
  if (event != nullptr) {
    // The low bit of an OVERLAPPED's event only keeps the completion from a completion port.
    signal = FindAny(reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(event) & ~uintptr_t{1}));
    if (!signal) return STATUS_INVALID_HANDLE;
  }
  KeClearEvent(&signal->event);
  block->status = static_cast<ULONG_PTR>(STATUS_PENDING);
  block->information = 0;
  IoRequest r = ToIoRequest(request);
  // The file and the event stay until the request completes, even if their handles are closed.
  r.heldUntilCompletion =
      std::make_shared<std::pair<std::shared_ptr<Object>, std::shared_ptr<Object>>>(o, signal);
  return o->machine->io().StartRequest(o->file, r, &signal->event, reinterpret_cast<PIO_STATUS_BLOCK>(block));
}

NTSTATUS SendRequest(HANDLE file, const Request& request, ULONG_PTR* information) {
  auto o = Find(file, Object::Kind::File);
  if (!o) return STATUS_INVALID_HANDLE;
  if (!o->overlapped) KeWaitForSingleObject(&o->idle, UserRequest, UserMode, FALSE, nullptr);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  // What the driver returned is the final status unless the request is pending (a file closed
  // meanwhile is refused without a request and leaves the status block alone).
  NTSTATUS status = o->machine->io().StartRequest(o->file, ToIoRequest(request), &done, &iosb);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, UserRequest, UserMode, FALSE, nullptr);
    status = iosb.Status;
  }
  if (!o->overlapped) KeSetEvent(&o->idle, IO_NO_INCREMENT, FALSE);
  if (information != nullptr) *information = iosb.Information;
  return status;
}

NTSTATUS CancelRequests(HANDLE file, bool callerOnly, StatusBlock* block) {
  auto o = Find(file, Object::Kind::File);
  if (!o) return STATUS_INVALID_HANDLE;
  ULONG matched = 0;
  o->machine->io().CancelFileRequests(o->file, callerOnly ? PsGetCurrentThread() : nullptr,
                                      reinterpret_cast<PIO_STATUS_BLOCK>(block), &matched);
  return matched == 0 && (block != nullptr || !callerOnly) ? kStatusNotFound : STATUS_SUCCESS;
}

HANDLE CreateEventObject(bool manualReset, bool initialState) {
  Machine* machine = TargetMachine();
  auto object = std::make_shared<Object>(Object{Object::Kind::Event, machine});
  KeInitializeEvent(&object->event, manualReset ? NotificationEvent : SynchronizationEvent,
                    initialState ? TRUE : FALSE);
  return Insert(std::move(object));
}

NTSTATUS SetEventObject(HANDLE event) {
  auto o = Find(event, Object::Kind::Event);
  if (!o) return STATUS_INVALID_HANDLE;
  KeSetEvent(&o->event, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS ResetEventObject(HANDLE event) {
  auto o = Find(event, Object::Kind::Event);
  if (!o) return STATUS_INVALID_HANDLE;
  KeClearEvent(&o->event);
  return STATUS_SUCCESS;
}

NTSTATUS WaitForObjects(const HANDLE* handles, ULONG count, bool waitAll, ULONG milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) return STATUS_INVALID_PARAMETER;
  std::vector<std::shared_ptr<Object>> held;  // keeps the objects alive while waiting
  std::vector<PVOID> objects;
  for (ULONG i = 0; i < count; ++i) {
    auto o = FindAny(handles[i]);
    if (!o) return STATUS_INVALID_HANDLE;
    objects.push_back(&o->event);
    held.push_back(std::move(o));
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
  PLARGE_INTEGER limit = milliseconds == 0xFFFFFFFF ? nullptr : &timeout;
  if (count == 1) return KeWaitForSingleObject(objects[0], UserRequest, UserMode, FALSE, limit);
  std::vector<KWAIT_BLOCK> blocks(count);
  return KeWaitForMultipleObjects(count, objects.data(), waitAll ? WaitAll : WaitAny, UserRequest, UserMode,
                                  FALSE, limit, blocks.data());
}

void Delay(ULONG milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
  KeDelayExecutionThread(UserMode, FALSE, &interval);
}

}  // namespace emu::win32
