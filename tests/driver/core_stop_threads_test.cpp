// StopPortThreads: when it signals the wake events and when it returns.
#include <vector>

#include "driver_fixture.h"

namespace tarnwire::testing {
namespace {

class StopPortThreadsTest : public DriverTest, public ::testing::WithParamInterface<ScheduleParam> {
 protected:
  StopPortThreadsTest() : DriverTest(ConfigFor(GetParam())) {}

  void SetUp() override {
    ASSERT_EQ(STATUS_SUCCESS, Load());
    port_ = AddBridge();
    ASSERT_NE(nullptr, port_);
    // Withdraw the port's run condition as teardown does; the interim threads leave at their
    // next wake-up.
    interfaceBuffer_ = Ext(port_)->InterfaceName.Buffer;
    Ext(port_)->InterfaceName.Buffer = NULL;
  }
  void TearDown() override {
    Ext(port_)->InterfaceName.Buffer = interfaceBuffer_;
    RemoveAllAndUnload();
  }

  PDEVICE_OBJECT port_ = nullptr;
  PWSTR interfaceBuffer_ = nullptr;
};

TEST_P(StopPortThreadsTest, ReturnsAfterOnePassWhenNoThreadRuns) {
  ASSERT_TRUE(machine().RunInSystemThread("stop", [&] { StopPortThreads(port_); }));
  ASSERT_EQ(0, Ext(port_)->ThreadCount);
  emu::VirtualTime before = kernel().Now();
  ASSERT_TRUE(machine().RunInSystemThread("stop again", [&] { StopPortThreads(port_); }));
  EXPECT_EQ(before, kernel().Now()) << "StopPortThreads waited although no thread was left";
}

// A thread that uses each wake-up for 5 ms of work of its own before it waits again must still be
// woken: at 0 ms, 40 ms and then every 20 ms from 160 ms.
TEST_P(StopPortThreadsTest, SignalsAt0And40AndEvery20MsFrom160) {
  PPORT_EXTENSION ext = Ext(port_);
  std::vector<emu::VirtualTime> wakeups;
  emu::VirtualTime start = 0, returned = 0;
  ++ext->ThreadCount;  // counted in before the stop begins
  kernel().StartSystemThread("busy port thread", [&] {
    while (wakeups.size() < 6) {
      KeWaitForSingleObject(&ext->WriteAbortEvent, Executive, KernelMode, FALSE, NULL);
      wakeups.push_back(kernel().Now() - start);
      LARGE_INTEGER work;
      work.QuadPart = -5 * emu::kMillisecond;
      KeDelayExecutionThread(KernelMode, FALSE, &work);
    }
    InterlockedDecrement(&ext->ThreadCount);
  });
  ASSERT_TRUE(machine().RunInSystemThread("stop", [&] {
    start = kernel().Now();
    StopPortThreads(port_);
    returned = kernel().Now() - start;
  }));
  const emu::VirtualTime ms = emu::kMillisecond;
  EXPECT_EQ((std::vector<emu::VirtualTime>{0, 40 * ms, 160 * ms, 180 * ms, 200 * ms, 220 * ms}), wakeups)
      << "wake-ups (100-ns units) at the wrong times";
  EXPECT_EQ(240 * ms, returned) << "StopPortThreads did not return at the first pass after the "
                                   "last thread left";
  EXPECT_EQ(DriverThreadsCreated(), DriverThreadsEnded()) << "an interim port thread is still running";
}

INSTANTIATE_TEST_SUITE_P(Schedules, StopPortThreadsTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
