// The driver under systematic low-resources simulation: each allocation site of the driver that
// plugging a bridge (loading, add-device, start) and opening, closing and unplugging its port
// reach fails in turn, and each time the driver fails cleanly: no bug check, nothing left behind.
#include <cstdio>

#include "driver/driver_globals.h"
#include "driver_fixture.h"
#include "nt/low_resources.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace tarnwire::testing {
namespace {

using State = emu::PnpManager::State;

constexpr std::u16string_view kBridgeHardwareId = u"USB\\VID_0A5D&PID_0023";

struct Outcome {
  bool started = false;
  NTSTATUS open = STATUS_PENDING;
};

// Plugs a bridge, opens and closes its port when it started, and unplugs it, on a machine failing
// as `lowResources` says. Fails the test when the machine does not settle or something of the
// driver stays behind; a bug check propagates.
std::vector<emu::AllocationSite> PlugOpenUnplug(const emu::LowResources& lowResources, Outcome* outcome) {
  emu::KernelConfig config = DriverMachine(test_support::CurrentConfig());
  config.lowResources = lowResources;
  emu::Machine machine(config);
  emu::zm470::Zm470 chip;
  emu::usb::UsbHost host(machine);
  machine.pnp().RegisterDriver(kBridgeHardwareId, kServiceName, DriverEntry);
  emu::usb::UsbPort& usb = host.Plug(chip);
  EXPECT_TRUE(machine.pnp().RunUntilIdle()) << "the arrival did not finish";
  outcome->started = machine.pnp().StateOf(usb.Pdo()) == State::Started;
  if (outcome->started) {
    PDEVICE_OBJECT port = PortOf(usb.Pdo());
    PFILE_OBJECT file = nullptr;
    outcome->open = machine.Open(ToU16(PortExtension(port)->DosLinkName), &file);
    if (NT_SUCCESS(outcome->open)) {
      EXPECT_EQ(STATUS_SUCCESS, machine.Close(file));
    }
  }
  usb.Unplug();
  EXPECT_TRUE(machine.pnp().RunUntilIdle()) << "the unplug did not finish";
  EXPECT_EQ(nullptr, machine.pnp().LoadedDriver(kServiceName)) << "the driver stayed loaded";
  size_t driverBlocks = 0;
  for (const auto& b : machine.kernel().LivePoolBlocks()) driverBlocks += b.tag == TARNWIRE_POOL_TAG;
  EXPECT_EQ(0u, driverBlocks) << "the driver left pool behind";
  return machine.kernel().AllocationSites();
}

TEST(DriverLowResources, EachAllocationSiteOfStartAndOpenFailsCleanly) {
  std::vector<Outcome> outcomes;
  size_t sites = 0;
  const size_t failing = emu::WalkAllocationFailures([&](const emu::LowResources& lr) {
    SCOPED_TRACE(lr.failSite == nullptr ? std::string("no failure")
                                        : "reach " + std::to_string(lr.failReach) + " of site " +
                                              std::to_string(reinterpret_cast<uintptr_t>(lr.failSite)));
    Outcome outcome;
    std::vector<emu::AllocationSite> reached = PlugOpenUnplug(lr, &outcome);
    if (lr.failSite == nullptr) sites = reached.size();
    outcomes.push_back(outcome);
    return reached;
  });
  std::printf("[ walk     ] %zu allocation sites, %zu failing runs\n", sites, failing);
  ASSERT_FALSE(outcomes.empty());
  EXPECT_TRUE(outcomes[0].started) << "without failures the port starts";
  EXPECT_EQ(STATUS_SUCCESS, outcomes[0].open) << "and opens";
  EXPECT_GE(sites, 5u) << "entry, add-device, start and open allocate at several sites";
  EXPECT_GE(failing, sites);
  size_t refused = 0;
  for (size_t i = 1; i < outcomes.size(); ++i)
    refused += !outcomes[i].started || !NT_SUCCESS(outcomes[i].open);
  EXPECT_GT(refused, 0u) << "some failing allocation must stop the start or the open";
}

}  // namespace
}  // namespace tarnwire::testing
