// Building blocks for the I/O manager tests: drivers whose dispatch routines are lambdas, a bus
// driver stub, and device stacks built on a Machine.
#pragma once

#include <gtest/gtest.h>

#include <wdm.h>

#include "nt/machine.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace emu::testing {

// A driver object whose every major function calls `dispatch` (default: complete with
// STATUS_SUCCESS).
struct LambdaDriver {
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch;
  PDRIVER_OBJECT object = nullptr;

  static std::map<PDRIVER_OBJECT, LambdaDriver*>& Registry() {
    static std::map<PDRIVER_OBJECT, LambdaDriver*> drivers;
    return drivers;
  }
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    LambdaDriver* d = Registry().at(device->DriverObject);
    if (d->dispatch) return d->dispatch(device, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }

  LambdaDriver(Machine& m, std::u16string_view name) {
    object = m.io().CreateDriverObject(name, Machine::ServiceKeyPath(name));
    for (auto& f : object->MajorFunction) f = &Dispatch;
    Registry()[object] = this;
  }
  ~LambdaDriver() { Registry().erase(object); }

  // A device of this driver, initialised, attached above `below` when given.
  PDEVICE_OBJECT AddDevice(PDEVICE_OBJECT below = nullptr, std::u16string name = {},
                           bool exclusive = false) {
    UNICODE_STRING us{};
    if (!name.empty()) {
      us.Buffer = name.data();
      us.Length = us.MaximumLength = static_cast<USHORT>(name.size() * 2);
    }
    PDEVICE_OBJECT d = nullptr;
    NTSTATUS s = IoCreateDevice(object, 64, name.empty() ? nullptr : &us, FILE_DEVICE_UNKNOWN, 0,
                                exclusive, &d);
    EXPECT_EQ(s, STATUS_SUCCESS) << "IoCreateDevice failed";
    if (below != nullptr) {
      EXPECT_NE(IoAttachDeviceToDeviceStack(d, below), nullptr);
    }
    d->Flags &= ~DO_DEVICE_INITIALIZING;
    return d;
  }
};

// A bus driver whose PDOs answer through a lambda (default: complete with STATUS_SUCCESS).
struct StubBus : BusDriver {
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> handler;
  NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override {
    if (handler) return handler(pdo, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
};

inline UNICODE_STRING Us(std::u16string& s) {
  UNICODE_STRING u;
  u.Buffer = s.data();
  u.Length = u.MaximumLength = static_cast<USHORT>(s.size() * sizeof(char16_t));
  return u;
}

inline void ForEachProcessorModelAndSeed(
    const std::function<void(ProcessorModel, uint64_t)>& fn) {
  for (ProcessorModel model : {ProcessorModel::Uniprocessor, ProcessorModel::Multiprocessor}) {
    for (uint64_t seed = 1; seed <= 20; ++seed) {
      SCOPED_TRACE(std::string(model == ProcessorModel::Uniprocessor ? "uni" : "multi") +
                   "processor, seed " + std::to_string(seed));
      fn(model, seed);
    }
  }
}

inline KernelConfig Config(ProcessorModel model, uint64_t seed) {
  KernelConfig c;
  c.processors = model;
  c.seed = seed;
  return c;
}

}  // namespace emu::testing
