// DrainUsbTransfers: which transfers it waits for, which pipes it aborts on which pass, when it
// resets the hub port, and when it gives up because the device is gone. Time is virtual.
#include <algorithm>

#include "usb/chip_registers.h"
#include "usb/usb_request.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

using emu::kMillisecond;
using emu::VirtualTime;

// The drain pauses 20 ms between passes. Delays end on the clock tick after their due time, so
// at the default 15.625 ms clock a pass lasts two ticks; a drain started on a tick has its passes
// on ticks.
constexpr VirtualTime kPause = 20 * kMillisecond;
constexpr VirtualTime kTick = 156250;
constexpr VirtualTime kPass = 2 * kTick;

struct DrainRun {
  VirtualTime start = -1;
  VirtualTime end = -1;
};

// Runs DrainUsbTransfers in a system thread (started at the next clock tick) and records when it
// began and ended.
std::shared_ptr<DrainRun> StartDrain(UsbPortMachine& m, BOOLEAN abortAll) {
  m.kernel().RunFor(kTick - m.kernel().Now() % kTick);
  auto run = std::make_shared<DrainRun>();
  m.kernel().StartSystemThread("drain", [&m, run, abortAll] {
    run->start = m.kernel().Now();
    DrainUsbTransfers(m.device, abortAll);
    run->end = m.kernel().Now();
  });
  return run;
}
// Runs the machine until the drain has returned, for at most `within`.
bool Returns(UsbPortMachine& m, const std::shared_ptr<DrainRun>& run, VirtualTime within) {
  return m.kernel().RunUntil([&] { return run->end >= 0; }, m.kernel().Now() + within);
}

// The endpoints aborted on each pass, pass 1 first: aborts of one pass are less than a pause
// apart, passes are separated by the 20 ms pause.
std::vector<std::vector<uint8_t>> AbortsByPass(UsbPortMachine& m) {
  std::vector<std::vector<uint8_t>> passes;
  VirtualTime last = -kPause;
  for (const auto& r : m.usb().UrbsMatching(UrbFilter::Function(URB_FUNCTION_ABORT_PIPE))) {
    if (passes.empty() || r.submitted - last >= kPause) passes.emplace_back();
    passes.back().push_back(r.endpoint);
    last = r.submitted;
  }
  return passes;
}

// An idle port drains at once, and so does one with only a bulk-in transfer in flight unless all
// transfers are to go; then the bulk-in and the interrupt pipe are aborted on the second pass.
TEST(DrainUsbTransfers, WaitsOnlyForTheTransmitSideUnlessAllTransfersAreToGo) {
  ForEachMachine([](emu::KernelConfig kc) {
    ConfiguredPort m({}, kc);
    auto idle = StartDrain(m, TRUE);
    ASSERT_TRUE(Returns(m, idle, kPass));
    EXPECT_LT(idle->end - idle->start, kMillisecond) << "an idle port must drain at once";

    auto reading = StartPipeTransfer(m, m.ext()->BulkInPipe, true, 32, &m.ext()->BulkInBusy);
    ASSERT_TRUE(m.kernel().RunUntil([&] { return m.usb().PendingTransfers() == 1; }));
    auto drain = StartDrain(m, FALSE);
    ASSERT_TRUE(Returns(m, drain, kPass)) << "the drain did not return";
    EXPECT_LT(drain->end - drain->start, kMillisecond)
        << "with only a bulk-in transfer in flight the drain must not sleep";
    EXPECT_TRUE(AbortsByPass(m).empty()) << "nothing may be aborted";
    EXPECT_FALSE(reading->done) << "the bulk-in transfer must be left running";

    auto status = StartPipeTransfer(m, m.ext()->InterruptPipe, true, 8, &m.ext()->InterruptBusy);
    ASSERT_TRUE(m.kernel().RunUntil([&] { return m.usb().PendingTransfers() == 2; }));
    auto all = StartDrain(m, TRUE);
    ASSERT_TRUE(Returns(m, all, 10 * kPass)) << "the drain did not end after aborting the receive pipes";
    auto passes = AbortsByPass(m);
    ASSERT_EQ(passes.size(), 1u) << "both pipes are aborted on one pass, and that ends them";
    std::sort(passes[0].begin(), passes[0].end());
    EXPECT_EQ(passes[0], (std::vector<uint8_t>{0x81, 0x82}))
        << "the bulk-in and the interrupt pipe are aborted";
    EXPECT_GE(m.usb().UrbsMatching(UrbFilter::Function(URB_FUNCTION_ABORT_PIPE)).front().submitted,
              all->start + kPass)
        << "nothing is aborted on the first pass";
    EXPECT_TRUE(reading->done && status->done) << "the aborts must end both transfers";
    EXPECT_EQ(m.usb().PortResets(), 0u) << "a chip of revision 0x20 or later needs no port reset";
  });
}

TEST(DrainUsbTransfers, OldChipStuckStatusReadResetsTheHubPortOnEveryPassFromTen) {
  ForEachMachine([](emu::KernelConfig kc) {
    ConfiguredPort m(ChipRevision(0x10), kc);
    ASSERT_LT(m.ext()->ChipVersion, 0x20u);
    // The status thread of an old chip polls registers 6 and 7 on the default pipe; this read
    // hangs past pass 16 and port resets do not end it.
    m.usb().SetResetPortCancelsTransfers(false);
    m.usb().DelayCompletions(16 * kPass + 5 * kMillisecond, 1,
                             UrbFilter{URB_FUNCTION_VENDOR_DEVICE, {}, 0x95});
    auto read = std::make_shared<NTSTATUS>(STATUS_PENDING);
    m.kernel().StartSystemThread("status", [&m, read] {
      InterlockedIncrement(&m.ext()->InterruptBusy);
      UCHAR a, b;
      *read = ReadRegisterPair(m.device, 6, &a, 7, &b);
      InterlockedDecrement(&m.ext()->InterruptBusy);
    });
    ASSERT_TRUE(m.kernel().RunUntil([&] { return m.usb().PendingTransfers() == 1; }));

    auto drain = StartDrain(m, TRUE);
    ASSERT_TRUE(Returns(m, drain, 50 * kPass)) << "the drain did not end when the status read completed";
    EXPECT_EQ(*read, STATUS_SUCCESS);
    EXPECT_TRUE(AbortsByPass(m).empty()) << "an old chip's status pipe is not aborted";
    auto resets = m.InternalIoctlTimes(IOCTL_INTERNAL_USB_RESET_PORT);
    ASSERT_GE(resets.size(), 3u) << "the hub port should be reset on several passes";
    EXPECT_GE(resets[0], drain->start + 10 * kPass) << "no reset before pass 10";
    EXPECT_LT(resets[0], drain->start + 11 * kPass) << "the reset must start on pass 10";
    for (size_t i = 1; i < resets.size(); ++i) {
      EXPECT_GE(resets[i] - resets[i - 1], kPause) << "passes are 20 ms apart";
      EXPECT_LT(resets[i] - resets[i - 1], 2 * kPass) << "a pass without a reset";
    }
    EXPECT_EQ(m.usb().PortResets(), resets.size());
  });
}

// With the busy counts held up by hand (transfers that never end), the drain's whole schedule shows:
// bulk-out aborted on every pass from pass 1, bulk-in from pass 5 (once per transfer counted), the
// interrupt pipe only on passes 10 and 30 (on chips below 0x20 the hub port is reset instead),
// until the hub reports the device gone.
void ExpectTransmitDrainSchedule(ULONG chipVersion) {
  const bool abortsInterruptPipe = chipVersion >= 0x20;
  ConfiguredPort m;
  m.ext()->ChipVersion = chipVersion;
  m.ext()->BulkOutBusy = 1;
  m.ext()->BulkInBusy = 2;
  m.ext()->InterruptBusy = 1;
  auto drain = StartDrain(m, FALSE);
  // Aborts take frames, so a pass may outlast its two clock ticks: unplug well after pass 31.
  VirtualTime unplugAt = m.kernel().Now() + 40 * kPass;
  m.kernel().ScheduleDeviceEvent(unplugAt, [&m] { m.usb().Unplug(); });
  ASSERT_TRUE(Returns(m, drain, 44 * kPass)) << "the drain must end once the hub reports the device gone";
  EXPECT_LE(drain->end, unplugAt + 2 * kPass) << "the next pass's query should have ended it";

  auto passes = AbortsByPass(m);
  ASSERT_GE(passes.size(), 31u) << "the drain should have run past pass 30";
  for (size_t i = 0; i < 31; ++i) {
    size_t pass = i + 1;
    std::vector<uint8_t> expected;
    if (pass >= 5) expected = {0x82, 0x82};
    expected.push_back(0x02);
    if (abortsInterruptPipe && (pass == 10 || pass == 30)) expected.push_back(0x81);
    EXPECT_EQ(passes[i], expected) << "wrong aborts on pass " << pass;
  }
  EXPECT_EQ(m.usb().PortResets(), abortsInterruptPipe ? 0u : 2u)
      << "the hub port is reset on passes 10 and 30";
}

TEST(DrainUsbTransfers, TransmitDrainScheduleUntilTheDeviceIsGone) {
  for (ULONG chipVersion : {0x20u, 0x1Fu}) {
    SCOPED_TRACE("ChipVersion " + Hex(chipVersion));
    ExpectTransmitDrainSchedule(chipVersion);
  }
}

// With counts that never drop, only the hub's answer ends the drain: on the first pass when only
// the transmit side is waited for, from pass 2 on with abortAll. Nothing is aborted on a device the
// hub reports gone. A failed query counts as connected.
TEST(DrainUsbTransfers, EndsWhenTheHubReportsTheDeviceGone) {
  // clang-format off
  const struct { const char* what; BOOLEAN abortAll; LONG PORT_EXTENSION::*busy; VirtualTime passes; } cases[] = {
      {"bulk in, abortAll",   TRUE,  &PORT_EXTENSION::BulkInBusy,    2},
      {"interrupt, abortAll", TRUE,  &PORT_EXTENSION::InterruptBusy, 2},
      {"bulk out, abortAll",  TRUE,  &PORT_EXTENSION::BulkOutBusy,   2},
      {"bulk out",            FALSE, &PORT_EXTENSION::BulkOutBusy,   0},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ConfiguredPort m;
    m.ext()->*c.busy = 1;
    m.usb().Unplug();
    auto drain = StartDrain(m, c.abortAll);
    ASSERT_TRUE(Returns(m, drain, 10 * kPass));
    // Kernel calls cost a little virtual time; a pass is two clock ticks.
    EXPECT_NEAR(drain->end - drain->start, c.passes * kPass, kMillisecond)
        << "the drain asked the hub on the wrong pass";
    EXPECT_TRUE(AbortsByPass(m).empty()) << "a pipe of a device reported gone was aborted";
  }
  ConfiguredPort m;
  m.ext()->InterruptBusy = 1;
  m.usb().FailPortStatus(1000, STATUS_UNSUCCESSFUL);
  auto drain = StartDrain(m, TRUE);
  m.kernel().RunFor(5 * kPass + 10 * kMillisecond);  // each abort adds up to a frame
  EXPECT_LT(drain->end, 0) << "a failed query must not end the drain";
  EXPECT_EQ(AbortsByPass(m).size(), 5u) << "the interrupt pipe is aborted on passes 1 to 5";
  m.ext()->InterruptBusy = 0;
  ASSERT_TRUE(Returns(m, drain, 2 * kPass)) << "the drain did not end when nothing was busy";
}

// The pipes are aborted only while the hub's last answer shows the device connected: after a
// query that reported it gone, only a later answer (from pass 2 on with abortAll) brings the
// aborts back, and then only of the pipes that are busy.
TEST(DrainUsbTransfers, AbortsOnlyBusyPipesWhileTheLastAnswerShowsTheDeviceConnected) {
  ConfiguredPort m;
  auto reading = StartPipeTransfer(m, m.ext()->BulkInPipe, true, 32, &m.ext()->BulkInBusy);
  ASSERT_TRUE(m.kernel().RunUntil([&] { return m.usb().PendingTransfers() == 1; }));
  m.usb().FailPortStatus(1, STATUS_DEVICE_NOT_CONNECTED);  // the first query reports the device gone
  auto drain = StartDrain(m, TRUE);
  ASSERT_TRUE(Returns(m, drain, 10 * kPass)) << "the drain did not end once the bulk-in transfer was aborted";
  auto passes = AbortsByPass(m);
  ASSERT_EQ(passes.size(), 1u);
  EXPECT_EQ(passes[0], std::vector<uint8_t>{0x82}) << "only the busy bulk-in pipe is aborted";
  VirtualTime aborted = m.usb().UrbsMatching(UrbFilter::Function(URB_FUNCTION_ABORT_PIPE)).front().submitted;
  EXPECT_GE(aborted, drain->start + 2 * kPass) << "aborted before the hub reported the device connected";
  EXPECT_LT(aborted, drain->start + 3 * kPass) << "not aborted on pass 2, after the hub's second answer";
  EXPECT_TRUE(reading->done);
}

}  // namespace

// A writer that keeps sending starts a new transfer after every abort: the transmit drain gives
// up after a second rather than never returning, while a drain of everything keeps going.
TEST(DrainUsbTransfers, TransmitDrainGivesUpOnAWriterThatKeepsSending) {
  for (BOOLEAN abortAll : {FALSE, TRUE}) {
    SCOPED_TRACE(abortAll ? "abortAll" : "transmit side only");
    ConfiguredPort m;
    m.ext()->BulkOutBusy = 1;
    auto drain = StartDrain(m, abortAll);
    const bool returned = Returns(m, drain, 60 * kPass);
    EXPECT_EQ(!abortAll, returned);
    if (!abortAll) {
      EXPECT_NEAR(drain->end - drain->start, 50 * kPass, 20 * kMillisecond) << "gave up after the wrong time";
    } else {
      m.ext()->BulkOutBusy = 0;
      EXPECT_TRUE(Returns(m, drain, 2 * kPass)) << "the drain did not end when nothing was busy";
    }
  }
}

}  // namespace drvusb_test
