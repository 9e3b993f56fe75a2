// The emulated machine: construction order, driver loading and unloading, device arrival and
// the request routines.
#include "nt/machine.h"
#include "nt/information_lengths.h"

#include "nt/io_util.h"
#include "nt/verifier.h"

#include <cstring>
#include <stdexcept>

namespace emu {

namespace {
Machine* g_current = nullptr;
// SetWmiItem's item id for a change of the whole instance.
constexpr ULONG kWholeBlock = 0xFFFFFFFFu;
}  // namespace

Machine::Machine(KernelConfig config)
    : kernel_(std::make_unique<Kernel>(config)),
      registry_(std::make_unique<Registry>()),
      objects_(std::make_unique<ObjectNamespace>()),
      io_(std::make_unique<IoManager>(*kernel_, *objects_, *registry_)),
      pnp_(std::make_unique<PnpManager>(*this)),
      power_(std::make_unique<PowerManager>(*this)) {
  io_->SetPnpManager(pnp_.get());
  registry_->CreateKey(kRegistrySerialComm);
  g_current = this;
}

Machine::~Machine() {
  if (g_current == this) g_current = nullptr;
  io_->SetPnpManager(nullptr);
  power_.reset();
  pnp_.reset();
  io_.reset();
  objects_.reset();
  registry_.reset();
  kernel_.reset();
}

Machine& Machine::Current() {
  if (g_current == nullptr) throw std::logic_error("no emu::Machine exists");
  return *g_current;
}

Machine* Machine::CurrentOrNull() { return g_current; }

std::u16string Machine::ServiceKeyPath(std::u16string_view serviceName) {
  return std::u16string(kRegistryServices) + u"\\" + std::u16string(serviceName);
}

bool Machine::RunInApplicationThread(std::string name, std::function<void()> body) {
  if (kernel_->InContext()) {
    body();
    return true;
  }
  Kernel::ContextId id = kernel_->StartApplicationThread(std::move(name), std::move(body));
  return kernel_->RunUntil([&] { return kernel_->ContextFinished(id); });
}

bool Machine::RunInSystemThread(std::string name, std::function<void()> body) {
  if (kernel_->InContext()) {
    body();
    return true;
  }
  Kernel::ContextId id = kernel_->StartSystemThread(std::move(name), std::move(body));
  return kernel_->RunUntil([&] { return kernel_->ContextFinished(id); });
}

NTSTATUS Machine::RunRequest(const char* name, std::function<NTSTATUS()> body,
                             bool systemThread) {
  // The result lives on the heap: a request that never finishes leaves its thread behind.
  auto result = std::make_shared<NTSTATUS>(STATUS_PENDING);
  auto run = [result, body = std::move(body)] { *result = body(); };
  bool done = systemThread ? RunInSystemThread(name, run) : RunInApplicationThread(name, run);
  return done ? *result : STATUS_PENDING;
}

PDRIVER_OBJECT Machine::LoadDriver(std::u16string_view serviceName, PDRIVER_INITIALIZE entry,
                                   std::u16string_view serviceKeyPath, NTSTATUS* status) {
  std::u16string key =
      serviceKeyPath.empty() ? ServiceKeyPath(serviceName) : std::u16string(serviceKeyPath);
  if (!registry_->KeyExists(key)) {
    registry_->CreateKey(key);
    registry_->SetDword(key, u"Type", 1);   // kernel driver
    registry_->SetDword(key, u"Start", 3);  // demand start (Plug and Play)
    registry_->SetDword(key, u"ErrorControl", 1);
  }
  PDRIVER_OBJECT driver = io_->CreateDriverObject(serviceName, key);
  driver->DriverInit = entry;

  // RegistryPath is valid only during DriverEntry; the copy is wiped afterwards so that a
  // driver keeping the pointer reads garbage.
  auto path = std::make_shared<std::u16string>(key);
  auto registryPath = std::make_shared<UNICODE_STRING>();
  registryPath->Buffer = path->data();
  registryPath->Length = static_cast<USHORT>(path->size() * sizeof(WCHAR));
  registryPath->MaximumLength = static_cast<USHORT>(registryPath->Length + sizeof(WCHAR));

  kernel_->Trace("driver", "load " + Narrow(serviceName));
  NTSTATUS result = RunRequest(
      "DriverEntry",
      [driver, entry, registryPath] {
        verifier::DriverScope scope(driver);
        return entry(driver, registryPath.get());
      },
      true);
  std::fill(path->begin(), path->end(), u'\xDDDD');
  kernel_->Trace("driver", "DriverEntry " + Narrow(serviceName) + " " + HexStatus(result));
  if (status != nullptr) *status = result;
  if (!NT_SUCCESS(result)) {
    io_->VerifyDriverGone(driver);
    return nullptr;
  }
  return driver;
}

void Machine::UnloadDriver(PDRIVER_OBJECT driver) {
  kernel_->Trace("driver", "unload " + io_->DriverNameOf(driver));
  if (driver->DriverUnload != nullptr) {
    bool done = RunInSystemThread("DriverUnload", [driver] {
      verifier::DriverScope scope(driver);
      driver->DriverUnload(driver);
    });
    if (!done) throw std::runtime_error("the driver's unload routine did not return");
  }
  io_->VerifyDriverGone(driver);
}

PDEVICE_OBJECT Machine::CreatePhysicalDevice(std::u16string_view instancePath, BusDriver& bus) {
  return io_->CreatePhysicalDevice(instancePath, bus);
}

NTSTATUS Machine::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
  if (addDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = RunRequest(
      "AddDevice",
      [driver, pdo, addDevice] {
        verifier::DriverScope scope(driver);
        return addDevice(driver, pdo);
      },
      true);
  kernel_->Trace("pnp", "AddDevice " + io_->DriverNameOf(driver) + " " + HexStatus(status));
  if (NT_SUCCESS(status)) {
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
      if (d->DriverObject == driver && (d->Flags & DO_DEVICE_INITIALIZING))
        kernel_->BugCheck(bugcheck::kDriverVerifierIoManagerViolation,
                          iov::kInitializingNotCleared, reinterpret_cast<ULONG_PTR>(addDevice), 0,
                          reinterpret_cast<ULONG_PTR>(d));
    }
  }
  return status;
}

NTSTATUS Machine::SendPnp(PDEVICE_OBJECT pdo, UCHAR minorFunction,
                          std::function<void(PIO_STACK_LOCATION)> setup, ULONG_PTR* information) {
  auto request = std::make_shared<IoRequest>();
  request->majorFunction = IRP_MJ_PNP;
  request->minorFunction = minorFunction;
  request->initialStatus = STATUS_NOT_SUPPORTED;
  request->setup = std::move(setup);
  auto info = std::make_shared<ULONG_PTR>(0);
  NTSTATUS status = RunRequest(
      "pnp", [this, pdo, request, info] { return io_->SendToStack(pdo, *request, info.get()); },
      true);
  if (information != nullptr) *information = *info;
  return status;
}

NTSTATUS Machine::SendPower(PDEVICE_OBJECT pdo, UCHAR minorFunction,
                            std::function<void(PIO_STACK_LOCATION)> setup,
                            ULONG_PTR* information) {
  auto request = std::make_shared<IoRequest>();
  request->majorFunction = IRP_MJ_POWER;
  request->minorFunction = minorFunction;
  request->initialStatus = STATUS_NOT_SUPPORTED;
  request->setup = std::move(setup);
  auto info = std::make_shared<ULONG_PTR>(0);
  NTSTATUS status = RunRequest(
      "power", [this, pdo, request, info] { return io_->SendToStack(pdo, *request, info.get()); },
      true);
  if (information != nullptr) *information = *info;
  return status;
}

std::u16string Machine::WmiInstanceName(PDEVICE_OBJECT pdo, ULONG index) {
  return WmiService::PdoInstanceName(io_->InstancePath(pdo), index);
}

WmiQueryResult Machine::QueryWmiBlock(const GUID& guid, std::u16string_view instanceName,
                                      ULONG dataSize) {
  auto result = std::make_shared<WmiQueryResult>();
  result->status = STATUS_PENDING;
  auto name = std::make_shared<std::u16string>(instanceName);
  RunInSystemThread("wmi", [this, result, name, guid, dataSize] {
    *result = io_->Wmi().QuerySingleInstance(guid, *name, dataSize);
  });
  return *result;
}

NTSTATUS Machine::QueryWmiAllData(const GUID& guid, std::vector<WmiInstance>* instances,
                                  ULONG dataSize) {
  auto found = std::make_shared<std::vector<WmiInstance>>();
  NTSTATUS status = RunRequest(
      "wmi",
      [this, found, guid, dataSize] { return io_->Wmi().QueryAllData(guid, dataSize, found.get()); },
      true);
  *instances = *found;
  return status;
}

// The data is copied: a request that never finishes keeps its own.
NTSTATUS Machine::SetWmiBlock(const GUID& guid, std::u16string_view instanceName, const void* data,
                              ULONG size) {
  return SetWmiItem(guid, instanceName, kWholeBlock, data, size);
}

NTSTATUS Machine::SetWmiItem(const GUID& guid, std::u16string_view instanceName, ULONG itemId,
                             const void* data, ULONG size) {
  auto name = std::make_shared<std::u16string>(instanceName);
  const auto* bytes = static_cast<const uint8_t*>(data);
  auto copy = std::make_shared<std::vector<uint8_t>>(bytes, bytes + size);
  return RunRequest(
      "wmi",
      [this, guid, name, copy, itemId] {
        WmiService& wmi = io_->Wmi();
        const auto length = static_cast<ULONG>(copy->size());
        return itemId == kWholeBlock ? wmi.SetSingleInstance(guid, *name, copy->data(), length)
                                     : wmi.SetSingleItem(guid, *name, itemId, copy->data(), length);
      },
      true);
}

NTSTATUS Machine::Open(std::u16string_view name, PFILE_OBJECT* file, ACCESS_MASK access) {
  auto out = std::make_shared<PFILE_OBJECT>(nullptr);
  auto path = std::make_shared<std::u16string>(name);
  NTSTATUS status = RunRequest(
      "open", [this, out, path, access] { return io_->OpenFile(*path, access, out.get()); },
      false);
  *file = *out;
  return status;
}

NTSTATUS Machine::Close(PFILE_OBJECT file) {
  return RunRequest("close", [this, file] { return io_->CloseFile(file); }, false);
}

NTSTATUS Machine::Send(PFILE_OBJECT file, const IoRequest& request, ULONG_PTR* information) {
  if (kernel_->InContext()) {
    // Already on an emulated thread (an application's): the request runs on it, as RunRequest
    // would do, without the copies a thread of its own needs.
    ULONG_PTR info = 0;
    const NTSTATUS status = io_->SendRequest(file, request, &info);
    if (information != nullptr) *information = info;
    return status;
  }
  auto copy = std::make_shared<IoRequest>(request);
  auto info = std::make_shared<ULONG_PTR>(0);
  NTSTATUS status = RunRequest(
      "request", [this, file, copy, info] { return io_->SendRequest(file, *copy, info.get()); },
      false);
  if (information != nullptr) *information = *info;
  return status;
}

NTSTATUS Machine::Read(PFILE_OBJECT file, void* buffer, ULONG length, ULONG_PTR* transferred) {
  IoRequest request;
  request.majorFunction = IRP_MJ_READ;
  request.outputBuffer = buffer;
  request.outputLength = length;
  return Send(file, request, transferred);
}

NTSTATUS Machine::Write(PFILE_OBJECT file, const void* buffer, ULONG length,
                        ULONG_PTR* transferred) {
  IoRequest request;
  request.majorFunction = IRP_MJ_WRITE;
  request.inputBuffer = buffer;
  request.inputLength = length;
  return Send(file, request, transferred);
}

NTSTATUS Machine::DeviceIoControl(PFILE_OBJECT file, ULONG ioControlCode, const void* input,
                                  ULONG inputLength, void* output, ULONG outputLength,
                                  ULONG_PTR* information) {
  IoRequest request;
  request.majorFunction = IRP_MJ_DEVICE_CONTROL;
  request.ioControlCode = ioControlCode;
  request.inputBuffer = input;
  request.inputLength = inputLength;
  request.outputBuffer = output;
  request.outputLength = outputLength;
  return Send(file, request, information);
}

NTSTATUS Machine::QueryInformation(PFILE_OBJECT file, ULONG informationClass, void* buffer,
                                   ULONG length, ULONG_PTR* information) {
  if (information != nullptr) *information = 0;
  if (NTSTATUS refused = CheckQueryInformation(informationClass, length); refused != STATUS_SUCCESS) return refused;
  IoRequest request;
  request.majorFunction = IRP_MJ_QUERY_INFORMATION;
  request.informationClass = informationClass;
  request.outputBuffer = buffer;
  request.outputLength = length;
  return Send(file, request, information);
}

NTSTATUS Machine::SetInformation(PFILE_OBJECT file, ULONG informationClass, const void* buffer,
                                 ULONG length) {
  if (NTSTATUS refused = CheckSetInformation(informationClass, length); refused != STATUS_SUCCESS) return refused;
  IoRequest request;
  request.majorFunction = IRP_MJ_SET_INFORMATION;
  request.informationClass = informationClass;
  request.inputBuffer = buffer;
  request.inputLength = length;
  return Send(file, request);
}

ULONG Machine::CancelIo(PFILE_OBJECT file) {
  auto count = std::make_shared<ULONG>(0);
  RunInApplicationThread("cancel", [this, file, count] { *count = io_->CancelFileRequests(file); });
  return *count;
}

}  // namespace emu
