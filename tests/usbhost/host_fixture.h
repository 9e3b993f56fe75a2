// A machine with one USB host and a fake device plugged in, plus helpers that send URBs to the
// device's PDO the way a client driver does and record how each one ends.
#pragma once

#include <gtest/gtest.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdm.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nt/machine.h"
#include "usbhost/fake_device.h"
#include "usbhost/usb_host.h"

namespace emu::usb::testing {

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
  int completions = 0;

  PURB urb() { return reinterpret_cast<PURB>(urbStorage.data()); }
};

inline void ForEachMachine(const std::function<void(ProcessorModel, uint64_t)>& fn, uint64_t seeds = 20) {
  for (ProcessorModel model : {ProcessorModel::Uniprocessor, ProcessorModel::Multiprocessor}) {
    for (uint64_t seed = 1; seed <= seeds; ++seed) {
      SCOPED_TRACE(std::string(model == ProcessorModel::Uniprocessor ? "uni" : "multi") + "processor, seed " +
                   std::to_string(seed));
      fn(model, seed);
    }
  }
}

class HostFixture {
 public:
  explicit HostFixture(FakeDevice::Options options = {}, KernelConfig config = {})
      : machine(config), device(std::move(options)), host(machine) {
    port = &host.Plug(device);
  }

  Kernel& kernel() { return machine.kernel(); }
  PDEVICE_OBJECT pdo() { return port->Pdo(); }

  // Sends an internal device control request from a system thread (without waiting for it).
  Request& Send(std::unique_ptr<Request> r, ULONG code, PVOID argument) {
    Request* raw = r.get();
    requests.push_back(std::move(r));
    machine.RunInSystemThread("client", [this, raw, code, argument] { Issue(raw, code, argument); });
    return *raw;
  }
  // Issues the request from the calling context (which must be an emulated one).
  void Issue(Request* r, ULONG code, PVOID argument) {
    PIRP irp = IoAllocateIrp(pdo()->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    r->irp = irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument;
    IoSetCompletionRoutine(irp, &HostFixture::Completed, r, TRUE, TRUE, TRUE);
    r->submittedAt = kernel().Now();
    r->returned = IoCallDriver(pdo(), irp);
  }
  Request& SubmitUrb(std::unique_ptr<Request> r) {
    PURB urb = r->urb();
    return Send(std::move(r), IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
  }
  Request& PortStatus() {
    auto r = std::make_unique<Request>();
    ULONG* word = &r->portStatus;
    return Send(std::move(r), IOCTL_INTERNAL_USB_GET_PORT_STATUS, word);
  }

  // --- URB builders ------------------------------------------------------------------------------
  static std::unique_ptr<Request> Descriptor(UCHAR type, ULONG length) {
    auto r = std::make_unique<Request>();
    r->buffer.assign(length, 0xEE);
    UsbBuildGetDescriptorRequest(r->urb(), (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                 r->buffer.data(), NULL, length, NULL);
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
    configDescriptor = device.ConfigurationDescriptor();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configDescriptor.data());
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    machine.RunInSystemThread("configure", [&] {
      PUSB_INTERFACE_DESCRIPTOR iface =
          USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
      USBD_INTERFACE_LIST_ENTRY list[2] = {{iface, NULL}, {NULL, NULL}};
      PURB urb = USBD_CreateConfigurationRequestEx(config, list);
      ASSERT_NE(urb, nullptr);
      if (maxTransfer != 0) {
        for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i)
          list[0].Interface->Pipes[i].MaximumTransferSize = maxTransfer;
      }
      auto r = std::make_unique<Request>();
      Request* raw = r.get();
      requests.push_back(std::move(r));
      Issue(raw, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
      while (!raw->completed) {
        LARGE_INTEGER d;
        d.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &d);
      }
      result = raw->status;
      if (NT_SUCCESS(result)) {
        PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
        pipes.assign(info->Pipes, info->Pipes + info->NumberOfPipes);
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

  bool RunUntilCompleted(Request& r, VirtualTime limit = 10 * kSecond) {
    return kernel().RunUntil([&] { return r.completed; }, kernel().Now() + limit);
  }

  Machine machine;
  FakeDevice device;  // outlives the host's port
  UsbHost host;
  UsbPort* port = nullptr;
  std::vector<std::unique_ptr<Request>> requests;
  std::vector<uint8_t> configDescriptor;
  std::vector<USBD_PIPE_INFORMATION> pipes;
  USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;

 private:
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<Request*>(context);
    r->completed = true;
    ++r->completions;
    r->status = irp->IoStatus.Status;
    r->completionIrql = KeGetCurrentIrql();
    r->completedAt = Kernel::Current().Now();
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

}  // namespace emu::usb::testing
