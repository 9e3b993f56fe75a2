// The I/O manager: drivers, devices and device stacks, the device's registry keys, WMI
// registration, and the Io* routines for them.
#include "nt/io_manager.h"

#include "nt/handles.h"
#include "nt/io_records.h"
#include "nt/io_util.h"
#include "nt/object_namespace.h"
#include "nt/pnp_manager.h"
#include "nt/registry.h"
#include "nt/verifier.h"

#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace emu {

namespace {

IoManager* g_current = nullptr;

constexpr size_t kObjectAlignment = 16;

// What an I/O manager routine does for a major function its driver does not handle.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Every major function of a bus driver's object lands here and goes to its BusDriver.
NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
  return IoManager::Current().BusOf(device)->Dispatch(device, irp);
}

// The ports device class: the driver key of a PDO lives below it.
constexpr std::u16string_view kPortsClassKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4D36E978-E325-11CE-BFC1-08002BE10318}";

}  // namespace

std::string HexAddress(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

std::string HexStatus(NTSTATUS status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
  return buf;
}

void RequireIrqlAtMost(KIRQL max, const void* routine) {
  Kernel& k = Kernel::Current();
  KIRQL irql = k.CurrentIrql();
  if (irql > max)
    k.BugCheck(bugcheck::kIrqlNotLessOrEqual, 0, irql, 0, reinterpret_cast<ULONG_PTR>(routine));
}

IoManager::IoManager(Kernel& kernel, ObjectNamespace& names, Registry& registry)
    : kernel_(kernel),
      names_(names),
      registry_(registry),
      wmi_(std::make_unique<WmiService>(kernel, *this)) {
  configuration_.Version = 0;
  KeInitializeSpinLock(&cancelLock_);
  g_current = this;
}

IoManager::~IoManager() {
  for (auto& [irp, record] : live_)
    if (record->ownsMemory) ::operator delete(record->irp, std::align_val_t(kObjectAlignment));
  for (auto& [irp, record] : freed_) {
    if (!record->ownsMemory) continue;
    ASAN_UNPOISON_MEMORY_REGION(record->irp, record->size);
    ::operator delete(record->irp, std::align_val_t(kObjectAlignment));
  }
  for (auto& [device, record] : devices_) {
    ASAN_UNPOISON_MEMORY_REGION(record->memory, record->size);
    ::operator delete(record->memory, std::align_val_t(kObjectAlignment));
  }
  if (g_current == this) g_current = nullptr;
}

IoManager& IoManager::Current() {
  if (g_current == nullptr) throw std::logic_error("no I/O manager: construct an emu::Machine");
  return *g_current;
}

IoManager* IoManager::CurrentOrNull() { return g_current; }

// ---------------------------------------------------------------------------------------------
// Drivers
// ---------------------------------------------------------------------------------------------

PDRIVER_OBJECT IoManager::CreateDriverObject(std::u16string_view serviceName,
                                             std::u16string_view serviceKeyPath) {
  auto record = std::make_unique<DriverRecord>();
  record->serviceName = std::u16string(serviceName);
  record->name = u"\\Driver\\" + record->serviceName;
  record->serviceKeyPath = std::u16string(serviceKeyPath);
  DRIVER_OBJECT& d = record->object;
  d.Type = IO_TYPE_DRIVER;
  d.Size = sizeof(DRIVER_OBJECT);
  d.DriverExtension = &record->extension;
  record->extension.DriverObject = &d;
  d.DriverName.Buffer = record->name.data();
  d.DriverName.Length = d.DriverName.MaximumLength =
      static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
  record->extension.ServiceKeyName.Buffer = record->serviceName.data();
  record->extension.ServiceKeyName.Length = record->extension.ServiceKeyName.MaximumLength =
      static_cast<USHORT>(record->serviceName.size() * sizeof(WCHAR));
  for (auto& f : d.MajorFunction) f = &InvalidDeviceRequest;
  PDRIVER_OBJECT result = &d;
  drivers_[result] = std::move(record);
  return result;
}

std::u16string IoManager::ServiceKeyPath(PDRIVER_OBJECT driver) const {
  auto it = drivers_.find(driver);
  return it == drivers_.end() ? std::u16string() : it->second->serviceKeyPath;
}

std::string IoManager::DriverNameOf(PDRIVER_OBJECT driver) const {
  auto it = drivers_.find(driver);
  return it == drivers_.end() ? std::string("?") : Narrow(it->second->serviceName);
}

void IoManager::VerifyDriverGone(PDRIVER_OBJECT driver) {
  // Device objects the driver did not delete would keep pointers into an unloaded image:
  // DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, with the device object as the memory
  // still referenced and the unload routine as the code that left it.
  if (driver->DeviceObject != nullptr)
    kernel_.BugCheck(bugcheck::kDriverUnloadedWithoutCancellingPendingOperations,
                     reinterpret_cast<ULONG_PTR>(driver->DeviceObject), 0,
                     reinterpret_cast<ULONG_PTR>(driver->DriverUnload), 0);
  // Requests still held by one of its (deleted) devices: the same (the oldest one reported).
  PIRP held = nullptr;
  uint64_t heldSerial = UINT64_MAX;
  for (auto& [irp, record] : live_) {
    if (record->state != IrpRecord::State::Dispatched) continue;
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) continue;
    PDEVICE_OBJECT holder = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    DeviceRecord* d = FindDevice(holder);
    if (d != nullptr && d->driver == driver && record->serial < heldSerial) {
      held = irp;
      heldSerial = record->serial;
    }
  }
  if (held != nullptr)
    kernel_.BugCheck(bugcheck::kDriverUnloadedWithoutCancellingPendingOperations,
                     reinterpret_cast<ULONG_PTR>(held), 0,
                     reinterpret_cast<ULONG_PTR>(driver->DriverUnload), 0);
  // Work items queued or running: their routines would run in the unmapped image.
  VerifyNoWorkItemOf(driver);
  // Timers, DPCs and threads that would run code of the image once it is unmapped.
  const auto imageLow = reinterpret_cast<ULONG_PTR>(driver->DriverStart);
  verifier::CheckNothingRunsAfterUnload(driver, imageLow, imageLow + driver->DriverSize);
  VerifyNoIrpOf(driver);
  kernel_.VerifyNoPoolAtUnload(DriverNameOf(driver).c_str());
}

// IRPs the driver allocated or built and never got back: an unsent or stopped one is lost, a
// sent one completes later into the unloaded driver's completion routine, event and status
// block. No Driver Verifier code names the leak itself; the I/O manager's IRP zone keeps
// pointers into the unloaded driver, which is DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS
// (0xCE): the IRP, 0, the unload routine, 0 (the oldest IRP is reported).
void IoManager::VerifyNoIrpOf(PDRIVER_OBJECT driver) {
  const IrpRecord* leaked = nullptr;
  for (auto& [irp, record] : live_) {
    if (record->driver != driver || record->origin == IrpOrigin::Machine) continue;
    // IoInitializeIrp's memory is the driver's own, reclaimed with it, unless still in use.
    if (!record->ownsMemory && record->state != IrpRecord::State::Dispatched) continue;
    if (leaked == nullptr || record->serial < leaked->serial) leaked = record.get();
  }
  if (leaked == nullptr) return;
  kernel_.Trace("irp", "irp#" + std::to_string(leaked->serial) + " of " + DriverNameOf(driver) +
                           " never freed at its unload");
  kernel_.BugCheck(bugcheck::kDriverUnloadedWithoutCancellingPendingOperations,
                   reinterpret_cast<ULONG_PTR>(leaked->irp), 0,
                   reinterpret_cast<ULONG_PTR>(driver->DriverUnload), 0);
}

// ---------------------------------------------------------------------------------------------
// Devices
// ---------------------------------------------------------------------------------------------

IoManager::DeviceRecord* IoManager::FindDevice(PDEVICE_OBJECT device) const {
  auto it = devices_.find(device);
  return it == devices_.end() ? nullptr : it->second.get();
}

NTSTATUS IoManager::CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize,
                                 PUNICODE_STRING name, DEVICE_TYPE type, ULONG characteristics,
                                 BOOLEAN exclusive, PDEVICE_OBJECT* device) {
  *device = nullptr;
  std::u16string deviceName = ToU16(name);
  if (characteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "\\Device\\%08x", ++autogeneratedNames_);
    deviceName = ToU16(std::string_view(buf));
  }
  const size_t objectSize = (sizeof(DEVICE_OBJECT) + kObjectAlignment - 1) & ~(kObjectAlignment - 1);
  void* memory = ::operator new(objectSize + extensionSize, std::align_val_t(kObjectAlignment));
  std::memset(memory, 0, objectSize + extensionSize);
  auto* d = static_cast<PDEVICE_OBJECT>(memory);
  if (!deviceName.empty()) {
    NTSTATUS status = names_.InsertDevice(deviceName, d);
    if (!NT_SUCCESS(status)) {
      ::operator delete(memory, std::align_val_t(kObjectAlignment));
      return status;
    }
  }
  d->Type = IO_TYPE_DEVICE;
  d->Size = static_cast<USHORT>(objectSize + extensionSize);
  d->DriverObject = driver;
  d->DeviceExtension = extensionSize ? static_cast<uint8_t*>(memory) + objectSize : nullptr;
  d->DeviceType = type;
  d->Characteristics = characteristics;
  d->StackSize = 1;
  d->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0) |
             (deviceName.empty() ? 0 : DO_DEVICE_HAS_NAME);
  InitializeListHead(&d->ListEntry);
  d->NextDevice = driver->DeviceObject;
  driver->DeviceObject = d;

  auto record = std::make_unique<DeviceRecord>();
  record->device = d;
  record->number = ++deviceCount_;
  record->memory = memory;
  record->size = objectSize + extensionSize;
  record->driver = driver;
  record->name = deviceName;
  devices_[d] = std::move(record);
  kernel_.Trace("device", "create " + Label(d));
  *device = d;
  return STATUS_SUCCESS;
}

void IoManager::DeleteDevice(PDEVICE_OBJECT device) {
  DeviceRecord* d = FindDevice(device);
  if (d == nullptr)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kCallDriverBadDevice,
                     reinterpret_cast<ULONG_PTR>(device));
  if (d->deleted)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kDeleteDeletedDevice, 0, 0,
                     reinterpret_cast<ULONG_PTR>(device));
  // Deleting during surprise removal is the more specific fault, whether attached or not.
  if (pnp_ != nullptr) pnp_->CheckTeardown(device, false);
  if (d->lower != nullptr)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kDeleteWhileAttached, 0, 0,
                     reinterpret_cast<ULONG_PTR>(device));
  kernel_.Trace("device", "delete " + Label(device));
  CheckWmiDeregistered(device);
  wmi_->Forget(device);
  if (!d->name.empty()) names_.RemoveDevice(device);
  if (d->isPdo) names_.DisableInterfacesOf(device);
  PDRIVER_OBJECT driver = device->DriverObject;
  for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
    if (*link == device) {
      *link = device->NextDevice;
      break;
    }
  }
  device->NextDevice = nullptr;
  d->deleted = true;
  ReleaseIfUnreferenced(d);
}

void IoManager::ReleaseIfUnreferenced(DeviceRecord* d) {
  if (!d->deleted || d->released) return;
  // Open files, object references and an attached device keep a deleted device object, as the
  // object manager's references do on Windows.
  if (d->device->ReferenceCount != 0 || d->objectReferences > 0 ||
      d->device->AttachedDevice != nullptr)
    return;
  kernel_.Trace("device", "release " + Label(d->device));
  // The object and its extension go back to nonpaged pool: a timer or DPC still in them is
  // TIMER_OR_DPC_INVALID, any later use of them through the kernel is use of freed memory. The
  // host memory itself stays until the machine goes away, so that such use is caught.
  verifier::ReleaseObjectMemory(d->memory, d->size);
  d->released = true;
  ASAN_POISON_MEMORY_REGION(d->memory, d->size);
}

void IoManager::DropOpenReference(PDEVICE_OBJECT device) {
  device->ReferenceCount--;
  ReleaseIfUnreferenced(FindDevice(device));
}

PDEVICE_OBJECT IoManager::AttachDevice(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  DeviceRecord* s = FindDevice(source);
  DeviceRecord* t = FindDevice(target);
  if (s == nullptr || t == nullptr)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kCallDriverBadDevice,
                     reinterpret_cast<ULONG_PTR>(s == nullptr ? source : target));
  // A deleted device that nothing references any more is freed memory: reading its attachment
  // chain is a read of freed pool. (One still referenced is merely refused below.)
  for (DeviceRecord* d : {s, t}) {
    if (d->released) {
      kernel_.BugCheck(bugcheck::kPageFaultInFreedSpecialPool,
                       reinterpret_cast<ULONG_PTR>(d->device), 0, 0, 0);
    }
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(target);
  if (FindDevice(top)->deleted) return nullptr;
  top->AttachedDevice = source;
  source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  source->AlignmentRequirement = top->AlignmentRequirement;
  source->SectorSize = top->SectorSize;
  s->lower = top;
  kernel_.Trace("device", "attach " + Label(source) + " above " + Label(top));
  return top;
}

void IoManager::DetachDevice(PDEVICE_OBJECT target) {
  PDEVICE_OBJECT upper = target->AttachedDevice;
  if (upper == nullptr)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kDetachNotAttached, 0, 0,
                     reinterpret_cast<ULONG_PTR>(target));
  if (pnp_ != nullptr) pnp_->CheckTeardown(upper, true);
  target->AttachedDevice = nullptr;
  if (DeviceRecord* u = FindDevice(upper)) u->lower = nullptr;
  kernel_.Trace("device", "detach " + Label(upper) + " from " + Label(target));
  if (DeviceRecord* t = FindDevice(target)) ReleaseIfUnreferenced(t);
}

PDEVICE_OBJECT IoManager::CreatePhysicalDevice(std::u16string_view instancePath, BusDriver& bus) {
  PDRIVER_OBJECT busDriver;
  auto it = busDrivers_.find(&bus);
  if (it != busDrivers_.end()) {
    busDriver = it->second;
  } else {
    std::u16string name = bus.DriverName();
    std::u16string service = name.substr(name.rfind(u'\\') + 1);
    busDriver = CreateDriverObject(service, std::u16string(kRegistryServices) + u"\\" + service);
    for (auto& f : busDriver->MajorFunction) f = &BusDispatch;
    drivers_[busDriver]->bus = &bus;
    busDrivers_[&bus] = busDriver;
  }
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = CreateDevice(busDriver, 0, nullptr, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE,
                                 &pdo);
  if (!NT_SUCCESS(status)) throw std::runtime_error("cannot create a physical device object");
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  DeviceRecord* d = FindDevice(pdo);
  d->isPdo = true;
  d->bus = &bus;
  d->instancePath = std::u16string(instancePath);
  d->driverKeyIndex = driverKeyCount_++;
  registry_.CreateKey(HardwareKeyPath(pdo));
  return pdo;
}

BusDriver* IoManager::BusOf(PDEVICE_OBJECT pdo) const {
  DeviceRecord* d = FindDevice(pdo);
  if (d == nullptr || d->bus == nullptr) throw std::logic_error("not a physical device object");
  return d->bus;
}

bool IoManager::IsPhysicalDevice(PDEVICE_OBJECT device) const {
  DeviceRecord* d = FindDevice(device);
  return d != nullptr && d->isPdo;
}

bool IoManager::IsDeleted(PDEVICE_OBJECT device) const {
  DeviceRecord* d = FindDevice(device);
  return d != nullptr && d->deleted;
}

bool IoManager::IsKnownDevice(PDEVICE_OBJECT device) const { return FindDevice(device) != nullptr; }

std::u16string IoManager::InstancePath(PDEVICE_OBJECT pdo) const {
  DeviceRecord* d = FindDevice(pdo);
  return d == nullptr ? std::u16string() : d->instancePath;
}

std::u16string IoManager::HardwareKeyPath(PDEVICE_OBJECT pdo) const {
  return std::u16string(kRegistryEnum) + u"\\" + InstancePath(pdo);
}

std::u16string IoManager::DeviceParametersKeyPath(PDEVICE_OBJECT pdo) const {
  return HardwareKeyPath(pdo) + u"\\Device Parameters";
}

std::u16string IoManager::DriverKeyPath(PDEVICE_OBJECT pdo) const {
  DeviceRecord* d = FindDevice(pdo);
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04u", d == nullptr ? 0u : static_cast<unsigned>(d->driverKeyIndex));
  return std::u16string(kPortsClassKey) + u"\\" + ToU16(std::string_view(buf));
}

PDEVICE_OBJECT IoManager::LowerDevice(PDEVICE_OBJECT device) const {
  DeviceRecord* d = FindDevice(device);
  return d == nullptr ? nullptr : d->lower;
}

PDEVICE_OBJECT IoManager::PhysicalDeviceOf(PDEVICE_OBJECT device) const {
  while (DeviceRecord* d = FindDevice(device)) {
    if (d->lower == nullptr) return device;
    device = d->lower;
  }
  return nullptr;
}

std::vector<PDEVICE_OBJECT> IoManager::DevicesOf(PDRIVER_OBJECT driver) const {
  std::vector<PDEVICE_OBJECT> out;
  for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) out.push_back(d);
  return out;
}

std::string IoManager::Label(PDEVICE_OBJECT device) const {
  DeviceRecord* d = FindDevice(device);
  if (d == nullptr) return "device?";
  if (!d->name.empty()) return Narrow(d->name);
  return "device#" + std::to_string(d->number);
}

std::u16string IoManager::NameOf(PDEVICE_OBJECT device) const {
  DeviceRecord* d = FindDevice(device);
  return d == nullptr ? std::u16string() : d->name;
}

NTSTATUS IoManager::OpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG keyType, PHANDLE handle) {
  DeviceRecord* d = FindDevice(device);
  if (d == nullptr || !d->isPdo || d->deleted) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string path;
  if (keyType == PLUGPLAY_REGKEY_DEVICE) path = DeviceParametersKeyPath(device);
  else if (keyType == PLUGPLAY_REGKEY_DRIVER) path = DriverKeyPath(device);
  else return STATUS_INVALID_PARAMETER;
  *handle = registry_.OpenHandle(registry_.CreateKey(path));
  return STATUS_SUCCESS;
}

NTSTATUS IoManager::GetDeviceProperty(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property,
                                      ULONG bufferLength, PVOID buffer, PULONG resultLength) {
  DeviceRecord* d = FindDevice(device);
  if (d == nullptr || !d->isPdo) return STATUS_INVALID_DEVICE_REQUEST;
  std::vector<uint8_t> data;
  auto putString = [&](std::u16string s) {
    s.push_back(u'\0');
    auto* p = reinterpret_cast<const uint8_t*>(s.data());
    data.assign(p, p + s.size() * sizeof(char16_t));
  };
  // Properties kept as values of the hardware key; the bus or a test sets them there.
  auto fromRegistry = [&](std::u16string_view valueName) -> bool {
    auto v = registry_.GetValue(HardwareKeyPath(device), valueName);
    if (!v) return false;
    data = v->data;
    return true;
  };
  switch (property) {
    case DevicePropertyPhysicalDeviceObjectName: putString(d->name); break;
    case DevicePropertyDriverKeyName: {
      std::u16string key = DriverKeyPath(device);
      putString(key.substr(std::u16string(kRegistryControl).size() + 7));  // "{class}\NNNN"
      break;
    }
    case DevicePropertyEnumeratorName:
      putString(d->instancePath.substr(0, d->instancePath.find(u'\\')));
      break;
    case DevicePropertyHardwareID: if (!fromRegistry(u"HardwareID")) return STATUS_OBJECT_NAME_NOT_FOUND; break;
    case DevicePropertyCompatibleIDs: if (!fromRegistry(u"CompatibleIDs")) return STATUS_OBJECT_NAME_NOT_FOUND; break;
    case DevicePropertyDeviceDescription: if (!fromRegistry(u"DeviceDesc")) return STATUS_OBJECT_NAME_NOT_FOUND; break;
    case DevicePropertyFriendlyName: if (!fromRegistry(u"FriendlyName")) return STATUS_OBJECT_NAME_NOT_FOUND; break;
    case DevicePropertyManufacturer: if (!fromRegistry(u"Mfg")) return STATUS_OBJECT_NAME_NOT_FOUND; break;
    case DevicePropertyLocationInformation: if (!fromRegistry(u"LocationInformation")) return STATUS_OBJECT_NAME_NOT_FOUND; break;
    case DevicePropertyClassName: if (!fromRegistry(u"Class")) return STATUS_OBJECT_NAME_NOT_FOUND; break;
    case DevicePropertyClassGuid: if (!fromRegistry(u"ClassGUID")) return STATUS_OBJECT_NAME_NOT_FOUND; break;
    case DevicePropertyAddress: if (!fromRegistry(u"Address")) return STATUS_OBJECT_NAME_NOT_FOUND; break;
    default: return STATUS_INVALID_PARAMETER;
  }
  *resultLength = static_cast<ULONG>(data.size());
  if (bufferLength < data.size()) return STATUS_BUFFER_TOO_SMALL;
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  return STATUS_SUCCESS;
}

void IoManager::ReferenceObject(PVOID object, LONG delta) {
  if (DeviceRecord* d = FindDevice(static_cast<PDEVICE_OBJECT>(object))) {
    d->objectReferences += delta;
    ReleaseIfUnreferenced(d);
  }
}

// ---------------------------------------------------------------------------------------------
// WMI registration
// ---------------------------------------------------------------------------------------------

NTSTATUS IoManager::WmiRegistrationControl(PDEVICE_OBJECT device, ULONG action) {
  // With WMIREG_FLAG_CALLBACK the first argument is a routine, not a device object.
  if (!(action & WMIREG_FLAG_CALLBACK) && FindDevice(device) == nullptr)
    return STATUS_INVALID_PARAMETER;
  return wmi_->RegistrationControl(device, action);
}

}  // namespace emu

// ---------------------------------------------------------------------------------------------
// Io* routines for devices, stacks, names and interfaces
// ---------------------------------------------------------------------------------------------

using emu::IoManager;
using emu::ObjectNamespace;

#define ROUTINE(f) reinterpret_cast<const void*>(&f)

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(IoCreateDevice));
  return IoManager::Current().CreateDevice(DriverObject, DeviceExtensionSize, DeviceName,
                                           DeviceType, DeviceCharacteristics, Exclusive,
                                           DeviceObject);
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(IoDeleteDevice));
  IoManager::Current().DeleteDevice(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(IoAttachDeviceToDeviceStack));
  return IoManager::Current().AttachDevice(SourceDevice, TargetDevice);
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(IoDetachDevice));
  IoManager::Current().DetachDevice(TargetDevice);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  emu::KernelCall();
  while (DeviceObject->AttachedDevice != nullptr) DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  emu::KernelCall();
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  ObfReferenceObject(top);
  return top;
}

// The object manager's reference counting: the kernel's own objects (threads) first, then the
// I/O manager's device objects.
namespace {
struct _OBJECT_TYPE* g_threadType = reinterpret_cast<struct _OBJECT_TYPE*>(&g_threadType);
}  // namespace
POBJECT_TYPE* PsThreadType = &g_threadType;

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(ObReferenceObjectByHandle));
  (void)AccessMode;
  PVOID object = emu::LookupKernelHandle(Handle);
  if (object == nullptr) return STATUS_INVALID_HANDLE;
  const bool isThread = emu::ReferenceKernelObject(object);
  if (ObjectType != nullptr && (ObjectType == *PsThreadType) != isThread) {
    if (isThread) emu::DereferenceKernelObject(object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  if (HandleInformation != nullptr) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = DesiredAccess;
  }
  *Object = object;
  return STATUS_SUCCESS;
}

VOID FASTCALL ObfReferenceObject(PVOID Object) {
  emu::KernelCall();
  if (!emu::ReferenceKernelObject(Object)) IoManager::Current().ReferenceObject(Object, 1);
}

VOID FASTCALL ObfDereferenceObject(PVOID Object) {
  emu::KernelCall();
  if (!emu::DereferenceKernelObject(Object)) IoManager::Current().ReferenceObject(Object, -1);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(IoCreateSymbolicLink));
  std::u16string link = emu::ToU16(SymbolicLinkName);
  std::u16string target = emu::ToU16(DeviceName);
  NTSTATUS status = ObjectNamespace::Current().CreateLink(link, target);
  emu::Kernel::Current().Trace("device", "link " + emu::Narrow(link) + " -> " +
                                             emu::Narrow(target) + " " + emu::HexStatus(status));
  return status;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(IoDeleteSymbolicLink));
  std::u16string link = emu::ToU16(SymbolicLinkName);
  NTSTATUS status = ObjectNamespace::Current().DeleteLink(link);
  emu::Kernel::Current().Trace("device", "unlink " + emu::Narrow(link) + " " +
                                             emu::HexStatus(status));
  return status;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(IoRegisterDeviceInterface));
  IoManager& io = IoManager::Current();
  if (!io.IsPhysicalDevice(PhysicalDeviceObject) || io.IsDeleted(PhysicalDeviceObject))
    return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string name;
  NTSTATUS status = ObjectNamespace::Current().RegisterInterface(
      PhysicalDeviceObject, io.InstancePath(PhysicalDeviceObject), *InterfaceClassGuid,
      emu::ToU16(ReferenceString), &name);
  if (!NT_SUCCESS(status)) return status;
  // The caller owns the returned buffer and frees it with RtlFreeUnicodeString.
  size_t bytes = (name.size() + 1) * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, 'fIoI'));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, name.c_str(), bytes);
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
  emu::Kernel::Current().Trace("pnp", "interface registered " + emu::Narrow(name));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(IoSetDeviceInterfaceState));
  ObjectNamespace& names = ObjectNamespace::Current();
  std::u16string link = emu::ToU16(SymbolicLinkName);
  const ObjectNamespace::Interface* iface = names.FindInterface(link);
  if (iface == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string pdoName = IoManager::Current().NameOf(iface->pdo);
  NTSTATUS status = names.SetInterfaceState(link, Enable != FALSE, pdoName);
  emu::Kernel::Current().Trace("pnp", std::string(Enable ? "interface enable " : "interface disable ") +
                                          emu::Narrow(link) + " " + emu::HexStatus(status));
  return status;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(IoOpenDeviceRegistryKey));
  (void)DesiredAccess;
  return IoManager::Current().OpenDeviceRegistryKey(DeviceObject, DevInstKeyType, DevInstRegKey);
}

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                   DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                   PVOID PropertyBuffer, PULONG ResultLength) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(IoGetDeviceProperty));
  return IoManager::Current().GetDeviceProperty(DeviceObject, DeviceProperty, BufferLength,
                                                PropertyBuffer, ResultLength);
}

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, ROUTINE(IoWMIRegistrationControl));
  return IoManager::Current().WmiRegistrationControl(DeviceObject, Action);
}
