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
  // Runs StopPortThreads from the next clock tick and returns how long it took.
  emu::VirtualTime TimeStop() {
    emu::VirtualTime returned = -1;
    kernel().RunFor(kTick - kernel().Now() % kTick);
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

  // StopPortThreads pauses 20 ms between passes. Delays end on the clock tick after their due
  // time, so at the default 15.625 ms clock a pass lasts two ticks, and the pass a time falls in
  // is the time divided by that.
  static constexpr emu::VirtualTime kTick = 156250;
  static constexpr emu::VirtualTime kPass = 2 * kTick;
  static std::vector<emu::VirtualTime> Passes(const std::vector<emu::VirtualTime>& times) {
    std::vector<emu::VirtualTime> passes;
    for (emu::VirtualTime t : times) passes.push_back(t / kPass);
    return passes;
  }

  PDEVICE_OBJECT port_ = nullptr;
  PWSTR interfaceBuffer_ = nullptr;
  std::vector<emu::VirtualTime> wakeups_;
  emu::VirtualTime start_ = 0;
};

// A thread that uses each wake-up for 5 ms of work of its own before it waits again must still be
// woken: on passes 0 and 2 and then on every pass from 8 (with exact 20 ms pauses: at 0 ms, 40 ms
// and every 20 ms from 160 ms). On the teardown path (interface gone) no transfer is drained.
// Once no thread runs, the first pass returns.
TEST_P(StopPortThreadsTest, SignalsAt0And40AndEvery20MsFrom160AndReturnsWhenNoThreadRuns) {
  StartBusyThread();
  EXPECT_EQ(14, TimeStop() / kPass) << "StopPortThreads did not return at the first pass after the "
                                       "last thread left";
  EXPECT_EQ((std::vector<emu::VirtualTime>{0, 2, 8, 9, 10, 11, 12, 13}), Passes(wakeups_))
      << "wake-ups on the wrong passes";
  EXPECT_TRUE(RequestsDown().empty()) << "transfers drained although the port is torn down";
  EXPECT_EQ(DriverThreadsCreated(), DriverThreadsEnded()) << "a stand-in port thread is still running";
  EXPECT_GT(ms, TimeStop()) << "StopPortThreads waited although no thread was left";
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
  EXPECT_EQ(13, drains.front() / kPass) << "the first drain is not in pass 13";
}

INSTANTIATE_TEST_SUITE_P(Schedules, StopPortThreadsTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
