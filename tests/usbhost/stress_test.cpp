// Several client threads streaming through the host at once, with cancellations racing
// completions, under both processor models and many seeds.
#include <random>

#include "usbhost/host_fixture.h"

namespace emu::usb::testing {
namespace {

// Sends one URB and waits for it; after `cancelAfter` (0: never) of virtual time the IRP is
// cancelled. Returns the final status; checks the IRP completed exactly once.
NTSTATUS SubmitAndWait(PDEVICE_OBJECT pdo, PURB urb, VirtualTime cancelAfter = 0) {
  struct Sync {
    KEVENT done;
    int completions = 0;
  } s;
  KeInitializeEvent(&s.done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  auto signal = [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
    auto* sync = static_cast<Sync*>(context);
    ++sync->completions;
    KeSetEvent(&sync->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  IoSetCompletionRoutine(irp, signal, &s, TRUE, TRUE, TRUE);
  const NTSTATUS returned = IoCallDriver(pdo, irp);
  LARGE_INTEGER timeout{.QuadPart = -cancelAfter};
  if (cancelAfter != 0 &&
      KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    IoCancelIrp(irp);
  }
  KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = irp->IoStatus.Status;
  EXPECT_EQ(s.completions, 1) << "every IRP completes exactly once";
  EXPECT_TRUE(returned == STATUS_PENDING || returned == status) << "a synchronous result is the IRP's status";
  IoFreeIrp(irp);
  return status;
}

// The workload of both tests: the device streams a counting byte sequence to a reader in bursts and
// sinks a writer's counting sequence into a small buffer it drains now and then, while a third
// thread alternates control reads whose answers echo their wValue with interrupt reads that never
// get data and are always cancelled. Every third bulk read is cancelled if it has not finished
// within two frames. With `unplug` the device is pulled out at a random moment within 30 ms; every
// thread then ends at its first STATUS_DEVICE_NOT_CONNECTED.
void Stream(const KernelConfig& config, bool unplug, int& cancelledReads) {
  FakeDevice::Options o;
  o.endpoints = {{0x81, 3, 8, 2}, {0x82, 2, 32, 0}, {0x02, 2, 32, 0}};
  HostFixture f(o, config);
  ExSetTimerResolution(kMillisecond, TRUE);  // time-outs of a frame or two need a 1 ms clock
  ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
  f.port->PendAtRandom(config.seed, 30);
  f.device.outCapacity = 96;
  f.device.vendor = [](const SetupPacket& s, std::span<const uint8_t>) -> ControlReply {
    return {false, {static_cast<uint8_t>(s.wValue), static_cast<uint8_t>(s.wValue >> 8)}};
  };
  constexpr uint32_t kBytes = 3000;
  std::mt19937 random(static_cast<uint32_t>(config.seed));
  const VirtualTime unplugAt = f.kernel().Now() + 1 + random() % (30 * kMillisecond);
  if (unplug) f.kernel().ScheduleDeviceEvent(unplugAt, [&] { f.port->Unplug(); });
  uint32_t produced = 0;
  std::vector<uint8_t> sunk;
  std::function<void()> tick = [&] {
    if (!f.port->Connected()) return;
    std::vector<uint8_t> packet;
    for (size_t burst = random() % 80; burst > 0 && produced < kBytes; --burst) {
      packet.push_back(static_cast<uint8_t>(produced++));
      if (packet.size() == 32) f.device.QueueIn(0x82, std::exchange(packet, {}));
    }
    if (!packet.empty()) f.device.QueueIn(0x82, packet);
    std::vector<uint8_t> out = f.device.TakeOut(0x02);
    sunk.insert(sunk.end(), out.begin(), out.end());
    if (produced < kBytes || sunk.size() < kBytes) {
      f.kernel().ScheduleDeviceEvent(f.kernel().Now() + 1 + random() % (8 * kMillisecond), tick);
    }
  };
  f.kernel().ScheduleDeviceEvent(f.kernel().Now() + 1, tick);

  const USBD_PIPE_HANDLE in = f.PipeOf(0x82), out = f.PipeOf(0x02), intr = f.PipeOf(0x81);
  auto gone = [&](NTSTATUS st) { return unplug && st == STATUS_DEVICE_NOT_CONNECTED; };
  std::vector<uint8_t> received;
  int threadsDone = 0;
  f.kernel().StartSystemThread("reader", [&] {
    while (received.size() < kBytes) {
      auto r = HostFixture::Bulk(in, HostFixture::kIn, std::vector<uint8_t>(32));
      const NTSTATUS st = SubmitAndWait(f.pdo(), r->urb(), received.size() % 3 == 0 ? 2 * kMillisecond : 0);
      if (gone(st)) break;
      if (st == STATUS_CANCELLED) {
        ++cancelledReads;
        EXPECT_EQ(r->usbd(), USBD_STATUS_CANCELED);
        EXPECT_EQ(r->length(), 0u) << "a cancelled read here has moved no data (packets are whole)";
        continue;
      }
      ASSERT_EQ(st, STATUS_SUCCESS);
      received.insert(received.end(), r->buffer.begin(), r->buffer.begin() + r->length());
    }
    ++threadsDone;
  });
  f.kernel().StartSystemThread("writer", [&] {
    for (uint32_t sent = 0, n; sent < kBytes; sent += n) {
      n = std::min<uint32_t>(kBytes - sent, 1 + (sent * 7919u) % 200);
      std::vector<uint8_t> data(n);
      for (uint32_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(sent + i);
      auto r = HostFixture::Bulk(out, 0, std::move(data));
      const NTSTATUS st = SubmitAndWait(f.pdo(), r->urb());
      if (gone(st)) break;
      ASSERT_EQ(st, STATUS_SUCCESS);
      ASSERT_EQ(r->length(), n);
    }
    ++threadsDone;
  });
  f.kernel().StartSystemThread("control", [&] {
    for (USHORT i = 0; i < 40; ++i) {
      const USHORT value = static_cast<USHORT>(0x100 + i);
      auto r = HostFixture::Vendor(URB_FUNCTION_VENDOR_DEVICE, HostFixture::kIn, 0x95, value, 0, {0, 0});
      NTSTATUS st = SubmitAndWait(f.pdo(), r->urb());
      if (gone(st)) break;
      ASSERT_EQ(st, STATUS_SUCCESS);
      EXPECT_EQ(r->buffer, (std::vector<uint8_t>{uint8_t(value), uint8_t(value >> 8)}))
          << "each control answer belongs to its own request";
      auto status = HostFixture::Bulk(intr, HostFixture::kIn, std::vector<uint8_t>(8));
      st = SubmitAndWait(f.pdo(), status->urb(), 1 + (i % 5) * kMillisecond / 2);
      if (gone(st)) break;
      EXPECT_EQ(st, STATUS_CANCELLED);
    }
    ++threadsDone;
  });

  ASSERT_TRUE(f.kernel().RunUntil([&] { return threadsDone == 3; }, f.kernel().Now() + 60 * kSecond))
      << f.kernel().DescribeContexts();
  EXPECT_EQ(f.port->PendingTransfers(), 0u);
  if (unplug) {
    EXPECT_GE(f.kernel().Now(), unplugAt);
    EXPECT_EQ(f.PortStatus().portStatus & USBD_PORT_CONNECTED, 0u);
  } else {
    f.kernel().RunUntil([&] { return sunk.size() >= kBytes; }, f.kernel().Now() + kSecond);
  }
  // Both streams arrive in order and whole, or (unplugged) as far as they got.
  ASSERT_EQ(received.size() == kBytes && sunk.size() == kBytes, !unplug)
      << received.size() << " bytes in, " << sunk.size() << " bytes out";
  for (uint32_t i = 0; i < received.size(); ++i)
    ASSERT_EQ(received[i], static_cast<uint8_t>(i)) << "IN byte " << i;
  for (uint32_t i = 0; i < sunk.size(); ++i) ASSERT_EQ(sunk[i], static_cast<uint8_t>(i)) << "OUT byte " << i;
}

TEST(UsbStress, StreamingReadersWritersControlAndCancellationStayConsistent) {
  int cancelledReads = 0;
  const size_t runs =
      ForEachMachine([&](const KernelConfig& config) { Stream(config, false, cancelledReads); });
  EXPECT_GT(cancelledReads, static_cast<int>(runs / 2)) << "the test must exercise cancellation of reads";
}

TEST(UsbStress, UnplugAtAnyMomentEndsEveryRequestExactlyOnce) {
  int cancelledReads = 0;
  ForEachMachine([&](const KernelConfig& config) { Stream(config, true, cancelledReads); });
}

}  // namespace
}  // namespace emu::usb::testing
