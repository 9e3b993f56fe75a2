// Several client threads streaming through the host at once, with cancellations racing
// completions, under both processor models and many seeds.
#include <random>

#include "usbhost/host_fixture.h"

namespace emu::usb::testing {
namespace {

struct Sync {
  KEVENT done;
  int completions = 0;
};

NTSTATUS NTAPI Signal(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto* s = static_cast<Sync*>(context);
  ++s->completions;
  KeSetEvent(&s->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one URB and waits for it; after `cancelAfter` (0: never) of virtual time the IRP is
// cancelled. Returns the final status; checks the IRP completed exactly once.
NTSTATUS SubmitAndWait(PDEVICE_OBJECT pdo, PURB urb, VirtualTime cancelAfter = 0) {
  Sync s;
  KeInitializeEvent(&s.done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, &Signal, &s, TRUE, TRUE, TRUE);
  NTSTATUS returned = IoCallDriver(pdo, irp);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -cancelAfter;
  if (cancelAfter != 0 &&
      KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    IoCancelIrp(irp);
  }
  KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  EXPECT_EQ(s.completions, 1) << "every IRP completes exactly once";
  if (returned != STATUS_PENDING) {
    EXPECT_EQ(returned, status) << "a synchronous result matches the IRP's status";
  }
  IoFreeIrp(irp);
  return status;
}

TEST(UsbStress, StreamingReadersWritersControlAndCancellationStayConsistent) {
  int cancelledReads = 0;
  ForEachMachine([&](ProcessorModel model, uint64_t seed) {
    KernelConfig config;
    config.processors = model;
    config.seed = seed;
    FakeDevice::Options o;
    o.endpoints = {{0x81, 3, 8, 2}, {0x82, 2, 32, 0}, {0x02, 2, 32, 0}};
    HostFixture f(o, config);
    ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
    f.port->PendAtRandom(seed, 30);
    f.device.outCapacity = 96;
    f.device.vendor = [](const SetupPacket& s, std::span<const uint8_t>) -> ControlReply {
      return {false, {static_cast<uint8_t>(s.wValue), static_cast<uint8_t>(s.wValue >> 8)}};
    };

    constexpr uint32_t kBytes = 3000;
    // The device produces a counting byte stream in bursts and drains its OUT sink now and then.
    uint32_t produced = 0;
    std::vector<uint8_t> sunk;
    std::mt19937 deviceRandom(static_cast<uint32_t>(seed));
    std::function<void()> tick = [&] {
      size_t burst = deviceRandom() % 80;
      std::vector<uint8_t> packet;
      for (size_t i = 0; i < burst && produced < kBytes; ++i) {
        packet.push_back(static_cast<uint8_t>(produced++));
        if (packet.size() == 32) {
          f.device.QueueIn(0x82, packet);
          packet.clear();
        }
      }
      if (!packet.empty()) f.device.QueueIn(0x82, packet);
      std::vector<uint8_t> out = f.device.TakeOut(0x02);
      sunk.insert(sunk.end(), out.begin(), out.end());
      if (produced < kBytes || sunk.size() < kBytes) {
        f.kernel().ScheduleDeviceEvent(f.kernel().Now() + 1 + deviceRandom() % (8 * kMillisecond), tick);
      }
    };
    f.kernel().ScheduleDeviceEvent(f.kernel().Now() + 1, tick);

    USBD_PIPE_HANDLE in = f.PipeOf(0x82), out = f.PipeOf(0x02), intr = f.PipeOf(0x81);
    std::vector<uint8_t> received;
    int threadsDone = 0;
    int& cancelled = cancelledReads;
    f.kernel().StartSystemThread("reader", [&] {
      while (received.size() < kBytes) {
        std::vector<uint8_t> buf(32);
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), in,
                                               buf.data(), NULL, 32,
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
        // Every third read is cancelled if it has not finished within two frames.
        NTSTATUS st = SubmitAndWait(f.pdo(), &urb, received.size() % 3 == 0 ? 2 * kMillisecond : 0);
        ULONG got = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (st == STATUS_CANCELLED) {
          ++cancelled;
          EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
          EXPECT_EQ(got, 0u) << "a cancelled read here has moved no data (packets are whole)";
          continue;
        }
        ASSERT_EQ(st, STATUS_SUCCESS);
        received.insert(received.end(), buf.begin(), buf.begin() + got);
      }
      ++threadsDone;
    });
    f.kernel().StartSystemThread("writer", [&] {
      uint32_t sent = 0;
      while (sent < kBytes) {
        uint32_t n = std::min<uint32_t>(kBytes - sent, 1 + (sent * 7919u) % 200);
        std::vector<uint8_t> buf(n);
        for (uint32_t i = 0; i < n; ++i) buf[i] = static_cast<uint8_t>(sent + i);
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), out,
                                               buf.data(), NULL, n, 0, NULL);
        ASSERT_EQ(SubmitAndWait(f.pdo(), &urb), STATUS_SUCCESS);
        ASSERT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, n);
        sent += n;
      }
      ++threadsDone;
    });
    f.kernel().StartSystemThread("control", [&] {
      for (USHORT i = 0; i < 40; ++i) {
        uint8_t answer[2] = {};
        URB urb{};
        UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                              sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 3, 0, 0x95,
                              static_cast<USHORT>(0x100 + i), 0, answer, NULL, 2, NULL);
        ASSERT_EQ(SubmitAndWait(f.pdo(), &urb), STATUS_SUCCESS);
        EXPECT_EQ(answer[0] | (answer[1] << 8), 0x100 + i)
            << "each control answer belongs to its own request";
        // A status read that never gets data: always cancelled.
        uint8_t report[8];
        URB status{};
        UsbBuildInterruptOrBulkTransferRequest(&status, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), intr,
                                               report, NULL, 8,
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
        EXPECT_EQ(SubmitAndWait(f.pdo(), &status, 1 + (i % 5) * kMillisecond / 2), STATUS_CANCELLED);
      }
      ++threadsDone;
    });

    ASSERT_TRUE(f.kernel().RunUntil([&] { return threadsDone == 3; }, f.kernel().Now() + 60 * kSecond))
        << f.kernel().DescribeContexts();
    ASSERT_EQ(received.size(), kBytes);
    for (uint32_t i = 0; i < kBytes; ++i) ASSERT_EQ(received[i], static_cast<uint8_t>(i)) << "IN byte " << i;
    f.kernel().RunUntil([&] { return sunk.size() >= kBytes; }, f.kernel().Now() + kSecond);
    ASSERT_EQ(sunk.size(), kBytes);
    for (uint32_t i = 0; i < kBytes; ++i) ASSERT_EQ(sunk[i], static_cast<uint8_t>(i)) << "OUT byte " << i;
    EXPECT_EQ(f.port->PendingTransfers(), 0u);
  });
  EXPECT_GT(cancelledReads, 20) << "the test must exercise cancellation of reads";
}

TEST(UsbStress, UnplugAtAnyMomentEndsEveryRequestExactlyOnce) {
  ForEachMachine([&](ProcessorModel model, uint64_t seed) {
    KernelConfig config;
    config.processors = model;
    config.seed = seed;
    HostFixture f({}, config);
    ASSERT_EQ(f.Configure(), STATUS_SUCCESS);
    f.device.outCapacity = 200;
    f.device.vendor = [](const SetupPacket&, std::span<const uint8_t>) -> ControlReply {
      return {false, {1, 2}};
    };
    std::mt19937 random(static_cast<uint32_t>(seed));
    std::function<void()> feed = [&] {
      if (!f.port->Connected()) return;
      f.device.QueueIn(0x82, std::vector<uint8_t>(1 + random() % 64, 0x55));
      f.device.TakeOut(0x02);
      f.kernel().ScheduleDeviceEvent(f.kernel().Now() + 1 + random() % (2 * kMillisecond), feed);
    };
    f.kernel().ScheduleDeviceEvent(f.kernel().Now() + 1, feed);
    VirtualTime unplugAt = f.kernel().Now() + 1 + random() % (30 * kMillisecond);
    f.kernel().ScheduleDeviceEvent(unplugAt, [&] { f.port->Unplug(); });

    int done = 0;
    auto loop = [&](std::function<NTSTATUS()> one) {
      return [&, one] {
        for (;;) {
          NTSTATUS st = one();
          if (st == STATUS_DEVICE_NOT_CONNECTED) break;
          ASSERT_EQ(st, STATUS_SUCCESS) << "before the unplug every request succeeds";
        }
        ++done;
      };
    };
    USBD_PIPE_HANDLE in = f.PipeOf(0x82), out = f.PipeOf(0x02);
    f.kernel().StartSystemThread("reader", loop([&] {
                                   std::vector<uint8_t> buf(64);
                                   URB urb{};
                                   UsbBuildInterruptOrBulkTransferRequest(
                                       &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), in, buf.data(),
                                       NULL, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
                                   return SubmitAndWait(f.pdo(), &urb);
                                 }));
    f.kernel().StartSystemThread("writer", loop([&] {
                                   std::vector<uint8_t> buf(150, 0xAA);
                                   URB urb{};
                                   UsbBuildInterruptOrBulkTransferRequest(
                                       &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), out, buf.data(),
                                       NULL, 150, 0, NULL);
                                   return SubmitAndWait(f.pdo(), &urb);
                                 }));
    f.kernel().StartSystemThread("control", loop([&] {
                                   uint8_t answer[2];
                                   URB urb{};
                                   UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                                                         sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                                                         3, 0, 0x95, 0, 0, answer, NULL, 2, NULL);
                                   return SubmitAndWait(f.pdo(), &urb);
                                 }));
    ASSERT_TRUE(f.kernel().RunUntil([&] { return done == 3; }, f.kernel().Now() + 10 * kSecond))
        << f.kernel().DescribeContexts();
    EXPECT_GE(f.kernel().Now(), unplugAt);
    EXPECT_EQ(f.port->PendingTransfers(), 0u);
    Request& status = f.PortStatus();
    EXPECT_EQ(status.portStatus & USBD_PORT_CONNECTED, 0u);
  });
}

}  // namespace
}  // namespace emu::usb::testing
