// Request accounting: which requests AdmitRequest lets through, and PendingRequests around them.
// The port's own dispatch routines come with later work; here dispatch routines of the test admit
// each request and complete the admitted ones as a dispatch routine of the port would.
#include <algorithm>

#include "driver/request_accounting.h"
#include "driver_fixture.h"

namespace tarnwire::testing {
namespace {

constexpr ULONG_PTR kServedInformation = 7;

NTSTATUS NTAPI AdmitAndServe(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = AdmitRequest(device, irp);
  if (status != STATUS_SUCCESS) return status;
  irp->IoStatus.Information = kServedInformation;
  return CompleteRequest(PortExtension(device), irp, IO_SERIAL_INCREMENT);
}

using AccountingTest = LoadedDriverTest;

TEST_F(AccountingTest, AdmitsOnlyWhileStartedOpenAndNotRemovedAndAppliesTheErrorAbort) {
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_DEVICE_CONTROL})
    driver()->MajorFunction[major] = AdmitAndServe;
  PDEVICE_OBJECT port = AddBridge();
  ASSERT_NE(nullptr, port);
  PPORT_EXTENSION ext = Ext(port);
  // Sends a request (`code` is a device control code, or a write's ByteOffset, which lies where a
  // device control request keeps its code) and checks its outcome and that nothing stays counted.
  auto expect = [&](UCHAR major, ULONG code, NTSTATUS expected) {
    static_assert(offsetof(IO_STACK_LOCATION, Parameters.Write.ByteOffset) ==
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode));
    emu::IoRequest request;
    request.majorFunction = major;
    request.ioControlCode = code;
    request.byteOffset = code;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = ~ULONG_PTR{0};
    ASSERT_TRUE(machine().RunInSystemThread(
        "request", [&] { status = machine().io().SendToStack(port, request, &information); }));
    EXPECT_EQ(expected, status) << "wrong admission";
    EXPECT_EQ(NT_SUCCESS(expected) ? kServedInformation : 0, information)
        << "a refused request must carry no Information";
    EXPECT_EQ(0, ext->PendingRequests) << "the request is still counted after its completion";
  };
  // clang-format off
  const struct { const char* what; BOOLEAN started; UCHAR openState; BOOLEAN removed; NTSTATUS expected; }
  states[] = {
      {"not started",               FALSE, PORT_OPEN,    FALSE, STATUS_INVALID_DEVICE_REQUEST},
      {"started, no handle open",   TRUE,  PORT_CLOSED,  FALSE, STATUS_INVALID_DEVICE_REQUEST},
      {"a handle being opened",     TRUE,  PORT_OPENING, FALSE, STATUS_SUCCESS},
      {"open",                      TRUE,  PORT_OPEN,    FALSE, STATUS_SUCCESS},
      {"removed while open",        TRUE,  PORT_OPEN,    TRUE,  STATUS_DELETE_PENDING},
      {"removed and stopped",       FALSE, PORT_OPEN,    TRUE,  STATUS_DELETE_PENDING},
  };
  // While errors are recorded and the handshake asks for the error abort, only the device
  // control request that reads (and clears) them is admitted.
  const struct { const char* what; UCHAR major; ULONG code; NTSTATUS expected; } aborts[] = {
      {"write",                         IRP_MJ_WRITE,          0,                           STATUS_CANCELLED},
      {"flush",                         IRP_MJ_FLUSH_BUFFERS,  0,                           STATUS_CANCELLED},
      {"purge",                         IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE,          STATUS_CANCELLED},
      {"write at the comm status code", IRP_MJ_WRITE,          IOCTL_SERIAL_GET_COMMSTATUS, STATUS_CANCELLED},
      {"comm status query",             IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_COMMSTATUS, STATUS_SUCCESS},
  };
  // clang-format on
  for (const auto& c : states) {
    SCOPED_TRACE(c.what);
    ext->Started = c.started;
    ext->OpenState = c.openState;
    ext->Removed = c.removed;
    expect(IRP_MJ_READ, 0, c.expected);
  }
  ext->Started = TRUE;
  ext->OpenState = PORT_OPEN;
  ext->Removed = FALSE;
  ext->CommErrors = SERIAL_ERROR_FRAMING;
  expect(IRP_MJ_WRITE, 0, STATUS_SUCCESS);  // errors alone refuse nothing
  ext->HandFlow.ControlHandShake = SERIAL_ERROR_ABORT;
  for (const auto& c : aborts) {
    SCOPED_TRACE(std::string("error abort: ") + c.what);
    expect(c.major, c.code, c.expected);
  }
  ext->CommErrors = 0;
  expect(IRP_MJ_WRITE, 0, STATUS_SUCCESS);  // the error abort alone refuses nothing
}

// A burst admitted from several threads, every other request completed inline and the rest from a
// timer DPC a millisecond later, in every schedule. Virtual time stands still while a sender is
// runnable, so the other senders are admitted while a delayed request is still pending.
volatile LONG g_admitted = 0;
LONG g_peakPending = 0;

struct DelayedCompletion {
  KTIMER timer;
  KDPC dpc;
  PPORT_EXTENSION ext;
  PIRP irp;
};

VOID NTAPI CompleteFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* delayed = static_cast<DelayedCompletion*>(context);
  CompleteRequest(delayed->ext, delayed->irp, IO_SERIAL_INCREMENT);
  delete delayed;  // the timer has expired and its DPC is dequeued before the routine runs
}

NTSTATUS NTAPI AdmitAndCompleteLater(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = AdmitRequest(device, irp);
  if (status != STATUS_SUCCESS) return status;
  PPORT_EXTENSION ext = PortExtension(device);
  g_peakPending = std::max(g_peakPending, LONG{ext->PendingRequests});
  if (InterlockedIncrement(&g_admitted) % 2 == 0) return CompleteRequest(ext, irp, IO_SERIAL_INCREMENT);
  IoMarkIrpPending(irp);
  auto* delayed = new DelayedCompletion{{}, {}, ext, irp};
  KeInitializeTimer(&delayed->timer);
  KeInitializeDpc(&delayed->dpc, CompleteFromDpc, delayed);
  LARGE_INTEGER due;
  due.QuadPart = -ms;
  KeSetTimer(&delayed->timer, due, &delayed->dpc);
  return STATUS_PENDING;
}

using BurstTest = Scheduled<LoadedDriverTest>;

TEST_P(BurstTest, PendingRequestsReturnsToZeroAfterABurst) {
  constexpr int kSenders = 4, kRequestsPerSender = 8;
  g_admitted = 0;
  g_peakPending = 0;
  driver()->MajorFunction[IRP_MJ_WRITE] = AdmitAndCompleteLater;
  driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = AdmitAndCompleteLater;
  PDEVICE_OBJECT port = AddBridge();
  ASSERT_NE(nullptr, port);
  Ext(port)->Started = TRUE;
  Ext(port)->OpenState = PORT_OPEN;
  int succeeded = 0;
  for (int s = 0; s < kSenders; ++s) {
    kernel().StartSystemThread("sender " + std::to_string(s), [&, s] {
      for (int i = 0; i < kRequestsPerSender; ++i) {
        emu::IoRequest request;
        request.majorFunction = (s + i) % 2 ? IRP_MJ_WRITE : IRP_MJ_DEVICE_CONTROL;
        request.ioControlCode = IOCTL_SERIAL_GET_COMMSTATUS;
        succeeded += machine().io().SendToStack(port, request) == STATUS_SUCCESS;
      }
    });
  }
  kernel().Run();
  EXPECT_EQ(kSenders * kRequestsPerSender, succeeded) << "not every request of the burst succeeded";
  EXPECT_EQ(0, Ext(port)->PendingRequests) << "requests still counted after the burst";
  EXPECT_GE(g_peakPending, 2) << "the burst never had two requests in flight";
}

INSTANTIATE_TEST_SUITE_P(Schedules, BurstTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
