// PendingRequests under a burst of requests admitted from several threads and completed from
// DPCs and from a completing thread, in every schedule.
#include <array>
#include <deque>

#include "driver/request_accounting.h"
#include "driver_fixture.h"

namespace tarnwire::testing {
namespace {

constexpr int kSenders = 4;
constexpr int kRequestsPerSender = 8;

// What the test's dispatch routine shares with the DPCs and the completing thread.
struct Burst {
  std::array<KDPC, kSenders * kRequestsPerSender> dpcs;
  volatile LONG nextDpc = 0;
  KSPIN_LOCK lock;
  std::deque<PIRP> queue;  // requests for the completing thread, under `lock`
  KSEMAPHORE queued;
  LONG peakPending = 0;
};
Burst* g_burst = nullptr;

VOID NTAPI CompleteFromDpc(PKDPC, PVOID context, PVOID irp, PVOID) {
  CompleteRequest(static_cast<PPORT_EXTENSION>(context), static_cast<PIRP>(irp), IO_SERIAL_INCREMENT);
}

// Admits the request and leaves it pending; every other request goes to a DPC, the rest to the
// completing thread.
NTSTATUS NTAPI AdmitAndPend(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = AdmitRequest(device, irp);
  if (status != STATUS_SUCCESS) return status;
  PPORT_EXTENSION ext = PortExtension(device);
  if (ext->PendingRequests > g_burst->peakPending) g_burst->peakPending = ext->PendingRequests;
  IoMarkIrpPending(irp);
  LONG n = InterlockedIncrement(&g_burst->nextDpc) - 1;
  if (n % 2 == 0) {
    KeInitializeDpc(&g_burst->dpcs[n], CompleteFromDpc, ext);
    KeInsertQueueDpc(&g_burst->dpcs[n], irp, NULL);
  } else {
    KIRQL irql;
    KeAcquireSpinLock(&g_burst->lock, &irql);
    g_burst->queue.push_back(irp);
    KeReleaseSpinLock(&g_burst->lock, irql);
    KeReleaseSemaphore(&g_burst->queued, 0, 1, FALSE);
  }
  return STATUS_PENDING;
}

class BurstTest : public DriverTest, public ::testing::WithParamInterface<ScheduleParam> {
 protected:
  BurstTest() : DriverTest(ConfigFor(GetParam())) { g_burst = &burst_; }
  ~BurstTest() override { g_burst = nullptr; }
  Burst burst_;
};

TEST_P(BurstTest, PendingRequestsReturnsToZeroAfterABurstCompletedFromDpcsAndThreads) {
  ASSERT_EQ(STATUS_SUCCESS, Load());
  driver()->MajorFunction[IRP_MJ_WRITE] = AdmitAndPend;
  driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = AdmitAndPend;
  PDEVICE_OBJECT port = AddBridge();
  ASSERT_NE(nullptr, port);
  PPORT_EXTENSION ext = Ext(port);
  ext->Started = TRUE;
  ext->OpenState = PORT_OPEN;
  KeInitializeSpinLock(&burst_.lock);
  KeInitializeSemaphore(&burst_.queued, 0, MAXLONG);

  const int total = kSenders * kRequestsPerSender;
  kernel().StartSystemThread("completer", [&] {
    for (int done = 0; done < total / 2; ++done) {
      KeWaitForSingleObject(&burst_.queued, Executive, KernelMode, FALSE, NULL);
      KIRQL irql;
      KeAcquireSpinLock(&burst_.lock, &irql);
      PIRP irp = burst_.queue.front();
      burst_.queue.pop_front();
      KeReleaseSpinLock(&burst_.lock, irql);
      CompleteRequest(ext, irp, IO_SERIAL_INCREMENT);
    }
  });
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

  EXPECT_EQ(total, succeeded) << "not every request of the burst completed successfully";
  EXPECT_EQ(0, ext->PendingRequests) << "requests still counted after the burst";
  EXPECT_GE(burst_.peakPending, 2) << "the burst never had two requests in flight";
  RemoveAllAndUnload();
}

INSTANTIATE_TEST_SUITE_P(Schedules, BurstTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
