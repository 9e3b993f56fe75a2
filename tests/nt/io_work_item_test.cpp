// I/O work items: the routine runs at PASSIVE_LEVEL in a worker context of its own, the device
// object stays allocated while an item is queued or running, and the verifier's rules.
#include "nt/io_manager.h"
#include "nt/io_test_support.h"

namespace {

using emu::testing::Addr;
using emu::testing::ExpectRuleFires;
using emu::testing::LambdaDriver;
using emu::testing::Rule;
using emu::testing::RuleRig;
using emu::testing::WaitOn;
namespace bc = emu::bugcheck;

VOID NTAPI Nothing(PDEVICE_OBJECT, PVOID) {}

// --- A routine that requeues its item once and frees it on its second run --------------------
struct Observed {
  PIO_WORKITEM item = nullptr;
  KEVENT* event = nullptr;  // in the device extension
  int runs = 0;
  KIRQL irql[2] = {0xFF, 0xFF};
  std::string context[2];
  PDEVICE_OBJECT device[2] = {};
  PVOID argument[2] = {};
} g_seen;

VOID NTAPI Observe(PDEVICE_OBJECT device, PVOID context) {
  const int run = g_seen.runs++;
  g_seen.irql[run] = KeGetCurrentIrql();
  g_seen.context[run] = emu::Kernel::Current().CurrentContextName();
  g_seen.device[run] = device;
  g_seen.argument[run] = context;
  KeSetEvent(g_seen.event, 0, FALSE);  // the device's extension is still there
  if (run == 0) {
    IoQueueWorkItem(g_seen.item, &Observe, CriticalWorkQueue, context);  // dequeued before it runs
  } else {
    IoFreeWorkItem(g_seen.item);  // not queued while its routine runs
  }
}

TEST(IoWorkItem, RunsAtPassiveInAWorkerContextAndKeepsItsDeviceUntilTheRoutineReturns) {
  test_support::ForEachModel([](const emu::KernelConfig& config) {
    RuleRig r(config);
    LambdaDriver d(r.m, u"work");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(d.object, sizeof(KEVENT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    g_seen = Observed{};
    g_seen.event = static_cast<KEVENT*>(device->DeviceExtension);
    KeInitializeEvent(g_seen.event, NotificationEvent, FALSE);
    g_seen.item = IoAllocateWorkItem(device);
    ASSERT_NE(g_seen.item, nullptr);

    // Queued at DISPATCH_LEVEL, then the device is deleted before the routine can run (nothing
    // runs on the test's own stack until the machine does).
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(g_seen.item, &Observe, DelayedWorkQueue, &r);
    KeLowerIrql(old);
    IoDeleteDevice(device);
    r.m.kernel().Run();

    ASSERT_EQ(g_seen.runs, 2) << "the routine did not run, or not again after requeueing itself";
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(g_seen.irql[i], PASSIVE_LEVEL) << "run " << i;
      EXPECT_EQ(g_seen.context[i].rfind("worker", 0), 0u) << "ran in " << g_seen.context[i];
      EXPECT_EQ(g_seen.device[i], device);
      EXPECT_EQ(g_seen.argument[i], &r);
    }
    EXPECT_NE(g_seen.context[0], g_seen.context[1]) << "each queueing gets a worker context";
    EXPECT_EQ(r.m.io().WorkInProgress(), 0u);
    // The last reference went with the second routine: the extension is freed memory now.
    EXPECT_BUGCHECK_THAT(bc::kPageFaultInFreedSpecialPool, KeClearEvent(g_seen.event),
                         EXPECT_EQ(bugcheck.params[0], Addr(g_seen.event)));
  });
}

// --- Verifier rules ---------------------------------------------------------------------------
PIO_WORKITEM NewItem(RuleRig& r, LambdaDriver& d) {
  PIO_WORKITEM item = IoAllocateWorkItem(d.AddDevice());
  EXPECT_NE(item, nullptr);
  r.expect[1] = Addr(item);
  return item;
}

VOID NTAPI ReturnHoldingSpinLock(PDEVICE_OBJECT, PVOID context) { static_cast<RuleRig*>(context)->Lock(); }
VOID NTAPI ReturnHoldingFastMutex(PDEVICE_OBJECT, PVOID context) {
  ExAcquireFastMutex(&static_cast<RuleRig*>(context)->mutex);
}
KMUTEX g_mutex;
VOID NTAPI ReturnHoldingMutex(PDEVICE_OBJECT, PVOID) {
  KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, nullptr);
}

// Queues `routine` with the rig as its context and runs the machine: the bug check names the
// worker context; one for the IRQL carries the routine, the IRQL, the context and the item.
std::function<void(RuleRig&)> ReturnFrom(PIO_WORKITEM_ROUTINE routine, bool atBadIrql = true) {
  return [routine, atBadIrql](RuleRig& r) {
    LambdaDriver d(r.m, u"work");
    PIO_WORKITEM item = NewItem(r, d);
    r.expect[1].reset();
    if (atBadIrql) {
      r.expect[2] = Addr(&r);
      r.expect[3] = Addr(item);
    }
    r.context = "worker";
    KeInitializeMutex(&g_mutex, 0);
    IoQueueWorkItem(item, routine, DelayedWorkQueue, &r);
    r.m.kernel().Run();
  };
}

// A probe driver whose DriverEntry creates a device and a work item, and whose unload routine
// deletes the device and, with g_queueAtUnload, queues the item instead of freeing it.
PIO_WORKITEM g_item;
PDEVICE_OBJECT g_device;
bool g_queueAtUnload;
KEVENT g_never;
VOID NTAPI WaitForever(PDEVICE_OBJECT, PVOID) { WaitOn(&g_never); }
VOID NTAPI UnloadProbe(PDRIVER_OBJECT) {
  IoDeleteDevice(g_device);
  if (g_queueAtUnload) {
    IoQueueWorkItem(g_item, &Nothing, DelayedWorkQueue, nullptr);
  } else {
    IoFreeWorkItem(g_item);  // its routine still runs: freeing is allowed, unloading is not
  }
}
NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = &UnloadProbe;
  EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device), STATUS_SUCCESS);
  g_device->Flags &= ~DO_DEVICE_INITIALIZING;
  g_item = IoAllocateWorkItem(g_device);
  return g_item != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
std::function<void(RuleRig&)> UnloadWithItem(bool queued) {
  return [queued](RuleRig& r) {
    g_queueAtUnload = queued;
    KeInitializeEvent(&g_never, NotificationEvent, FALSE);
    PDRIVER_OBJECT d = r.m.LoadDriver(u"probe", &ProbeEntry);
    ASSERT_NE(d, nullptr);
    if (queued) {
      ObReferenceObject(g_device);  // someone else's reference keeps the deleted device
    } else {
      IoQueueWorkItem(g_item, &WaitForever, DelayedWorkQueue, nullptr);
      r.m.kernel().Run();
    }
    r.m.UnloadDriver(d);
  };
}

const Rule kWorkItemRules[] = {
    Rule("an item queued again while still queued", bc::kWorkerInvalid, {1, {}, DelayedWorkQueue, 0},
         [](RuleRig& r) {
           LambdaDriver d(r.m, u"work");
           PIO_WORKITEM item = NewItem(r, d);
           IoQueueWorkItem(item, &Nothing, DelayedWorkQueue, nullptr);
           IoQueueWorkItem(item, &Nothing, DelayedWorkQueue, nullptr);
         }),
    Rule("a queued item freed", bc::kWorkerInvalid, {2, {}, Addr(reinterpret_cast<void*>(&Nothing)), 0},
         [](RuleRig& r) {
           LambdaDriver d(r.m, u"work");
           PIO_WORKITEM item = NewItem(r, d);
           IoQueueWorkItem(item, &Nothing, CriticalWorkQueue, nullptr);
           IoFreeWorkItem(item);
         }),
    Rule("an item queued for a deleted device nothing references", bc::kPageFaultInFreedSpecialPool, {},
         [](RuleRig& r) {
           LambdaDriver d(r.m, u"work");
           PDEVICE_OBJECT device = d.AddDevice();
           PIO_WORKITEM item = IoAllocateWorkItem(device);
           IoDeleteDevice(device);
           r.expect[0] = Addr(device);
           IoQueueWorkItem(item, &Nothing, DelayedWorkQueue, nullptr);
         }),
    Rule("a routine returning holding a spin lock", bc::kWorkerThreadReturnedAtBadIrql,
         {Addr(reinterpret_cast<void*>(&ReturnHoldingSpinLock)), DISPATCH_LEVEL},
         ReturnFrom(&ReturnHoldingSpinLock)),
    Rule("a routine returning holding a fast mutex", bc::kWorkerThreadReturnedAtBadIrql,
         {Addr(reinterpret_cast<void*>(&ReturnHoldingFastMutex)), APC_LEVEL},
         ReturnFrom(&ReturnHoldingFastMutex)),
    Rule("a routine returning owning a kernel mutex", bc::kDriverVerifierDetectedViolation,
         {0x100A, {}, Addr(&g_mutex), Addr(reinterpret_cast<void*>(&ReturnHoldingMutex))},
         ReturnFrom(&ReturnHoldingMutex, false)),
    Rule("a driver unloading with an item queued", bc::kDriverUnloadedWithoutCancellingPendingOperations,
         {Addr(reinterpret_cast<void*>(&Nothing)), 0, 0, 0}, UnloadWithItem(true)),
    Rule("a driver unloading while a routine of it runs",
         bc::kDriverUnloadedWithoutCancellingPendingOperations,
         {Addr(reinterpret_cast<void*>(&WaitForever)), 0, 0, 0}, UnloadWithItem(false)),
};

TEST(IoWorkItem, EveryRuleBugChecksWithWindowsCodeAndParameters) {
  for (const Rule& rule : kWorkItemRules) ExpectRuleFires(rule);
}

}  // namespace
