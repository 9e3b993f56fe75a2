// IRP completion: the order of completion routines, STATUS_MORE_PROCESSING_REQUIRED, the
// invoke conditions, PendingReturned propagation, and threaded IRPs built by
// IoBuildDeviceIoControlRequest.
#include "nt/bugcheck_expect.h"
#include "nt/io_test_support.h"

#include <string>
#include <vector>

namespace {

using emu::Machine;
using emu::testing::LambdaDriver;
using emu::testing::StubBus;

struct Call {
  std::string who;
  PDEVICE_OBJECT device;
  bool pendingReturned;
};

struct Recorder {
  std::string who;
  std::vector<Call>* log;
  NTSTATUS result = STATUS_CONTINUE_COMPLETION;
  bool markIfPending = true;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* r = static_cast<Recorder*>(context);
  r->log->push_back({r->who, device, irp->PendingReturned != 0});
  if (irp->PendingReturned && r->markIfPending) IoMarkIrpPending(irp);
  return r->result;
}

// Forwards every IRP to `lower` with `r` as completion routine (or none).
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> ForwardTo(PDEVICE_OBJECT* lower, Recorder* r) {
  return [lower, r](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (r != nullptr) IoSetCompletionRoutine(irp, &Record, r, TRUE, TRUE, TRUE);
    return IoCallDriver(*lower, irp);
  };
}

// A bus that keeps the IRP pending and completes it from a system thread.
void PendAndCompleteLater(Machine& m, StubBus& bus, NTSTATUS status) {
  bus.handler = [&m, status](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    m.kernel().StartSystemThread("hardware", [irp, status] {
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
  };
}

struct Stack {
  Machine m;
  StubBus bus;
  PDEVICE_OBJECT pdo;
  LambdaDriver mid{m, u"mid"};
  LambdaDriver top{m, u"top"};
  PDEVICE_OBJECT midDev;
  PDEVICE_OBJECT topDev;
  Stack() {
    pdo = m.CreatePhysicalDevice(u"USB\\VID_1234&PID_0001\\5&1", bus);
    midDev = mid.AddDevice(pdo);
    topDev = top.AddDevice(midDev);
  }
};

TEST(IoCompletion, RoutinesRunBottomUpEachWithTheDeviceOfTheDriverThatSetIt) {
  Stack s;
  std::vector<Call> log;
  Recorder midR{"mid", &log}, topR{"top", &log};
  s.mid.dispatch = ForwardTo(&s.pdo, &midR);
  s.top.dispatch = ForwardTo(&s.midDev, &topR);
  EXPECT_EQ(s.m.SendPnp(s.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_SUCCESS);
  ASSERT_EQ(log.size(), 2u) << "both completion routines must run once";
  EXPECT_EQ(log[0].who, "mid") << "the routine closest to the completing driver runs first";
  EXPECT_EQ(log[0].device, s.midDev) << "a routine gets the device object of the driver that set it";
  EXPECT_EQ(log[1].who, "top");
  EXPECT_EQ(log[1].device, s.topDev);
  EXPECT_FALSE(log[0].pendingReturned) << "nothing was pending";
  EXPECT_EQ(s.m.io().LiveIrpCount(), 0u) << "the I/O manager frees its IRP after completion";
  int calls = 0, completions = 0;
  for (const auto& e : s.m.kernel().TraceEvents()) {
    if (e.category != "irp") continue;
    calls += e.text.rfind("call ", 0) == 0 && e.text.find("IRP_MJ_PNP") != std::string::npos;
    completions += e.text.rfind("complete ", 0) == 0 &&
                   e.text.find("status=0x00000000") != std::string::npos;
  }
  EXPECT_EQ(calls, 3) << "the trace shows the IRP entering each of the three drivers";
  EXPECT_EQ(completions, 1) << "and its completion with the status";
}

NTSTATUS NTAPI SignalAndStop(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(IoCompletion, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  Stack s;
  std::vector<Call> log;
  Recorder topR{"top", &log};
  PendAndCompleteLater(s.m, s.bus, STATUS_SUCCESS);
  bool topRanBeforeMidResumed = true;
  s.mid.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &SignalAndStop, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(s.pdo, irp) == STATUS_PENDING)
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    topRanBeforeMidResumed = !log.empty();
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 7;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  s.top.dispatch = ForwardTo(&s.midDev, &topR);
  ULONG_PTR info = 0;
  EXPECT_EQ(s.m.SendPnp(s.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, {}, &info), STATUS_SUCCESS);
  EXPECT_FALSE(topRanBeforeMidResumed)
      << "STATUS_MORE_PROCESSING_REQUIRED must stop completion below the upper routine";
  ASSERT_EQ(log.size(), 1u) << "the second IoCompleteRequest must resume the walk once";
  EXPECT_FALSE(log[0].pendingReturned)
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
      {"error, invoke on success and cancel only", STATUS_UNSUCCESSFUL, false, true, false, true,
       false},
      {"cancelled, invoke on cancel", STATUS_CANCELLED, true, false, false, true, true},
      {"cancelled, invoke on success only", STATUS_CANCELLED, true, true, false, false, false},
      {"cancel flag with a success status, invoke on cancel", STATUS_SUCCESS, true, false, false,
       true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Stack s;
    std::vector<Call> log;
    Recorder r{"top", &log};
    s.bus.handler = [&](PDEVICE_OBJECT, PIRP irp) {
      irp->Cancel = c.cancel;
      irp->IoStatus.Status = c.status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return c.status;
    };
    s.mid.dispatch = ForwardTo(&s.pdo, nullptr);
    s.top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, &Record, &r, c.onSuccess, c.onError, c.onCancel);
      return IoCallDriver(s.midDev, irp);
    };
    EXPECT_EQ(s.m.SendPnp(s.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE), c.status);
    EXPECT_EQ(!log.empty(), c.expectCalled) << "completion routine invocation";
  }
}

TEST(IoCompletion, PendingReturnedPropagatesThroughLocationsWithoutRoutines) {
  Stack s;
  std::vector<Call> log;
  Recorder topR{"top", &log};
  PendAndCompleteLater(s.m, s.bus, STATUS_SUCCESS);
  s.mid.dispatch = ForwardTo(&s.pdo, nullptr);  // no routine: the I/O manager marks mid's location
  s.top.dispatch = ForwardTo(&s.midDev, &topR);  // its routine marks top's location
  EXPECT_EQ(s.m.SendPnp(s.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_SUCCESS);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].pendingReturned)
      << "the bus returned STATUS_PENDING: PendingReturned must reach the top routine";
}

TEST(IoCompletion, ARoutineIgnoringPendingReturnedBreaksThePendingRule) {
  Stack s;
  std::vector<Call> log;
  Recorder topR{"top", &log};
  topR.markIfPending = false;  // the classic bug: the dispatch returns STATUS_PENDING unmarked
  PendAndCompleteLater(s.m, s.bus, STATUS_SUCCESS);
  s.mid.dispatch = ForwardTo(&s.pdo, nullptr);
  s.top.dispatch = ForwardTo(&s.midDev, &topR);
  EXPECT_BUGCHECK_THAT(
      emu::bugcheck::kDriverVerifierIoManagerViolation,
      s.m.SendPnp(s.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE),
      EXPECT_EQ(bugcheck.params[0], emu::iov::kPendingNotMarked);
      EXPECT_EQ(bugcheck.params[3], reinterpret_cast<ULONG_PTR>(s.topDev))
          << "the device whose dispatch returned STATUS_PENDING");
}

TEST(IoCompletion, ThreadedIrpCopiesOutputSetsStatusBlockAndEventAndIsFreed) {
  for (bool pend : {false, true}) {
    SCOPED_TRACE(pend ? "completed later" : "completed in the dispatch routine");
    Machine m;
    StubBus bus;
    PDEVICE_OBJECT pdo = m.CreatePhysicalDevice(u"USB\\VID_1234&PID_0001\\5&2", bus);
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    bus.handler = [&](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
      EXPECT_EQ(sp->MajorFunction, IRP_MJ_DEVICE_CONTROL);
      EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, code);
      auto finish = [irp] {
        auto* buf = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
        buf[0] *= 3;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = sizeof(ULONG);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      };
      if (!pend) {
        finish();
        return STATUS_SUCCESS;
      }
      IoMarkIrpPending(irp);
      m.kernel().StartSystemThread("hardware", finish);
      return STATUS_PENDING;
    };
    ULONG in = 5, out = 0;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS returned = STATUS_UNSUCCESSFUL;
    ASSERT_TRUE(m.RunInSystemThread("caller", [&] {
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      iosb.Status = STATUS_UNSUCCESSFUL;
      PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, &in, sizeof in, &out, sizeof out, FALSE,
                                               &event, &iosb);
      ASSERT_NE(irp, nullptr);
      returned = IoCallDriver(pdo, irp);
      if (returned == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }));
    EXPECT_EQ(returned, pend ? STATUS_PENDING : STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS) << "the status block gets the final status";
    EXPECT_EQ(iosb.Information, sizeof(ULONG));
    EXPECT_EQ(out, 15u) << "buffered output is copied back to the caller's buffer";
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "the event is set even without STATUS_PENDING";
    EXPECT_EQ(m.io().LiveIrpCount(), 0u) << "the I/O manager frees a threaded IRP";
  }
}

TEST(IoCompletion, IrpAllocationFailsWhenResourcesRunLow) {
  Machine m;
  StubBus bus;
  PDEVICE_OBJECT pdo = m.CreatePhysicalDevice(u"USB\\VID_1234&PID_0001\\5&3", bus);
  m.kernel().FailIrpAllocations(2);
  ASSERT_TRUE(m.RunInSystemThread("driver", [&] {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220003, pdo, nullptr, 0, nullptr, 0, TRUE, &event,
                                            &iosb),
              nullptr);
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(irp, nullptr) << "only the requested number of allocations fail";
    if (irp != nullptr) IoFreeIrp(irp);
  }));
  EXPECT_EQ(m.io().LiveIrpCount(), 0u);
}

}  // namespace
