// Request queues: start or queue, arrival order, TxPending, and exactly-once completion under every
// cancel path (queued request, parked and busy current request, purge-style cancel-all, the
// wait-on-mask request), alone and racing the service code's completions.
#include "driver/request_accounting.h"
#include "nt/io_util.h"
#include "queue_fixture.h"

namespace tarnwire::testing {
namespace {

TEST_F(QueueTest, AnIdleQueueStartsAtOnceAndABusyOneServesInArrivalOrder) {
  Put({'a', 'b', 'c'});
  reads().service = Service::Immediate;
  size_t first = Start(IRP_MJ_READ, 10);
  EXPECT_EQ(STATUS_SUCCESS, Status(first).Status) << "an idle queue's read did not start at once";
  EXPECT_EQ(3u, Status(first).Information);
  EXPECT_EQ(nullptr, ext()->CurrentRead);

  reads().service = Service::Park;
  size_t r[4];
  for (size_t& i : r) i = Start(IRP_MJ_READ, 1);
  EXPECT_EQ(Irp(r[0]), ext()->CurrentRead);
  EXPECT_EQ(Irp(r[0]), ext()->ReadParked);
  EXPECT_TRUE(Cancel(r[2])) << "a queued request had no cancel routine";
  for (int i = 0; i < 3; ++i) InThread([&] { EXPECT_TRUE(Finish(reads())); });
  kernel().Run();
  // clang-format off
  const struct { size_t request; NTSTATUS status; ULONG_PTR information; } expected[] = {
      {r[0], STATUS_SUCCESS, 1}, {r[1], STATUS_SUCCESS, 2}, {r[2], STATUS_CANCELLED, 0}, {r[3], STATUS_SUCCESS, 3}};
  // clang-format on
  for (const auto& e : expected) {
    SCOPED_TRACE("request " + std::to_string(e.request));
    EXPECT_EQ(e.status, Status(e.request).Status);
    EXPECT_EQ(e.information, Status(e.request).Information) << "served out of arrival order";
  }
  EXPECT_EQ(nullptr, ext()->CurrentRead);
  EXPECT_EQ(nullptr, ext()->ReadParked) << "the parked marker outlived its request";
  EXPECT_TRUE(IsListEmpty(&ext()->ReadQueue));
  InThread([&] { AdvanceQueue(&ext()->CurrentRead, &ext()->ReadQueue, ext()); });
  EXPECT_EQ(nullptr, ext()->CurrentRead) << "advancing an empty queue made something current";
}

TEST_F(QueueTest, TxPendingCountsQueuedTransmitRequestsUntilTheyAreCancelled) {
  size_t current = Start(IRP_MJ_WRITE, 7);
  ASSERT_EQ(7u, ext()->TxPending);
  // clang-format off
  const struct { const char* what; UCHAR major; ULONG length; ULONG share; } cases[] = {
      {"write of 100 bytes",   IRP_MJ_WRITE,          100, 100},
      {"XOFF-counter request", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_XOFF_COUNTER, 1},
      {"flush",                IRP_MJ_FLUSH_BUFFERS,  0, 0},
  };
  // clang-format on
  driver()->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = driver()->MajorFunction[IRP_MJ_WRITE];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    size_t queued = Start(c.major, c.length);
    EXPECT_EQ(7u + c.share, ext()->TxPending) << "entering the queue";
    EXPECT_TRUE(Cancel(queued));
    EXPECT_EQ(STATUS_CANCELLED, Status(queued).Status);
    EXPECT_EQ(7u, ext()->TxPending) << "cancelling it while queued";
  }
  EXPECT_EQ(Irp(current), ext()->CurrentWrite) << "cancelling queued requests touched the current one";
  InThread([&] { EXPECT_TRUE(Finish(transmit())); });
  EXPECT_EQ(STATUS_SUCCESS, Status(current).Status);
  EXPECT_EQ(0u, ext()->TxPending);
}

TEST_F(QueueTest, ARequestCancelledBeforeItArrivesNeverEntersTheQueue) {
  cancelOnArrival = true;
  size_t w = Start(IRP_MJ_WRITE, 5);
  EXPECT_EQ(STATUS_CANCELLED, Status(w).Status);
  EXPECT_EQ(nullptr, ext()->CurrentWrite);
  EXPECT_EQ(0u, ext()->TxPending) << "a request cancelled on entry was counted as pending";
}

// Cancelling a direction as purge, cleanup and removal do: every queued request cancelled with no
// bytes; the current one through its cancel routine when parked, otherwise only flagged and then
// finished as cancelled by its service code.
TEST_F(QueueTest, CancelAllCancelsTheQueueAndTheCurrentRequestByItsState) {
  for (Service service : {Service::Park, Service::Busy}) {
    SCOPED_TRACE(service == Service::Park ? "parked current read" : "busy current read");
    reads().service = service;
    size_t current = Start(IRP_MJ_READ, 4);
    size_t q1 = Start(IRP_MJ_READ, 4), q2 = Start(IRP_MJ_READ, 4);
    InThread([&] {
      KIRQL irql;
      KeRaiseIrql(DISPATCH_LEVEL, &irql);  // the purge cancels at DISPATCH_LEVEL
      CancelAllRequests(port(), &ext()->ReadQueue, &ext()->CurrentRead);
      KeLowerIrql(irql);
    });
    for (size_t q : {q1, q2}) {
      EXPECT_EQ(STATUS_CANCELLED, Status(q).Status);
      EXPECT_EQ(0u, Status(q).Information);
    }
    EXPECT_TRUE(IsListEmpty(&ext()->ReadQueue));
    if (service == Service::Busy) {
      EXPECT_EQ(Irp(current), ext()->CurrentRead) << "a busy current request was taken from its code";
      EXPECT_TRUE(Irp(current)->Cancel);
      EXPECT_EQ(STATUS_PENDING, Status(current).Status);
      InThread([&] { EXPECT_TRUE(Finish(reads())); });
    }
    EXPECT_EQ(STATUS_CANCELLED, Status(current).Status);
    EXPECT_EQ(nullptr, ext()->CurrentRead);
    EXPECT_EQ(nullptr, ext()->ReadParked);
    EXPECT_EQ(0, ext()->PendingRequests);
  }
}

TEST_F(QueueTest, CancelWaitCancelsTheWaitThroughItsRoutineOnly) {
  InThread([&] { CancelWaitRequest(port()); });  // no wait request: nothing to do
  size_t wait = Start(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK);
  ASSERT_EQ(Irp(wait), ext()->WaitIrp);
  InThread([&] { CancelWaitRequest(port()); });
  EXPECT_EQ(STATUS_CANCELLED, Status(wait).Status);
  EXPECT_EQ(nullptr, ext()->WaitIrp);

  // A wait whose completion has already taken its cancel routine is only flagged.
  wait = Start(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK);
  PIRP irp = Irp(wait);
  ASSERT_NE(nullptr, IoSetCancelRoutine(irp, nullptr));
  InThread([&] { CancelWaitRequest(port()); });
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(STATUS_PENDING, Status(wait).Status) << "a wait without cancel routine was completed";
  InThread([&] {
    ext()->WaitIrp = nullptr;
    irp->IoStatus.Status = STATUS_SUCCESS;
    CompleteRequest(ext(), irp, IO_SERIAL_INCREMENT);
  });
  EXPECT_EQ(STATUS_SUCCESS, Status(wait).Status);
}

TEST_F(QueueTest, AStillPendingRequestLeavesTheSlotWithoutCompletion) {
  reads().service = Service::Busy;
  size_t current = Start(IRP_MJ_READ, 4);
  PIRP irp = Irp(current);
  InThread([&] {
    irp->IoStatus.Status = STATUS_PENDING;  // handed over to a slot of its own
    AdvanceQueue(&ext()->CurrentRead, &ext()->ReadQueue, ext());
  });
  EXPECT_EQ(nullptr, ext()->CurrentRead);
  EXPECT_EQ(STATUS_PENDING, Status(current).Status) << "a handed-over request was completed";
  InThread([&] {
    irp->IoStatus.Status = STATUS_SUCCESS;
    CompleteRequest(ext(), irp, IO_SERIAL_INCREMENT);
  });
}

// Reads and writes queued from application threads while the service code finishes current
// requests and a canceller cancels single requests and then each whole direction: every request
// ends exactly once (the verifier stops a second completion), successes in arrival order.
using QueueRaceTest = Scheduled<QueueTest>;

TEST_P(QueueRaceTest, CancelsRacingCompletionsEndEveryRequestOnce) {
  constexpr int kPerDirection = 5;
  std::vector<size_t> requests;
  for (int i = 0; i < kPerDirection; ++i) {
    requests.push_back(Start(IRP_MJ_READ, 8));
    requests.push_back(Start(IRP_MJ_WRITE, 8));
  }
  int finished = 0;
  kernel().StartSystemThread("service", [&] {
    for (int round = 0; round < kPerDirection; ++round) {
      KIRQL irql;
      KeRaiseIrql(DISPATCH_LEVEL, &irql);  // completion paths run in DPCs
      finished += Finish(reads());
      finished += Finish(transmit());
      KeLowerIrql(irql);
      LARGE_INTEGER due;
      due.QuadPart = -ms;
      KeDelayExecutionThread(KernelMode, FALSE, &due);
    }
  });
  kernel().StartApplicationThread("canceller", [&] {
    IoCancelIrp(Irp(requests[3]));
    IoCancelIrp(Irp(requests[6]));
    LARGE_INTEGER due;
    due.QuadPart = -2 * ms;
    KeDelayExecutionThread(KernelMode, FALSE, &due);
    CancelAllRequests(port(), &ext()->ReadQueue, &ext()->CurrentRead);
    CancelAllRequests(port(), &ext()->WriteQueue, &ext()->CurrentWrite);
  });
  kernel().Run();
  int succeeded = 0;
  ULONG_PTR lastRead = 0, lastWrite = 0;
  for (size_t i = 0; i < requests.size(); ++i) {
    const IO_STATUS_BLOCK& s = Status(requests[i]);
    ASSERT_TRUE(s.Status == STATUS_SUCCESS || s.Status == STATUS_CANCELLED)
        << "request " << i << " ended with " << emu::HexStatus(s.Status);
    if (s.Status != STATUS_SUCCESS) continue;
    ++succeeded;
    ULONG_PTR& last = i % 2 ? lastWrite : lastRead;
    EXPECT_GT(s.Information, last) << "request " << i << " was served out of arrival order";
    last = s.Information;
  }
  EXPECT_EQ(finished, succeeded) << "a finished request did not reach its caller as a success";
  EXPECT_EQ(STATUS_CANCELLED, Status(requests[3]).Status);
  EXPECT_EQ(STATUS_CANCELLED, Status(requests[6]).Status);
  EXPECT_EQ(nullptr, ext()->CurrentRead);
  EXPECT_EQ(nullptr, ext()->CurrentWrite);
  EXPECT_EQ(0u, ext()->TxPending) << "bytes of cancelled writes are still counted";
}

INSTANTIATE_TEST_SUITE_P(Schedules, QueueRaceTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
