#include "driver_fixture.h"

#include <string>

#include "driver/port_teardown.h"

namespace tarnwire::testing {

NTSTATUS StubBus::Dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  (void)pdo;
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

std::u16string ToU16(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) return {};
  return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

std::string Narrow(std::u16string_view s) { return std::string(s.begin(), s.end()); }
std::u16string U16(std::string_view s) { return std::u16string(s.begin(), s.end()); }

emu::KernelConfig DriverMachine(emu::KernelConfig config) {
  config.pagedPoolFaultsAtDispatch = true;
  return config;
}

DriverTest::DriverTest(emu::KernelConfig config)
    : machine_(std::make_unique<emu::Machine>(DriverMachine(config))) {}

DriverTest::~DriverTest() = default;

NTSTATUS DriverTest::Load(std::u16string_view serviceKeyPath) {
  NTSTATUS status = STATUS_SUCCESS;
  driver_ = machine_->LoadDriver(kServiceName, DriverEntry, serviceKeyPath, &status);
  return status;
}

PDEVICE_OBJECT DriverTest::CreatePdo(std::optional<std::u16string> portName) {
  std::u16string instance = u"USB\\ZM470\\" + std::u16string(1, u'A' + nextInstance_ % 26) +
                            std::u16string(1, u'0' + nextInstance_ / 26);
  ++nextInstance_;
  PDEVICE_OBJECT pdo = machine_->CreatePhysicalDevice(instance, bus_);
  if (portName) registry().SetString(HardwareKey(pdo), u"PortName", *portName);
  return pdo;
}

NTSTATUS DriverTest::AddPort(PDEVICE_OBJECT pdo, PDEVICE_OBJECT* port) {
  NTSTATUS status = machine_->AddDevice(driver_, pdo);
  kernel().Run();  // let the new port's threads start and reach their waits
  if (port != nullptr) *port = NT_SUCCESS(status) ? PortOf(pdo) : nullptr;
  return status;
}

PDEVICE_OBJECT DriverTest::AddBridge(std::optional<std::u16string> portName) {
  PDEVICE_OBJECT pdo = CreatePdo(portName);
  PDEVICE_OBJECT port = nullptr;
  NTSTATUS status = AddPort(pdo, &port);
  EXPECT_EQ(STATUS_SUCCESS, status) << "adding a bridge failed";
  EXPECT_NE(nullptr, port) << "no port device in the table for the new bridge";
  return port;
}

PDEVICE_OBJECT PortOf(PDEVICE_OBJECT pdo) {
  for (PDEVICE_OBJECT d : DeviceTable) {
    if (d != nullptr && PortExtension(d)->PhysicalDeviceObject == pdo) return d;
  }
  return nullptr;
}

size_t DriverTest::PortCount() const {
  size_t n = 0;
  for (PDEVICE_OBJECT d : DeviceTable) n += d != nullptr;
  return n;
}

size_t DriverTest::SerialCommValueCount() {
  if (!registry().KeyExists(emu::kRegistrySerialComm)) return 0;
  return registry().ValueNames(emu::kRegistrySerialComm).size();
}

void DriverTest::RemovePort(PDEVICE_OBJECT port) {
  PDEVICE_OBJECT pdo = Ext(port)->PhysicalDeviceObject;
  machine_->SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
  ASSERT_EQ(nullptr, PortOf(pdo)) << "the port is still in the table after IRP_MN_REMOVE_DEVICE";
}

void DriverTest::TearDownPort(PDEVICE_OBJECT port) { TeardownPort(port); }

// PsCreateSystemThread names its threads "thread<n>"; the trace records their creation and end.
size_t DriverTest::DriverThreadsCreated() {
  size_t n = 0;
  for (const auto& e : kernel().TraceEvents())
    n += e.category == "thread" && e.text.rfind("create thread", 0) == 0;
  return n;
}

size_t DriverTest::DriverThreadEvents(std::string_view what) {
  size_t n = 0;
  for (const auto& e : kernel().TraceEvents())
    n += e.category == "thread" && e.context.rfind("thread", 0) == 0 && e.text.rfind(what, 0) == 0;
  return n;
}

std::vector<emu::VirtualTime> IrpsSentAt(emu::Kernel& kernel, std::string_view what) {
  std::vector<emu::VirtualTime> times;
  for (const auto& e : kernel.TraceEvents()) {
    if (e.category == "irp" && e.text.rfind("call ", 0) == 0 && e.text.find(what) != std::string::npos)
      times.push_back(e.time);
  }
  return times;
}

void DriverTest::RemoveAllAndUnload() {
  for (PDEVICE_OBJECT d : DeviceTable) {
    if (d != nullptr) RemovePort(d);
  }
  machine_->UnloadDriver(driver_);
}

}  // namespace tarnwire::testing
