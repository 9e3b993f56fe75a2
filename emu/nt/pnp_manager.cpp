// The Plug and Play manager: enumeration of reported devices, the driver match, stack building
// and start, and the removal, stop and surprise-removal sequences with their verifier rules.
#include "nt/pnp_manager.h"

#include "nt/io_manager.h"
#include "nt/io_util.h"
#include "nt/machine.h"
#include "nt/object_namespace.h"
#include "nt/registry.h"
#include "nt/verifier.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>

namespace emu {

namespace {

constexpr char kPnpRemoveCondition[] =
    "A driver must not fail IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE, "
    "IRP_MN_CANCEL_REMOVE_DEVICE or IRP_MN_CANCEL_STOP_DEVICE.";

const char* MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    case IRP_MN_QUERY_ID: return "QUERY_ID";
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return "QUERY_PNP_DEVICE_STATE";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "minor";
  }
}

// A MULTI_SZ (or a single string) returned by IRP_MN_QUERY_ID.
std::vector<std::u16string> SplitMultiSz(PCWSTR p) {
  std::vector<std::u16string> out;
  while (p != nullptr && *p != 0) {
    out.push_back(ToU16(p));
    p += out.back().size() + 1;
  }
  return out;
}

void SetMultiSz(Registry& registry, const std::u16string& key, std::u16string_view name,
                const std::vector<std::u16string>& strings) {
  std::u16string data;
  for (const auto& s : strings) data += s + u'\0';
  data += u'\0';
  registry.SetValue(key, name, REG_MULTI_SZ, data.data(), data.size() * sizeof(char16_t));
}

// A capabilities record as the Plug and Play manager sends it: version 1, address and UI number
// unknown (-1) until a driver fills them.
DEVICE_CAPABILITIES FreshCapabilities() {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(DEVICE_CAPABILITIES);
  caps.Version = 1;
  caps.Address = caps.UINumber = 0xFFFFFFFF;
  return caps;
}

}  // namespace

struct PnpManager::Node {
  PDEVICE_OBJECT pdo = nullptr;
  State state = State::Enumerating;
  Ids ids;
  DEVICE_CAPABILITIES capabilities{};
  PDRIVER_OBJECT driver = nullptr;  // the function driver while its device is in the stack
  PIRP lastIrp = nullptr;           // the last Plug and Play IRP sent (for the bug checks)
  bool surpriseWindow = false;      // IRP_MN_SURPRISE_REMOVAL sent, IRP_MN_REMOVE_DEVICE not yet
  // Where the remove that ends a surprise removal leaves the device: deleted when it left its
  // bus, failed when it stayed there and its restart failed.
  State afterSurprise = State::Deleted;
  PIRP surpriseIrp = nullptr;
  std::vector<std::u16string> arrived;  // interfaces whose arrival was announced
};

const char* PnpStateName(PnpManager::State state) {
  switch (state) {
    case PnpManager::State::Enumerating: return "enumerating";
    case PnpManager::State::NoDriver: return "no driver";
    case PnpManager::State::Started: return "started";
    case PnpManager::State::Stopped: return "stopped";
    case PnpManager::State::RemovePending: return "remove pending";
    case PnpManager::State::SurpriseRemoved: return "surprise removed";
    case PnpManager::State::Removed: return "removed";
    case PnpManager::State::Disabled: return "disabled";
    case PnpManager::State::Failed: return "failed";
    case PnpManager::State::Deleted: return "deleted";
  }
  return "?";
}

PnpManager::PnpManager(Machine& machine) : machine_(machine) {}
PnpManager::~PnpManager() = default;

// ---------------------------------------------------------------------------------------------
// Registration and reports
// ---------------------------------------------------------------------------------------------

void PnpManager::RegisterDriver(std::u16string_view id, std::u16string_view serviceName,
                                PDRIVER_INITIALIZE entry) {
  registrations_.push_back({std::u16string(id), std::u16string(serviceName), entry});
}

PDRIVER_OBJECT PnpManager::LoadedDriver(std::u16string_view serviceName) const {
  auto it = loaded_.find(Upcase(serviceName));
  return it == loaded_.end() ? nullptr : it->second;
}

void PnpManager::DeviceArrived(PDEVICE_OBJECT pdo) {
  if (registrations_.empty() || FindNode(pdo) != nullptr) return;
  auto node = std::make_unique<Node>();
  node->pdo = pdo;
  Node* n = node.get();
  nodes_[pdo] = std::move(node);
  arrivals_.push_back(pdo);
  Post([this, n] { Enumerate(*n); });
}

void PnpManager::DeviceMissing(PDEVICE_OBJECT pdo) {
  Node* n = FindNode(pdo);
  if (n == nullptr) return;
  Post([this, n] {
    n->afterSurprise = State::Deleted;
    SurpriseRemove(*n);
  });
}

PnpManager::Node* PnpManager::FindNode(PDEVICE_OBJECT pdo) const {
  auto it = nodes_.find(pdo);
  return it == nodes_.end() ? nullptr : it->second.get();
}

PnpManager::Node* PnpManager::NodeOfDevice(PDEVICE_OBJECT device) const {
  if (nodes_.empty()) return nullptr;
  return FindNode(machine_.io().PhysicalDeviceOf(device));
}

PnpManager::State PnpManager::StateOf(PDEVICE_OBJECT pdo) const {
  Node* n = FindNode(pdo);
  if (n == nullptr) throw std::logic_error("the device was not enumerated by the PnP manager");
  return n->state;
}

const PnpManager::Ids* PnpManager::IdsOf(PDEVICE_OBJECT pdo) const {
  Node* n = FindNode(pdo);
  return n == nullptr ? nullptr : &n->ids;
}

std::vector<PDEVICE_OBJECT> PnpManager::DevicesInTree() const {
  std::vector<PDEVICE_OBJECT> out;
  for (PDEVICE_OBJECT pdo : arrivals_) {
    Node* n = FindNode(pdo);
    if (n != nullptr && n->state != State::Deleted && !machine_.io().IsDeleted(pdo)) out.push_back(pdo);
  }
  return out;
}

const DEVICE_CAPABILITIES* PnpManager::CapabilitiesOf(PDEVICE_OBJECT pdo) const {
  Node* n = FindNode(pdo);
  return n == nullptr ? nullptr : &n->capabilities;
}

// ---------------------------------------------------------------------------------------------
// The worker
// ---------------------------------------------------------------------------------------------

void PnpManager::Post(std::function<void()> work) {
  work_.push_back(std::move(work));
  if (workerRunning_) return;
  workerRunning_ = true;
  // The worker belongs to the system, whatever code reported the event.
  verifier::DriverScope scope(nullptr);
  machine_.kernel().StartSystemThread("pnp", [this] { WorkerLoop(); });
}

void PnpManager::WorkerLoop() {
  while (!work_.empty()) {
    std::function<void()> work = std::move(work_.front());
    work_.pop_front();
    work();
  }
  workerRunning_ = false;
}

bool PnpManager::Idle() const { return work_.empty() && !workerRunning_; }

bool PnpManager::RunUntilIdle() {
  if (machine_.kernel().InContext())
    throw std::logic_error("RunUntilIdle runs the machine: call it from outside the machine");
  return machine_.kernel().RunUntil([this] { return Idle(); });
}

NTSTATUS PnpManager::RunOperation(PDEVICE_OBJECT pdo, std::function<NTSTATUS(Node&)> operation) {
  return RunOnWorker([this, pdo, operation = std::move(operation)] {
    Node* n = FindNode(pdo);
    return n == nullptr ? STATUS_NO_SUCH_DEVICE : operation(*n);
  });
}

NTSTATUS PnpManager::RunOnWorker(std::function<NTSTATUS()> operation) {
  struct Result {
    std::optional<NTSTATUS> status;
    KEVENT done;
  };
  auto result = std::make_shared<Result>();
  KeInitializeEvent(&result->done, NotificationEvent, FALSE);
  Post([operation = std::move(operation), result] {
    result->status = operation();
    KeSetEvent(&result->done, IO_NO_INCREMENT, FALSE);
  });
  Kernel& k = machine_.kernel();
  if (k.InContext()) {
    KeWaitForSingleObject(&result->done, Executive, KernelMode, FALSE, nullptr);
  } else {
    k.RunUntil([&result] { return result->status.has_value(); });
  }
  return result->status.value_or(STATUS_PENDING);
}

NTSTATUS PnpManager::Disable(PDEVICE_OBJECT pdo) {
  return RunOperation(pdo, [this](Node& n) { return QueryAndRemove(n, State::Disabled); });
}

NTSTATUS PnpManager::Remove(PDEVICE_OBJECT pdo) {
  return RunOperation(pdo, [this](Node& n) { return QueryAndRemove(n, State::Removed); });
}

NTSTATUS PnpManager::Enable(PDEVICE_OBJECT pdo) {
  return RunOperation(pdo, [this](Node& n) {
    if (n.state != State::Disabled && n.state != State::Failed) return STATUS_INVALID_DEVICE_STATE;
    return BuildAndStart(n);
  });
}

NTSTATUS PnpManager::Rebalance(PDEVICE_OBJECT pdo) {
  return RunOperation(pdo, [this](Node& n) { return QueryAndRestart(n); });
}

// ---------------------------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------------------------

NTSTATUS PnpManager::Send(Node& node, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup,
                          ULONG_PTR* information) {
  IoRequest request;
  request.majorFunction = IRP_MJ_PNP;
  request.minorFunction = minor;
  request.initialStatus = STATUS_NOT_SUPPORTED;
  request.setup = std::move(setup);
  IoManager& io = machine_.io();
  NTSTATUS status = io.SendToStack(node.pdo, request, information, &node.lastIrp);
  machine_.kernel().Trace("pnp", std::string(MinorName(minor)) + " " + io.Label(node.pdo) + " " +
                                     HexStatus(status));
  return status;
}

void PnpManager::SendMustSucceed(Node& node, UCHAR minor) {
  // The top of the stack before the IRP goes: a remove takes the stack down.
  PDEVICE_OBJECT top = IoGetAttachedDevice(node.pdo);
  NTSTATUS status = Send(node, minor);
  if (!NT_SUCCESS(status))
    machine_.kernel().BugCheck(bugcheck::kDriverVerifierDetectedViolation, verifier::kRulePnpRemove,
                               reinterpret_cast<ULONG_PTR>(kPnpRemoveCondition),
                               reinterpret_cast<ULONG_PTR>(top), minor);
}

// ---------------------------------------------------------------------------------------------
// Sequences
// ---------------------------------------------------------------------------------------------

void PnpManager::QueryIds(Node& node) {
  auto query = [&](BUS_QUERY_ID_TYPE type) {
    ULONG_PTR info = 0;
    NTSTATUS status = Send(
        node, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; },
        &info);
    auto* text = reinterpret_cast<PWSTR>(info);
    std::vector<std::u16string> ids = NT_SUCCESS(status) ? SplitMultiSz(text) : std::vector<std::u16string>{};
    if (text != nullptr) ExFreePool(text);
    return ids;
  };
  auto first = [](const std::vector<std::u16string>& v) { return v.empty() ? std::u16string() : v[0]; };
  node.ids.deviceId = first(query(BusQueryDeviceID));
  node.ids.hardwareIds = query(BusQueryHardwareIDs);
  node.ids.compatibleIds = query(BusQueryCompatibleIDs);
  node.ids.instanceId = first(query(BusQueryInstanceID));
  // What the hardware key keeps of them, for IoGetDeviceProperty.
  std::u16string key = machine_.io().HardwareKeyPath(node.pdo);
  SetMultiSz(machine_.registry(), key, u"HardwareID", node.ids.hardwareIds);
  SetMultiSz(machine_.registry(), key, u"CompatibleIDs", node.ids.compatibleIds);
}

void PnpManager::Enumerate(Node& node) {
  QueryIds(node);
  // The capabilities, from the bus driver, before any function driver is loaded.
  DEVICE_CAPABILITIES& caps = node.capabilities;
  caps = FreshCapabilities();
  Send(node, IRP_MN_QUERY_CAPABILITIES,
       [&caps](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; });
  NTSTATUS status = BuildAndStart(node);
  machine_.kernel().Trace("pnp", "enumerated " + Narrow(node.ids.deviceId) + ": " +
                                     PnpStateName(node.state) + " " + HexStatus(status));
}

NTSTATUS PnpManager::BuildAndStart(Node& node) {
  // Hardware ids first, most specific first; then the compatible ids.
  const Registration* match = nullptr;
  std::vector<std::u16string> ids = node.ids.hardwareIds;
  ids.insert(ids.end(), node.ids.compatibleIds.begin(), node.ids.compatibleIds.end());
  for (const auto& id : ids) {
    for (const auto& r : registrations_)
      if (match == nullptr && EqualNoCase(r.id, id)) match = &r;
  }
  if (match == nullptr) {
    node.state = State::NoDriver;
    return STATUS_NO_SUCH_DEVICE;
  }
  NTSTATUS status = STATUS_SUCCESS;
  PDRIVER_OBJECT driver = LoadedDriver(match->serviceName);
  if (driver == nullptr) {
    driver = machine_.LoadDriver(match->serviceName, match->entry, {}, &status);
    if (driver == nullptr) {
      node.state = State::Failed;
      return status;
    }
    loaded_[Upcase(match->serviceName)] = driver;
  }
  node.driver = driver;
  status = machine_.AddDevice(driver, node.pdo);
  if (!NT_SUCCESS(status)) {
    node.driver = nullptr;
    node.state = State::Failed;
    UnloadIfUnused(driver);
    return status;
  }
  return StartStack(node);
}

NTSTATUS PnpManager::StartStack(Node& node) {
  NTSTATUS status = Send(node, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) {
    // A failed start is followed by a remove, which takes the stack down.
    SendRemove(node, State::Failed);
    return status;
  }
  // Once every driver started the device: its capabilities again, from the top of the stack,
  // and its state.
  DEVICE_CAPABILITIES caps = FreshCapabilities();
  if (NT_SUCCESS(Send(node, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
      })))
    node.capabilities = caps;
  Send(node, IRP_MN_QUERY_PNP_DEVICE_STATE);
  node.state = State::Started;
  NoteInterfaces(node, true);
  return STATUS_SUCCESS;
}

NTSTATUS PnpManager::QueryAndRemove(Node& node, State after) {
  if (node.state != State::Started) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = Send(node, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendMustSucceed(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
  }
  node.state = State::RemovePending;
  SendRemove(node, after);
  return STATUS_SUCCESS;
}

NTSTATUS PnpManager::QueryAndRestart(Node& node) {
  if (node.state != State::Started) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = Send(node, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendMustSucceed(node, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
  }
  Send(node, IRP_MN_STOP_DEVICE);
  node.state = State::Stopped;
  // The new resources are assigned and the device started with them. A failed restart surprise-
  // removes the device, as Windows does: handles opened before the stop may still be open, and
  // IRP_MN_REMOVE_DEVICE waits for the last of them.
  status = Send(node, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) {
    node.afterSurprise = State::Failed;
    SurpriseRemove(node);
    return status;
  }
  node.state = State::Started;
  return STATUS_SUCCESS;
}

void PnpManager::SurpriseRemove(Node& node) {
  switch (node.state) {
    case State::Started:
    case State::Stopped:
    case State::RemovePending:
      node.surpriseWindow = true;
      SendMustSucceed(node, IRP_MN_SURPRISE_REMOVAL);
      node.surpriseIrp = node.lastIrp;
      node.state = State::SurpriseRemoved;
      // The device's interfaces go at once; applications learn of the removal now.
      machine_.objects().DisableInterfacesOf(node.pdo);
      NoteInterfaces(node, false);
      // IRP_MN_REMOVE_DEVICE waits for the last handle to the device.
      if (machine_.io().OpenFilesOnStack(node.pdo) == 0) SendRemove(node, node.afterSurprise);
      break;
    case State::Enumerating:
    case State::NoDriver:
    case State::Removed:
    case State::Disabled:
    case State::Failed:
      // No function driver: the PDO alone gets the remove.
      SendRemove(node, State::Deleted);
      break;
    case State::SurpriseRemoved:
    case State::Deleted:
      break;
  }
}

void PnpManager::SendRemove(Node& node, State after) {
  IoManager& io = machine_.io();
  node.surpriseWindow = false;
  SendMustSucceed(node, IRP_MN_REMOVE_DEVICE);
  const bool pdoDeleted = io.IsDeleted(node.pdo);
  if (!pdoDeleted) {
    // Every driver above the bus detaches and deletes its device object when the remove passes.
    if (PDEVICE_OBJECT upper = node.pdo->AttachedDevice) {
      machine_.kernel().BugCheck(
          bugcheck::kDriverVerifierIoManagerViolation, iov::kNotDetachedAtRemove,
          reinterpret_cast<ULONG_PTR>(upper->DriverObject->MajorFunction[IRP_MJ_PNP]),
          reinterpret_cast<ULONG_PTR>(node.lastIrp), reinterpret_cast<ULONG_PTR>(upper));
    }
    machine_.objects().DisableInterfacesOf(node.pdo);
  }
  NoteInterfaces(node, false);
  PDRIVER_OBJECT driver = node.driver;
  node.driver = nullptr;
  node.state = pdoDeleted ? State::Deleted : after;
  UnloadIfUnused(driver);
}

void PnpManager::UnloadIfUnused(PDRIVER_OBJECT driver) {
  if (driver == nullptr || driver->DeviceObject != nullptr) return;
  for (const auto& [pdo, n] : nodes_)
    if (n->driver == driver) return;
  for (auto it = loaded_.begin(); it != loaded_.end(); ++it) {
    if (it->second == driver) {
      loaded_.erase(it);
      break;
    }
  }
  machine_.UnloadDriver(driver);
}

// Compares the device's enabled interfaces with those announced and reports the difference.
void PnpManager::NoteInterfaces(Node& node, bool arrival) {
  std::vector<std::u16string> enabled;
  for (const auto& i : machine_.objects().Interfaces())
    if (i.pdo == node.pdo && i.enabled) enabled.push_back(i.symbolicLink);
  if (arrival) {
    for (const auto& link : enabled) {
      if (std::find(node.arrived.begin(), node.arrived.end(), link) != node.arrived.end()) continue;
      node.arrived.push_back(link);
      interfaceEvents_.push_back({true, link});
    }
    return;
  }
  for (auto it = node.arrived.begin(); it != node.arrived.end();) {
    if (std::find(enabled.begin(), enabled.end(), *it) != enabled.end()) {
      ++it;
      continue;
    }
    interfaceEvents_.push_back({false, *it});
    it = node.arrived.erase(it);
  }
}

// ---------------------------------------------------------------------------------------------
// Hooks of the I/O manager
// ---------------------------------------------------------------------------------------------

NTSTATUS PnpManager::CheckOpen(PDEVICE_OBJECT device) const {
  Node* n = NodeOfDevice(device);
  if (n == nullptr) return STATUS_SUCCESS;
  switch (n->state) {
    case State::SurpriseRemoved:
      // The device object stays until its handles are closed; new opens see the pending delete.
      return STATUS_DELETE_PENDING;
    case State::RemovePending:
    case State::Removed:
    case State::Disabled:
    case State::Failed:
    case State::Deleted:
      return STATUS_NO_SUCH_DEVICE;
    default:
      return STATUS_SUCCESS;
  }
}

void PnpManager::FileClosed(PDEVICE_OBJECT device) {
  Node* n = NodeOfDevice(device);
  if (n == nullptr || n->state != State::SurpriseRemoved) return;
  if (machine_.io().OpenFilesOnStack(n->pdo) != 0) return;
  Post([this, n] {
    if (n->state == State::SurpriseRemoved && machine_.io().OpenFilesOnStack(n->pdo) == 0)
      SendRemove(*n, n->afterSurprise);
  });
}

void PnpManager::CheckTeardown(PDEVICE_OBJECT device, bool detach) const {
  Node* n = NodeOfDevice(device);
  if (n == nullptr || !n->surpriseWindow || device == n->pdo) return;
  machine_.kernel().BugCheck(
      bugcheck::kDriverVerifierIoManagerViolation,
      detach ? iov::kDetachedInSurpriseRemoval : iov::kDeletedInSurpriseRemoval,
      reinterpret_cast<ULONG_PTR>(device->DriverObject->MajorFunction[IRP_MJ_PNP]),
      reinterpret_cast<ULONG_PTR>(n->surpriseIrp != nullptr ? n->surpriseIrp : n->lastIrp),
      reinterpret_cast<ULONG_PTR>(device));
}

}  // namespace emu
