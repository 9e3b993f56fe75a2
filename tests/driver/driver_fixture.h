// Test fixture for the driver core: an emulated machine with the driver loaded from its service
// key, bridges represented by PDOs of a stub bus driver, and routines to add, inspect and
// remove port devices, so that every test can end with a real unload and its checks (no device,
// no request, no pool left).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver_globals.h"
#include "driver/port_device.h"
#include "driver/port_extension.h"
#include "nt/machine.h"
#include "support/schedule_sweep.h"

namespace tarnwire::testing {

inline constexpr std::u16string_view kServiceName = u"tarnwire";
inline constexpr emu::VirtualTime ms = emu::kMillisecond;

// Completes every request that reaches one of its PDOs with the status the request carries.
class StubBus : public emu::BusDriver {
 public:
  NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override;
};

std::u16string ToU16(const UNICODE_STRING& s);
// The port device in the driver's table that sits above the PDO, if any.
PDEVICE_OBJECT PortOf(PDEVICE_OBJECT pdo);
std::string Narrow(std::u16string_view s);
std::u16string U16(std::string_view s);

class DriverTest : public ::testing::Test {
 protected:
  explicit DriverTest(emu::KernelConfig config = test_support::CurrentConfig());
  ~DriverTest() override;

  emu::Machine& machine() { return *machine_; }
  emu::Kernel& kernel() { return machine_->kernel(); }
  emu::Registry& registry() { return machine_->registry(); }
  emu::ObjectNamespace& objects() { return machine_->objects(); }
  ULONG& SerialCount() { return machine_->configuration().SerialCount; }

  std::u16string ServiceKey() const { return emu::Machine::ServiceKeyPath(kServiceName); }
  // Loads the driver (DriverEntry) and remembers it; returns DriverEntry's status.
  NTSTATUS Load(std::u16string_view serviceKeyPath = {});
  PDRIVER_OBJECT driver() const { return driver_; }

  // A new bridge PDO; `portName` (if given) is stored as "PortName" in its hardware key.
  PDEVICE_OBJECT CreatePdo(std::optional<std::u16string> portName = std::nullopt);
  std::u16string HardwareKey(PDEVICE_OBJECT pdo) { return machine_->io().DeviceParametersKeyPath(pdo); }
  // Runs AddDevice for the PDO and then the machine until it is idle; *port receives the port
  // device when add-device succeeds.
  NTSTATUS AddPort(PDEVICE_OBJECT pdo, PDEVICE_OBJECT* port = nullptr);
  // Creates a PDO and adds a port for it, expecting success.
  PDEVICE_OBJECT AddBridge(std::optional<std::u16string> portName = std::nullopt);
  static PPORT_EXTENSION Ext(PDEVICE_OBJECT port) { return PortExtension(port); }
  size_t PortCount() const;

  // What ports left in the system: DOS links, SERIALCOMM values and pool.
  std::optional<std::u16string> LinkTarget(std::u16string_view comName) {
    return objects().LinkTarget(u"\\DosDevices\\" + std::u16string(comName));
  }
  std::optional<std::u16string> SerialCommValue(std::u16string_view deviceName) {
    return registry().GetString(emu::kRegistrySerialComm, deviceName);
  }
  size_t SerialCommValueCount();
  size_t PoolBlockCount() { return kernel().LivePoolBlocks().size(); }

  // Removes the port with IRP_MN_REMOVE_DEVICE, as the Plug and Play manager does.
  void RemovePort(PDEVICE_OBJECT port);
  // The driver's teardown of the port alone, run in the calling emulated context.
  static void TearDownPort(PDEVICE_OBJECT port);
  // Driver threads (PsCreateSystemThread) created so far, and how many of them have started
  // running and ended.
  size_t DriverThreadsCreated();
  size_t DriverThreadsStarted() { return DriverThreadEvents("start"); }
  size_t DriverThreadsEnded() { return DriverThreadEvents("end"); }
  // Removes every port still in the table, then unloads the driver (with the machine's checks).
  void RemoveAllAndUnload();

 private:
  size_t DriverThreadEvents(std::string_view what);

  std::unique_ptr<emu::Machine> machine_;
  StubBus bus_;
  PDRIVER_OBJECT driver_ = nullptr;
  int nextInstance_ = 0;
};

// The driver loaded before the test and unloaded, with every port removed, after it.
class LoadedDriverTest : public DriverTest {
 protected:
  using DriverTest::DriverTest;
  void SetUp() override { ASSERT_EQ(STATUS_SUCCESS, Load()); }
  void TearDown() override { RemoveAllAndUnload(); }
};

// Times at which the driver sent an IRP down its stack whose trace text contains `what`.
std::vector<emu::VirtualTime> IrpsSentAt(emu::Kernel& kernel, std::string_view what);

// Tests that run several contexts at once run under every schedule of the sweep:
//   using SomeTest = Scheduled<LoadedDriverTest>;
//   INSTANTIATE_TEST_SUITE_P(Schedules, SomeTest, AllSchedules(), ScheduleName);
using ScheduleParam = test_support::Schedule;
using test_support::AllSchedules;
using test_support::ForEachMachine;
using test_support::Scheduled;
using test_support::ScheduleName;
// The machine a driver test runs: `config` with paged pool inaccessible at DISPATCH_LEVEL and
// above, so that the driver touching paged memory there bug-checks.
emu::KernelConfig DriverMachine(emu::KernelConfig config);

}  // namespace tarnwire::testing
