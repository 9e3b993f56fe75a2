#include "open_close_fixture.h"

#include "driver/request_accounting.h"
#include "serial/request_queue.h"
#include "tx/serial_events.h"

namespace drvusb_test {
namespace {

PIRP* ParkedSlot(PIRP irp) {
  PPORT_EXTENSION ext = PortExtension(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
  return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ ? &ext->ReadParked : &ext->WriteParked;
}

VOID NTAPI CancelParked(PDEVICE_OBJECT device, PIRP irp);

// Parks the current request of a direction with a cancel routine; one already flagged as
// cancelled leaves the slot at once and the next is served.
NTSTATUS Park(PPORT_EXTENSION ext, PLIST_ENTRY queue, PIRP* slot) {
  for (;;) {
    PIRP irp = *slot;
    if (irp == nullptr) return STATUS_PENDING;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (!irp->Cancel) {
      IoMarkIrpPending(irp);
      *ParkedSlot(irp) = irp;
      (VOID) IoSetCancelRoutine(irp, CancelParked);
      IoReleaseCancelSpinLock(irql);
      return STATUS_PENDING;
    }
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    AdvanceQueue(slot, queue, ext);
  }
}

NTSTATUS ParkRead(PPORT_EXTENSION ext) { return Park(ext, &ext->ReadQueue, &ext->CurrentRead); }
NTSTATUS ParkWrite(PPORT_EXTENSION ext) { return Park(ext, &ext->WriteQueue, &ext->CurrentWrite); }

// Leaves the slot with the request's status set and serves the next request.
void LeaveAndServeNext(PPORT_EXTENSION ext, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) {
    AdvanceQueue(&ext->CurrentRead, &ext->ReadQueue, ext);
    ParkRead(ext);
  } else {
    AdvanceQueue(&ext->CurrentWrite, &ext->WriteQueue, ext);
    ParkWrite(ext);
  }
}

VOID NTAPI CancelParked(PDEVICE_OBJECT device, PIRP irp) {
  *ParkedSlot(irp) = nullptr;
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  LeaveAndServeNext(PortExtension(device), irp);
}

NTSTATUS NTAPI QueuedIo(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = AdmitRequest(device, irp);
  if (status != STATUS_SUCCESS) return status;
  PPORT_EXTENSION ext = PortExtension(device);
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ)
    return StartOrQueueRequest(device, irp, &ext->ReadQueue, &ext->CurrentRead, ParkRead);
  return StartOrQueueRequest(device, irp, &ext->WriteQueue, &ext->CurrentWrite, ParkWrite);
}

NTSTATUS NTAPI WaitControl(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = AdmitRequest(device, irp);
  if (status != STATUS_SUCCESS) return status;
  PPORT_EXTENSION ext = PortExtension(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_WAIT_ON_MASK) {
    status = WaitOnMask(ext, irp);
    if (status == STATUS_PENDING) return status;
  } else {
    status = SetWaitMask(ext, stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_WAIT_MASK
                                  ? *(PULONG)irp->AssociatedIrp.SystemBuffer
                                  : 0);
  }
  irp->IoStatus.Status = status;
  return CompleteRequest(ext, irp, IO_NO_INCREMENT);
}

}  // namespace

OpenClosePort::OpenClosePort(emu::KernelConfig kernelConfig, emu::zm470::Config chipConfig)
    : ConfiguredPort(std::move(chipConfig), kernelConfig),
      peer(PlugFarEnd<emu::line::ScriptedPeer>(emu::line::Clock::Kernel())),
      buffer(64) {
  EXPECT_EQ(ProgramLine(9600, 0xFF, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  peer.SetFrame(chip->LineFrame());
  PDRIVER_OBJECT driver = device->DriverObject;
  driver->MajorFunction[IRP_MJ_READ] = QueuedIo;
  driver->MajorFunction[IRP_MJ_WRITE] = QueuedIo;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = WaitControl;
  ext()->Started = TRUE;
  usb().ClearUrbLog();
}

std::u16string OpenClosePort::DosName() const { return tarnwire::testing::ToU16(ext()->DosLinkName); }

NTSTATUS OpenClosePort::Open(PFILE_OBJECT* file) {
  NTSTATUS status = STATUS_PENDING;
  EXPECT_TRUE(machine.RunInApplicationThread(
      "open", [&] { status = machine.io().OpenFile(DosName(), GENERIC_READ | GENERIC_WRITE, file); }));
  return status;
}

NTSTATUS OpenClosePort::Close(PFILE_OBJECT file) {
  NTSTATUS status = STATUS_PENDING;
  EXPECT_TRUE(machine.RunInApplicationThread("close", [&] { status = machine.io().CloseFile(file); }));
  return status;
}

void OpenClosePort::Start(PFILE_OBJECT file, UCHAR major, ULONG lengthOrCode, IO_STATUS_BLOCK* iosb) {
  emu::IoRequest request;
  request.majorFunction = major;
  ULONG length = lengthOrCode < buffer.size() ? lengthOrCode : (ULONG)buffer.size();
  if (major == IRP_MJ_READ) {
    request.outputBuffer = buffer.data();
    request.outputLength = length;
  } else if (major == IRP_MJ_WRITE) {
    request.inputBuffer = buffer.data();
    request.inputLength = length;
  } else {
    request.ioControlCode = lengthOrCode;
    request.inputBuffer = buffer.data();
    request.inputLength = sizeof(ULONG);
    request.outputBuffer = buffer.data() + 8;
    request.outputLength = sizeof(ULONG);
  }
  iosb->Status = STATUS_PENDING;
  EXPECT_TRUE(machine.RunInApplicationThread(
      "start", [&] { (void)machine.io().StartRequest(file, request, nullptr, iosb); }));
}

bool OpenClosePort::FinishRead(PIRP irp) {
  PPORT_EXTENSION port = ext();
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (port->CurrentRead != irp || IoSetCancelRoutine(irp, nullptr) == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  port->ReadParked = nullptr;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoReleaseCancelSpinLock(irql);
  LeaveAndServeNext(port, irp);
  return true;
}

emu::VirtualTime OpenClosePort::Timed(std::function<void()> fn) {
  emu::VirtualTime start = kernel().Now();
  EXPECT_TRUE(machine.RunInApplicationThread("timed", fn));
  return kernel().Now() - start;
}

}  // namespace drvusb_test
