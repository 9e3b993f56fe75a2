#include "queue_fixture.h"

#include "driver/request_accounting.h"

namespace tarnwire::testing {
namespace {

ULONG_PTR g_sequence = 0;

Direction& DirectionOf(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ ? QueueTest::self->reads()
                                                                         : QueueTest::self->transmit();
}

VOID NTAPI CancelParked(PDEVICE_OBJECT, PIRP irp);

// A request leaves the current slot of the transmit direction: the bytes it stood for are no
// longer pending (the transmit path's own share of TxPending).
void Leave(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PPORT_EXTENSION ext = PortExtension(stack->DeviceObject);
  LONG share = stack->MajorFunction == IRP_MJ_WRITE            ? (LONG)stack->Parameters.Write.Length
               : stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ? 1
                                                               : 0;
  InterlockedExchangeAdd((volatile LONG*)&ext->TxPending, -share);
}

// The service code's look at a request that has become current: finishes it (true) or leaves it
// pending, parked or busy (false).
bool Serve(Direction& d, PIRP irp) {
  PPORT_EXTENSION ext = PortExtension(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
  if (d.service == Service::Immediate && !irp->Cancel &&
      IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->ControlLock, &irql);
    CopyRingToRead(ext);
    KeReleaseSpinLock(&ext->ControlLock, irql);
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel || d.service == Service::Immediate) {
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
    Leave(irp);
    return true;
  }
  IoMarkIrpPending(irp);
  if (d.service == Service::Park) {
    *d.parked = irp;
    (VOID) IoSetCancelRoutine(irp, CancelParked);
  }
  IoReleaseCancelSpinLock(irql);
  return false;
}

// After the current request has been finished: advances and serves what comes next.
void AdvanceAndServe(Direction& d, PPORT_EXTENSION ext) {
  do AdvanceQueue(d.slot, d.queue, ext);
  while (*d.slot != nullptr && Serve(d, *d.slot));
}

NTSTATUS StartCurrent(Direction& d, PPORT_EXTENSION ext) {
  PIRP irp = *d.slot;
  if (!Serve(d, irp)) return STATUS_PENDING;
  NTSTATUS status = irp->IoStatus.Status;
  AdvanceAndServe(d, ext);
  return status;
}

NTSTATUS StartRead(PPORT_EXTENSION ext) { return StartCurrent(QueueTest::self->reads(), ext); }
NTSTATUS StartTransmit(PPORT_EXTENSION ext) { return StartCurrent(QueueTest::self->transmit(), ext); }

VOID NTAPI CancelParked(PDEVICE_OBJECT device, PIRP irp) {
  irp->IoStatus.Status = STATUS_CANCELLED;
  Leave(irp);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  AdvanceAndServe(DirectionOf(irp), PortExtension(device));
}

}  // namespace

VOID NTAPI CancelWaitStandIn(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension(device)->WaitIrp = nullptr;
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  CompleteRequest(PortExtension(device), irp, IO_SERIAL_INCREMENT);
}

NTSTATUS NTAPI QueueTest::OpenClose(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueueTest::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = AdmitRequest(device, irp);
  if (status != STATUS_SUCCESS) return status;
  self->irps_.push_back(irp);
  if (self->cancelOnArrival) irp->Cancel = TRUE;
  PPORT_EXTENSION ext = PortExtension(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_READ)
    return StartOrQueueRequest(device, irp, &ext->ReadQueue, &ext->CurrentRead, StartRead);
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
      stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_WAIT_ON_MASK) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(irp);
    ext->WaitIrp = irp;
    (VOID) IoSetCancelRoutine(irp, CancelWaitStandIn);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  }
  return StartOrQueueRequest(device, irp, &ext->WriteQueue, &ext->CurrentWrite, StartTransmit);
}

void QueueTest::SetUp() {
  LoadedDriverTest::SetUp();
  self = this;
  g_sequence = 0;
  driver()->MajorFunction[IRP_MJ_CREATE] = OpenClose;
  driver()->MajorFunction[IRP_MJ_CLEANUP] = OpenClose;
  driver()->MajorFunction[IRP_MJ_CLOSE] = OpenClose;
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL})
    driver()->MajorFunction[major] = Dispatch;
  port_ = AddBridge();
  ASSERT_NE(nullptr, port_);
  ext()->Started = TRUE;
  ext()->OpenState = PORT_OPEN;
  reads_ = {&ext()->ReadQueue, &ext()->CurrentRead, &ext()->ReadParked};
  transmit_ = {&ext()->WriteQueue, &ext()->CurrentWrite, &ext()->WriteParked};
  ASSERT_EQ(STATUS_SUCCESS, machine().Open(ToU16(ext()->DeviceName), &file_));
}

void QueueTest::TearDown() {
  if (file_ != nullptr) {
    EXPECT_EQ(STATUS_SUCCESS, machine().Close(file_));
  }
  kernel().Run();
  if (port_ != nullptr) {
    EXPECT_EQ(0, ext()->PendingRequests) << "a request was never completed";
  }
  LoadedDriverTest::TearDown();
  self = nullptr;
}

size_t QueueTest::Start(UCHAR major, ULONG length) {
  emu::IoRequest request;
  request.majorFunction = major;
  buffers_.push_back(std::make_unique<std::vector<UCHAR>>(major == IRP_MJ_DEVICE_CONTROL ? 0 : length));
  if (major == IRP_MJ_READ) {
    request.outputBuffer = buffers_.back()->data();
    request.outputLength = length;
  } else if (major == IRP_MJ_WRITE) {
    request.inputBuffer = buffers_.back()->data();
    request.inputLength = length;
  } else {
    request.ioControlCode = length;
  }
  statuses_.push_back(std::make_unique<IO_STATUS_BLOCK>());
  IO_STATUS_BLOCK* iosb = statuses_.back().get();
  iosb->Status = STATUS_PENDING;
  size_t before = irps_.size();
  InThread([&] { machine().io().StartRequest(file_, request, nullptr, iosb); });
  EXPECT_EQ(before + 1, irps_.size()) << "the request did not reach the dispatch routine";
  return statuses_.size() - 1;
}

BOOLEAN QueueTest::Cancel(size_t request) {
  BOOLEAN called = FALSE;
  InThread([&] { called = IoCancelIrp(irps_[request]); });
  return called;
}

bool QueueTest::Finish(Direction& d) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = *d.slot;
  if (irp == nullptr || (d.service == Service::Park && IoSetCancelRoutine(irp, nullptr) == nullptr)) {
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  // A busy request flagged for cancellation is finished as cancelled by its service code.
  irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
  irp->IoStatus.Information = irp->Cancel ? 0 : ++g_sequence;
  Leave(irp);
  IoReleaseCancelSpinLock(irql);
  AdvanceAndServe(d, PortExtension(IoGetCurrentIrpStackLocation(irp)->DeviceObject));
  return true;
}

void QueueTest::Put(std::vector<UCHAR> bytes) {
  InThread([&] {
    for (UCHAR b : bytes) RingPutByte(ext(), b);
  });
}

}  // namespace tarnwire::testing
