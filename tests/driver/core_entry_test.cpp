// Driver entry, unload and the driver-wide state.
#include "driver_fixture.h"

namespace tarnwire::testing {
namespace {

using DriverEntryTest = DriverTest;

TEST_F(DriverEntryTest, KeepsACopyOfTheServiceKeyAndUnloadsAtOnceWithoutPorts) {
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
  for (int major = 1; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    EXPECT_EQ(driver()->MajorFunction[0], driver()->MajorFunction[major])
        << "major function " << major << " is not the system default";
  }
  emu::VirtualTime before = kernel().Now();
  machine().UnloadDriver(driver());  // bug-checks if the key copy was not freed
  EXPECT_EQ(before, kernel().Now()) << "unload waited although no port existed";
}

TEST_F(DriverEntryTest, FailsWithoutPoolForTheKeyCopyAndLeavesNothingBehind) {
  kernel().FailPoolAllocations(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Load());
  EXPECT_EQ(nullptr, driver()) << "the machine kept a driver whose DriverEntry failed";
  EXPECT_EQ(0u, PoolBlockCount());
}

// ReadRegistryDword copies the key path into a 512-byte buffer with its terminating NUL; a value
// of another type than REG_DWORD counts as missing. Each case loads the driver into a machine of
// its own (one machine exists at a time).
TEST(DriverEntry, ReadsUserRemovalOnlyAsADwordUnderAKeyPathThatFits) {
  using Set = void (*)(emu::Registry&, const std::u16string&);
  const Set none = [](emu::Registry&, const std::u16string&) {};
  const Set dword = [](emu::Registry& r, const std::u16string& k) { r.SetDword(k, u"UserRemoval", 0x1234); };
  struct Case {
    const char* what;
    size_t keyChars;  // 0: the service key itself
    Set set;
    ULONG expected;
  } cases[] = {
      {"missing", 0, none, 0},
      {"a DWORD", 0, dword, 0x1234},
      {"a string", 0, [](emu::Registry& r, const std::u16string& k) { r.SetString(k, u"UserRemoval", u"1"); },
       0},
      {"4 binary bytes", 0,
       [](emu::Registry& r, const std::u16string& k) {
         ULONG one = 1;
         r.SetValue(k, u"UserRemoval", REG_BINARY, &one, sizeof one);
       },
       0},
      {"a DWORD under a key path of 510 bytes", 255, dword, 0x1234},
      {"a DWORD under a key path of 512 bytes", 256, dword, 0},
  };
  for (const Case& c : cases) {
    emu::Machine machine;
    std::u16string key = emu::Machine::ServiceKeyPath(kServiceName);
    if (c.keyChars != 0) key += std::u16string(c.keyChars - key.size(), u'x');
    machine.registry().CreateKey(key);
    c.set(machine.registry(), key);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = machine.LoadDriver(kServiceName, DriverEntry, key, &status);
    ASSERT_EQ(STATUS_SUCCESS, status) << "UserRemoval " << c.what;
    EXPECT_EQ(c.expected, UserRemovalSetting) << "UserRemoval " << c.what;
    machine.UnloadDriver(driver);
  }
}

// Unload stops the port's threads (the driver object is gone from their run condition) and
// then waits, 20 ms at a time, until removal has emptied the port's slot.
using UnloadWithPortTest = Scheduled<DriverTest>;

TEST_P(UnloadWithPortTest, StopsPortThreadsAndWaitsUntilTheTableIsEmpty) {
  ASSERT_EQ(STATUS_SUCCESS, Load());
  PDEVICE_OBJECT port = AddBridge();
  ASSERT_NE(nullptr, port);
  ASSERT_EQ(3, Ext(port)->ThreadCount) << "the three port threads are not running";
  emu::VirtualTime removedAt = 0;
  kernel().StartSystemThread("removal", [&] {
    LARGE_INTEGER delay;
    delay.QuadPart = -100 * ms;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ(nullptr, GlobalDriverObject);
    EXPECT_EQ(0, Ext(port)->ThreadCount) << "the port threads did not leave when unload began";
    removedAt = kernel().Now();
    TearDownPort(port);
  });
  machine().UnloadDriver(driver());
  ASSERT_NE(0, removedAt) << "unload returned before the port was removed";
  EXPECT_LE(kernel().Now() - removedAt, 20 * ms) << "unload polled too slowly";
  EXPECT_EQ(DriverThreadsCreated(), DriverThreadsEnded());
}

INSTANTIATE_TEST_SUITE_P(Schedules, UnloadWithPortTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
