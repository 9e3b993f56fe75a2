// Driver entry, unload and the driver-wide state.
#include <optional>

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
  emu::VirtualTime before = kernel().Now();
  machine().UnloadDriver(driver());  // bug-checks if the key copy was not freed
  EXPECT_GT(emu::kMillisecond, kernel().Now() - before) << "unload waited although no port existed";
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
  // clang-format off
  const struct { const char* what; size_t keyChars; std::optional<ULONG> type; ULONG data; ULONG expected; }
  cases[] = {
      {"missing",                               0,   {},         0,      0},
      {"a DWORD",                               0,   REG_DWORD,  0x1234, 0x1234},
      {"a string",                              0,   REG_SZ,     0x31,   0},  // u"1" and its NUL
      {"4 binary bytes",                        0,   REG_BINARY, 1,      0},
      {"a DWORD under a key path of 510 bytes", 255, REG_DWORD,  0x1234, 0x1234},
      {"a DWORD under a key path of 512 bytes", 256, REG_DWORD,  0x1234, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("UserRemoval: ") + c.what);
    emu::Machine machine(test_support::CurrentConfig());
    std::u16string key = emu::Machine::ServiceKeyPath(kServiceName);
    if (c.keyChars != 0) key += std::u16string(c.keyChars - key.size(), u'x');
    machine.registry().CreateKey(key);
    if (c.type) machine.registry().SetValue(key, u"UserRemoval", *c.type, &c.data, sizeof c.data);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = machine.LoadDriver(kServiceName, DriverEntry, key, &status);
    ASSERT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(c.expected, UserRemovalSetting);
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
  // On Windows unload and removal never overlap (both run in the Plug and Play manager's
  // serialised context). Here removal runs while unload polls the port, so the port's memory is
  // kept referenced until unload has returned.
  ObReferenceObject(port);
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
  ObDereferenceObject(port);
  ASSERT_NE(0, removedAt) << "unload returned before the port was removed";
  EXPECT_LE(kernel().Now() - removedAt, 20 * ms) << "unload polled too slowly";
  EXPECT_EQ(DriverThreadsCreated(), DriverThreadsEnded());
}

INSTANTIATE_TEST_SUITE_P(Schedules, UnloadWithPortTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
