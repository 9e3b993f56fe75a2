#include "usb_fixture.h"

#include <cstdio>

#include "driver/driver_globals.h"
#include "usb/line_format.h"
#include "usb/usb_request.h"

namespace drvusb_test {

std::string Hex(uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(value));
  return buf;
}

std::string SetupText(const emu::usb::UrbRecord& u) {
  char text[32];
  std::snprintf(text, sizeof text, "%02X %02X %04X %04X %u", u.setup.bmRequestType, u.setup.bRequest,
                u.setup.wValue, u.setup.wIndex, u.setup.wLength);
  return text;
}

emu::zm470::Config ChipRevision(uint8_t revision) {
  emu::zm470::Config config;
  config.revision = revision;
  return config;
}

UsbPortMachine::UsbPortMachine(emu::zm470::Config chipConfig, emu::KernelConfig kernelConfig)
    : machine(tarnwire::testing::DriverMachine(kernelConfig)) {
  chip = std::make_unique<emu::zm470::Zm470>(std::move(chipConfig));
  host = std::make_unique<emu::usb::UsbHost>(machine);
  usbPort = &host->Plug(*chip);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = machine.LoadDriver(u"tarnwire", DriverEntry, {}, &status);
  if (driver != nullptr) status = machine.AddDevice(driver, usbPort->Pdo());
  if (!NT_SUCCESS(status)) {
    ADD_FAILURE() << "the driver did not load or add the bridge: status " << Hex(static_cast<ULONG>(status));
    return;
  }
  device = tarnwire::testing::PortOf(usbPort->Pdo());
  if (device == nullptr) ADD_FAILURE() << "add-device created no port device for the bridge's PDO";
  // Plugging read the device descriptor; the tests look only at the driver's traffic.
  usbPort->ClearUrbLog();
  kernel().SetTraceCapacity(1 << 20);
}

UsbPortMachine::~UsbPortMachine() {
  CheckChipRequests();
  // The host and the far end go before the chip they are plugged into, all before the machine.
  host.reset();
  farEnd.reset();
  chip.reset();
}

void UsbPortMachine::CheckChipRequests() {
  const std::string report = chip->TakeViolationReport();
  if (!report.empty()) ADD_FAILURE() << report;
}

NTSTATUS UsbPortMachine::Call(std::function<NTSTATUS()> fn) {
  NTSTATUS status = STATUS_PENDING;
  EXPECT_TRUE(machine.RunInSystemThread("test", [&] { status = fn(); }))
      << "the driver routine did not return";
  return status;
}

NTSTATUS UsbPortMachine::ProgramLine(ULONG baudRate, UCHAR dataMask, UCHAR parity, UCHAR stopBits) {
  return Call([&] {
    PPORT_EXTENSION port = ext();
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    port->BaudRate = baudRate;
    port->DataMask = dataMask;
    port->Parity = parity;
    port->StopBits = stopBits;
    KeReleaseSpinLock(&port->ControlLock, irql);
    NTSTATUS status = ProgramBaudRate(device);
    return NT_SUCCESS(status) ? ProgramLineFormat(device) : status;
  });
}

ConfiguredPort::ConfiguredPort(emu::zm470::Config chipConfig, emu::KernelConfig kernelConfig)
    : UsbPortMachine(std::move(chipConfig), kernelConfig) {
  NTSTATUS status = Configure();
  EXPECT_EQ(status, STATUS_SUCCESS) << "configuring the bridge failed with "
                                    << Hex(static_cast<ULONG>(status));
  usb().ClearUrbLog();
}

size_t UsbPortMachine::DriverPoolBlocksOfSize(size_t size) {
  size_t n = 0;
  for (const auto& b : machine.kernel().LivePoolBlocks()) n += b.tag == TARNWIRE_POOL_TAG && b.size == size;
  return n;
}

std::vector<emu::VirtualTime> UsbPortMachine::InternalIoctlTimes(ULONG code) {
  char code8[16];
  std::snprintf(code8, sizeof code8, " 0x%08X", static_cast<unsigned>(code));
  return tarnwire::testing::IrpsSentAt(kernel(), std::string("IRP_MJ_INTERNAL_DEVICE_CONTROL") + code8);
}

std::string EventName(UsbPortMachine& m, PKEVENT event) {
  const size_t before = m.kernel().TraceEvents().size();
  m.Call([&] {
    KeSetEvent(event, 0, FALSE);
    return STATUS_SUCCESS;
  });
  m.kernel().Run();
  const auto& trace = m.kernel().TraceEvents();
  for (size_t i = before; i < trace.size(); ++i) {
    if (trace[i].category == "wait" && trace[i].text.starts_with("wake: ")) return trace[i].text.substr(6);
  }
  ADD_FAILURE() << "no thread woke on the event";
  return "?";
}

size_t Wakes(UsbPortMachine& m, const std::string& name) {
  m.kernel().Run();
  size_t n = 0;
  for (const auto& e : m.kernel().TraceEvents()) n += e.category == "wait" && e.text == "wake: " + name;
  return n;
}

std::shared_ptr<InFlightTransfer> StartPipeTransfer(UsbPortMachine& m, USBD_PIPE_HANDLE pipe, bool in,
                                                    size_t length, LONG* busy) {
  auto t = std::make_shared<InFlightTransfer>();
  t->buffer.assign(length, 0x55);
  UsbBuildInterruptOrBulkTransferRequest(
      &t->urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, t->buffer.data(), NULL,
      (ULONG)t->buffer.size(), in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0, NULL);
  PDEVICE_OBJECT device = m.device;
  m.kernel().StartSystemThread("transfer", [t, device, busy] {
    InterlockedIncrement(busy);
    t->status = SubmitUrb(device, &t->urb);
    t->done = true;
    InterlockedDecrement(busy);
  });
  return t;
}

}  // namespace drvusb_test
