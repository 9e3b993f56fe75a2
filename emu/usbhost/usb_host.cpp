// The emulated host controller, root hub and per-device bus driver. See usb_host.h for the timing
// model and the synchronisation rules.
//
// Statuses follow the Windows host stack: the URB's Hdr.Status carries the USBD status, and the IRP
// status is derived from it the way the port driver maps them (USBD_STATUS_INVALID_PARAMETER,
// _INVALID_PIPE_HANDLE and _INVALID_URB_FUNCTION -> STATUS_INVALID_PARAMETER, _DEVICE_GONE ->
// STATUS_DEVICE_NOT_CONNECTED, _CANCELED -> STATUS_CANCELLED, _NOT_SUPPORTED ->
// STATUS_NOT_SUPPORTED, _INSUFFICIENT_RESOURCES -> STATUS_INSUFFICIENT_RESOURCES, any other error
// -> STATUS_UNSUCCESSFUL).
#include "usbhost/usb_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <unordered_map>

#include "nt/machine.h"

namespace emu::usb {

namespace {

// Standard request codes and feature selectors used by the host itself.
constexpr uint8_t kGetStatus = USB_REQUEST_GET_STATUS;
constexpr uint8_t kClearFeature = USB_REQUEST_CLEAR_FEATURE;
constexpr uint8_t kSetFeature = USB_REQUEST_SET_FEATURE;
constexpr uint8_t kGetDescriptor = USB_REQUEST_GET_DESCRIPTOR;
constexpr uint8_t kSetConfiguration = USB_REQUEST_SET_CONFIGURATION;

NTSTATUS NtStatusFromUsbd(USBD_STATUS usbd) {
  switch (usbd) {
    case USBD_STATUS_SUCCESS:
      return STATUS_SUCCESS;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
      return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_NOT_SUPPORTED:
      return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BAD_START_FRAME:
      return STATUS_INVALID_PARAMETER;
    default:
      return USBD_ERROR(usbd) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  }
}

std::string Hex(uint64_t v, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*llX", width, static_cast<unsigned long long>(v));
  return buf;
}

// Which requests go through which path.
enum class Kind : uint8_t {
  Control,       // a control transfer on the default pipe
  Data,          // bulk or interrupt transfer
  SelectConfig,  // SET_CONFIGURATION on the default pipe, then the pipes open
  AbortPipe,     // completes after the pipe's transfers are cancelled
  ResetPipe,     // CLEAR_FEATURE(ENDPOINT_HALT) on the default pipe, then the halt is cleared
  ResetPort,     // reset signalling, then the configuration is restored
  Immediate,     // already decided at submission (failures, port status, frame number)
};

// Where a transfer is while the host owns it.
enum class Where : uint8_t { None, EndpointQueue, ControlQueue, ActiveControl, Finished, Done, Claimed };

VirtualTime NextBoundary(VirtualTime now) { return (UsbHost::FrameAt(now) + 1) * kFrame; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Internal records
// ---------------------------------------------------------------------------------------------

struct UsbPort::Endpoint {
  uint8_t address = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  uint16_t maxPacket = 64;
  uint8_t interval = 1;
  uint32_t maxTransfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
  bool open = true;
  bool halted = false;   // an error halted it; only a pipe reset resumes it
  bool waiting = false;  // it NAK'ed; waits for the device's activity callback
  uint64_t nakFrame = UINT64_MAX;
  std::deque<Transfer*> queue;

  bool In() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

struct UsbPort::Transfer {
  UsbPort* port = nullptr;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  uint64_t id = 0;
  Kind kind = Kind::Immediate;
  uint16_t function = 0;
  Endpoint* ep = nullptr;
  bool in = false;
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  uint32_t done = 0;
  uint32_t flags = 0;
  bool sentPacket = false;
  bool hasSetup = false;
  SetupPacket setup{};
  uint32_t frames = 1;                                      // frames a control-pipe request occupies
  uint32_t cost = TransactionCost(8) + TransactionCost(0);  // its bus time in the first frame
  std::optional<uint32_t> answerLength;
  uint8_t answerFill = 0;
  std::optional<uint32_t> reportedLength;  // a long answer reports more than was written
  bool injected = false;
  VirtualTime extraDelay = 0;
  bool pended = false;
  Where where = Where::None;
  NTSTATUS status = STATUS_PENDING;
  USBD_STATUS usbd = USBD_STATUS_PENDING;
  VirtualTime completeAt = 0;
  uint8_t recordEndpoint = 0xFF;
  CaptureTransfer captureType = CaptureTransfer::IrpInfo;
  // Select configuration: the pipes to open and where their information goes.
  uint8_t configurationValue = 0;
  std::vector<std::unique_ptr<Endpoint>> newEndpoints;
  std::vector<std::pair<PUSBD_PIPE_INFORMATION, Endpoint*>> pipeInfos;
  std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, PUSB_INTERFACE_DESCRIPTOR>> interfaceInfos;
};

struct UsbPort::Rule {
  uint32_t count = 0;
  UrbFilter filter;
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  uint32_t length = 0;
  uint8_t fill = 0;
  VirtualTime delay = 0;
};

struct UsbPort::State {
  std::vector<std::unique_ptr<Endpoint>> endpoints;  // pipes of the current configuration
  std::vector<std::unique_ptr<Endpoint>> closed;     // kept so that stale handles stay unique
  std::deque<Transfer*> controlQueue;
  Transfer* activeControl = nullptr;
  uint64_t activeEndFrame = 0;
  std::vector<Rule> fail, answer, delay, sync, endOut;
  uint32_t portStatusFailures = 0;
  NTSTATUS portStatusFailure = STATUS_UNSUCCESSFUL;
  std::vector<uint8_t> stalled;
  bool stallNextControl = false;
  std::optional<std::mt19937_64> random;
  uint32_t pendPercent = 0;
  std::unique_ptr<BusDriver> bus;
};

struct UsbHost::Impl {
  explicit Impl(UsbHost& h) : host(h) {}

  UsbHost& host;
  KDPC dpc{};
  std::deque<UsbPort::Transfer*> done;
  std::vector<UsbPort::Transfer*> finished;
  std::unordered_map<PIRP, UsbPort::Transfer*> byIrp;
  bool wakeScheduled = false;
  VirtualTime wakeAt = 0;
  Kernel::EventId wakeId = 0;
  bool inDeviceEvent = false;
  uint64_t lastFrame = UINT64_MAX;
  size_t roundRobin = 0;
  std::vector<std::pair<UsbPort*, UsbPort::Endpoint*>> bulkEndpoints;  // ProcessFrame's, kept for its memory
  uint64_t nextRecordId = 1;
  ULONG_PTR configurationGeneration = 0;

  // --- Scheduling -------------------------------------------------------------------------
  void EnsureWake(VirtualTime at);
  void Service();
  void ProcessFrame(uint64_t frame);
  VirtualTime NextWake(VirtualTime now) const;
  bool RunTransaction(UsbPort& port, UsbPort::Endpoint& ep, uint64_t frame, uint32_t& budget);
  void StartControl(UsbPort& port, UsbPort::Transfer* t, uint64_t frame, uint32_t& budget);
  void EndControl(UsbPort& port);
  void Finish(UsbPort::Transfer* t, NTSTATUS status, USBD_STATUS usbd, VirtualTime at);
  void Detach(UsbPort::Transfer* t);
  void RequestDpc();
  static VOID NTAPI CompletionDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
  void DrainDone();
  static VOID NTAPI CancelRoutine(PDEVICE_OBJECT pdo, PIRP irp);
  void Complete(UsbPort::Transfer* t);

  // --- Device access ----------------------------------------------------------------------
  Handshake DeviceIn(UsbPort& port, uint8_t address, std::span<uint8_t> buf, size_t& length);
  Handshake DeviceOut(UsbPort& port, uint8_t address, std::span<const uint8_t> packet);
  ControlReply DeviceControl(UsbPort& port, const SetupPacket& setup, std::span<const uint8_t> out);
  void OnActivity(UsbPort& port);

  // --- Submission ---------------------------------------------------------------------------
  NTSTATUS Submit(UsbPort& port, PIRP irp, PURB urb);
  NTSTATUS Decide(UsbPort& port, PIRP irp, UsbPort::Transfer* t, NTSTATUS status, USBD_STATUS usbd);
  NTSTATUS Pend(UsbPort& port, PIRP irp, UsbPort::Transfer* t);
  void Enqueue(UsbPort& port, UsbPort::Transfer* t);
  bool ForcePending(UsbPort& port);
  NTSTATUS PrepareControl(UsbPort& port, PURB urb, UsbPort::Transfer* t);
  NTSTATUS PrepareData(UsbPort& port, PURB urb, UsbPort::Transfer* t);
  NTSTATUS PrepareSelectConfiguration(UsbPort& port, PURB urb, UsbPort::Transfer* t);
  void RunControlNow(UsbPort& port, UsbPort::Transfer* t);
  void ExecuteControl(UsbPort& port, UsbPort::Transfer* t);
  void OpenConfiguration(UsbPort& port, UsbPort::Transfer* t);
  void CloseEndpoints(UsbPort& port, VirtualTime at);
  void FailAll(UsbPort& port, NTSTATUS status, USBD_STATUS usbd, VirtualTime at, bool includeControl);

  // --- Records ------------------------------------------------------------------------------
  static UrbRecord* RecordOf(UsbPort& port, uint64_t id);
  void RecordSubmit(UsbPort& port, UsbPort::Transfer* t);
  void RecordComplete(UsbPort::Transfer* t);
  void CaptureSubmit(UsbPort& port, UsbPort::Transfer* t);
  void CaptureComplete(UsbPort::Transfer* t);
};

namespace {

// PDOs of every live port, for the cancel routine (it gets only the device object).
std::map<PDEVICE_OBJECT, UsbPort*>& PortsByPdo() {
  static std::map<PDEVICE_OBJECT, UsbPort*> ports;
  return ports;
}

bool RuleMatches(const UrbFilter& f, uint16_t function, uint8_t endpoint, const SetupPacket* setup) {
  if (f.function && *f.function != function) return false;
  if (f.endpoint) {
    bool defaultPipe = (*f.endpoint & 0x7F) == 0;
    if (defaultPipe ? (endpoint & 0x7F) != 0 || endpoint == 0xFF : *f.endpoint != endpoint) return false;
  }
  if (f.request && (setup == nullptr || setup->bRequest != *f.request)) return false;
  return true;
}

std::optional<UsbPort::Rule> TakeRule(std::vector<UsbPort::Rule>& rules, const UsbPort::Transfer& t) {
  for (auto it = rules.begin(); it != rules.end(); ++it) {
    if (it->count == 0) continue;
    if (!RuleMatches(it->filter, t.function, t.recordEndpoint, t.hasSetup ? &t.setup : nullptr)) continue;
    UsbPort::Rule r = *it;
    if (it->count != UINT32_MAX) --it->count;
    if (it->count == 0) rules.erase(it);
    return r;
  }
  return std::nullopt;
}

}  // namespace

// An adapter through which the machine's PDO reaches its port.
class PortBusDriver final : public BusDriver {
 public:
  explicit PortBusDriver(UsbPort& port) : port_(port) {}
  NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override { return port_.Dispatch(pdo, irp); }

 private:
  UsbPort& port_;
};

// ---------------------------------------------------------------------------------------------
// UsbPort
// ---------------------------------------------------------------------------------------------

UsbPort::UsbPort(UsbHost& host, UsbDevice& device, int portNumber, uint8_t address)
    : host_(&host),
      device_(&device),
      portNumber_(portNumber),
      address_(address),
      state_(std::make_unique<State>()) {}

UsbPort::~UsbPort() {
  if (pdo_) PortsByPdo().erase(pdo_);
  if (device_) device_->SetActivityCallback(nullptr);
}

void UsbPort::Unplug() {
  if (!connected_) return;
  UsbHost::Impl& h = *host_->impl_;
  connected_ = false;
  device_->SetActivityCallback(nullptr);
  VirtualTime now = host_->kernel_->Now();
  h.FailAll(*this, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, now, true);
  if (host_->kernel_->TraceEnabled()) host_->kernel_->Trace("usb", "unplug " + instancePath_);
  h.EnsureWake(now);
  // The hub reports the port's child missing from its bus relations.
  if (pdo_ != nullptr) host_->machine_->pnp().DeviceMissing(pdo_);
}

void UsbPort::LosePower() {
  if (!connected_) return;
  UsbHost::Impl& h = *host_->impl_;
  VirtualTime now = host_->kernel_->Now();
  h.FailAll(*this, STATUS_CANCELLED, USBD_STATUS_CANCELED, now, true);
  device_->PowerCycle();
  for (auto& ep : state_->endpoints) {
    ep->halted = false;
    ep->waiting = false;
  }
  state_->stalled.clear();
  configurationValue_ = 0;
  if (host_->kernel_->TraceEnabled()) host_->kernel_->Trace("usb", "power lost " + instancePath_);
  h.EnsureWake(now);
}

std::vector<UrbRecord> UsbPort::UrbsMatching(const UrbFilter& filter) const {
  std::vector<UrbRecord> out;
  for (const UrbRecord& r : urbs_) {
    if (RuleMatches(filter, r.function, r.endpoint, r.hasSetup ? &r.setup : nullptr)) out.push_back(r);
  }
  return out;
}

size_t UsbPort::CountUrbs(const UrbFilter& filter) const {
  size_t n = 0;
  for (const UrbRecord& r : urbs_) {
    if (RuleMatches(filter, r.function, r.endpoint, r.hasSetup ? &r.setup : nullptr)) ++n;
  }
  return n;
}

void UsbPort::ClearUrbLog() { urbs_.clear(); }

void UsbPort::SetUrbLogCapacity(size_t records) {
  urbLogCapacity_ = records;
  while (urbs_.size() > urbLogCapacity_) urbs_.pop_front();
}

size_t UsbPort::PendingTransfers() const {
  size_t n = 0;
  for (const auto& [irp, t] : host_->impl_->byIrp) {
    if (t->port == this) ++n;
  }
  return n;
}

void UsbPort::StallEndpoint(uint8_t address) {
  if ((address & 0x7F) == 0) {
    state_->stallNextControl = true;
    return;
  }
  if (std::find(state_->stalled.begin(), state_->stalled.end(), address) == state_->stalled.end()) {
    state_->stalled.push_back(address);
  }
}

void UsbPort::FailNext(uint32_t count, NTSTATUS status, USBD_STATUS usbdStatus, UrbFilter filter) {
  Rule r;
  r.count = count;
  r.filter = filter;
  r.status = status;
  r.usbd = usbdStatus;
  state_->fail.push_back(r);
}

void UsbPort::AnswerControlIn(uint32_t count, uint32_t length, UrbFilter filter, uint8_t fill) {
  Rule r;
  r.count = count;
  r.filter = filter;
  r.length = length;
  r.fill = fill;
  state_->answer.push_back(r);
}

void UsbPort::EndOutEarly(uint32_t count, uint32_t length, UrbFilter filter) {
  Rule r;
  r.count = count;
  r.filter = filter;
  r.length = length;
  state_->endOut.push_back(r);
}

void UsbPort::DelayCompletions(VirtualTime delay, uint32_t count, UrbFilter filter) {
  Rule r;
  r.count = count;
  r.filter = filter;
  r.delay = delay;
  state_->delay.push_back(r);
}

void UsbPort::CompleteSynchronously(uint32_t count, UrbFilter filter) {
  Rule r;
  r.count = count;
  r.filter = filter;
  state_->sync.push_back(r);
}

void UsbPort::PendAtRandom(uint64_t seed, uint32_t percent) {
  state_->random.emplace(seed);
  state_->pendPercent = std::min<uint32_t>(percent, 100);
}

void UsbPort::FailPortStatus(uint32_t count, NTSTATUS status) {
  state_->portStatusFailures = count;
  state_->portStatusFailure = status;
}

void UsbPort::ClearFaults() {
  state_->fail.clear();
  state_->answer.clear();
  state_->endOut.clear();
  state_->delay.clear();
  state_->sync.clear();
  state_->stalled.clear();
  state_->stallNextControl = false;
  state_->random.reset();
  state_->pendPercent = 0;
  state_->portStatusFailures = 0;
  portStatusGoneStatus_.reset();
  resetCancelsTransfers_ = true;
}

// ---------------------------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------------------------

NTSTATUS UsbPort::Dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  UsbHost::Impl& h = *host_->impl_;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      break;
    case IRP_MJ_PNP: {
      NTSTATUS status = irp->IoStatus.Status;
      bool deletePdo = false;
      switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
          status = STATUS_SUCCESS;
          break;
        case IRP_MN_REMOVE_DEVICE:
          // A device gone from the port loses its PDO with the remove; one still plugged in
          // keeps it for a later start.
          status = STATUS_SUCCESS;
          deletePdo = !connected_;
          break;
        case IRP_MN_QUERY_ID:
          status = QueryId(stack->Parameters.QueryId.IdType, &irp->IoStatus.Information);
          if (status == STATUS_NOT_SUPPORTED) status = irp->IoStatus.Status;
          break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
          if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
            status = QueryTargetRelation(pdo, &irp->IoStatus.Information);
          break;
        case IRP_MN_QUERY_CAPABILITIES: {
          PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
          if (caps == nullptr || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
            status = STATUS_UNSUCCESSFUL;
            break;
          }
          // What the USB hub reports for a function on one of its ports.
          caps->Removable = TRUE;
          caps->UniqueID = uniqueId_ ? TRUE : FALSE;
          caps->SurpriseRemovalOK = FALSE;
          caps->Address = static_cast<ULONG>(portNumber_);
          caps->UINumber = static_cast<ULONG>(portNumber_);
          caps->DeviceD1 = FALSE;
          caps->DeviceD2 = FALSE;
          caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
          caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
          for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s)
            caps->DeviceState[s] = PowerDeviceD3;
          caps->SystemWake = PowerSystemUnspecified;
          caps->DeviceWake = PowerDeviceUnspecified;
          status = STATUS_SUCCESS;
          break;
        }
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
          status = STATUS_SUCCESS;
          if (!connected_) irp->IoStatus.Information |= PNP_DEVICE_REMOVED;
          break;
        default:
          // Not handled by this bus driver: the request keeps the status it came with.
          break;
      }
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      if (deletePdo) IoDeleteDevice(pdo);
      return status;
    }
    case IRP_MJ_POWER:
      return Power(pdo, irp);
    case IRP_MJ_SYSTEM_CONTROL: {
      NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    default:
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INVALID_DEVICE_REQUEST;
  }

  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return h.Submit(*this, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));

    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      KIRQL irql = KeGetCurrentIrql();
      // Documented for PASSIVE_LEVEL only: the hub waits for its own port request.
      if (irql > PASSIVE_LEVEL) {
        host_->kernel_->BugCheck(bugcheck::kIrqlNotLessOrEqual, 0, irql, 0, reinterpret_cast<ULONG_PTR>(irp));
      }
      ++portStatusQueries_;
      auto* t = new Transfer();
      t->port = this;
      t->irp = irp;
      t->kind = Kind::Immediate;
      auto* word = static_cast<PULONG>(stack->Parameters.Others.Argument1);
      NTSTATUS status = STATUS_SUCCESS;
      if (word == nullptr) {
        status = STATUS_INVALID_PARAMETER;
      } else if (state_->portStatusFailures > 0) {
        --state_->portStatusFailures;
        status = state_->portStatusFailure;
      } else if (!connected_ && portStatusGoneStatus_) {
        status = *portStatusGoneStatus_;
      } else {
        *word = connected_ ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
      }
      return h.Decide(*this, irp, t, status, USBD_STATUS_SUCCESS);
    }

    case IOCTL_INTERNAL_USB_RESET_PORT: {
      KIRQL irql = KeGetCurrentIrql();
      if (irql > PASSIVE_LEVEL) {
        host_->kernel_->BugCheck(bugcheck::kIrqlNotLessOrEqual, 0, irql, 0, reinterpret_cast<ULONG_PTR>(irp));
      }
      ++portResets_;
      auto* t = new Transfer();
      t->port = this;
      t->irp = irp;
      if (!connected_) return h.Decide(*this, irp, t, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
      t->kind = Kind::ResetPort;
      t->frames = kPortResetFrames;
      return h.Pend(*this, irp, t);
    }

    default:
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

// ---------------------------------------------------------------------------------------------
// Submission
// ---------------------------------------------------------------------------------------------

NTSTATUS UsbHost::Impl::Submit(UsbPort& port, PIRP irp, PURB urb) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    host.kernel_->BugCheck(bugcheck::kIrqlNotLessOrEqual, reinterpret_cast<ULONG_PTR>(urb), irql, 0,
                           reinterpret_cast<ULONG_PTR>(irp));
  }
  auto* t = new UsbPort::Transfer();
  t->port = &port;
  t->irp = irp;
  t->urb = urb;
  if (urb == nullptr) return Decide(port, irp, t, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  t->function = urb->UrbHeader.Function;
  // The port driver clears these on entry.
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  urb->UrbHeader.UsbdFlags = 0;

  NTSTATUS prepared = STATUS_SUCCESS;
  switch (t->function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      prepared = PrepareSelectConfiguration(port, urb, t);
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      prepared = PrepareData(port, urb, t);
      break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
      t->kind = t->function == URB_FUNCTION_ABORT_PIPE ? Kind::AbortPipe : Kind::ResetPipe;
      t->captureType = CaptureTransfer::IrpInfo;
      if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
        prepared = STATUS_INVALID_PARAMETER;
        break;
      }
      UsbPort::Endpoint* ep = nullptr;
      for (auto& e : port.state_->endpoints) {
        if (e.get() == urb->UrbPipeRequest.PipeHandle) ep = e.get();
      }
      if (ep == nullptr) {
        t->usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
        prepared = STATUS_INVALID_PARAMETER;
        break;
      }
      t->ep = ep;
      t->recordEndpoint = ep->address;
      if (t->kind == Kind::ResetPipe) {
        // The host clears the device's halt with a standard request to the endpoint.
        t->setup = {0x02, kClearFeature, USB_FEATURE_ENDPOINT_STALL, ep->address, 0};
        t->hasSetup = false;  // the URB itself carries no setup packet
      }
      break;
    }
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      t->kind = Kind::Immediate;
      if (urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) {
        prepared = STATUS_INVALID_PARAMETER;
        break;
      }
      urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(FrameAt(host.kernel_->Now()));
      break;
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
      prepared = PrepareControl(port, urb, t);
      break;
    default:
      t->kind = Kind::Immediate;
      t->usbd = t->function > URB_FUNCTION_SYNC_CLEAR_STALL ? USBD_STATUS_INVALID_URB_FUNCTION
                                                            : USBD_STATUS_NOT_SUPPORTED;
      prepared = NtStatusFromUsbd(t->usbd);
      break;
  }

  RecordSubmit(port, t);
  CaptureSubmit(port, t);

  if (!NT_SUCCESS(prepared)) {
    USBD_STATUS usbd = t->usbd == USBD_STATUS_PENDING ? USBD_STATUS_INVALID_PARAMETER : t->usbd;
    if (prepared == STATUS_INSUFFICIENT_RESOURCES) usbd = USBD_STATUS_INSUFFICIENT_RESOURCES;
    return Decide(port, irp, t, prepared, usbd);
  }
  if (!port.connected_) return Decide(port, irp, t, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  if (t->kind == Kind::Immediate) return Decide(port, irp, t, STATUS_SUCCESS, USBD_STATUS_SUCCESS);

  UsbPort::State& st = *port.state_;
  if (auto r = TakeRule(st.delay, *t)) t->extraDelay = r->delay;
  if (t->kind == Kind::Control) {
    if (auto r = TakeRule(st.answer, *t)) {
      t->answerLength = r->length;
      t->answerFill = r->fill;
    }
  }
  if (t->kind == Kind::Data && !t->in) {
    if (auto r = TakeRule(st.endOut, *t)) t->length = std::min(t->length, r->length);
  }
  bool sync = t->kind != Kind::Data && TakeRule(st.sync, *t).has_value();
  if (auto r = TakeRule(st.fail, *t)) {
    t->injected = true;
    if (sync) return Decide(port, irp, t, r->status, r->usbd);
    t->status = r->status;
    t->usbd = r->usbd;
    t->completeAt = NextBoundary(host.kernel_->Now()) + t->extraDelay;
    return Pend(port, irp, t);
  }
  if (sync) {
    RunControlNow(port, t);
    return Decide(port, irp, t, t->status, t->usbd);
  }
  return Pend(port, irp, t);
}

NTSTATUS UsbHost::Impl::PrepareControl(UsbPort& port, PURB urb, UsbPort::Transfer* t) {
  (void)port;
  t->kind = Kind::Control;
  t->captureType = CaptureTransfer::Control;
  t->hasSetup = true;
  const uint16_t f = t->function;

  // Every control-type URB shares the transfer buffer fields of _URB_CONTROL_TRANSFER.
  size_t need = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  if (f == URB_FUNCTION_CONTROL_TRANSFER) need = sizeof(struct _URB_CONTROL_TRANSFER);
  if (f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
      f == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT) {
    need = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  }
  if (urb->UrbHeader.Length < need) return STATUS_INVALID_PARAMETER;

  auto& ct = urb->UrbControlTransfer;
  if (ct.UrbLink != nullptr) return STATUS_INVALID_PARAMETER;

  uint8_t recipient = 0;
  auto recipientOf = [](uint16_t fn, uint16_t device, uint16_t iface, uint16_t endpoint) -> uint8_t {
    if (fn == device) return BMREQUEST_TO_DEVICE;
    if (fn == iface) return BMREQUEST_TO_INTERFACE;
    if (fn == endpoint) return BMREQUEST_TO_ENDPOINT;
    return BMREQUEST_TO_OTHER;
  };

  uint32_t flags = 0;
  uint32_t length = 0;
  PVOID buffer = nullptr;
  struct _MDL* mdl = nullptr;
  SetupPacket s{};
  switch (f) {
    case URB_FUNCTION_CONTROL_TRANSFER: {
      // Only the default pipe is a control pipe on this host.
      if (ct.PipeHandle != nullptr && !(ct.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER)) {
        t->usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
        return STATUS_INVALID_PARAMETER;
      }
      flags = ct.TransferFlags;
      length = ct.TransferBufferLength;
      buffer = ct.TransferBuffer;
      mdl = ct.TransferBufferMDL;
      const UCHAR* p = ct.SetupPacket;
      s.bmRequestType = p[0];
      s.bRequest = p[1];
      s.wValue = static_cast<uint16_t>(p[2] | (p[3] << 8));
      s.wIndex = static_cast<uint16_t>(p[4] | (p[5] << 8));
      // The direction of the transfer comes from TransferFlags, as the port driver does.
      s.bmRequestType =
          static_cast<uint8_t>((s.bmRequestType & 0x7F) | ((flags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0));
      break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
      auto& d = urb->UrbControlDescriptorRequest;
      recipient =
          recipientOf(f, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
                      URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT);
      flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
      length = d.TransferBufferLength;
      buffer = d.TransferBuffer;
      mdl = d.TransferBufferMDL;
      s = {static_cast<uint8_t>(0x80 | recipient), kGetDescriptor,
           static_cast<uint16_t>((d.DescriptorType << 8) | d.Index), d.LanguageId, 0};
      break;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
      auto& g = urb->UrbControlGetStatusRequest;
      recipient = recipientOf(f, URB_FUNCTION_GET_STATUS_FROM_DEVICE, URB_FUNCTION_GET_STATUS_FROM_INTERFACE,
                              URB_FUNCTION_GET_STATUS_FROM_ENDPOINT);
      flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
      length = g.TransferBufferLength;
      buffer = g.TransferBuffer;
      mdl = g.TransferBufferMDL;
      // A status is two bytes; the buffer must hold them.
      if (length < 2) return STATUS_INVALID_PARAMETER;
      length = 2;
      s = {static_cast<uint8_t>(0x80 | recipient), kGetStatus, 0, g.Index, 0};
      break;
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: {
      auto& fr = urb->UrbControlFeatureRequest;
      bool set = f == URB_FUNCTION_SET_FEATURE_TO_DEVICE || f == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
                 f == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT || f == URB_FUNCTION_SET_FEATURE_TO_OTHER;
      recipient =
          set ? recipientOf(f, URB_FUNCTION_SET_FEATURE_TO_DEVICE, URB_FUNCTION_SET_FEATURE_TO_INTERFACE,
                            URB_FUNCTION_SET_FEATURE_TO_ENDPOINT)
              : recipientOf(f, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE,
                            URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT);
      s = {recipient, set ? kSetFeature : kClearFeature, fr.FeatureSelector, fr.Index, 0};
      break;
    }
    default: {  // vendor and class requests
      auto& v = urb->UrbControlVendorClassRequest;
      bool vendor = f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_VENDOR_INTERFACE ||
                    f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_VENDOR_OTHER;
      recipient = vendor ? recipientOf(f, URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                       URB_FUNCTION_VENDOR_ENDPOINT)
                         : recipientOf(f, URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                       URB_FUNCTION_CLASS_ENDPOINT);
      flags = v.TransferFlags;
      length = v.TransferBufferLength;
      buffer = v.TransferBuffer;
      mdl = v.TransferBufferMDL;
      // RequestTypeReservedBits fills the reserved recipient codes (4 to 31) when set.
      uint8_t rcpt =
          v.RequestTypeReservedBits ? static_cast<uint8_t>(v.RequestTypeReservedBits & 0x1F) : recipient;
      uint8_t type = vendor ? (BMREQUEST_VENDOR << 5) : (BMREQUEST_CLASS << 5);
      uint8_t dir = (flags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0x00;
      s = {static_cast<uint8_t>(dir | type | rcpt), v.Request, v.Value, v.Index, 0};
      // The port driver lets every vendor and class IN request end short.
      if (dir) flags |= USBD_SHORT_TRANSFER_OK;
      break;
    }
  }

  if (length > kMaxControlTransfer) return STATUS_INVALID_PARAMETER;
  if (length > 0 && buffer == nullptr) {
    if (mdl == nullptr) return STATUS_INVALID_PARAMETER;
    buffer = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
  }
  s.wLength = static_cast<uint16_t>(length);
  t->setup = s;
  t->in = (s.bmRequestType & 0x80) != 0;
  t->flags = flags;
  t->length = length;
  t->buffer = static_cast<uint8_t*>(buffer);
  t->recordEndpoint = t->in ? 0x80 : 0x00;

  // Bus time: setup, data packets of bMaxPacketSize0, status.
  uint32_t mps0 = port.deviceDescriptor_.bMaxPacketSize0 ? port.deviceDescriptor_.bMaxPacketSize0 : 8;
  uint32_t cost = TransactionCost(8) + TransactionCost(0);
  for (uint32_t left = length; left > 0;) {
    uint32_t n = std::min(left, mps0);
    cost += TransactionCost(n);
    left -= n;
  }
  t->frames = std::max<uint32_t>(1, (cost + kFrameBytes - 1) / kFrameBytes);
  t->cost = cost;
  return STATUS_SUCCESS;
}

NTSTATUS UsbHost::Impl::PrepareData(UsbPort& port, PURB urb, UsbPort::Transfer* t) {
  t->kind = Kind::Data;
  if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) return STATUS_INVALID_PARAMETER;
  auto& b = urb->UrbBulkOrInterruptTransfer;
  UsbPort::Endpoint* ep = nullptr;
  for (auto& e : port.state_->endpoints) {
    if (e.get() == b.PipeHandle) ep = e.get();
  }
  t->flags = b.TransferFlags;
  t->length = b.TransferBufferLength;
  t->in = (b.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  if (ep == nullptr) {
    t->recordEndpoint = 0xFF;
    t->usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
    return STATUS_INVALID_PARAMETER;
  }
  t->ep = ep;
  t->recordEndpoint = ep->address;
  t->captureType = ep->type == UsbdPipeTypeInterrupt ? CaptureTransfer::Interrupt : CaptureTransfer::Bulk;
  if (b.UrbLink != nullptr) return STATUS_INVALID_PARAMETER;
  // The direction comes from TransferFlags; a flag that contradicts the endpoint is a driver bug.
  if (t->in != ep->In()) return STATUS_INVALID_PARAMETER;
  PVOID buffer = b.TransferBuffer;
  if (t->length > 0 && buffer == nullptr) {
    if (b.TransferBufferMDL == nullptr) return STATUS_INVALID_PARAMETER;
    buffer = MmGetSystemAddressForMdlSafe(b.TransferBufferMDL, NormalPagePriority);
    if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
  }
  if (t->length > ep->maxTransfer) return STATUS_INVALID_PARAMETER;
  t->buffer = static_cast<uint8_t*>(buffer);
  return STATUS_SUCCESS;
}

NTSTATUS UsbHost::Impl::PrepareSelectConfiguration(UsbPort& port, PURB urb, UsbPort::Transfer* t) {
  (void)port;
  t->kind = Kind::SelectConfig;
  t->captureType = CaptureTransfer::Control;
  t->recordEndpoint = 0x00;
  auto& sc = urb->UrbSelectConfiguration;
  if (urb->UrbHeader.Length < offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle)) {
    return STATUS_INVALID_PARAMETER;
  }
  PUSB_CONFIGURATION_DESCRIPTOR config = sc.ConfigurationDescriptor;
  if (config == nullptr) {
    // Deconfigures the device.
    t->configurationValue = 0;
    t->setup = {0x00, kSetConfiguration, 0, 0, 0};
    return STATUS_SUCCESS;
  }
  if (config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || config->bLength < sizeof(*config) ||
      config->wTotalLength < sizeof(*config)) {
    t->usbd = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    return STATUS_INVALID_PARAMETER;
  }
  t->configurationValue = config->bConfigurationValue;
  t->setup = {0x00, kSetConfiguration, config->bConfigurationValue, 0, 0};

  // Walk the interface information blocks that follow, within Hdr.Length.
  auto* base = reinterpret_cast<PUCHAR>(urb);
  size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  const size_t total = urb->UrbHeader.Length;
  const PUCHAR configEnd = reinterpret_cast<PUCHAR>(config) + config->wTotalLength;
  while (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= total) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
    if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || offset + info->Length > total) {
      return STATUS_INVALID_PARAMETER;
    }
    // Find the interface descriptor this block asks for.
    PUSB_INTERFACE_DESCRIPTOR iface = nullptr;
    for (PUCHAR p = reinterpret_cast<PUCHAR>(config) + config->bLength; p + 2 <= configEnd;) {
      auto* c = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
      if (c->bLength < 2) break;
      if (c->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
          p + sizeof(USB_INTERFACE_DESCRIPTOR) <= configEnd) {
        auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p);
        if (d->bInterfaceNumber == info->InterfaceNumber && d->bAlternateSetting == info->AlternateSetting) {
          iface = d;
          break;
        }
      }
      p += c->bLength;
    }
    if (iface == nullptr) {
      t->usbd = USBD_STATUS_INTERFACE_NOT_FOUND;
      return STATUS_INVALID_PARAMETER;
    }
    size_t needed =
        offsetof(USBD_INTERFACE_INFORMATION, Pipes) + iface->bNumEndpoints * sizeof(USBD_PIPE_INFORMATION);
    if (info->Length < needed) {
      t->usbd = USBD_STATUS_BUFFER_TOO_SMALL;
      return STATUS_INVALID_PARAMETER;
    }
    t->interfaceInfos.emplace_back(info, iface);
    // The endpoint descriptors that follow the interface descriptor.
    uint32_t found = 0;
    for (PUCHAR p = reinterpret_cast<PUCHAR>(iface) + iface->bLength;
         p + 2 <= configEnd && found < iface->bNumEndpoints;) {
      auto* c = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
      if (c->bLength < 2 || c->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
      if (c->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
          p + sizeof(USB_ENDPOINT_DESCRIPTOR) <= configEnd) {
        auto* e = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(p);
        PUSBD_PIPE_INFORMATION pipe = &info->Pipes[found];
        if (pipe->MaximumTransferSize == 0) return STATUS_INVALID_PARAMETER;
        auto ep = std::make_unique<UsbPort::Endpoint>();
        ep->address = e->bEndpointAddress;
        switch (e->bmAttributes & USB_ENDPOINT_TYPE_MASK) {
          case USB_ENDPOINT_TYPE_CONTROL:
            ep->type = UsbdPipeTypeControl;
            break;
          case USB_ENDPOINT_TYPE_ISOCHRONOUS:
            ep->type = UsbdPipeTypeIsochronous;
            break;
          case USB_ENDPOINT_TYPE_BULK:
            ep->type = UsbdPipeTypeBulk;
            break;
          default:
            ep->type = UsbdPipeTypeInterrupt;
            break;
        }
        ep->maxPacket = static_cast<uint16_t>(e->wMaxPacketSize & 0x7FF);
        ep->interval = e->bInterval ? e->bInterval : 1;
        ep->maxTransfer = pipe->MaximumTransferSize;
        if (ep->maxPacket == 0) {
          t->usbd = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
          return STATUS_INVALID_PARAMETER;
        }
        t->pipeInfos.emplace_back(pipe, ep.get());
        t->newEndpoints.push_back(std::move(ep));
        ++found;
      }
      p += c->bLength;
    }
    if (found != iface->bNumEndpoints) {
      t->usbd = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
      return STATUS_INVALID_PARAMETER;
    }
    offset += info->Length;
  }
  if (t->interfaceInfos.empty()) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

bool UsbHost::Impl::ForcePending(UsbPort& port) {
  UsbPort::State& st = *port.state_;
  if (!st.random || st.pendPercent == 0) return false;
  return std::uniform_int_distribution<uint32_t>(0, 99)(*st.random) < st.pendPercent;
}

// A request whose outcome is known at submission: completes inside IoCallDriver, or, under forced
// pending, from the DPC.
NTSTATUS UsbHost::Impl::Decide(UsbPort& port, PIRP irp, UsbPort::Transfer* t, NTSTATUS status,
                               USBD_STATUS usbd) {
  t->status = status;
  t->usbd = usbd;
  if (ForcePending(port)) {
    t->completeAt = host.kernel_->Now();
    t->kind = Kind::Immediate;
    return Pend(port, irp, t);
  }
  Complete(t);
  return status;
}

NTSTATUS UsbHost::Impl::Pend(UsbPort& port, PIRP irp, UsbPort::Transfer* t) {
  t->pended = true;
  if (UrbRecord* r = RecordOf(port, t->id)) r->pended = true;
  IoMarkIrpPending(irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    t->status = STATUS_CANCELLED;
    t->usbd = USBD_STATUS_CANCELED;
    t->pended = false;  // no cancel routine was set
    Complete(t);
    return STATUS_PENDING;
  }
  IoSetCancelRoutine(irp, &Impl::CancelRoutine);
  byIrp[irp] = t;
  Enqueue(port, t);
  VirtualTime now = host.kernel_->Now();
  if (t->where == Where::Done) {
    RequestDpc();
  } else {
    EnsureWake(t->where == Where::Finished ? std::max(t->completeAt, now) : NextBoundary(now));
  }
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

// Puts a pended transfer where the host will find it. Runs with no kernel call in between, so the
// device events see the port as it is now (a configuration or unplug may have happened since the
// request was validated).
void UsbHost::Impl::Enqueue(UsbPort& port, UsbPort::Transfer* t) {
  VirtualTime now = host.kernel_->Now();
  if (t->kind == Kind::Immediate) {
    t->where = Where::Done;
    done.push_back(t);
    return;
  }
  if (t->injected) {
    t->where = Where::Finished;
    finished.push_back(t);
    return;
  }
  if (!port.connected_) {
    Finish(t, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, now);
    return;
  }
  if (t->ep != nullptr && !t->ep->open) {
    Finish(t, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, now);
    return;
  }
  switch (t->kind) {
    case Kind::Data:
      t->where = Where::EndpointQueue;
      t->ep->queue.push_back(t);
      break;
    case Kind::AbortPipe: {
      // The host controller stops the endpoint at the next frame boundary; the pipe's transfers
      // complete cancelled then, and the abort request after them.
      VirtualTime at = NextBoundary(now);
      std::deque<UsbPort::Transfer*> victims;
      victims.swap(t->ep->queue);
      for (UsbPort::Transfer* v : victims) {
        v->where = Where::None;
        Finish(v, STATUS_CANCELLED, USBD_STATUS_CANCELED, at);
      }
      t->ep->waiting = false;
      Finish(t, STATUS_SUCCESS, USBD_STATUS_SUCCESS, at);
      break;
    }
    default:
      t->where = Where::ControlQueue;
      port.state_->controlQueue.push_back(t);
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Completion
// ---------------------------------------------------------------------------------------------

void UsbHost::Impl::Detach(UsbPort::Transfer* t) {
  UsbPort& port = *t->port;
  switch (t->where) {
    case Where::EndpointQueue: {
      auto& q = t->ep->queue;
      q.erase(std::remove(q.begin(), q.end(), t), q.end());
      break;
    }
    case Where::ControlQueue: {
      auto& q = port.state_->controlQueue;
      q.erase(std::remove(q.begin(), q.end(), t), q.end());
      break;
    }
    case Where::ActiveControl:
      port.state_->activeControl = nullptr;
      break;
    case Where::Finished:
      finished.erase(std::remove(finished.begin(), finished.end(), t), finished.end());
      break;
    case Where::Done:
      done.erase(std::remove(done.begin(), done.end(), t), done.end());
      break;
    default:
      break;
  }
  t->where = Where::None;
}

void UsbHost::Impl::Finish(UsbPort::Transfer* t, NTSTATUS status, USBD_STATUS usbd, VirtualTime at) {
  Detach(t);
  t->status = status;
  t->usbd = usbd;
  t->completeAt = at + t->extraDelay;
  t->extraDelay = 0;
  t->where = Where::Finished;
  finished.push_back(t);
}

void UsbHost::Impl::RequestDpc() {
  if (!host.kernel_->InContext() && !inDeviceEvent) {
    // From the test's own stack: let a device event queue it.
    host.kernel_->ScheduleDeviceEvent(host.kernel_->Now(), [this] {
      inDeviceEvent = true;
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
      inDeviceEvent = false;
    });
    return;
  }
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
}

VOID NTAPI UsbHost::Impl::CompletionDpc(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<Impl*>(context)->DrainDone();
}

// The host controller's DPC: completes the transfers the frame processing finished.
void UsbHost::Impl::DrainDone() {
  for (;;) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (done.empty()) {
      IoReleaseCancelSpinLock(irql);
      return;
    }
    UsbPort::Transfer* t = done.front();
    done.pop_front();
    t->where = Where::None;
    if (t->pended && IoSetCancelRoutine(t->irp, nullptr) == nullptr) {
      // IoCancelIrp took the cancel routine first; the routine completes the request with the
      // transfer's outcome.
      t->where = Where::Claimed;
      IoReleaseCancelSpinLock(irql);
      continue;
    }
    byIrp.erase(t->irp);
    IoReleaseCancelSpinLock(irql);
    Complete(t);
  }
}

// The bus driver's cancel routine, entered holding the cancel spin lock.
VOID NTAPI UsbHost::Impl::CancelRoutine(PDEVICE_OBJECT pdo, PIRP irp) {
  auto found = PortsByPdo().find(pdo);
  if (found == PortsByPdo().end()) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    return;
  }
  Impl& h = *found->second->host_->impl_;
  auto it = h.byIrp.find(irp);
  if (it == h.byIrp.end()) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    return;
  }
  UsbPort::Transfer* t = it->second;
  h.byIrp.erase(it);
  bool decided = t->where == Where::Finished || t->where == Where::Done || t->where == Where::Claimed;
  h.Detach(t);
  if (!decided) {
    t->status = STATUS_CANCELLED;
    t->usbd = USBD_STATUS_CANCELED;
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  h.Complete(t);
  if (!decided) h.EnsureWake(NextBoundary(h.host.kernel_->Now()));
}

// Writes the outcome into the URB and completes the IRP. The transfer is no longer reachable from
// any list; it is deleted here.
void UsbHost::Impl::Complete(UsbPort::Transfer* t) {
  PIRP irp = t->irp;
  PURB urb = t->urb;
  if (urb != nullptr) {
    urb->UrbHeader.Status = t->usbd;
    if (t->kind == Kind::Data || t->kind == Kind::Control) {
      urb->UrbControlTransfer.TransferBufferLength = t->reportedLength ? *t->reportedLength : t->done;
    }
  }
  RecordComplete(t);
  CaptureComplete(t);
  if (host.kernel_->TraceEnabled() && t->urb != nullptr) {
    host.kernel_->Trace("urb", "complete #" + std::to_string(t->id) + " fn 0x" + Hex(t->function, 4) +
                                   " usbd 0x" + Hex(static_cast<uint32_t>(t->usbd), 8) + " len " +
                                   std::to_string(t->done));
  }
  NTSTATUS status = t->status;
  delete t;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---------------------------------------------------------------------------------------------
// Scheduling
// ---------------------------------------------------------------------------------------------

void UsbHost::Impl::EnsureWake(VirtualTime at) {
  VirtualTime now = host.kernel_->Now();
  if (at < now) at = now;
  if (wakeScheduled && wakeAt <= at) return;
  if (wakeScheduled) host.kernel_->CancelDeviceEvent(wakeId);
  wakeScheduled = true;
  wakeAt = at;
  wakeId = host.kernel_->ScheduleDeviceEvent(at, [this] {
    wakeScheduled = false;
    inDeviceEvent = true;
    Service();
    inDeviceEvent = false;
  });
}

void UsbHost::Impl::Service() {
  Kernel& k = *host.kernel_;
  VirtualTime now = k.Now();
  uint64_t frame = FrameAt(now);
  bool boundary = now % kFrame == 0;

  // The end of the previous frame: control transfers whose last frame it was get their answer.
  if (boundary) {
    for (auto& port : host.ports_) {
      UsbPort::State& st = *port->state_;
      if (st.activeControl != nullptr && st.activeEndFrame <= frame) EndControl(*port);
    }
  }
  // Transfers whose completion is due move to the DPC's list, in the order they finished.
  for (size_t i = 0; i < finished.size();) {
    UsbPort::Transfer* t = finished[i];
    if (t->completeAt <= now) {
      finished.erase(finished.begin() + static_cast<std::ptrdiff_t>(i));
      t->where = Where::Done;
      done.push_back(t);
    } else {
      ++i;
    }
  }
  if (boundary && frame != lastFrame) {
    lastFrame = frame;
    ProcessFrame(frame);
  }
  if (!done.empty()) KeInsertQueueDpc(&dpc, nullptr, nullptr);
  VirtualTime next = NextWake(now);
  if (next != kForever) EnsureWake(next);
}

VirtualTime UsbHost::Impl::NextWake(VirtualTime now) const {
  VirtualTime next = kForever;
  const uint64_t nextFrame = FrameAt(now) + 1;
  const VirtualTime nextBoundary = static_cast<VirtualTime>(nextFrame) * kFrame;
  for (UsbPort::Transfer* t : finished) next = std::min(next, std::max(t->completeAt, now));
  for (auto& port : host.ports_) {
    UsbPort::State& st = *port->state_;
    if (st.activeControl != nullptr) {
      next = std::min(next, static_cast<VirtualTime>(st.activeEndFrame) * kFrame);
    } else if (!st.controlQueue.empty() && port->connected_) {
      next = std::min(next, nextBoundary);
    }
    if (!port->connected_) continue;
    for (auto& ep : st.endpoints) {
      if (ep->queue.empty() || ep->halted || ep->waiting) continue;
      if (ep->type == UsbdPipeTypeInterrupt) {
        uint64_t f = (nextFrame + ep->interval - 1) / ep->interval * ep->interval;
        next = std::min(next, static_cast<VirtualTime>(f) * kFrame);
      } else {
        next = std::min(next, nextBoundary);
      }
    }
  }
  return next;
}

void UsbHost::Impl::ProcessFrame(uint64_t frame) {
  ++host.framesProcessed_;
  uint32_t budget = kFrameBytes;

  // Periodic transfers first: their bandwidth is reserved.
  for (auto& port : host.ports_) {
    if (!port->connected_) continue;
    for (auto& ep : port->state_->endpoints) {
      if (ep->type != UsbdPipeTypeInterrupt || ep->queue.empty() || ep->halted || ep->waiting) continue;
      if (frame % ep->interval != 0) continue;
      RunTransaction(*port, *ep, frame, budget);
    }
  }
  // One control transfer per device starts on the default pipe.
  for (auto& port : host.ports_) {
    UsbPort::State& st = *port->state_;
    if (!port->connected_ || st.activeControl != nullptr || st.controlQueue.empty()) continue;
    UsbPort::Transfer* t = st.controlQueue.front();
    st.controlQueue.pop_front();
    StartControl(*port, t, frame, budget);
  }
  // Bulk transactions, round robin between the endpoints that have work, until the frame is full.
  std::vector<std::pair<UsbPort*, UsbPort::Endpoint*>>& bulk = bulkEndpoints;
  bulk.clear();
  for (auto& port : host.ports_) {
    if (!port->connected_) continue;
    for (auto& ep : port->state_->endpoints) {
      if (ep->type == UsbdPipeTypeBulk) bulk.emplace_back(port.get(), ep.get());
    }
  }
  if (bulk.empty()) return;
  size_t start = roundRobin++ % bulk.size();
  for (bool progress = true; progress;) {
    progress = false;
    for (size_t i = 0; i < bulk.size(); ++i) {
      auto [port, ep] = bulk[(start + i) % bulk.size()];
      if (ep->queue.empty() || ep->halted || ep->waiting || ep->nakFrame == frame) continue;
      if (RunTransaction(*port, *ep, frame, budget)) progress = true;
    }
  }
}

// One transaction on a data endpoint; false when the frame has no room left for it.
bool UsbHost::Impl::RunTransaction(UsbPort& port, UsbPort::Endpoint& ep, uint64_t frame, uint32_t& budget) {
  UsbPort::Transfer* t = ep.queue.front();
  const VirtualTime frameEnd = static_cast<VirtualTime>(frame + 1) * kFrame;
  const uint32_t mps = ep.maxPacket;
  if (t->in) {
    if (budget < TransactionCost(mps)) return false;
    ++host.transactions_;
    uint8_t packet[2048];
    size_t len = 0;
    Handshake hs = DeviceIn(port, ep.address, std::span<uint8_t>(packet, mps), len);
    if (hs == Handshake::Nak) {
      budget -= kPacketOverhead;
      ep.waiting = true;
      ep.nakFrame = frame;
      return true;
    }
    if (hs == Handshake::Stall) {
      budget -= kPacketOverhead;
      ep.halted = true;
      Finish(t, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, frameEnd);
      return true;
    }
    if (len > mps) len = mps;
    budget -= TransactionCost(static_cast<uint32_t>(len));
    uint32_t room = t->length - t->done;
    if (len > room) {
      // More data than the buffer has room for: babble on this transfer.
      ep.halted = true;
      Finish(t, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN, frameEnd);
      return true;
    }
    if (len > 0) std::memcpy(t->buffer + t->done, packet, len);
    t->done += static_cast<uint32_t>(len);
    if (t->done == t->length) {
      Finish(t, STATUS_SUCCESS, USBD_STATUS_SUCCESS, frameEnd);
    } else if (len < mps) {
      // A short packet ends an IN transfer. Full-speed host controllers (UHCI, OHCI) treat it as
      // an error that halts the endpoint unless USBD_SHORT_TRANSFER_OK is set.
      if (t->flags & USBD_SHORT_TRANSFER_OK) {
        Finish(t, STATUS_SUCCESS, USBD_STATUS_SUCCESS, frameEnd);
      } else {
        ep.halted = true;
        Finish(t, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN, frameEnd);
      }
    }
    return true;
  }
  uint32_t n = std::min<uint32_t>(mps, t->length - t->done);
  if (budget < TransactionCost(n)) return false;
  ++host.transactions_;
  Handshake hs =
      DeviceOut(port, ep.address, std::span<const uint8_t>(t->buffer ? t->buffer + t->done : nullptr, n));
  if (hs == Handshake::Nak) {
    budget -= kPacketOverhead + n;
    ep.waiting = true;
    ep.nakFrame = frame;
    return true;
  }
  budget -= TransactionCost(n);
  if (hs == Handshake::Stall) {
    ep.halted = true;
    Finish(t, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, frameEnd);
    return true;
  }
  t->done += n;
  t->sentPacket = true;
  if (t->done == t->length) Finish(t, STATUS_SUCCESS, USBD_STATUS_SUCCESS, frameEnd);
  return true;
}

void UsbHost::Impl::StartControl(UsbPort& port, UsbPort::Transfer* t, uint64_t frame, uint32_t& budget) {
  UsbPort::State& st = *port.state_;
  t->where = Where::ActiveControl;
  st.activeControl = t;
  st.activeEndFrame = frame + t->frames;
  if (t->kind == Kind::ResetPort) {
    // The reset signalling starts: the device's transfers end, and it stays busy for the reset.
    if (port.resetCancelsTransfers_)
      FailAll(port, STATUS_CANCELLED, USBD_STATUS_CANCELED, NextBoundary(frame * kFrame), false);
    return;
  }
  budget -= std::min(budget, t->cost);
}

void UsbHost::Impl::EndControl(UsbPort& port) {
  UsbPort::Transfer* t = port.state_->activeControl;
  port.state_->activeControl = nullptr;
  t->where = Where::None;
  ExecuteControl(port, t);
  Finish(t, t->status, t->usbd, host.kernel_->Now());
}

void UsbHost::Impl::RunControlNow(UsbPort& port, UsbPort::Transfer* t) {
  if (t->kind == Kind::AbortPipe) {
    std::deque<UsbPort::Transfer*> victims;
    victims.swap(t->ep->queue);
    for (UsbPort::Transfer* v : victims) {
      v->where = Where::None;
      Finish(v, STATUS_CANCELLED, USBD_STATUS_CANCELED, NextBoundary(host.kernel_->Now()));
    }
    if (!victims.empty()) EnsureWake(NextBoundary(host.kernel_->Now()));
    t->status = STATUS_SUCCESS;
    t->usbd = USBD_STATUS_SUCCESS;
    return;
  }
  ExecuteControl(port, t);
}

// The device answers a control-pipe request (at the end of its last frame, or at once when
// completing synchronously); sets t->status and t->usbd.
void UsbHost::Impl::ExecuteControl(UsbPort& port, UsbPort::Transfer* t) {
  UsbPort::State& st = *port.state_;
  if (t->kind == Kind::ResetPort) {
    port.device_->BusReset();
    for (auto& ep : st.endpoints) {
      ep->halted = false;
      ep->waiting = false;
    }
    st.stalled.clear();
    // The hub restores the configuration the device had.
    if (port.configurationValue_ != 0) {
      SetupPacket s{0x00, kSetConfiguration, port.configurationValue_, 0, 0};
      DeviceControl(port, s, {});
    }
    t->status = STATUS_SUCCESS;
    t->usbd = USBD_STATUS_SUCCESS;
    return;
  }
  std::span<const uint8_t> out;
  if (!t->in && t->length > 0) out = std::span<const uint8_t>(t->buffer, t->length);
  ControlReply reply = DeviceControl(port, t->setup, out);
  if (reply.stall) {
    t->status = STATUS_UNSUCCESSFUL;
    t->usbd = t->kind == Kind::SelectConfig ? USBD_STATUS_SET_CONFIG_FAILED : USBD_STATUS_STALL_PID;
    return;
  }
  if (t->kind == Kind::Control && t->in) {
    std::vector<uint8_t>& data = reply.data;
    if (data.size() > t->length) data.resize(t->length);
    if (t->answerLength) data.resize(*t->answerLength, t->answerFill);
    uint32_t written = static_cast<uint32_t>(std::min<size_t>(data.size(), t->length));
    if (written > 0) std::memcpy(t->buffer, data.data(), written);
    t->done = written;
    if (data.size() > t->length) t->reportedLength = static_cast<uint32_t>(data.size());
  } else if (t->kind == Kind::Control) {
    t->done = t->length;
  }
  t->status = STATUS_SUCCESS;
  t->usbd = USBD_STATUS_SUCCESS;
  if (t->kind == Kind::SelectConfig) OpenConfiguration(port, t);
  if (t->kind == Kind::ResetPipe) {
    t->ep->halted = false;
    t->ep->waiting = false;
  }
}

// SET_CONFIGURATION succeeded: the old pipes close and the new ones open.
void UsbHost::Impl::OpenConfiguration(UsbPort& port, UsbPort::Transfer* t) {
  UsbPort::State& st = *port.state_;
  CloseEndpoints(port, host.kernel_->Now());
  port.configurationValue_ = t->configurationValue;
  if (t->configurationValue == 0) return;
  PURB urb = t->urb;
  // Opaque handles, distinct for every configuration selected on this host.
  ULONG_PTR generation = ++configurationGeneration;
  urb->UrbSelectConfiguration.ConfigurationHandle =
      reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0xC0F1600000000000ull | (generation << 8));
  ULONG_PTR interfaceIndex = 0;
  for (auto& [info, iface] : t->interfaceInfos) {
    info->Class = iface->bInterfaceClass;
    info->SubClass = iface->bInterfaceSubClass;
    info->Protocol = iface->bInterfaceProtocol;
    info->NumberOfPipes = iface->bNumEndpoints;
    info->InterfaceHandle =
        reinterpret_cast<USBD_INTERFACE_HANDLE>(0x1F00000000000000ull | (generation << 8) | ++interfaceIndex);
  }
  for (auto& [pipe, ep] : t->pipeInfos) {
    pipe->MaximumPacketSize = ep->maxPacket;
    pipe->EndpointAddress = ep->address;
    pipe->Interval = ep->interval;
    pipe->PipeType = ep->type;
    pipe->PipeHandle = ep;
  }
  for (auto& ep : t->newEndpoints) st.endpoints.push_back(std::move(ep));
  t->newEndpoints.clear();
}

void UsbHost::Impl::CloseEndpoints(UsbPort& port, VirtualTime at) {
  UsbPort::State& st = *port.state_;
  for (auto& ep : st.endpoints) {
    std::deque<UsbPort::Transfer*> victims;
    victims.swap(ep->queue);
    for (UsbPort::Transfer* v : victims) {
      v->where = Where::None;
      Finish(v, STATUS_CANCELLED, USBD_STATUS_CANCELED, at);
    }
    ep->open = false;
    st.closed.push_back(std::move(ep));
  }
  st.endpoints.clear();
}

// Ends every transfer the device has not finished yet.
void UsbHost::Impl::FailAll(UsbPort& port, NTSTATUS status, USBD_STATUS usbd, VirtualTime at,
                            bool includeControl) {
  UsbPort::State& st = *port.state_;
  for (auto& ep : st.endpoints) {
    std::deque<UsbPort::Transfer*> victims;
    victims.swap(ep->queue);
    for (UsbPort::Transfer* v : victims) {
      v->where = Where::None;
      Finish(v, status, usbd, at);
    }
    ep->waiting = false;
  }
  if (!includeControl) return;
  if (st.activeControl != nullptr) Finish(st.activeControl, status, usbd, at);
  std::deque<UsbPort::Transfer*> queued;
  queued.swap(st.controlQueue);
  for (UsbPort::Transfer* v : queued) {
    v->where = Where::None;
    Finish(v, status, usbd, at);
  }
}

// ---------------------------------------------------------------------------------------------
// Device access, with the injected stalls in front of the device
// ---------------------------------------------------------------------------------------------

Handshake UsbHost::Impl::DeviceIn(UsbPort& port, uint8_t address, std::span<uint8_t> buf, size_t& length) {
  auto& stalled = port.state_->stalled;
  if (std::find(stalled.begin(), stalled.end(), address) != stalled.end()) return Handshake::Stall;
  length = 0;
  return port.device_->In(address, buf, length);
}

Handshake UsbHost::Impl::DeviceOut(UsbPort& port, uint8_t address, std::span<const uint8_t> packet) {
  auto& stalled = port.state_->stalled;
  if (std::find(stalled.begin(), stalled.end(), address) != stalled.end()) return Handshake::Stall;
  return port.device_->Out(address, packet);
}

ControlReply UsbHost::Impl::DeviceControl(UsbPort& port, const SetupPacket& setup,
                                          std::span<const uint8_t> out) {
  UsbPort::State& st = *port.state_;
  if (st.stallNextControl) {
    st.stallNextControl = false;
    return ControlReply{true, {}};
  }
  // CLEAR_FEATURE(ENDPOINT_HALT) to an endpoint clears an injected stall of it.
  if (setup.bmRequestType == 0x02 && setup.bRequest == kClearFeature &&
      setup.wValue == USB_FEATURE_ENDPOINT_STALL) {
    uint8_t address = static_cast<uint8_t>(setup.wIndex);
    st.stalled.erase(std::remove(st.stalled.begin(), st.stalled.end(), address), st.stalled.end());
  }
  return port.device_->Control(setup, out);
}

void UsbHost::Impl::OnActivity(UsbPort& port) {
  bool any = false;
  for (auto& ep : port.state_->endpoints) {
    if (ep->waiting) {
      ep->waiting = false;
      any = true;
    }
  }
  if (any) EnsureWake(NextBoundary(host.kernel_->Now()));
}

// ---------------------------------------------------------------------------------------------
// Records and capture
// ---------------------------------------------------------------------------------------------

void UsbHost::Impl::RecordSubmit(UsbPort& port, UsbPort::Transfer* t) {
  t->id = nextRecordId++;
  UrbRecord r;
  r.id = t->id;
  r.submitted = host.kernel_->Now();
  r.function = t->function;
  r.endpoint = t->recordEndpoint;
  r.hasSetup = t->hasSetup || t->kind == Kind::SelectConfig;
  r.setup = t->setup;
  r.transferFlags = t->flags;
  r.requestedLength = t->length;
  if (!t->in && t->buffer != nullptr && t->length > 0) r.outData.assign(t->buffer, t->buffer + t->length);
  port.urbs_.push_back(std::move(r));
  while (port.urbs_.size() > port.urbLogCapacity_) port.urbs_.pop_front();
  if (host.kernel_->TraceEnabled()) {
    std::string text = "submit #" + std::to_string(t->id) + " fn 0x" + Hex(t->function, 4);
    if (t->recordEndpoint != 0xFF) text += " ep 0x" + Hex(t->recordEndpoint, 2);
    if (t->hasSetup) {
      text += " setup " + Hex(t->setup.bmRequestType, 2) + " " + Hex(t->setup.bRequest, 2) + " " +
              Hex(t->setup.wValue, 4) + " " + Hex(t->setup.wIndex, 4) + " " + Hex(t->setup.wLength, 4);
    }
    text += " len " + std::to_string(t->length);
    host.kernel_->Trace("urb", std::move(text));
  }
}

UrbRecord* UsbHost::Impl::RecordOf(UsbPort& port, uint64_t id) {
  if (id == 0 || port.urbs_.empty() || id < port.urbs_.front().id) return nullptr;
  uint64_t index = id - port.urbs_.front().id;
  return index < port.urbs_.size() ? &port.urbs_[index] : nullptr;
}

void UsbHost::Impl::RecordComplete(UsbPort::Transfer* t) {
  UrbRecord* found = RecordOf(*t->port, t->id);
  if (found == nullptr) return;
  UrbRecord& r = *found;
  r.completed = host.kernel_->Now();
  r.status = t->status;
  r.usbdStatus = t->usbd;
  r.pended = t->pended || r.pended;
  r.injected = t->injected;
  r.actualLength = t->reportedLength ? *t->reportedLength : t->done;
  if (t->in && t->buffer != nullptr && t->done > 0) r.inData.assign(t->buffer, t->buffer + t->done);
}

void UsbHost::Impl::CaptureSubmit(UsbPort& port, UsbPort::Transfer* t) {
  UsbCapture* cap = host.capture_.get();
  if (cap == nullptr) return;
  CapturePacket p;
  p.time = host.kernel_->Now();
  p.irpId = t->id;
  p.usbdStatus = 0;
  p.function = t->function;
  p.completion = false;
  p.bus = host.busNumber_;
  p.device = port.address_;
  p.transfer = t->captureType;
  std::vector<uint8_t> data;
  if (t->captureType == CaptureTransfer::Control) {
    const SetupPacket& s = t->setup;
    p.endpoint = (s.bmRequestType & 0x80) ? 0x80 : 0x00;
    p.stage = CaptureStage::Setup;
    data = {s.bmRequestType,
            s.bRequest,
            static_cast<uint8_t>(s.wValue),
            static_cast<uint8_t>(s.wValue >> 8),
            static_cast<uint8_t>(s.wIndex),
            static_cast<uint8_t>(s.wIndex >> 8),
            static_cast<uint8_t>(s.wLength),
            static_cast<uint8_t>(s.wLength >> 8)};
    if (!t->in && t->buffer != nullptr && t->length > 0)
      data.insert(data.end(), t->buffer, t->buffer + t->length);
  } else {
    p.endpoint = t->recordEndpoint == 0xFF ? 0 : t->recordEndpoint;
    if (t->captureType != CaptureTransfer::IrpInfo && !t->in && t->buffer != nullptr && t->length > 0) {
      data.assign(t->buffer, t->buffer + t->length);
    }
  }
  p.data = data;
  cap->Write(p);
}

void UsbHost::Impl::CaptureComplete(UsbPort::Transfer* t) {
  UsbCapture* cap = host.capture_.get();
  if (cap == nullptr || t->id == 0) return;
  CapturePacket p;
  p.time = host.kernel_->Now();
  p.irpId = t->id;
  p.usbdStatus = t->usbd;
  p.function = t->function;
  p.completion = true;
  p.bus = host.busNumber_;
  p.device = t->port->address_;
  p.transfer = t->captureType;
  std::span<const uint8_t> data;
  if (t->captureType == CaptureTransfer::Control) {
    p.endpoint = t->in ? 0x80 : 0x00;
    p.stage = CaptureStage::Complete;
  } else {
    p.endpoint = t->recordEndpoint == 0xFF ? 0 : t->recordEndpoint;
  }
  if (t->captureType != CaptureTransfer::IrpInfo && t->in && t->buffer != nullptr && t->done > 0) {
    data = std::span<const uint8_t>(t->buffer, t->done);
  }
  p.data = data;
  cap->Write(p);
}

// ---------------------------------------------------------------------------------------------
// UsbHost
// ---------------------------------------------------------------------------------------------

UsbHost::UsbHost(Machine& machine, uint16_t busNumber)
    : machine_(&machine),
      kernel_(&machine.kernel()),
      busNumber_(busNumber),
      impl_(std::make_unique<Impl>(*this)) {
  KeInitializeDpc(&impl_->dpc, &Impl::CompletionDpc, impl_.get());
}

UsbHost::~UsbHost() {
  if (impl_->wakeScheduled) kernel_->CancelDeviceEvent(impl_->wakeId);
  // Transfers still owned by the host die with it; their IRPs belong to a machine that is gone.
  for (auto& [irp, t] : impl_->byIrp) delete t;
  impl_->byIrp.clear();
  ports_.clear();
}

UsbPort* UsbHost::PortOf(PDEVICE_OBJECT pdo) const {
  for (auto& p : ports_) {
    if (p->pdo_ == pdo) return p.get();
  }
  return nullptr;
}

UsbPort& UsbHost::Plug(UsbDevice& device, PlugOptions options) {
  int portNumber = static_cast<int>(ports_.size()) + 1;
  uint8_t address = static_cast<uint8_t>(portNumber);
  std::unique_ptr<UsbPort> port(new UsbPort(*this, device, portNumber, address));

  // Enumeration, as the hub does it: reset, device descriptor, serial number string.
  device.BusReset();
  ControlReply dd = device.Control({0x80, kGetDescriptor, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, 18}, {});
  if (!dd.stall) {
    dd.data.resize(sizeof(USB_DEVICE_DESCRIPTOR), 0);
    std::memcpy(&port->deviceDescriptor_, dd.data.data(), sizeof(USB_DEVICE_DESCRIPTOR));
  }
  std::string serial;
  if (port->deviceDescriptor_.iSerialNumber != 0) {
    ControlReply sd = device.Control(
        {0x80, kGetDescriptor,
         static_cast<uint16_t>((USB_STRING_DESCRIPTOR_TYPE << 8) | port->deviceDescriptor_.iSerialNumber),
         0x0409, 255},
        {});
    if (!sd.stall && sd.data.size() >= 2) {
      size_t len = std::min<size_t>(sd.data[0], sd.data.size());
      for (size_t i = 2; i + 1 < len; i += 2) {
        char16_t c = static_cast<char16_t>(sd.data[i] | (sd.data[i + 1] << 8));
        serial.push_back(c < 0x80 && c > 0x20 ? static_cast<char>(c) : '_');
      }
    }
  }
  if (options.instancePath.empty()) {
    std::string instance = serial;
    if (instance.empty()) {
      // Windows makes up a location-based instance id for a device without a serial number.
      instance = "5&" + Hex(0x1C0FFEE0u + busNumber_, 8) + "&0&" + std::to_string(portNumber);
    }
    options.instancePath = "USB\\VID_" + Hex(port->deviceDescriptor_.idVendor, 4) + "&PID_" +
                           Hex(port->deviceDescriptor_.idProduct, 4) + "\\" + instance;
  }
  port->instancePath_ = options.instancePath;
  port->uniqueId_ =
      !serial.empty() && options.instancePath.size() > serial.size() &&
      options.instancePath.compare(options.instancePath.size() - serial.size(), serial.size(), serial) == 0;

  UsbPort* raw = port.get();
  device.SetActivityCallback([this, raw] { impl_->OnActivity(*raw); },
                             [raw] {
                               const auto& endpoints = raw->state_->endpoints;
                               return std::any_of(endpoints.begin(), endpoints.end(),
                                                  [](const auto& ep) { return ep->waiting; });
                             });
  raw->state_->bus = std::make_unique<PortBusDriver>(*raw);
  ports_.push_back(std::move(port));
  raw->pdo_ = machine_->CreatePhysicalDevice(
      std::u16string(raw->instancePath_.begin(), raw->instancePath_.end()), *raw->state_->bus);
  if (raw->pdo_ != nullptr) PortsByPdo()[raw->pdo_] = raw;
  if (kernel_->TraceEnabled())
    kernel_->Trace("usb", "plug " + raw->instancePath_ + " address " + std::to_string(address));
  // The hub reports its new child, which the Plug and Play manager enumerates.
  if (raw->pdo_ != nullptr) machine_->pnp().DeviceArrived(raw->pdo_);
  return *raw;
}

bool UsbHost::StartCapture(const std::string& path, std::string* error) {
  capture_ = UsbCapture::Open(path, error);
  return capture_ != nullptr;
}

void UsbHost::StopCapture() {
  if (capture_) capture_->Flush();
  capture_.reset();
}

}  // namespace emu::usb
