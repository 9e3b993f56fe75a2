// Plug and Play dispatch of a port.
#include "driver/pnp_dispatch.h"

#include "driver/driver_globals.h"
#include "driver/port_teardown.h"
#include "driver/wmi_blocks.h"
#include "serial/request_queue.h"
#include "tx/xoff_counter.h"
#include "usb/port_init.h"
#include "usb/usb_config.h"
#include "usb/usb_request.h"

// Removal waits for in-flight USB requests at most this many 20 ms passes before tearing down.
#define REMOVE_DRAIN_PASSES 32

// DEVICE_CAPABILITIES flag bits, in the order of the structure's bit fields.
#define CAPS_CLEARED_FLAGS 0x0002006C  // LockSupported, EjectSupported, DockDevice, UniqueID, NoDisplayInUI
#define CAPS_SET_FLAGS 0x00000290      // Removable, SilentInstall, SurpriseRemovalOK

static NTSTATUS PassDown(PPORT_EXTENSION Ext, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Ext->LowerDeviceObject, Irp);
}

static NTSTATUS CompletePnp(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static NTSTATUS RefuseBusy(PIRP Irp) {
  Irp->IoStatus.Information = 0;
  return CompletePnp(Irp, STATUS_DEVICE_BUSY);
}

static VOID SetInterfaceState(PPORT_EXTENSION Ext, BOOLEAN Enable) {
  if (Ext->InterfaceName.Buffer != NULL) IoSetDeviceInterfaceState(&Ext->InterfaceName, Enable);
}

static VOID SignalPortThreads(PPORT_EXTENSION Ext) {
  KeSetEvent(&Ext->ReaderEvent, 1, FALSE);
  KeSetEvent(&Ext->WriterEvent, 1, FALSE);
  KeSetEvent(&Ext->WriteAbortEvent, 1, FALSE);
  KeSetEvent(&Ext->StatusEvent, 1, FALSE);
}

static VOID CancelPortRequests(PDEVICE_OBJECT DeviceObject, PPORT_EXTENSION Ext) {
  CancelAllRequests(DeviceObject, &Ext->WriteQueue, &Ext->CurrentWrite);
  CancelAllRequests(DeviceObject, &Ext->ReadQueue, &Ext->CurrentRead);
  CancelWaitRequest(DeviceObject);
  CancelCountingXoffCounter(Ext);
}

// Removal refuses nothing, so a request still inside a dispatch routine (counted, not yet
// queued or completed) would otherwise find the extension freed under it. The requests are
// cancelled again on every pass and their USB transfers aborted, so the wait lasts only as long
// as each request takes to finish as cancelled.
static VOID WaitForCountedRequests(PDEVICE_OBJECT DeviceObject, PPORT_EXTENSION Ext) {
  while (InterlockedCompareExchange(&Ext->PendingRequests, 0, 0) != 0) {
    CancelPortRequests(DeviceObject, Ext);
    SignalPortThreads(Ext);
    DelayTwentyMilliseconds();
    if (Ext->UsbBusyCount != 0) DrainUsbTransfers(DeviceObject, TRUE);
  }
}

static NTSTATUS StartPort(PDEVICE_OBJECT DeviceObject, PPORT_EXTENSION Ext, PIRP Irp) {
  NTSTATUS status = ForwardIrpAndWait(DeviceObject, Irp);
  if (!NT_SUCCESS(status)) return CompletePnp(Irp, status);

  status = ConfigureUsbDevice(DeviceObject);
  if (!NT_SUCCESS(status)) status = ConfigureUsbDevice(DeviceObject);
  if (!NT_SUCCESS(status)) return CompletePnp(Irp, status);

  SetPortFlag(&Ext->Started, FALSE);
  SetPortFlag(&Ext->Removed, FALSE);
  SetPortFlag(&Ext->RemovePending, FALSE);
  // The queues are emptied before the chip and the output count are reset: a cancelled write
  // gives its length back, which would otherwise wrap the fresh count below zero.
  CancelPortRequests(DeviceObject, Ext);
  (VOID) InitializePort(DeviceObject, FALSE);
  KeSetEvent(&Ext->WriterEvent, 1, FALSE);
  DrainUsbTransfers(DeviceObject, FALSE);

  FillWmiBlocks(Ext);
  IoWMIRegistrationControl(DeviceObject, WMIREG_ACTION_REGISTER);
  SetPortFlag(&Ext->Started, TRUE);
  KeSetEvent(&Ext->ReaderEvent, IO_NO_INCREMENT, FALSE);
  SetInterfaceState(Ext, TRUE);
  return CompletePnp(Irp, status);
}

static NTSTATUS QueryRemovePort(PPORT_EXTENSION Ext, PIRP Irp) {
  SetPortFlag(&Ext->RemovePending, TRUE);
  if (ReadOpenState(Ext) != PORT_CLOSED || Ext->PendingRequests != 0) return RefuseBusy(Irp);
  SetPortFlag(&Ext->Removed, TRUE);
  SetInterfaceState(Ext, FALSE);
  return PassDown(Ext, Irp);
}

static NTSTATUS SurpriseRemovePort(PDEVICE_OBJECT DeviceObject, PPORT_EXTENSION Ext, PIRP Irp) {
  SetPortFlag(&Ext->Removed, TRUE);
  SetPortFlag(&Ext->RemovePending, TRUE);
  SetInterfaceState(Ext, FALSE);
  SetPortFlag(&Ext->Started, FALSE);
  SignalPortThreads(Ext);
  CancelPortRequests(DeviceObject, Ext);
  return PassDown(Ext, Irp);
}

static NTSTATUS RemovePort(PDEVICE_OBJECT DeviceObject, PPORT_EXTENSION Ext, PIRP Irp) {
  PDEVICE_OBJECT lower = Ext->LowerDeviceObject;
  SetPortFlag(&Ext->Removed, TRUE);
  SetPortFlag(&Ext->RemovePending, TRUE);
  SetInterfaceState(Ext, FALSE);
  SetPortFlag(&Ext->Started, FALSE);
  IoWMIRegistrationControl(DeviceObject, WMIREG_ACTION_DEREGISTER);
  SignalPortThreads(Ext);

  for (ULONG pass = 0; pass < REMOVE_DRAIN_PASSES; ++pass) {
    CancelPortRequests(DeviceObject, Ext);
    SignalPortThreads(Ext);
    DelayTwentyMilliseconds();
    KeSetEvent(&Ext->ReaderEvent, 1, FALSE);
    if (Ext->UsbBusyCount == 0) break;
    DrainUsbTransfers(DeviceObject, TRUE);
  }
  WaitForCountedRequests(DeviceObject, Ext);
  TeardownPort(DeviceObject);

  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(lower, Irp);
}

static NTSTATUS AnswerCapabilities(PDEVICE_OBJECT DeviceObject, PPORT_EXTENSION Ext, PIRP Irp) {
  if (UserRemovalSetting != 0) return PassDown(Ext, Irp);

  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  // The flags are the ULONG of bit fields that follows Size and Version.
  PULONG flags = (PULONG)((PUCHAR)caps + FIELD_OFFSET(DEVICE_CAPABILITIES, Version) + sizeof(USHORT));
  *flags = (*flags & ~(ULONG)CAPS_CLEARED_FLAGS) | CAPS_SET_FLAGS;
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
  caps->D1Latency = 0;
  caps->D2Latency = 0;
  caps->D3Latency = 0;

  NTSTATUS status = ForwardIrpAndWait(DeviceObject, Irp);
  if (NT_SUCCESS(status)) *flags = (*flags & ~(ULONG)CAPS_CLEARED_FLAGS) | CAPS_SET_FLAGS;
  return CompletePnp(Irp, status);
}

NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartPort(DeviceObject, ext, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return QueryRemovePort(ext, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemovePort(DeviceObject, ext, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      SetPortFlag(&ext->Removed, FALSE);
      SetPortFlag(&ext->RemovePending, FALSE);
      SetInterfaceState(ext, TRUE);
      return PassDown(ext, Irp);
    case IRP_MN_STOP_DEVICE:
      SetPortFlag(&ext->Started, FALSE);
      DeconfigureUsbDevice(DeviceObject);
      return PassDown(ext, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      if (ext->PendingRequests != 0) return RefuseBusy(Irp);
      SetPortFlag(&ext->Started, FALSE);
      return PassDown(ext, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
      SetPortFlag(&ext->Started, TRUE);
      KeSetEvent(&ext->ReaderEvent, 1, FALSE);
      return PassDown(ext, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
      return AnswerCapabilities(DeviceObject, ext, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
      return SurpriseRemovePort(DeviceObject, ext, Irp);
    default:
      return PassDown(ext, Irp);
  }
}

NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ForwardAndWait(DeviceObject, Irp, FALSE);
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Power) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardCompletion, &done, TRUE, TRUE, TRUE);
  PDEVICE_OBJECT lower = PortExtension(DeviceObject)->LowerDeviceObject;
  NTSTATUS status = Power ? PoCallDriver(lower, Irp) : IoCallDriver(lower, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
