#include "read_fixture.h"

namespace drvusb_test {

ReadPort::ReadPort(emu::zm470::Config chipConfig, emu::KernelConfig kernelConfig)
    : StatusPort(std::move(chipConfig), kernelConfig) {
  // An open port's reader thread streams.
  Call([&] {
    KeSetEvent(&ext()->ReaderEvent, 1, FALSE);
    return STATUS_SUCCESS;
  });
  Settle(5 * emu::kMillisecond);
}

ReadPort::~ReadPort() { FinishReads(); }

void ReadPort::FinishReads() {
  if (device == nullptr || file == nullptr) return;
  EXPECT_TRUE(machine.RunInApplicationThread("cancel all", [&] { machine.io().CancelFileRequests(file); }));
  Settle();
  for (const Read& r : reads) EXPECT_TRUE(r.Done()) << "a read request was never completed";
  // The reader thread goes back to idle once the port is stopped and its transfers are aborted.
  ext()->Started = FALSE;
}

ReadPort::Read& ReadPort::StartRead(ULONG length) {
  Read& r = reads.emplace_back();
  r.buffer.assign(length, 0xEE);
  r.iosb.Status = STATUS_PENDING;
  r.started = kernel().Now();
  emu::IoRequest request;
  request.majorFunction = IRP_MJ_READ;
  request.outputBuffer = r.buffer.data();
  request.outputLength = length;
  const PIRP before = ext()->CurrentRead;
  EXPECT_TRUE(machine.RunInApplicationThread(
      "read", [&] { r.returned = machine.io().StartRequest(file, request, nullptr, &r.iosb); }));
  if (!r.Done() && ext()->CurrentRead != before) r.irp = ext()->CurrentRead;
  return r;
}

bool ReadPort::RunUntilDone(Read& read, emu::VirtualTime limit) {
  const bool done = kernel().RunUntil([&] { return read.Done(); }, kernel().Now() + limit);
  if (done) read.completed = kernel().Now();
  return done;
}

void ReadPort::Cancel(Read& read) {
  EXPECT_TRUE(machine.RunInApplicationThread("cancel", [&] { machine.io().CancelIrp(read.irp); }));
}

void ReadPort::SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
  Configure([&](PPORT_EXTENSION port) {
    port->Timeouts.ReadIntervalTimeout = interval;
    port->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
    port->Timeouts.ReadTotalTimeoutConstant = constant;
  });
}

void ReadPort::Configure(const std::function<void(PPORT_EXTENSION)>& change) {
  Call([&] {
    KIRQL irql;
    KeAcquireSpinLock(&ext()->ControlLock, &irql);
    change(ext());
    KeReleaseSpinLock(&ext()->ControlLock, irql);
    return STATUS_SUCCESS;
  });
}

void ReadPort::Feed(std::string_view bytes) {
  peer.Send(bytes);
  EXPECT_TRUE(kernel().RunUntil([&] { return peer.SendIdle(); }, kernel().Now() + 10 * emu::kSecond));
  Settle(4 * emu::kMillisecond);
}

emu::VirtualTime ReadPort::Due(const KTIMER& timer) {
  return timer.Header.Inserted ? (emu::VirtualTime)timer.DueTime.QuadPart : -1;
}

}  // namespace drvusb_test
