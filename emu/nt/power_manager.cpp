// The power manager: system transitions over the device tree, requested device power IRPs and
// the recorded device power states.
#include "nt/power_manager.h"

#include <memory>
#include <string>
#include <vector>

#include "nt/io_manager.h"
#include "nt/io_util.h"
#include "nt/machine.h"
#include "nt/verifier.h"

namespace emu {

namespace {

// What PoRequestPowerIrp keeps for the power manager's completion routine.
struct PowerRequest {
  PDEVICE_OBJECT device;  // the device the caller named
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE completion;
  PVOID context;
  const void* requester;  // the driver that asked (verifier::CurrentDriver)
};

// The power manager's completion routine in its own (top) stack location: the caller's completion
// function gets the final status, then the IRP goes back.
NTSTATUS NTAPI RequestedIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  std::unique_ptr<PowerRequest> request(static_cast<PowerRequest*>(context));
  if (request->completion != nullptr) {
    verifier::DriverScope scope(request->requester);
    request->completion(request->device, request->minor, request->state, request->context, &irp->IoStatus);
  }
  {
    verifier::DriverScope scope(nullptr);
    IoFreeIrp(irp);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

POWER_ACTION ActionOf(SYSTEM_POWER_STATE state) {
  switch (state) {
    case PowerSystemHibernate:
      return PowerActionHibernate;
    case PowerSystemShutdown:
      return PowerActionShutdownOff;
    default:
      return PowerActionSleep;
  }
}

}  // namespace

const char* SystemPowerStateName(SYSTEM_POWER_STATE state) {
  switch (state) {
    case PowerSystemUnspecified:
      return "S?";
    case PowerSystemWorking:
      return "S0";
    case PowerSystemSleeping1:
      return "S1";
    case PowerSystemSleeping2:
      return "S2";
    case PowerSystemSleeping3:
      return "S3";
    case PowerSystemHibernate:
      return "S4";
    case PowerSystemShutdown:
      return "S5";
    default:
      return "Smax";
  }
}

PowerManager::PowerManager(Machine& machine) : machine_(machine) {}

PowerManager& PowerManager::Current() { return Machine::Current().power(); }

DEVICE_POWER_STATE PowerManager::DeviceState(PDEVICE_OBJECT device) const {
  auto it = recorded_.find(device);
  return it == recorded_.end() ? PowerDeviceD0 : it->second.device;
}

// ---------------------------------------------------------------------------------------------
// Transitions
// ---------------------------------------------------------------------------------------------

NTSTATUS PowerManager::Sleep(SYSTEM_POWER_STATE state) {
  if (state < PowerSystemSleeping1 || state > PowerSystemHibernate) return STATUS_INVALID_PARAMETER;
  return RunTransition("sleep", &PowerManager::EnterSleep, state);
}

NTSTATUS PowerManager::Wake() {
  return RunTransition("wake", &PowerManager::EnterWorking, PowerSystemWorking);
}

NTSTATUS PowerManager::Shutdown() {
  return RunTransition("shutdown", &PowerManager::EnterShutdown, PowerSystemShutdown);
}

NTSTATUS PowerManager::RunTransition(const char* name,
                                     NTSTATUS (PowerManager::*transition)(SYSTEM_POWER_STATE),
                                     SYSTEM_POWER_STATE state) {
  machine_.kernel().Trace("power", std::string(name) + " " + SystemPowerStateName(state));
  return machine_.pnp().RunOnWorker([this, transition, state] { return (this->*transition)(state); });
}

NTSTATUS PowerManager::EnterSleep(SYSTEM_POWER_STATE state) {
  if (systemState_ != PowerSystemWorking) return STATUS_INVALID_DEVICE_STATE;
  const std::vector<PDEVICE_OBJECT> tree = machine_.pnp().DevicesInTree();
  action_ = ActionOf(state);
  for (PDEVICE_OBJECT pdo : tree) {
    NTSTATUS status = SendSystemIrp(pdo, IRP_MN_QUERY_POWER, state);
    if (NT_SUCCESS(status)) continue;
    // Vetoed: every stack queried so far hears that the system stays working.
    for (PDEVICE_OBJECT queried : tree) {
      SendSystemIrp(queried, IRP_MN_SET_POWER, PowerSystemWorking);
      if (queried == pdo) break;
    }
    action_ = PowerActionNone;
    return status;
  }
  for (auto it = tree.rbegin(); it != tree.rend(); ++it) SendSystemIrp(*it, IRP_MN_SET_POWER, state);
  systemState_ = state;
  return STATUS_SUCCESS;
}

NTSTATUS PowerManager::EnterWorking(SYSTEM_POWER_STATE) {
  if (systemState_ < PowerSystemSleeping1 || systemState_ > PowerSystemHibernate)
    return STATUS_INVALID_DEVICE_STATE;
  for (PDEVICE_OBJECT pdo : machine_.pnp().DevicesInTree())
    SendSystemIrp(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
  systemState_ = PowerSystemWorking;
  action_ = PowerActionNone;
  return STATUS_SUCCESS;
}

NTSTATUS PowerManager::EnterShutdown(SYSTEM_POWER_STATE) {
  if (systemState_ == PowerSystemShutdown) return STATUS_INVALID_DEVICE_STATE;
  action_ = PowerActionShutdownOff;
  const std::vector<PDEVICE_OBJECT> tree = machine_.pnp().DevicesInTree();
  for (auto it = tree.rbegin(); it != tree.rend(); ++it)
    SendSystemIrp(*it, IRP_MN_SET_POWER, PowerSystemShutdown);
  systemState_ = PowerSystemShutdown;
  return STATUS_SUCCESS;
}

NTSTATUS PowerManager::SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  IoRequest request;
  request.majorFunction = IRP_MJ_POWER;
  request.minorFunction = minor;
  request.initialStatus = STATUS_NOT_SUPPORTED;
  const POWER_ACTION action = action_;
  request.setup = [state, action](PIO_STACK_LOCATION sp) {
    sp->Parameters.Power.SystemContext = 0;
    sp->Parameters.Power.Type = SystemPowerState;
    sp->Parameters.Power.State.SystemState = state;
    sp->Parameters.Power.ShutdownType = action;
  };
  IoManager& io = machine_.io();
  NTSTATUS status = io.SendToStack(pdo, request);
  machine_.kernel().Trace("power", std::string(minor == IRP_MN_QUERY_POWER ? "QUERY_POWER " : "SET_POWER ") +
                                       SystemPowerStateName(state) + " " + io.Label(pdo) + " " +
                                       HexStatus(status));
  return status;
}

// ---------------------------------------------------------------------------------------------
// The Po* routines
// ---------------------------------------------------------------------------------------------

NTSTATUS PowerManager::RequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                       PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* irpOut) {
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  const void* requester = verifier::CurrentDriver();
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  PIRP irp;
  {
    // The power manager's IRP, not the requesting driver's.
    verifier::DriverScope scope(nullptr);
    irp = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 1), FALSE);
  }
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  IoSetNextIrpStackLocation(irp);  // the power manager's own location
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_POWER;
  sp->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    sp->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    sp->Parameters.Power.Type = DevicePowerState;
    sp->Parameters.Power.State = state;
    sp->Parameters.Power.ShutdownType = action_;
  }
  IoSetCompletionRoutine(irp, &RequestedIrpDone,
                         new PowerRequest{device, minor, state, completion, context, requester}, TRUE, TRUE,
                         TRUE);
  if (irpOut != nullptr) *irpOut = irp;
  machine_.kernel().Trace("power", "request minor=" + std::to_string(minor) + " state=" +
                                       std::to_string(state.DeviceState) + " " + machine_.io().Label(device));
  // Sent from a system worker at PASSIVE_LEVEL, as for any power-pageable stack.
  verifier::DriverScope scope(nullptr);
  machine_.kernel().StartSystemThread("power", [top, irp] { IoCallDriver(top, irp); });
  return STATUS_PENDING;
}

POWER_STATE PowerManager::SetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
  Recorded& r = recorded_[device];
  POWER_STATE old{};
  if (type == SystemPowerState) {
    old.SystemState = r.system;
    r.system = state.SystemState;
  } else {
    old.DeviceState = r.device;
    r.device = state.DeviceState;
  }
  machine_.kernel().Trace(
      "power", "PoSetPowerState " + machine_.io().Label(device) + (type == SystemPowerState ? " S" : " D") +
                   std::to_string(type == SystemPowerState ? static_cast<int>(state.SystemState) - 1
                                                           : static_cast<int>(state.DeviceState) - 1));
  return old;
}

}  // namespace emu
