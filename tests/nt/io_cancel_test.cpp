// Cancellation: IoCancelIrp with and without a cancel routine, the state a cancel routine runs
// in, and cancel racing completion under both processor models.
#include <algorithm>
#include <deque>
#include <vector>

#include "nt/io_test_support.h"
#include "nt/io_util.h"

namespace {

using emu::Machine;
using emu::testing::Complete;
using emu::testing::LambdaDriver;
using emu::testing::PdoRig;

struct CancelObservation {
  bool called = false;
  bool lockHeld = false;
  KIRQL irql = 0;
  KIRQL cancelIrql = 0xFF;
  bool cancelFlag = false;
} g_seen;

VOID NTAPI ObservingCancel(PDEVICE_OBJECT, PIRP irp) {
  g_seen = {true, emu::IoManager::Current().CancelSpinLockHeld(), KeGetCurrentIrql(), irp->CancelIrql,
            irp->Cancel != 0};
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

TEST(IoCancel, IoCancelIrpCallsTheCancelRoutineOrOnlySetsTheFlag) {
  for (bool withRoutine : {true, false}) {
    SCOPED_TRACE(withRoutine ? "with a cancel routine" : "without a cancel routine");
    PdoRig r;
    PIRP parked = nullptr;
    r.ParkNext(&parked, withRoutine ? &ObservingCancel : nullptr);
    NTSTATUS final = STATUS_PENDING;
    r.m.kernel().StartApplicationThread("caller", [&] { final = r.m.io().SendToStack(r.pdo, {}); });
    r.m.kernel().Run();
    ASSERT_NE(parked, nullptr) << "the request must be parked";
    g_seen = {};
    BOOLEAN result = !withRoutine;
    ASSERT_TRUE(r.m.RunInSystemThread("canceller", [&] { result = IoCancelIrp(parked); }));
    // Well within the time a cancelled request may take (the driver completes it below).
    r.m.kernel().RunFor(emu::kSecond);
    EXPECT_EQ(result, withRoutine) << "IoCancelIrp returns whether it called a cancel routine";
    EXPECT_FALSE(r.m.io().CancelSpinLockHeld()) << "the cancel spin lock is free afterwards";
    if (withRoutine) {
      EXPECT_TRUE(g_seen.called);
      EXPECT_TRUE(g_seen.lockHeld) << "the cancel routine is entered holding the cancel spin lock";
      EXPECT_EQ(g_seen.irql, DISPATCH_LEVEL);
      EXPECT_EQ(g_seen.cancelIrql, PASSIVE_LEVEL) << "CancelIrql is the IRQL to return to";
      EXPECT_TRUE(g_seen.cancelFlag) << "Irp->Cancel is set before the routine runs";
    } else {
      EXPECT_TRUE(parked->Cancel) << "the IRP is marked cancelled all the same";
      EXPECT_EQ(final, STATUS_PENDING) << "the request stays with its driver";
      ASSERT_TRUE(r.m.RunInSystemThread("completer", [&] { Complete(parked, STATUS_CANCELLED); }));
      r.m.kernel().Run();
    }
    EXPECT_EQ(final, STATUS_CANCELLED);
  }
}

// A driver that queues requests under the cancel spin lock, the textbook way, and completes
// them from a thread while requests are being cancelled.
struct QueueingDriver {
  std::deque<PIRP> queue;
  static inline QueueingDriver* self = nullptr;

  static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
    auto& q = self->queue;
    q.erase(std::find(q.begin(), q.end(), irp));
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
  }

  NTSTATUS Dispatch(PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
      return Complete(irp, STATUS_SUCCESS);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
      IoReleaseCancelSpinLock(irql);
      return Complete(irp, STATUS_CANCELLED);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &Cancel);
    queue.push_back(irp);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  }

  // Completes one queued request, if any; false when the queue was empty.
  bool CompleteOne() {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (queue.empty()) {
      IoReleaseCancelSpinLock(irql);
      return false;
    }
    PIRP irp = queue.front();
    queue.pop_front();
    EXPECT_NE(IoSetCancelRoutine(irp, nullptr), nullptr)
        << "a request still queued under the lock cannot have had its cancel routine called";
    IoReleaseCancelSpinLock(irql);
    Complete(irp, STATUS_SUCCESS, 1);
    return true;
  }
};

TEST(IoCancel, CancelRacingCompletionCompletesEveryRequestExactlyOnce) {
  emu::testing::ForEachMachine([](const emu::KernelConfig& config) {
    PdoRig r(config);
    LambdaDriver driver(r.m, u"queueing");
    QueueingDriver q;
    QueueingDriver::self = &q;
    driver.dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return q.Dispatch(irp); };
    driver.AddDevice(r.pdo, u"\\Device\\Queueing");
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(r.m.Open(u"\\Device\\Queueing", &file), STATUS_SUCCESS);
    constexpr int kRequests = 6;
    std::vector<NTSTATUS> results(kRequests, STATUS_PENDING);
    for (int i = 0; i < kRequests; ++i) {
      r.m.kernel().StartApplicationThread("app" + std::to_string(i), [&, i] {
        emu::IoRequest req;
        req.ioControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
        results[i] = r.m.io().SendRequest(file, req);
      });
    }
    int completed = 0;
    r.m.kernel().StartSystemThread("completer", [&] {
      for (int round = 0; round < 2 * kRequests; ++round) {
        completed += q.CompleteOne();
        emu::testing::Delay(emu::kMillisecond);
      }
    });
    ULONG cancelled = 0;
    r.m.kernel().StartApplicationThread("canceller", [&] {
      emu::testing::Delay(3 * emu::kMillisecond);
      cancelled = r.m.io().CancelFileRequests(file);
    });
    r.m.kernel().Run();

    int ok = 0, cancelledResults = 0;
    for (NTSTATUS s : results) {
      EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED)
          << "every request must finish, got " << emu::HexStatus(s);
      ok += s == STATUS_SUCCESS;
      cancelledResults += s == STATUS_CANCELLED;
    }
    EXPECT_EQ(ok, completed) << "each completion by the driver reached its caller once";
    EXPECT_EQ(static_cast<ULONG>(cancelledResults), cancelled)
        << "each cancel routine call cancelled one request";
    EXPECT_TRUE(q.queue.empty());
    EXPECT_FALSE(r.m.io().CancelSpinLockHeld());
    EXPECT_EQ(r.m.Close(file), STATUS_SUCCESS);
    r.m.kernel().Run();
    EXPECT_EQ(r.m.io().LiveIrpCount(), 0u);
  });
}

}  // namespace
