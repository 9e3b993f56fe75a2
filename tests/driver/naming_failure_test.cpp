// Add-device failure paths: whatever step fails, the port leaves no device, link, SERIALCOMM
// value, table slot, thread or pool behind, SerialCount is restored, and the next bridge gets the
// names the failed one would have had.
#include "driver_fixture.h"

namespace tarnwire::testing {
namespace {

class AddFailureTest : public DriverTest {
 protected:
  explicit AddFailureTest(emu::KernelConfig config = {}) : DriverTest(config) {}
  void SetUp() override {
    ASSERT_EQ(STATUS_SUCCESS, Load());
    machine().configuration().SerialCount = 3;
    pool_ = PoolBlockCount();
  }
  void TearDown() override { RemoveAllAndUnload(); }

  void ExpectNothingLeft(const char* what) {
    EXPECT_EQ(0u, PortCount()) << what << ": the table slot is still taken";
    EXPECT_EQ(3u, machine().configuration().SerialCount) << what << ": SerialCount not restored";
    EXPECT_FALSE(objects().FindDevice(u"\\Device\\Serial3")) << what << ": device object left";
    EXPECT_FALSE(LinkTarget(u"COM8")) << what << ": DOS link left";
    EXPECT_EQ(0u, SerialCommValueCount()) << what << ": SERIALCOMM value left";
    EXPECT_EQ(pool_, PoolBlockCount()) << what << ": pool left allocated";
    EXPECT_EQ(DriverThreadsCreated(), DriverThreadsEnded()) << what << ": a port thread still runs";
    // The next bridge is named as the failed one would have been.
    PDEVICE_OBJECT port = AddBridge();
    ASSERT_NE(nullptr, port) << what;
    EXPECT_EQ(u"\\Device\\Serial3", ToU16(Ext(port)->DeviceName)) << what;
    EXPECT_EQ(u"COM8", ToU16(Ext(port)->PortName)) << what;
    RemovePort(port);
  }

  size_t pool_ = 0;
};

// Pool allocations of add-device, in order: the port buffer block, the registry query record
// for "PortName", the interface's symbolic name.
TEST_F(AddFailureTest, BufferBlockUnavailable) {
  kernel().FailPoolAllocations(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddPort(CreatePdo(u"COM3")));
  ExpectNothingLeft("no port buffer block");
}

TEST_F(AddFailureTest, PortNameQueryWithoutPoolFallsBackToTheDefaultName) {
  kernel().FailPoolAllocations(1, 1);
  PDEVICE_OBJECT port = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, AddPort(CreatePdo(u"COM3"), &port));
  EXPECT_EQ(u"COM8", ToU16(Ext(port)->PortName));
}

TEST_F(AddFailureTest, InterfaceRegistrationFails) {
  kernel().FailPoolAllocations(1, 2);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddPort(CreatePdo()));
  ExpectNothingLeft("interface not registered");
}

TEST_F(AddFailureTest, SerialCommValueCannotBeWritten) {
  ASSERT_TRUE(registry().DeleteKey(emu::kRegistryDeviceMap));
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, AddPort(CreatePdo()));
  registry().CreateKey(emu::kRegistryDeviceMap);
  ExpectNothingLeft("no SERIALCOMM value");
}

// A port without all three threads would never serve its requests: add-device fails instead,
// after stopping the threads that did start. A created thread may not have run yet when the
// creation of the next one fails; add-device must not return before it has come and gone.
class ThreadFailureTest : public AddFailureTest, public ::testing::WithParamInterface<ScheduleParam> {
 protected:
  ThreadFailureTest() : AddFailureTest(ConfigFor(GetParam())) {}
};

TEST_P(ThreadFailureTest, PortThreadCannotBeCreated) {
  for (uint32_t created : {0u, 1u, 2u}) {
    kernel().FailThreadCreations(1, created);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, machine().AddDevice(driver(), CreatePdo()))
        << "thread creation failing after " << created << " threads";
    EXPECT_EQ(DriverThreadsCreated(), DriverThreadsStarted())
        << "add-device failed before the " << created << " threads it created had started";
    kernel().Run();
    ExpectNothingLeft(created == 0 ? "first thread" : created == 1 ? "second thread" : "third thread");
  }
}

INSTANTIATE_TEST_SUITE_P(Schedules, ThreadFailureTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
