// StopPortThreads: when it signals the wake events, when it drains transfers and when it returns.
#include <vector>

#include "driver_fixture.h"

namespace tarnwire::testing {
namespace {

class StopPortThreadsTest : public Scheduled<LoadedDriverTest> {
 protected:
  void SetUp() override {
    LoadedDriverTest::SetUp();
    port_ = AddBridge();
    ASSERT_NE(nullptr, port_);
    // Withdraw the port's run condition as teardown does; the stand-in threads leave at their
    // next wake-up.
    interfaceBuffer_ = Ext(port_)->InterfaceName.Buffer;
    Ext(port_)->InterfaceName.Buffer = NULL;
  }
  void TearDown() override {
    Ext(port_)->InterfaceName.Buffer = interfaceBuffer_;
    LoadedDriverTest::TearDown();
  }

  // A port thread of the test: counted in before the stop begins, it records each wake-up by
  // WriteAbortEvent (which the stand-in threads do not wait on), works 5 ms after each, and
  // leaves after 8 of them.
  void StartBusyThread() {
    PPORT_EXTENSION ext = Ext(port_);
    ++ext->ThreadCount;
    kernel().StartSystemThread("busy port thread", [this, ext] {
      while (wakeups_.size() < 8) {
        KeWaitForSingleObject(&ext->WriteAbortEvent, Executive, KernelMode, FALSE, NULL);
        wakeups_.push_back(kernel().Now() - start_);
        LARGE_INTEGER work;
        work.QuadPart = -5 * ms;
        KeDelayExecutionThread(KernelMode, FALSE, &work);
      }
      InterlockedDecrement(&ext->ThreadCount);
    });
  }
  // Runs StopPortThreads and returns how long it took.
  emu::VirtualTime TimeStop() {
    emu::VirtualTime returned = -1;
    EXPECT_TRUE(machine().RunInSystemThread("stop", [&] {
      start_ = kernel().Now();
      StopPortThreads(port_);
      returned = kernel().Now() - start_;
    })) << "StopPortThreads did not return";
    return returned;
  }
  // Times, from the start of the stop, of the requests the port sent down its stack (a drain
  // asks the hub for the port status first).
  std::vector<emu::VirtualTime> RequestsDown() {
    std::vector<emu::VirtualTime> times;
    for (emu::VirtualTime t : IrpsSentAt(kernel(), "IRP_MJ_INTERNAL_DEVICE_CONTROL"))
      if (t >= start_) times.push_back(t - start_);
    return times;
  }

  PDEVICE_OBJECT port_ = nullptr;
  PWSTR interfaceBuffer_ = nullptr;
  std::vector<emu::VirtualTime> wakeups_;
  emu::VirtualTime start_ = 0;
};

// A thread that uses each wake-up for 5 ms of work of its own before it waits again must still be
// woken: at 0 ms, 40 ms and then every 20 ms from 160 ms. On the teardown path (interface gone)
// no transfer is drained. Once no thread runs, the first pass returns.
TEST_P(StopPortThreadsTest, SignalsAt0And40AndEvery20MsFrom160AndReturnsWhenNoThreadRuns) {
  StartBusyThread();
  EXPECT_EQ(280 * ms, TimeStop()) << "StopPortThreads did not return at the first pass after the "
                                     "last thread left";
  EXPECT_EQ(
      (std::vector<emu::VirtualTime>{0, 40 * ms, 160 * ms, 180 * ms, 200 * ms, 220 * ms, 240 * ms, 260 * ms}),
      wakeups_)
      << "wake-ups (100-ns units) at the wrong times";
  EXPECT_TRUE(RequestsDown().empty()) << "transfers drained although the port is torn down";
  EXPECT_EQ(DriverThreadsCreated(), DriverThreadsEnded()) << "a stand-in port thread is still running";
  EXPECT_EQ(0, TimeStop()) << "StopPortThreads waited although no thread was left";
}

// On the unload path the interface is still registered: from pass 13 (260 ms) on, each signalling
// pass also drains the port's transfers, so that a thread blocked in one returns.
TEST_P(StopPortThreadsTest, DrainsTransfersFromPass13OnTheUnloadPath) {
  Ext(port_)->InterfaceName.Buffer = interfaceBuffer_;
  GlobalDriverObject = NULL;  // what unload does first
  StartBusyThread();
  TimeStop();
  GlobalDriverObject = driver();
  std::vector<emu::VirtualTime> drains = RequestsDown();
  ASSERT_FALSE(drains.empty()) << "no transfer was drained";
  EXPECT_EQ(260 * ms, drains.front()) << "the first drain is not in pass 13";
}

INSTANTIATE_TEST_SUITE_P(Schedules, StopPortThreadsTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
