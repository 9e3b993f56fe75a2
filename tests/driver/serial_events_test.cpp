// The wait-on-mask request against the serial event routines: refusals, immediate completion,
// a new mask and cancellation while parked, and the races of cancellation, mask changes and the
// status monitor thread with event delivery, under every schedule of the sweep.
#include "tx/serial_events.h"

#include "serial/request_queue.h"
#include "status_fixture.h"
#include "tx/status_monitor.h"

namespace drvusb_test {
namespace {

using emu::kMillisecond;
using test_support::AllSchedules;
using test_support::Scheduled;
using test_support::ScheduleName;

// Records events as the event sources do (those the mask selects, under ControlLock) and hands
// them over.
void RecordAndDeliver(PPORT_EXTENSION ext, ULONG events) {
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  ext->EventHistory |= events & ext->WaitMask;
  KeReleaseSpinLock(&ext->ControlLock, irql);
  DeliverEvents(ext);
}

BOOLEAN CancelIrp(StatusPort& m, PIRP irp) {
  BOOLEAN called = FALSE;
  EXPECT_TRUE(m.machine.RunInApplicationThread("cancel", [&] { called = IoCancelIrp(irp); }));
  return called;
}

TEST(WaitRequests, RefusalsAndAWaitThatFindsEventsRecorded) {
  StatusPort m;
  EXPECT_EQ(m.SetMask(0x1000), STATUS_INVALID_PARAMETER) << "bits above SERIAL_EV_EVENT2 are refused";
  StatusPort::Wait& noMask = m.StartWait();
  EXPECT_EQ(noMask.iosb.Status, STATUS_INVALID_PARAMETER) << "a wait without a mask";

  ASSERT_EQ(m.SetMask(SERIAL_EV_CTS | SERIAL_EV_RLSD), STATUS_SUCCESS);
  m.peer.DriveInputs({.cts = true, .dcd = true});
  m.Settle();
  ASSERT_EQ(m.ext()->EventHistory, (ULONG)(SERIAL_EV_CTS | SERIAL_EV_RLSD));
  ASSERT_EQ(m.SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
  EXPECT_EQ(m.ext()->EventHistory, (ULONG)SERIAL_EV_CTS) << "a new mask keeps only the events it selects";
  StatusPort::Wait& found = m.StartWait();
  EXPECT_EQ(found.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(found.iosb.Information, sizeof(ULONG));
  EXPECT_EQ(found.result, (ULONG)SERIAL_EV_CTS);
  EXPECT_EQ(m.ext()->EventHistory, 0u);

  StatusPort::Wait& parked = m.StartWait();
  EXPECT_EQ(parked.iosb.Status, STATUS_PENDING);
  StatusPort::Wait& second = m.StartWait();
  EXPECT_EQ(second.iosb.Status, STATUS_INVALID_PARAMETER) << "a second wait while one is parked";
  EXPECT_TRUE(CancelIrp(m, parked.irp));
}

TEST(WaitRequests, ANewMaskEndsTheParkedWaitWithZeroAndCancellingEndsItCancelled) {
  const struct {
    const char* what;
    bool cancel;
    NTSTATUS status;
  } cases[] = {{"new mask", false, STATUS_SUCCESS}, {"cancel", true, STATUS_CANCELLED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StatusPort m;
    ASSERT_EQ(m.SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    StatusPort::Wait& w = m.StartWait();
    ASSERT_NE(w.irp, nullptr);
    if (c.cancel) {
      EXPECT_TRUE(CancelIrp(m, w.irp));
    } else {
      EXPECT_EQ(m.SetMask(SERIAL_EV_DSR), STATUS_SUCCESS);
    }
    m.Settle();
    ASSERT_TRUE(w.Done());
    EXPECT_EQ(w.iosb.Status, c.status);
    EXPECT_EQ(w.iosb.Information, sizeof(ULONG));
    // The I/O manager copies the result back only for a successful request.
    EXPECT_EQ(w.result, c.cancel ? 0xFFFFFFFFu : 0u);
    EXPECT_EQ(m.ext()->WaitIrp, nullptr);
  }
}

TEST(WaitRequests, EventsDeliveredBeforeTheDpcRunsJoinOneResult) {
  emu::KernelConfig up = test_support::CurrentConfig();
  up.processors = emu::ProcessorModel::Uniprocessor;  // the DPC cannot run before the IRQL drops
  StatusPort m({}, up);
  ASSERT_EQ(m.SetMask(SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
  StatusPort::Wait& w = m.StartWait();
  m.Call([&] {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    RecordAndDeliver(m.ext(), SERIAL_EV_CTS);
    RecordAndDeliver(m.ext(), SERIAL_EV_DSR);
    KeLowerIrql(irql);
    return STATUS_SUCCESS;
  });
  m.Settle();
  ASSERT_TRUE(w.Done());
  EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(w.result, (ULONG)(SERIAL_EV_CTS | SERIAL_EV_DSR));
}

// --- Races, under every schedule ------------------------------------------------------------------

class EventRace : public ::testing::Test {
 protected:
  explicit EventRace(emu::KernelConfig config) : m({}, config) {}
  StatusPort m;
};
using EventRaceTest = Scheduled<EventRace>;

TEST_P(EventRaceTest, CancelRacingDeliveryAndTheDpcCompletesEachWaitOnce) {
  ASSERT_EQ(m.SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    StatusPort::Wait& w = m.StartWait();
    ASSERT_NE(w.irp, nullptr);
    StatusPort::Wait& next = m.waits.emplace_back();
    next.iosb.Status = STATUS_PENDING;
    m.kernel().StartSystemThread("events", [&] { RecordAndDeliver(m.ext(), SERIAL_EV_CTS); });
    // Cleanup's cancellation (it finds the request in WaitIrp under the cancel spin lock), then
    // the next wait at once, while a WaitDpc of the first may still be queued.
    m.kernel().StartApplicationThread("canceller", [&] {
      CancelWaitRequest(m.device);
      emu::IoRequest request;
      request.ioControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
      request.outputBuffer = &next.result;
      request.outputLength = sizeof next.result;
      m.machine.io().StartRequest(m.file, request, nullptr, &next.iosb);
    });
    m.Settle(5 * kMillisecond);
    ASSERT_TRUE(w.Done());
    EXPECT_EQ(w.iosb.Information, sizeof(ULONG));
    if (w.iosb.Status == STATUS_SUCCESS) {
      EXPECT_EQ(w.result, (ULONG)SERIAL_EV_CTS);
    } else {
      EXPECT_EQ(w.iosb.Status, STATUS_CANCELLED);
    }
    // The next wait finds the event the cancelled one was not given, or stays parked: a WaitDpc
    // left over from the first must not complete it.
    if (next.Done()) {
      EXPECT_EQ(next.iosb.Status, STATUS_SUCCESS);
      EXPECT_EQ(next.result, (ULONG)SERIAL_EV_CTS);
      EXPECT_EQ(m.ext()->WaitIrp, nullptr);
    } else {
      EXPECT_NE(m.ext()->WaitIrp, nullptr);
      m.Call([&] {
        CancelWaitRequest(m.device);
        return STATUS_SUCCESS;
      });
      m.Settle();
      EXPECT_EQ(next.iosb.Status, STATUS_CANCELLED);
    }
    EXPECT_EQ(m.ext()->EventHistory, 0u);
  }
  EXPECT_EQ(m.ext()->PendingRequests, 0);
}

TEST_P(EventRaceTest, AMaskChangeRacingDeliveryNeverLosesTheCompletion) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(m.SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    StatusPort::Wait& w = m.StartWait();
    ASSERT_NE(w.irp, nullptr);
    NTSTATUS maskStatus = STATUS_PENDING;
    m.kernel().StartSystemThread("events", [&] { RecordAndDeliver(m.ext(), SERIAL_EV_CTS); });
    m.kernel().StartApplicationThread("mask", [&] {
      ULONG mask = SERIAL_EV_DSR;
      maskStatus =
          m.machine.DeviceIoControl(m.file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
    });
    m.Settle(5 * kMillisecond);
    EXPECT_EQ(maskStatus, STATUS_SUCCESS);
    ASSERT_TRUE(w.Done()) << "the wait was never completed";
    EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.iosb.Information, sizeof(ULONG));
    EXPECT_TRUE(w.result == 0 || w.result == SERIAL_EV_CTS) << "result " << Hex(w.result);
    EXPECT_EQ(m.ext()->WaitIrp, nullptr);
    EXPECT_EQ(m.ext()->WaitMask, (ULONG)SERIAL_EV_DSR);
  }
  EXPECT_EQ(m.ext()->PendingRequests, 0);
}

TEST_P(EventRaceTest, TheStatusThreadRacingModemStatusReadsKeepsInsertionsWholeAndCompletesOnce) {
  m.ext()->EscapeChar = 0xFE;
  ASSERT_EQ(m.SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
  StatusPort::Wait& w = m.StartWait();
  m.Settle(2 * kMillisecond);
  const emu::VirtualTime now = m.kernel().Now();
  for (int i = 0; i < 4; ++i)
    m.kernel().ScheduleDeviceEvent(now + (i + 1) * kMillisecond, [&, i] { m.peer.DriveCts(i % 2 == 0); });
  size_t readings = 0;
  m.kernel().StartApplicationThread("modem status", [&] {
    for (int i = 0; i < 6; ++i) {
      ULONG status = 0;
      m.machine.DeviceIoControl(m.file, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status);
      readings++;
    }
  });
  ASSERT_TRUE(m.kernel().RunUntil([&] { return readings == 6; }, now + emu::kSecond))
      << "the modem status reads did not finish";
  m.Settle();
  ASSERT_TRUE(w.Done());
  EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(w.result, (ULONG)SERIAL_EV_CTS);
  const std::vector<UCHAR> ring = m.RingBytes();
  ASSERT_EQ(ring.size() % 3, 0u) << "an insertion was split or torn";
  for (size_t i = 0; i < ring.size(); i += 3) {
    EXPECT_EQ(ring[i], 0xFE);
    EXPECT_EQ(ring[i + 1], SERIAL_LSRMST_MST);
    EXPECT_NE(ring[i + 2] & 0x0F, 0) << "only changes are inserted";
  }
  EXPECT_EQ(m.GetModemStatus() & 0xF0, 0x00u) << "CTS ends off";
}

INSTANTIATE_TEST_SUITE_P(Schedules, EventRaceTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace drvusb_test
