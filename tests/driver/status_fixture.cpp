#include "status_fixture.h"

#include "driver/request_accounting.h"
#include "tx/serial_events.h"
#include "tx/status_monitor.h"
#include "usb/usb_request.h"

namespace drvusb_test {

StatusPort::StatusPort(emu::zm470::Config chipConfig, emu::KernelConfig kernelConfig)
    : ConfiguredPort(std::move(chipConfig), kernelConfig),
      peer(PlugFarEnd<emu::line::ScriptedPeer>(emu::line::Clock::Kernel())) {
  EXPECT_EQ(ProgramLine(9600, 0xFF, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  peer.SetFrame(chip->LineFrame());
  PDRIVER_OBJECT driver = device->DriverObject;
  driver->MajorFunction[IRP_MJ_CREATE] = OpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = OpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = OpenClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
  ext()->Started = TRUE;
  ext()->OpenState = PORT_OPEN;
  EXPECT_EQ(machine.Open(tarnwire::testing::ToU16(ext()->DeviceName), &file), STATUS_SUCCESS);
  usb().ClearUrbLog();
}

StatusPort::~StatusPort() {
  if (!finished_) Finish();
}

NTSTATUS NTAPI StatusPort::OpenClose(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI StatusPort::Control(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = AdmitRequest(device, irp);
  if (status != STATUS_SUCCESS) return status;
  PPORT_EXTENSION ext = PortExtension(device);
  PULONG buffer = (PULONG)irp->AssociatedIrp.SystemBuffer;
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_WAIT_MASK:
      status = SetWaitMask(ext, *buffer);
      break;
    case IOCTL_SERIAL_WAIT_ON_MASK:
      status = WaitOnMask(ext, irp);
      if (status == STATUS_PENDING) return status;
      break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
      *buffer = ReadModemStatus(device);
      irp->IoStatus.Information = sizeof(ULONG);
      status = STATUS_SUCCESS;
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
  }
  irp->IoStatus.Status = status;
  CompleteRequest(ext, irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS StatusPort::SetMask(ULONG mask) {
  NTSTATUS status = STATUS_PENDING;
  EXPECT_TRUE(machine.RunInApplicationThread("set mask", [&] {
    status = machine.DeviceIoControl(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
  }));
  return status;
}

StatusPort::Wait& StatusPort::StartWait() {
  Wait& w = waits.emplace_back();
  w.iosb.Status = STATUS_PENDING;
  emu::IoRequest request;
  request.ioControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
  request.outputBuffer = &w.result;
  request.outputLength = sizeof w.result;
  const PIRP before = ext()->WaitIrp;
  EXPECT_TRUE(machine.RunInApplicationThread(
      "wait", [&] { machine.io().StartRequest(file, request, nullptr, &w.iosb); }));
  if (ext()->WaitIrp != before) w.irp = ext()->WaitIrp;
  return w;
}

ULONG StatusPort::GetModemStatus() {
  ULONG status = 0xFFFFFFFF;
  EXPECT_TRUE(machine.RunInApplicationThread("modem status", [&] {
    EXPECT_EQ(machine.DeviceIoControl(file, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status),
              STATUS_SUCCESS);
  }));
  return status;
}

void StatusPort::SetHandFlow(ULONG controlHandShake, ULONG flowReplace) {
  Call([&] {
    KIRQL irql;
    KeAcquireSpinLock(&ext()->ControlLock, &irql);
    ext()->HandFlow.ControlHandShake = controlHandShake;
    ext()->HandFlow.FlowReplace = flowReplace;
    KeReleaseSpinLock(&ext()->ControlLock, irql);
    KeSetEvent(&ext()->StatusEvent, 1, FALSE);
    return STATUS_SUCCESS;
  });
}

std::vector<UCHAR> StatusPort::RingBytes() const {
  std::vector<UCHAR> bytes;
  PUCHAR p = ext()->RingReadPtr;
  for (LONG i = 0; i < ext()->RingCount; ++i) {
    if (p >= ext()->RingBase + ext()->RingSize) p = ext()->RingBase;
    bytes.push_back(*p++);
  }
  return bytes;
}

void StatusPort::Finish() {
  finished_ = true;
  if (device == nullptr) return;
  // Nothing left to watch: the outstanding transfer is aborted and the thread goes back to wait.
  ext()->OpenState = PORT_CLOSED;
  Call([&] {
    DrainUsbTransfers(device, TRUE);
    return STATUS_SUCCESS;
  });
  Settle();
  for (const Wait& w : waits)
    EXPECT_NE(w.iosb.Status, STATUS_PENDING) << "a wait request was never completed";
  EXPECT_EQ(ext()->PendingRequests, 0) << "a request was never completed";
  if (file != nullptr) {
    EXPECT_EQ(machine.Close(file), STATUS_SUCCESS);
  }
}

}  // namespace drvusb_test
