#include "write_fixture.h"

#include "driver/request_accounting.h"
#include "tx/xoff_counter.h"

namespace drvusb_test {

namespace {
// The status fixture's device control dispatch, which serves every code but the XOFF counter.
PDRIVER_DISPATCH statusControl = nullptr;
}  // namespace

WritePort::WritePort(emu::zm470::Config chipConfig, emu::KernelConfig kernelConfig)
    : StatusPort(std::move(chipConfig), kernelConfig) {
  PDRIVER_OBJECT driver = device->DriverObject;
  if (driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] != Control) statusControl = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
}

NTSTATUS NTAPI WritePort::Control(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode != IOCTL_SERIAL_XOFF_COUNTER)
    return statusControl(device, irp);
  NTSTATUS status = AdmitRequest(device, irp);
  if (status != STATUS_SUCCESS) return status;
  status = ::StartXoffCounter(device, irp);
  if (status == STATUS_INVALID_PARAMETER) {
    irp->IoStatus.Status = status;
    CompleteRequest(PortExtension(device), irp, IO_NO_INCREMENT);
  }
  return status;
}

WritePort::Request& WritePort::Start(Request& r, const emu::IoRequest& io) {
  r.iosb.Status = STATUS_PENDING;
  EXPECT_TRUE(machine.RunInApplicationThread("request", [&] {
    machine.io().StartRequest(file, io, nullptr, &r.iosb);
    // The request is current or the last of the queue while it is pending.
    if (r.Done()) return;
    PLIST_ENTRY queue = &ext()->WriteQueue;
    r.irp = IsListEmpty(queue) ? ext()->CurrentWrite : CONTAINING_RECORD(queue->Blink, IRP, Tail.Overlay.ListEntry);
  }));
  return r;
}

WritePort::Request& WritePort::StartWrite(std::vector<uint8_t> data) {
  Request& r = requests.emplace_back();
  r.data = std::move(data);
  emu::IoRequest io;
  io.majorFunction = IRP_MJ_WRITE;
  io.inputBuffer = r.data.data();
  io.inputLength = (ULONG)r.data.size();
  return Start(r, io);
}

WritePort::Request& WritePort::StartFlush() {
  Request& r = requests.emplace_back();
  emu::IoRequest io;
  io.majorFunction = IRP_MJ_FLUSH_BUFFERS;
  return Start(r, io);
}

WritePort::Request& WritePort::StartXoffCounter(ULONG timeoutMs, LONG count, UCHAR xoffChar) {
  Request& r = requests.emplace_back();
  r.counter.Timeout = timeoutMs;
  r.counter.Counter = count;
  r.counter.XoffChar = xoffChar;
  emu::IoRequest io;
  io.ioControlCode = IOCTL_SERIAL_XOFF_COUNTER;
  io.inputBuffer = &r.counter;
  io.inputLength = sizeof r.counter;
  return Start(r, io);
}

bool WritePort::Cancel(const Request& r) {
  if (r.Done()) return false;
  BOOLEAN called = FALSE;
  EXPECT_TRUE(machine.RunInApplicationThread("cancel", [&] { called = IoCancelIrp(r.irp); }));
  return called != FALSE;
}

void WritePort::SetRate(ULONG baudRate) {
  EXPECT_EQ(ProgramLine(baudRate, 0xFF, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  peer.SetFrame(chip->LineFrame());
}

void WritePort::SetWriteTimeouts(ULONG multiplier, ULONG constant) {
  Call([&] {
    KIRQL irql;
    KeAcquireSpinLock(&ext()->ControlLock, &irql);
    ext()->Timeouts.WriteTotalTimeoutMultiplier = multiplier;
    ext()->Timeouts.WriteTotalTimeoutConstant = constant;
    KeReleaseSpinLock(&ext()->ControlLock, irql);
    return STATUS_SUCCESS;
  });
}

bool WritePort::RunUntilDone(const Request& r, emu::VirtualTime limit) {
  return kernel().RunUntil([&] { return r.Done(); }, kernel().Now() + limit);
}

std::vector<emu::usb::UrbRecord> WritePort::BulkOut() const {
  return usbPort->UrbsMatching(UrbFilter::Function(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).AndEndpoint(0x02));
}

std::vector<uint8_t> Pattern(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = (uint8_t)(i * 7 + i / 251);
  return bytes;
}

}  // namespace drvusb_test
