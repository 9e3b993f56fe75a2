// Power dispatch of a port.
#include "driver/power_dispatch.h"

#include "driver/driver_globals.h"
#include "driver/pnp_dispatch.h"
#include "usb/modem_lines.h"
#include "usb/port_init.h"
#include "usb/usb_config.h"

static NTSTATUS PassDownPower(PPORT_EXTENSION Ext, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(Ext->LowerDeviceObject, Irp);
}

static NTSTATUS CompletePower(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  PoStartNextPowerIrp(Irp);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static VOID RecordDeviceState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
  POWER_STATE state;
  state.DeviceState = State;
  (VOID) PoSetPowerState(DeviceObject, DevicePowerState, state);
}

// The drivers below power the device up first. The chip then gets its configuration and its
// settings again: after hibernation it comes back at its reset defaults. The port is started,
// initialised and woken even when the configuration failed; the request then reports the failure.
static NTSTATUS EnterD0(PDEVICE_OBJECT DeviceObject, PPORT_EXTENSION Ext, PIRP Irp) {
  NTSTATUS status = ForwardPowerIrpAndWait(DeviceObject, Irp);
  if (!NT_SUCCESS(status)) return CompletePower(Irp, status);
  DelayTwentyMilliseconds();
  status = ConfigureUsbDevice(DeviceObject);
  if (!NT_SUCCESS(status)) status = ConfigureUsbDevice(DeviceObject);
  SetPortFlag(&Ext->Started, TRUE);
  // The chip comes back with both outputs off; a modem at the far end must not see DTR drop
  // for a sleep, so the outputs return to their state before it. Bytes received before the sleep
  // and not yet read stay in the ring.
  const UCHAR outputs = Ext->ModemControl;
  (VOID) InitializePort(DeviceObject, TRUE);
  (VOID) SetDtr(DeviceObject, (outputs & MODEM_CONTROL_DTR) != 0);
  (VOID) SetRts(DeviceObject, (outputs & MODEM_CONTROL_RTS) != 0);
  RecordDeviceState(DeviceObject, PowerDeviceD0);
  KeSetEvent(&Ext->ReaderEvent, 1, FALSE);
  KeSetEvent(&Ext->StatusEvent, 1, FALSE);
  KeSetEvent(&Ext->WriterEvent, 1, FALSE);
  return CompletePower(Irp, status);
}

// The device state the port takes for a system state: D0 for working (and for the maximum
// value), D3 for every sleeping state, hibernation and shutdown; FALSE for any other value.
static BOOLEAN DeviceStateFor(SYSTEM_POWER_STATE SystemState, DEVICE_POWER_STATE* DeviceState) {
  if (SystemState < PowerSystemWorking || SystemState > PowerSystemMaximum) return FALSE;
  *DeviceState =
      SystemState == PowerSystemWorking || SystemState == PowerSystemMaximum ? PowerDeviceD0 : PowerDeviceD3;
  return TRUE;
}

// Asks for the device set-power request and waits until it has run through this driver's stack.
// A request that could not be made is not reported: the system request goes on regardless.
static VOID RequestDeviceState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  POWER_STATE state;
  state.DeviceState = State;
  if (PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, state, PowerRequestDone, &done, NULL) ==
      STATUS_PENDING)
    (VOID) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
}

NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction != IRP_MN_SET_POWER) return PassDownPower(ext, Irp);

  POWER_STATE state = stack->Parameters.Power.State;
  if (stack->Parameters.Power.Type == DevicePowerState) {
    if (state.DeviceState == PowerDeviceD0) return EnterD0(DeviceObject, ext, Irp);
    if (state.DeviceState == PowerDeviceD3) {
      RecordDeviceState(DeviceObject, PowerDeviceD3);
      SetPortFlag(&ext->Started, FALSE);
    }
    return PassDownPower(ext, Irp);
  }

  DEVICE_POWER_STATE deviceState;
  if (DeviceStateFor(state.SystemState, &deviceState)) RequestDeviceState(DeviceObject, deviceState);
  return PassDownPower(ext, Irp);
}

NTSTATUS ForwardPowerIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ForwardAndWait(DeviceObject, Irp, TRUE);
}

VOID NTAPI PowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                            PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  KeSetEvent((PKEVENT)Context, 0, FALSE);
}
