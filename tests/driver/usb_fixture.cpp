#include "usb_fixture.h"

#include <cstdio>

#include "driver/driver_globals.h"
#include "usb/usb_config.h"
#include "usb/usb_request.h"

namespace drvusb_test {

std::string Hex(uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(value));
  return buf;
}

void ForEachMachine(const std::function<void(emu::KernelConfig)>& fn, uint64_t seeds) {
  for (emu::ProcessorModel model : {emu::ProcessorModel::Uniprocessor, emu::ProcessorModel::Multiprocessor}) {
    for (uint64_t seed = 1; seed <= seeds; ++seed) {
      SCOPED_TRACE(
          std::string(model == emu::ProcessorModel::Uniprocessor ? "uniprocessor" : "multiprocessor") +
          ", seed " + std::to_string(seed));
      emu::KernelConfig config;
      config.seed = seed;
      config.processors = model;
      fn(config);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

UsbPortMachine::UsbPortMachine(emu::zm470::Config chipConfig, emu::KernelConfig kernelConfig)
    : machine(kernelConfig) {
  chip = std::make_unique<emu::zm470::Zm470>(std::move(chipConfig));
  host = std::make_unique<emu::usb::UsbHost>(machine);
  usbPort = &host->Plug(*chip);

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver = machine.LoadDriver(u"tarnwire", DriverEntry, {}, &status);
  if (driver == nullptr) {
    ADD_FAILURE() << "the driver did not load: status 0x" << std::hex << static_cast<ULONG>(status);
    return;
  }
  status = machine.AddDevice(driver, usbPort->Pdo());
  if (!NT_SUCCESS(status)) {
    ADD_FAILURE() << "add-device failed for the bridge: status 0x" << std::hex << static_cast<ULONG>(status);
    return;
  }
  for (PDEVICE_OBJECT d : DeviceTable) {
    if (d != nullptr && PortExtension(d)->PhysicalDeviceObject == usbPort->Pdo()) device = d;
  }
  if (device == nullptr) ADD_FAILURE() << "add-device created no port device for the bridge's PDO";
  // Plugging read the device descriptor; the tests look only at the driver's traffic.
  usbPort->ClearUrbLog();
  chip->ClearControlLog();
  kernel().SetTraceCapacity(1 << 20);
}

UsbPortMachine::~UsbPortMachine() {
  // The host goes before the chip it serves, both before the machine.
  host.reset();
  chip.reset();
}

bool UsbPortMachine::InSystemThread(std::function<void()> body, std::string name) {
  return machine.RunInSystemThread(std::move(name), std::move(body));
}

void UsbPortMachine::StartSystemThread(std::function<void()> body, std::string name) {
  kernel().StartSystemThread(std::move(name), std::move(body));
}

NTSTATUS UsbPortMachine::Configure() {
  NTSTATUS status = STATUS_PENDING;
  EXPECT_TRUE(InSystemThread([&] { status = ConfigureUsbDevice(device); }, "configure"))
      << "ConfigureUsbDevice did not return";
  return status;
}

void UsbPortMachine::ConfigureOrFail() {
  NTSTATUS status = Configure();
  ASSERT_EQ(status, STATUS_SUCCESS) << "configuring the bridge failed with 0x" << std::hex
                                    << static_cast<ULONG>(status);
}

size_t UsbPortMachine::DriverPoolBlocks() {
  size_t n = 0;
  for (const auto& b : machine.kernel().LivePoolBlocks()) n += b.tag == TARNWIRE_POOL_TAG;
  return n;
}

size_t UsbPortMachine::DriverPoolBlocksOfSize(size_t size) {
  size_t n = 0;
  for (const auto& b : machine.kernel().LivePoolBlocks()) n += b.tag == TARNWIRE_POOL_TAG && b.size == size;
  return n;
}

std::vector<emu::VirtualTime> UsbPortMachine::InternalIoctlTimes(ULONG code) {
  char needle[64];
  std::snprintf(needle, sizeof needle, "IRP_MJ_INTERNAL_DEVICE_CONTROL 0x%08X", static_cast<unsigned>(code));
  std::vector<emu::VirtualTime> times;
  for (const emu::TraceEvent& e : machine.kernel().TraceEvents()) {
    if (e.category == "irp" && e.text.rfind("call ", 0) == 0 && e.text.find(needle) != std::string::npos) {
      times.push_back(e.time);
    }
  }
  return times;
}

std::shared_ptr<InFlightTransfer> StartPipeTransfer(UsbPortMachine& m, USBD_PIPE_HANDLE pipe, bool in,
                                                    std::vector<uint8_t> data, LONG* busy) {
  auto t = std::make_shared<InFlightTransfer>();
  t->buffer = std::move(data);
  UsbBuildInterruptOrBulkTransferRequest(
      t->urb(), (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, t->buffer.data(), NULL,
      (ULONG)t->buffer.size(), in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0, NULL);
  PDEVICE_OBJECT device = m.device;
  m.StartSystemThread(
      [t, device, busy] {
        InterlockedIncrement(busy);
        t->status = SubmitUrb(device, t->urb());
        t->done = true;
        InterlockedDecrement(busy);
      },
      "transfer");
  return t;
}

}  // namespace drvusb_test
