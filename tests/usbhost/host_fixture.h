// A machine with one USB host and a device model (a fake device, or the chip) plugged in, plus
// helpers that send URBs to the device's PDO the way a client driver does and record how each one
// ends.
#pragma once

#include <gtest/gtest.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdm.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nt/machine.h"
#include "support/schedule_sweep.h"
#include "usbhost/fake_device.h"
#include "usbhost/usb_host.h"

namespace emu::usb::testing {

static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) ==
              offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength));

// The frame boundary at or before t. A completion routine runs a few kernel calls (each costs
// virtual time) after the end of the frame that completed its transfer.
inline VirtualTime BoundaryBefore(VirtualTime t) { return t - t % kFrame; }

// One request to the PDO and its fate.
struct Request {
  std::vector<uint8_t> urbStorage = std::vector<uint8_t>(sizeof(URB), 0);
  std::vector<uint8_t> buffer;
  ULONG portStatus = 0;
  PIRP irp = nullptr;
  NTSTATUS returned = -1;  // what IoCallDriver returned
  bool completed = false;
  NTSTATUS status = -1;
  KIRQL completionIrql = 0xFF;
  VirtualTime submittedAt = -1;
  VirtualTime completedAt = -1;

  PURB urb() { return reinterpret_cast<PURB>(urbStorage.data()); }
  USBD_STATUS usbd() { return urb()->UrbHeader.Status; }
  ULONG length() { return urb()->UrbBulkOrInterruptTransfer.TransferBufferLength; }
};

// Whether `r` has completed with `status` and URB status `usbd`.
inline ::testing::AssertionResult Ended(Request& r, NTSTATUS status, USBD_STATUS usbd) {
  if (r.completed && r.status == status && r.usbd() == usbd) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << std::hex << "completed " << r.completed << " with 0x" << r.status << " / USBD 0x" << r.usbd()
         << ", expected 0x" << status << " / USBD 0x" << usbd;
}

// A setup packet as "bmRequestType bRequest wValue wIndex wLength" in hex.
inline std::string Hex(const SetupPacket& s) {
  char text[32];
  std::snprintf(text, sizeof text, "%02x %02x %04x %04x %04x", s.bmRequestType, s.bRequest, s.wValue,
                s.wIndex, s.wLength);
  return text;
}

using test_support::ForEachMachine;

// `Device` is constructed from `options` after the machine, so that a model running on the
// kernel's clock finds it.
template <class Device, class Options = typename Device::Options>
class DeviceHostFixture {
 public:
  static constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

  explicit DeviceHostFixture(Options options = {}, KernelConfig config = test_support::CurrentConfig())
      : machine(config), device(std::move(options)), host(machine), port(&host.Plug(device)) {}

  Kernel& kernel() { return machine.kernel(); }
  PDEVICE_OBJECT pdo() { return port->Pdo(); }

  // Sends internal device control requests, all at the same instant, from a system thread
  // (without waiting for them).
  std::vector<Request*> SendAll(std::vector<std::unique_ptr<Request>> rs, ULONG code) {
    std::vector<Request*> raw;
    for (auto& r : rs) raw.push_back(requests.emplace_back(std::move(r)).get());
    machine.RunInSystemThread("client", [&] {
      for (Request* r : raw) Issue(r, code);
    });
    return raw;
  }
  Request& Send(std::unique_ptr<Request> r, ULONG code) {
    std::vector<std::unique_ptr<Request>> one;
    one.push_back(std::move(r));
    return *SendAll(std::move(one), code)[0];
  }
  // Issues the request from the calling context (which must be an emulated one). Its argument is
  // the URB, the port status word or nothing, as the control code wants.
  void Issue(Request* r, ULONG code, PVOID argument = nullptr) {
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB && argument == nullptr) argument = r->urb();
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) argument = &r->portStatus;
    PIRP irp = IoAllocateIrp(pdo()->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    r->irp = irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument;
    IoSetCompletionRoutine(irp, &DeviceHostFixture::Completed, r, TRUE, TRUE, TRUE);
    r->submittedAt = kernel().Now();
    r->returned = IoCallDriver(pdo(), irp);
    if (r->returned != STATUS_PENDING) {
      EXPECT_TRUE(r->completed && r->status == r->returned) << "a synchronous result is the IRP's status";
    }
  }
  Request& SubmitUrb(std::unique_ptr<Request> r) { return Send(std::move(r), IOCTL_INTERNAL_USB_SUBMIT_URB); }
  Request& PortStatus() { return Send(std::make_unique<Request>(), IOCTL_INTERNAL_USB_GET_PORT_STATUS); }
  Request& In(uint8_t endpoint, size_t length, ULONG flags = kIn) {
    return SubmitUrb(Bulk(PipeOf(endpoint), flags, std::vector<uint8_t>(length)));
  }
  Request& Out(uint8_t endpoint, std::vector<uint8_t> data) {
    return SubmitUrb(Bulk(PipeOf(endpoint), 0, std::move(data)));
  }
  Request& VendorIn(UCHAR request, USHORT value, size_t length) {
    return SubmitUrb(
        Vendor(URB_FUNCTION_VENDOR_DEVICE, kIn, request, value, 0, std::vector<uint8_t>(length)));
  }
  Request& VendorOut(UCHAR request) {
    return SubmitUrb(Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, request, 0, 0, {}));
  }
  // Runs the machine until `r` completes (a failure when it does not within `limit`).
  Request& Finish(Request& r, VirtualTime limit = 10 * kSecond) {
    EXPECT_TRUE(RunUntilCompleted(r, limit)) << "request still pending after " << limit << " of virtual time";
    return r;
  }
  bool RunUntilCompleted(Request& r, VirtualTime limit = 10 * kSecond) {
    return kernel().RunUntil([&] { return r.completed; }, kernel().Now() + limit);
  }

  // --- URB builders ------------------------------------------------------------------------------
  static std::unique_ptr<Request> Descriptor(UCHAR type, ULONG length, UCHAR index = 0) {
    auto r = std::make_unique<Request>();
    r->buffer.assign(length, 0xEE);
    UsbBuildGetDescriptorRequest(r->urb(), (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type,
                                 index, 0, r->buffer.data(), NULL, length, NULL);
    return r;
  }
  static std::unique_ptr<Request> Vendor(USHORT function, ULONG flags, UCHAR request, USHORT value,
                                         USHORT index, std::vector<uint8_t> data) {
    auto r = std::make_unique<Request>();
    r->buffer = std::move(data);
    UsbBuildVendorRequest(r->urb(), function, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          flags, 0, request, value, index, r->buffer.empty() ? NULL : r->buffer.data(), NULL,
                          (ULONG)r->buffer.size(), NULL);
    return r;
  }
  static std::unique_ptr<Request> Bulk(USBD_PIPE_HANDLE pipe, ULONG flags, std::vector<uint8_t> data) {
    auto r = std::make_unique<Request>();
    r->buffer = std::move(data);
    UsbBuildInterruptOrBulkTransferRequest(r->urb(), (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe, r->buffer.empty() ? NULL : r->buffer.data(), NULL,
                                           (ULONG)r->buffer.size(), flags, NULL);
    return r;
  }
  static std::unique_ptr<Request> Pipe(USHORT function, USBD_PIPE_HANDLE pipe) {
    auto r = std::make_unique<Request>();
    r->urb()->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    r->urb()->UrbHeader.Function = function;
    r->urb()->UrbPipeRequest.PipeHandle = pipe;
    return r;
  }

  // Reads the configuration descriptor from the device model and selects it (the client driver's
  // steps: USBD_ParseConfigurationDescriptorEx, USBD_CreateConfigurationRequestEx, submit).
  // `maxTransfer` (when not 0) is set on every pipe before submission.
  NTSTATUS Configure(ULONG maxTransfer = 0) {
    std::vector<uint8_t> configDescriptor = device.ConfigurationDescriptor();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configDescriptor.data());
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    machine.RunInSystemThread("configure", [&] {
      PUSB_INTERFACE_DESCRIPTOR iface =
          USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
      USBD_INTERFACE_LIST_ENTRY list[2] = {{iface, NULL}, {NULL, NULL}};
      PURB urb = USBD_CreateConfigurationRequestEx(config, list);
      ASSERT_NE(urb, nullptr);
      for (ULONG i = 0; maxTransfer != 0 && i < list[0].Interface->NumberOfPipes; ++i)
        list[0].Interface->Pipes[i].MaximumTransferSize = maxTransfer;
      Request* r = requests.emplace_back(std::make_unique<Request>()).get();
      Issue(r, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
      LARGE_INTEGER frame{.QuadPart = -kFrame};
      while (!r->completed) KeDelayExecutionThread(KernelMode, FALSE, &frame);
      result = r->status;
      if (NT_SUCCESS(result)) {
        pipes.assign(list[0].Interface->Pipes, list[0].Interface->Pipes + list[0].Interface->NumberOfPipes);
        configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
      }
      ExFreePool(urb);
    });
    return result;
  }

  USBD_PIPE_HANDLE PipeOf(uint8_t address) const {
    for (const USBD_PIPE_INFORMATION& p : pipes) {
      if (p.EndpointAddress == address) return p.PipeHandle;
    }
    return nullptr;
  }

  Machine machine;
  Device device;  // outlives the host's port
  UsbHost host;
  UsbPort* port;
  std::vector<std::unique_ptr<Request>> requests;
  std::vector<USBD_PIPE_INFORMATION> pipes;
  USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;

 private:
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<Request*>(context);
    EXPECT_FALSE(r->completed) << "an IRP completed twice";
    r->completed = true;
    r->status = irp->IoStatus.Status;
    r->completionIrql = KeGetCurrentIrql();
    r->completedAt = Kernel::Current().Now();
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

using HostFixture = DeviceHostFixture<FakeDevice>;

}  // namespace emu::usb::testing
