// Driver entry, unload and the driver-wide state.
#include "driver_fixture.h"

namespace tarnwire::testing {
namespace {

class DriverEntryTest : public DriverTest {};

TEST_F(DriverEntryTest, KeepsACopyOfTheServiceKeyAndInstallsOnlyAddDeviceAndUnload) {
  ASSERT_EQ(STATUS_SUCCESS, Load());
  EXPECT_EQ(driver(), GlobalDriverObject);
  EXPECT_EQ(ServiceKey(), ToU16(ServiceKeyPath)) << "ServiceKeyPath is not the registry path";
  bool copyInPool = false;
  for (const auto& block : kernel().LivePoolBlocks()) {
    copyInPool |= block.address == ServiceKeyPath.Buffer && block.type == NonPagedPool &&
                  block.size == ServiceKeyPath.MaximumLength;
  }
  EXPECT_TRUE(copyInPool) << "the key copy is not a nonpaged block of MaximumLength bytes";
  EXPECT_EQ(&UnloadDriver, driver()->DriverUnload);
  EXPECT_EQ(&AddPortDevice, driver()->DriverExtension->AddDevice);
  // No dispatch routine of this driver exists yet: every major function keeps the default.
  for (int major = 1; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    EXPECT_EQ(driver()->MajorFunction[0], driver()->MajorFunction[major])
        << "major function " << major << " is not the system default";
  }
  RemoveAllAndUnload();
  EXPECT_EQ(nullptr, GlobalDriverObject);
}

// Each case loads the driver into a machine of its own (one machine exists at a time).
TEST(DriverEntry, ReadsUserRemovalAsADwordAndZeroOtherwise) {
  struct Case {
    const char* what;
    std::function<void(emu::Registry&, const std::u16string&)> set;
    ULONG expected;
  } cases[] = {
      {"missing", [](emu::Registry&, const std::u16string&) {}, 0},
      {"1", [](emu::Registry& r, const std::u16string& k) { r.SetDword(k, u"UserRemoval", 1); }, 1},
      {"0x1234", [](emu::Registry& r, const std::u16string& k) { r.SetDword(k, u"UserRemoval", 0x1234); },
       0x1234},
      {"a string", [](emu::Registry& r, const std::u16string& k) { r.SetString(k, u"UserRemoval", u"1"); },
       0},
      {"4 binary bytes",
       [](emu::Registry& r, const std::u16string& k) {
         ULONG one = 1;
         r.SetValue(k, u"UserRemoval", REG_BINARY, &one, sizeof one);
       },
       0},
  };
  for (const Case& c : cases) {
    emu::Machine machine;
    std::u16string key = emu::Machine::ServiceKeyPath(kServiceName);
    machine.registry().CreateKey(key);
    c.set(machine.registry(), key);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = machine.LoadDriver(kServiceName, DriverEntry, key, &status);
    ASSERT_EQ(STATUS_SUCCESS, status) << "UserRemoval " << c.what;
    EXPECT_EQ(c.expected, UserRemovalSetting) << "UserRemoval " << c.what;
    machine.UnloadDriver(driver);
  }
}

// ReadRegistryDword copies the key path into a 512-byte buffer with its terminating NUL.
TEST(DriverEntry, ReadsFromAKeyPathOf510BytesAndRefusesALongerOne) {
  const std::u16string base = emu::Machine::ServiceKeyPath(u"");
  for (size_t chars : {255u, 256u}) {
    emu::Machine machine;
    std::u16string key = base + std::u16string(chars - base.size(), u'x');
    machine.registry().SetDword(key, u"UserRemoval", 7);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = machine.LoadDriver(u"x", DriverEntry, key, &status);
    ASSERT_EQ(STATUS_SUCCESS, status) << "a key path of " << chars << " characters";
    EXPECT_EQ(chars == 255 ? 7u : 0u, UserRemovalSetting)
        << "UserRemoval under a key path of " << chars * 2 << " bytes";
    machine.UnloadDriver(driver);
  }
}

TEST_F(DriverEntryTest, FailsWithoutPoolForTheKeyCopyAndLeavesNothingBehind) {
  kernel().FailPoolAllocations(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Load());
  EXPECT_EQ(nullptr, driver()) << "the machine kept a driver whose DriverEntry failed";
  EXPECT_EQ(0u, PoolBlockCount());
}

TEST_F(DriverEntryTest, UnloadWithNoPortsFreesTheKeyCopyAtOnce) {
  ASSERT_EQ(STATUS_SUCCESS, Load());
  emu::VirtualTime before = kernel().Now();
  machine().UnloadDriver(driver());  // bug-checks if the key copy was not freed
  EXPECT_EQ(before, kernel().Now()) << "unload waited although no port existed";
  EXPECT_EQ(0u, PoolBlockCount());
}

// Unload stops the port's threads (the driver object is gone from their run condition) and
// then waits, 20 ms at a time, until removal has emptied the port's slot.
class UnloadWithPortTest : public DriverTest, public ::testing::WithParamInterface<ScheduleParam> {
 protected:
  UnloadWithPortTest() : DriverTest(ConfigFor(GetParam())) {}
};

TEST_P(UnloadWithPortTest, StopsPortThreadsAndWaitsUntilTheTableIsEmpty) {
  ASSERT_EQ(STATUS_SUCCESS, Load());
  PDEVICE_OBJECT port = AddBridge();
  ASSERT_NE(nullptr, port);
  ASSERT_EQ(3, Ext(port)->ThreadCount);
  emu::VirtualTime removedAt = 0;
  kernel().StartSystemThread("removal", [&] {
    LARGE_INTEGER ms100;
    ms100.QuadPart = -100 * emu::kMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &ms100);
    EXPECT_EQ(nullptr, GlobalDriverObject);
    EXPECT_EQ(0, Ext(port)->ThreadCount) << "the port threads did not leave when unload began";
    removedAt = kernel().Now();
    TearDownPort(port);
  });
  machine().UnloadDriver(driver());
  ASSERT_NE(0, removedAt) << "unload returned before the port was removed";
  EXPECT_LE(kernel().Now() - removedAt, 20 * emu::kMillisecond) << "unload polled too slowly";
  EXPECT_GE(kernel().Now(), removedAt);
  EXPECT_EQ(DriverThreadsCreated(), DriverThreadsEnded());
}

INSTANTIATE_TEST_SUITE_P(Schedules, UnloadWithPortTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
