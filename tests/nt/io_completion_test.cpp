// IRP completion: the order of completion routines, STATUS_MORE_PROCESSING_REQUIRED, the
// invoke conditions, PendingReturned propagation, and threaded IRPs built by
// IoBuildDeviceIoControlRequest.
#include <string>
#include <vector>

#include "nt/io_test_support.h"

namespace {

using emu::testing::Complete;
using emu::testing::DispatchFn;
using emu::testing::LambdaDriver;
using emu::testing::PdoRig;

struct Call {
  std::string who;
  PDEVICE_OBJECT device;
  bool pendingReturned;
};

struct Recorder {
  std::string who;
  std::vector<Call>* log;
  bool markIfPending = true;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* r = static_cast<Recorder*>(context);
  r->log->push_back({r->who, device, irp->PendingReturned != 0});
  if (irp->PendingReturned && r->markIfPending) IoMarkIrpPending(irp);
  return STATUS_CONTINUE_COMPLETION;
}

// Forwards every IRP to `lower` with `r` as completion routine (or none).
DispatchFn ForwardTo(PDEVICE_OBJECT* lower, Recorder* r) {
  return [lower, r](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (r != nullptr) IoSetCompletionRoutine(irp, &Record, r, TRUE, TRUE, TRUE);
    return IoCallDriver(*lower, irp);
  };
}

// PDO, a middle and a top driver; `pend` makes the bus complete later from a system thread.
struct Stack : PdoRig {
  LambdaDriver mid{m, u"mid"};
  LambdaDriver top{m, u"top"};
  PDEVICE_OBJECT midDev = mid.AddDevice(pdo);
  PDEVICE_OBJECT topDev = top.AddDevice(midDev);
  std::vector<Call> log;
  explicit Stack(bool pend = false) {
    if (!pend) return;
    bus.handler = [this](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      m.kernel().StartSystemThread("hardware", [irp] { Complete(irp, STATUS_SUCCESS); });
      return STATUS_PENDING;
    };
  }
  NTSTATUS Send(ULONG_PTR* info = nullptr) { return m.SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, {}, info); }
};

TEST(IoCompletion, RoutinesRunBottomUpEachWithTheDeviceOfTheDriverThatSetIt) {
  Stack s;
  Recorder midR{"mid", &s.log}, topR{"top", &s.log};
  s.mid.dispatch = ForwardTo(&s.pdo, &midR);
  s.top.dispatch = ForwardTo(&s.midDev, &topR);
  EXPECT_EQ(s.Send(), STATUS_SUCCESS);
  ASSERT_EQ(s.log.size(), 2u) << "both completion routines must run once";
  EXPECT_EQ(s.log[0].who, "mid") << "the routine closest to the completing driver runs first";
  EXPECT_EQ(s.log[0].device, s.midDev) << "a routine gets the device of the driver that set it";
  EXPECT_EQ(s.log[1].device, s.topDev);
  EXPECT_FALSE(s.log[0].pendingReturned) << "nothing was pending";
  EXPECT_EQ(s.m.io().LiveIrpCount(), 0u) << "the I/O manager frees its IRP after completion";
  int calls = 0, completions = 0;
  for (const auto& e : s.m.kernel().TraceEvents()) {
    if (e.category != "irp") continue;
    calls += e.text.rfind("call ", 0) == 0 && e.text.find("IRP_MJ_PNP") != std::string::npos;
    completions += e.text.rfind("complete ", 0) == 0 && e.text.find("status=0x00000000") != std::string::npos;
  }
  EXPECT_EQ(calls, 3) << "the trace shows the IRP entering each of the three drivers";
  EXPECT_EQ(completions, 1) << "and its completion with the status";
}

NTSTATUS NTAPI SignalAndStop(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(IoCompletion, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  Stack s(/*pend=*/true);
  Recorder topR{"top", &s.log};
  bool topRanBeforeMidResumed = true;
  s.mid.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &SignalAndStop, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(s.pdo, irp) == STATUS_PENDING) emu::testing::WaitOn(&done);
    topRanBeforeMidResumed = !s.log.empty();
    return Complete(irp, STATUS_SUCCESS, 7);
  };
  s.top.dispatch = ForwardTo(&s.midDev, &topR);
  ULONG_PTR info = 0;
  EXPECT_EQ(s.Send(&info), STATUS_SUCCESS);
  EXPECT_FALSE(topRanBeforeMidResumed)
      << "STATUS_MORE_PROCESSING_REQUIRED must stop completion below the upper routine";
  ASSERT_EQ(s.log.size(), 1u) << "the second IoCompleteRequest must resume the walk once";
  EXPECT_FALSE(s.log[0].pendingReturned)
      << "the middle driver completed synchronously, so PendingReturned is clear above it";
  EXPECT_EQ(info, 7u);
}

TEST(IoCompletion, InvokeConditionsSelectWhichRoutinesRun) {
  struct Case {
    const char* what;
    NTSTATUS status;
    bool cancel;
    bool onSuccess, onError, onCancel;
    bool expectCalled;
  };
  const Case cases[] = {
      {"success, invoke on success", STATUS_SUCCESS, false, true, false, false, true},
      {"success, invoke on error and cancel only", STATUS_SUCCESS, false, false, true, true, false},
      {"error, invoke on error", STATUS_UNSUCCESSFUL, false, false, true, false, true},
      {"error, invoke on success and cancel only", STATUS_UNSUCCESSFUL, false, true, false, true, false},
      {"cancelled, invoke on cancel", STATUS_CANCELLED, true, false, false, true, true},
      {"cancelled, invoke on success only", STATUS_CANCELLED, true, true, false, false, false},
      {"cancel flag with a success status, invoke on cancel", STATUS_SUCCESS, true, false, false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Stack s;
    Recorder r{"top", &s.log};
    s.bus.handler = [&](PDEVICE_OBJECT, PIRP irp) {
      irp->Cancel = c.cancel;
      return Complete(irp, c.status);
    };
    s.mid.dispatch = ForwardTo(&s.pdo, nullptr);
    s.top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, &Record, &r, c.onSuccess, c.onError, c.onCancel);
      return IoCallDriver(s.midDev, irp);
    };
    EXPECT_EQ(s.Send(), c.status);
    EXPECT_EQ(!s.log.empty(), c.expectCalled) << "completion routine invocation";
  }
}

TEST(IoCompletion, PendingReturnedPropagatesAndARoutineIgnoringItBreaksThePendingRule) {
  for (bool markIfPending : {true, false}) {
    Stack s(/*pend=*/true);
    Recorder topR{"top", &s.log, markIfPending};
    s.mid.dispatch = ForwardTo(&s.pdo, nullptr);   // no routine: the I/O manager marks mid
    s.top.dispatch = ForwardTo(&s.midDev, &topR);  // its routine must mark top's location
    if (markIfPending) {
      EXPECT_EQ(s.Send(), STATUS_SUCCESS);
      ASSERT_EQ(s.log.size(), 1u);
      EXPECT_TRUE(s.log[0].pendingReturned)
          << "the bus returned STATUS_PENDING: PendingReturned must reach the top routine";
    } else {
      // The classic bug: the top dispatch returns STATUS_PENDING without the mark.
      EXPECT_BUGCHECK_THAT(emu::bugcheck::kDriverVerifierIoManagerViolation, s.Send(),
                           EXPECT_EQ(bugcheck.params[0], emu::iov::kPendingNotMarked);
                           EXPECT_EQ(bugcheck.params[3], emu::testing::Addr(s.topDev))
                           << "the device whose dispatch returned STATUS_PENDING");
    }
  }
}

TEST(IoCompletion, ThreadedIrpCopiesOutputSetsStatusBlockAndEventAndIsFreed) {
  for (bool pend : {false, true}) {
    SCOPED_TRACE(pend ? "completed later" : "completed in the dispatch routine");
    PdoRig r;
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    r.bus.handler = [&](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
      EXPECT_EQ(sp->MajorFunction, IRP_MJ_DEVICE_CONTROL);
      EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, code);
      auto finish = [irp] {
        static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer)[0] *= 3;
        Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
      };
      if (!pend) {
        finish();
        return STATUS_SUCCESS;
      }
      IoMarkIrpPending(irp);
      r.m.kernel().StartSystemThread("hardware", finish);
      return STATUS_PENDING;
    };
    ULONG in = 5, out = 0;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS returned = STATUS_UNSUCCESSFUL;
    ASSERT_TRUE(r.m.RunInSystemThread("caller", [&] {
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      iosb.Status = STATUS_UNSUCCESSFUL;
      PIRP irp =
          IoBuildDeviceIoControlRequest(code, r.pdo, &in, sizeof in, &out, sizeof out, FALSE, &event, &iosb);
      ASSERT_NE(irp, nullptr);
      returned = IoCallDriver(r.pdo, irp);
      if (returned == STATUS_PENDING) emu::testing::WaitOn(&event);
    }));
    EXPECT_EQ(returned, pend ? STATUS_PENDING : STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS) << "the status block gets the final status";
    EXPECT_EQ(iosb.Information, sizeof(ULONG));
    EXPECT_EQ(out, 15u) << "buffered output is copied back to the caller's buffer";
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "the event is set even without STATUS_PENDING";
    EXPECT_EQ(r.m.io().LiveIrpCount(), 0u) << "the I/O manager frees a threaded IRP";
  }
}

}  // namespace
