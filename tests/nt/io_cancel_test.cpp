// Cancellation: IoCancelIrp with and without a cancel routine, the state a cancel routine runs
// in, and cancel racing completion under both processor models.
#include "nt/bugcheck_expect.h"
#include "nt/io_test_support.h"
#include "nt/io_util.h"

#include <deque>
#include <set>
#include <vector>

namespace {

using emu::Machine;
using emu::testing::LambdaDriver;
using emu::testing::StubBus;

struct CancelObservation {
  bool called = false;
  bool lockHeld = false;
  KIRQL irqlInRoutine = 0;
  KIRQL cancelIrql = 0xFF;
  bool cancelFlag = false;
};
CancelObservation* g_observation = nullptr;

VOID NTAPI ObservingCancel(PDEVICE_OBJECT, PIRP irp) {
  g_observation->called = true;
  g_observation->lockHeld = emu::IoManager::Current().CancelSpinLockHeld();
  g_observation->irqlInRoutine = KeGetCurrentIrql();
  g_observation->cancelIrql = irp->CancelIrql;
  g_observation->cancelFlag = irp->Cancel != 0;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST(IoCancel, CancelRoutineRunsHoldingTheCancelLockWithCancelIrqlSet) {
  Machine m;
  StubBus bus;
  PDEVICE_OBJECT pdo = m.CreatePhysicalDevice(u"USB\\VID_1234&PID_0001\\6&1", bus);
  CancelObservation seen;
  g_observation = &seen;
  PIRP parked = nullptr;
  bus.handler = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &ObservingCancel);
    parked = irp;
    return STATUS_PENDING;
  };
  NTSTATUS final = STATUS_PENDING;
  m.kernel().StartApplicationThread("caller", [&] {
    final = m.io().SendToStack(pdo, emu::IoRequest{});
  });
  m.kernel().Run();
  ASSERT_NE(parked, nullptr) << "the request must be parked with a cancel routine";
  BOOLEAN result = FALSE;
  ASSERT_TRUE(m.RunInSystemThread("canceller", [&] { result = IoCancelIrp(parked); }));
  m.kernel().Run();
  EXPECT_TRUE(result) << "IoCancelIrp returns TRUE when it called a cancel routine";
  EXPECT_TRUE(seen.called);
  EXPECT_TRUE(seen.lockHeld) << "the cancel routine is entered holding the cancel spin lock";
  EXPECT_EQ(seen.irqlInRoutine, DISPATCH_LEVEL);
  EXPECT_EQ(seen.cancelIrql, PASSIVE_LEVEL) << "CancelIrql is the IRQL to return to";
  EXPECT_TRUE(seen.cancelFlag) << "Irp->Cancel is set before the routine runs";
  EXPECT_FALSE(m.io().CancelSpinLockHeld());
  EXPECT_EQ(final, STATUS_CANCELLED);
}

TEST(IoCancel, WithoutACancelRoutineIoCancelIrpOnlySetsTheFlag) {
  Machine m;
  StubBus bus;
  PDEVICE_OBJECT pdo = m.CreatePhysicalDevice(u"USB\\VID_1234&PID_0001\\6&2", bus);
  PIRP parked = nullptr;
  bus.handler = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    parked = irp;
    return STATUS_PENDING;
  };
  NTSTATUS final = STATUS_PENDING;
  m.kernel().StartApplicationThread("caller", [&] {
    final = m.io().SendToStack(pdo, emu::IoRequest{});
  });
  m.kernel().Run();
  ASSERT_NE(parked, nullptr);
  BOOLEAN result = TRUE;
  ASSERT_TRUE(m.RunInSystemThread("canceller", [&] { result = IoCancelIrp(parked); }));
  EXPECT_FALSE(result) << "no cancel routine: IoCancelIrp returns FALSE";
  EXPECT_TRUE(parked->Cancel) << "but the IRP is marked cancelled";
  EXPECT_FALSE(m.io().CancelSpinLockHeld()) << "and the cancel spin lock is released again";
  EXPECT_EQ(final, STATUS_PENDING) << "the request stays with its driver";
  ASSERT_TRUE(m.RunInSystemThread("completer", [&] {
    parked->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(parked, IO_NO_INCREMENT);
  }));
  m.kernel().Run();
  EXPECT_EQ(final, STATUS_CANCELLED);
}

// A driver that queues requests under the cancel spin lock, the textbook way, and a completer
// thread that drains the queue while requests are being cancelled.
struct QueueingDriver {
  std::deque<PIRP> queue;
  static QueueingDriver* self;

  static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
    auto& q = self->queue;
    for (auto it = q.begin(); it != q.end(); ++it) {
      if (*it == irp) {
        q.erase(it);
        break;
      }
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }

  NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major != IRP_MJ_DEVICE_CONTROL) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
      IoReleaseCancelSpinLock(irql);
      irp->IoStatus.Status = STATUS_CANCELLED;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_CANCELLED;
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
    // In the queue under the lock means its cancel routine has not been called.
    EXPECT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 1;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    return true;
  }
};
QueueingDriver* QueueingDriver::self = nullptr;

TEST(IoCancel, CancelRacingCompletionCompletesEveryRequestExactlyOnce) {
  emu::testing::ForEachProcessorModelAndSeed([](emu::ProcessorModel model, uint64_t seed) {
    Machine m(emu::testing::Config(model, seed));
    StubBus bus;
    PDEVICE_OBJECT pdo = m.CreatePhysicalDevice(u"USB\\VID_1234&PID_0001\\6&3", bus);
    LambdaDriver driver(m, u"queueing");
    QueueingDriver q;
    QueueingDriver::self = &q;
    driver.dispatch = [&](PDEVICE_OBJECT d, PIRP irp) { return q.Dispatch(d, irp); };
    driver.AddDevice(pdo, u"\\Device\\Queueing");

    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(m.Open(u"\\Device\\Queueing", &file), STATUS_SUCCESS);
    constexpr int kRequests = 6;
    std::vector<NTSTATUS> results(kRequests, STATUS_PENDING);
    for (int i = 0; i < kRequests; ++i) {
      m.kernel().StartApplicationThread("app" + std::to_string(i), [&, i] {
        emu::IoRequest r;
        r.ioControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
        results[i] = m.io().SendRequest(file, r);
      });
    }
    int completed = 0;
    m.kernel().StartSystemThread("completer", [&] {
      LARGE_INTEGER tick;
      tick.QuadPart = -emu::kMillisecond;
      for (int round = 0; round < 2 * kRequests; ++round) {
        if (q.CompleteOne()) ++completed;
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
      }
    });
    ULONG cancelled = 0;
    m.kernel().StartApplicationThread("canceller", [&] {
      LARGE_INTEGER wait;
      wait.QuadPart = -3 * emu::kMillisecond;
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
      cancelled = m.io().CancelFileRequests(file);
    });
    m.kernel().Run();

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
    EXPECT_FALSE(m.io().CancelSpinLockHeld());
    EXPECT_EQ(m.Close(file), STATUS_SUCCESS);
    m.kernel().Run();
    EXPECT_EQ(m.io().LiveIrpCount(), 0u);
  });
}

}  // namespace
