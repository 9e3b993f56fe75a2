// Building blocks for the I/O manager tests: drivers whose dispatch routines are lambdas, a bus
// driver stub, a machine with one physical device, counted strings, and the table form of the
// verifier's rules.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>

#include "nt/bugcheck_expect.h"
#include "nt/kernel_test_support.h"
#include "nt/machine.h"

namespace emu::testing {

inline ULONG_PTR Addr(const volatile void* p) { return reinterpret_cast<ULONG_PTR>(p); }

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

using DispatchFn = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// A driver object whose every major function calls `dispatch` (default: complete with
// STATUS_SUCCESS).
struct LambdaDriver {
  DispatchFn dispatch;
  PDRIVER_OBJECT object = nullptr;

  static std::map<PDRIVER_OBJECT, LambdaDriver*>& Registry() {
    static std::map<PDRIVER_OBJECT, LambdaDriver*> drivers;
    return drivers;
  }
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    LambdaDriver* d = Registry().at(device->DriverObject);
    return d->dispatch ? d->dispatch(device, irp) : Complete(irp, STATUS_SUCCESS);
  }

  LambdaDriver(Machine& m, std::u16string_view name) {
    object = m.io().CreateDriverObject(name, Machine::ServiceKeyPath(name));
    for (auto& f : object->MajorFunction) f = &Dispatch;
    Registry()[object] = this;
  }
  ~LambdaDriver() { Registry().erase(object); }

  // A device of this driver, initialised, attached above `below` when given.
  PDEVICE_OBJECT AddDevice(PDEVICE_OBJECT below = nullptr, std::u16string name = {}, bool exclusive = false) {
    UNICODE_STRING us{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                      name.data()};
    PDEVICE_OBJECT d = nullptr;
    EXPECT_EQ(IoCreateDevice(object, 64, name.empty() ? nullptr : &us, FILE_DEVICE_UNKNOWN, 0, exclusive, &d),
              STATUS_SUCCESS)
        << "IoCreateDevice failed";
    if (below != nullptr) {
      EXPECT_NE(IoAttachDeviceToDeviceStack(d, below), nullptr);
    }
    d->Flags &= ~DO_DEVICE_INITIALIZING;
    return d;
  }
};

// A bus driver whose PDOs answer through a lambda (default: complete with STATUS_SUCCESS).
struct StubBus : BusDriver {
  DispatchFn handler;
  NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override {
    return handler ? handler(pdo, irp) : Complete(irp, STATUS_SUCCESS);
  }
};

// A machine with one physical device served by a stub bus.
struct PdoRig {
  Machine m;
  StubBus bus;
  PDEVICE_OBJECT pdo;
  explicit PdoRig(KernelConfig config = CurrentConfig(),
                  std::u16string_view instance = u"USB\\VID_0B39&PID_0421\\5&1")
      : m(config), pdo(m.CreatePhysicalDevice(instance, bus)) {}
  // The next request to the PDO is marked pending and parked in *parked.
  void ParkNext(PIRP* parked, PDRIVER_CANCEL cancel = nullptr) {
    bus.handler = [parked, cancel](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      if (cancel != nullptr) IoSetCancelRoutine(irp, cancel);
      *parked = irp;
      return STATUS_PENDING;
    };
  }
};

// A counted string that owns its characters.
struct UStr {
  std::u16string chars;
  UNICODE_STRING us;
  explicit UStr(std::u16string_view s)
      : chars(s), us{static_cast<USHORT>(s.size() * 2), static_cast<USHORT>(s.size() * 2), chars.data()} {}
  UStr(const UStr&) = delete;
  operator PUNICODE_STRING() { return &us; }
};

// --- Verifier rules as a table --------------------------------------------------------------
// A rig for one faulty snippet: a machine with a PDO and objects that outlive the snippet.
struct RuleRig : PdoRig {
  KEVENT event;
  KSPIN_LOCK lock;
  FAST_MUTEX mutex;
  KDPC dpc;
  std::optional<ULONG_PTR> expect[4];  // parameters known only at run time
  std::string context;                 // the context the bug check must name ("" unchecked)
  std::string inReport;                // text the report must contain ("" unchecked)
  explicit RuleRig(const KernelConfig& config) : PdoRig(config) {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeSpinLock(&lock);
    ExInitializeFastMutex(&mutex);
  }
  KIRQL Lock() {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    return old;
  }
  // Queues the rig's DPC with `routine`; the machine runs it.
  void RunDpc(PKDEFERRED_ROUTINE routine) {
    KeInitializeDpc(&dpc, routine, &event);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    context = "dpc";
    m.kernel().Run();
  }
};

struct Rule {
  const char* fault;
  ULONG code;
  std::optional<ULONG_PTR> params[4];  // the parameters the bug check must carry (unset: any)
  std::function<void(RuleRig&)> provoke;
  Rule(const char* what, ULONG bugcheckCode, std::initializer_list<std::optional<ULONG_PTR>> p,
       std::function<void(RuleRig&)> snippet)
      : fault(what), code(bugcheckCode), provoke(std::move(snippet)) {
    std::copy(p.begin(), p.end(), params);
  }
};

// Runs a snippet in a system thread named "faulty", which the bug check must name.
inline std::function<void(RuleRig&)> InThread(std::function<void(RuleRig&)> body) {
  return [body](RuleRig& r) {
    r.context = "faulty";
    r.m.RunInSystemThread("faulty", [&] { body(r); });
  };
}

// Sends an IRP_MJ_PNP to the rig's PDO, which answers with `answer`.
inline std::function<void(RuleRig&)> BusAnswers(std::function<NTSTATUS(RuleRig&, PIRP)> answer) {
  return [answer](RuleRig& r) {
    r.bus.handler = [&r, answer](PDEVICE_OBJECT, PIRP irp) { return answer(r, irp); };
    r.m.SendPnp(r.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
  };
}

// An IRP of the calling driver's own with one stack location, set up for `major` and starting
// at `status` (PnP, power and WMI requests start at STATUS_NOT_SUPPORTED).
inline PIRP OwnIrp(UCHAR major = IRP_MJ_PNP, NTSTATUS status = STATUS_NOT_SUPPORTED) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  irp->IoStatus.Status = status;
  return irp;
}

// The rule's snippet must stop the machine with its code and parameters, under each model.
inline void ExpectRuleFires(const Rule& rule) {
  ForEachModel([&rule](const KernelConfig& config) {
    SCOPED_TRACE(rule.fault);
    RuleRig r(config);
    EXPECT_BUGCHECK_THAT(rule.code, rule.provoke(r), {
      for (int i = 0; i < 4; ++i) {
        std::optional<ULONG_PTR> want = r.expect[i] ? r.expect[i] : rule.params[i];
        if (want) {
          EXPECT_EQ(bugcheck.params[i], *want) << "bug check parameter " << i + 1 << " is wrong\n"
                                               << bugcheck.report;
        }
      }
      if (!r.context.empty()) {
        EXPECT_EQ(bugcheck.context.rfind(r.context, 0), 0u)
            << "the bug check names " << bugcheck.context << ", not " << r.context;
      }
      EXPECT_NE(bugcheck.report.find(r.inReport), std::string::npos)
          << "the report should mention " << r.inReport << "\n"
          << bugcheck.report;
    });
  });
}

}  // namespace emu::testing
