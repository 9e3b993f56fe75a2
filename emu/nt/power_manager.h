// The emulated power manager: system sleep, resume and shutdown as Windows sequences them, the
// device power IRPs drivers request with PoRequestPowerIrp, and the device power states drivers
// report with PoSetPowerState.
//
// A transition runs in the Plug and Play manager's worker thread, so that it never overlaps a
// Plug and Play operation, and sends every IRP_MJ_POWER at PASSIVE_LEVEL (the stacks are
// power-pageable) with Status STATUS_NOT_SUPPORTED to the top of each device stack of the tree:
//   Sleep(S1..S4)  IRP_MN_QUERY_POWER for the state to every stack first. A failure vetoes the
//                  transition: the stacks get IRP_MN_SET_POWER for PowerSystemWorking (the current
//                  state reaffirmed) and Sleep returns the failure. Otherwise IRP_MN_SET_POWER for
//                  the state to every stack, the last device to arrive first (children before
//                  their parents).
//   Wake()         IRP_MN_SET_POWER for PowerSystemWorking to every stack, in arrival order
//                  (parents before their children).
//   Shutdown()     IRP_MN_SET_POWER for PowerSystemShutdown to every stack (no query: a shutdown
//                  cannot be vetoed); the machine is then off and wakes no more.
// Parameters.Power.ShutdownType carries the action: PowerActionSleep for S1 to S3,
// PowerActionHibernate for S4, PowerActionShutdownOff for the shutdown, and on resume the action
// the machine is resuming from.
//
// PoRequestPowerIrp allocates an IRP with one stack location more than the target stack, sets
// the caller's parameters in the driver's location and sends it from a new system thread at
// PASSIVE_LEVEL; it returns STATUS_PENDING at once. When completion reaches the power manager's
// own location, the caller's completion function runs (in the completing context, at most
// DISPATCH_LEVEL) with the final IoStatus, and the IRP is freed.
#pragma once

#include <wdm.h>

#include <map>
#include <string>

namespace emu {

class Machine;

class PowerManager {
 public:
  explicit PowerManager(Machine& machine);
  PowerManager(const PowerManager&) = delete;
  PowerManager& operator=(const PowerManager&) = delete;

  static PowerManager& Current();

  // --- Transitions (from the test's stack or from an emulated thread) ----------------------------
  // PowerSystemSleeping1 to PowerSystemHibernate. STATUS_SUCCESS once every stack has the state;
  // the vetoing driver's status; STATUS_INVALID_PARAMETER for another state;
  // STATUS_INVALID_DEVICE_STATE unless the system is working; STATUS_PENDING when the machine ran
  // out of work before the transition ended.
  NTSTATUS Sleep(SYSTEM_POWER_STATE state);
  // Back to PowerSystemWorking; STATUS_INVALID_DEVICE_STATE unless the system sleeps.
  NTSTATUS Wake();
  // STATUS_INVALID_DEVICE_STATE when the machine is already off.
  NTSTATUS Shutdown();

  // --- Observation --------------------------------------------------------------------------------
  SYSTEM_POWER_STATE SystemState() const { return systemState_; }
  // The device power state the device's driver last reported with PoSetPowerState (D0 until then).
  DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device) const;

  // --- The Po* routines ---------------------------------------------------------------------------
  NTSTATUS RequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                           PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* irp);
  POWER_STATE SetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);

 private:
  struct Recorded {
    SYSTEM_POWER_STATE system = PowerSystemWorking;
    DEVICE_POWER_STATE device = PowerDeviceD0;
  };

  // Runs a transition in the Plug and Play manager's worker.
  NTSTATUS RunTransition(const char* name, NTSTATUS (PowerManager::*transition)(SYSTEM_POWER_STATE),
                         SYSTEM_POWER_STATE state);
  NTSTATUS EnterSleep(SYSTEM_POWER_STATE state);
  NTSTATUS EnterWorking(SYSTEM_POWER_STATE unused);
  NTSTATUS EnterShutdown(SYSTEM_POWER_STATE unused);
  // One system power IRP to the top of the PDO's stack, waiting for its completion.
  NTSTATUS SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state);

  Machine& machine_;
  SYSTEM_POWER_STATE systemState_ = PowerSystemWorking;
  POWER_ACTION action_ = PowerActionNone;  // the action under way or last taken
  std::map<PDEVICE_OBJECT, Recorded> recorded_;
};

const char* SystemPowerStateName(SYSTEM_POWER_STATE state);

}  // namespace emu
