// Teardown as Windows checks it: a deleted device object's memory counts as freed once nothing
// refers to it, and a driver's unload finds its timers, DPCs, threads and IRPs still alive.
#include "nt/io_test_support.h"

namespace {

using emu::kMillisecond;
using emu::testing::Addr;
using emu::testing::ExpectRuleFires;
using emu::testing::LambdaDriver;
using emu::testing::Relative;
using emu::testing::Rule;
using emu::testing::RuleRig;
using emu::testing::WaitOn;
namespace bc = emu::bugcheck;

LARGE_INTEGER g_ms = Relative(kMillisecond);

VOID NTAPI NoDpc(PKDPC, PVOID, PVOID, PVOID) {}

// A device extension holding kernel objects.
struct Extension {
  KTIMER timer;
  KDPC dpc;
  KEVENT event;
};

Extension* NewDevice(LambdaDriver& d, PDEVICE_OBJECT* device) {
  EXPECT_EQ(IoCreateDevice(d.object, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, device),
            STATUS_SUCCESS);
  auto* ext = static_cast<Extension*>((*device)->DeviceExtension);
  KeInitializeTimer(&ext->timer);
  KeInitializeDpc(&ext->dpc, &NoDpc, nullptr);
  KeInitializeEvent(&ext->event, NotificationEvent, FALSE);
  return ext;
}

// A probe driver: DriverEntry creates the pieces in g_create, its unload routine cleans up all of
// them but those in g_forget. With kQueuedDpc it has no unload routine and the test queues its
// DPC from its own stack, so that nothing runs the DPC before the unload checks.
enum Piece : unsigned { kTimer = 1, kThread = 2, kIrp = 4, kBuiltIrp = 8, kQueuedDpc = 16 };
unsigned g_create, g_forget;
PDEVICE_OBJECT g_target;  // where the built IRP goes

struct Pieces {
  KTIMER timer;
  KDPC dpc;
  KEVENT stop;
  PVOID thread;
  PIRP irp;
  PIRP built;
  KEVENT builtDone;
  IO_STATUS_BLOCK builtStatus;
  LONG ticks;
} g;

VOID NTAPI Tick(PKDPC, PVOID, PVOID, PVOID) { ++g.ticks; }

VOID NTAPI Worker(PVOID) {
  while (WaitOn(&g.stop, &g_ms) == STATUS_TIMEOUT) ++g.ticks;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
  unsigned cleanUp = g_create & ~g_forget;
  if (cleanUp & kTimer) {
    KeCancelTimer(&g.timer);
    KeFlushQueuedDpcs();
  }
  if (cleanUp & kThread) {
    KeSetEvent(&g.stop, 0, FALSE);
    WaitOn(g.thread);
    ObDereferenceObject(g.thread);
  }
  if (cleanUp & kIrp) IoFreeIrp(g.irp);
}

NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  g = Pieces{};
  driver->DriverUnload = (g_forget & kQueuedDpc) ? nullptr : &Unload;
  KeInitializeDpc(&g.dpc, &Tick, nullptr);
  if (g_create & kTimer) {
    KeInitializeTimer(&g.timer);
    KeSetTimerEx(&g.timer, g_ms, 1, &g.dpc);
  }
  if (g_create & kThread) {
    KeInitializeEvent(&g.stop, NotificationEvent, FALSE);
    HANDLE h;
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &Worker, nullptr),
              STATUS_SUCCESS);
    ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &g.thread, nullptr);
    ZwClose(h);
  }
  if (g_create & kIrp) g.irp = IoAllocateIrp(1, FALSE);
  if (g_create & kBuiltIrp) {
    KeInitializeEvent(&g.builtDone, NotificationEvent, FALSE);
    g.built = IoBuildDeviceIoControlRequest(0x220003, g_target, nullptr, 0, nullptr, 0, TRUE, &g.builtDone,
                                            &g.builtStatus);
    IoCallDriver(g_target, g.built);
  }
  return STATUS_SUCCESS;
}

// Loads the probe with `create` and lets it run for 100 ms: six clock ticks, on which its 1 ms
// timer and time-outs expire.
PDRIVER_OBJECT LoadProbe(RuleRig& r, unsigned create, unsigned forget) {
  g_create = create;
  g_forget = forget;
  g_target = r.pdo;
  r.bus.handler = [](PDEVICE_OBJECT, PIRP irp) {  // the built IRP stays pending
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  };
  PDRIVER_OBJECT d = r.m.LoadDriver(u"probe", &ProbeEntry);
  EXPECT_NE(d, nullptr);
  r.m.kernel().RunFor(100 * kMillisecond);
  return d;
}

// Loads the probe with `piece`, runs `before` and unloads it leaving `piece` behind.
std::function<void(RuleRig&)> UnloadLeaving(unsigned piece, std::function<void(RuleRig&)> before) {
  return [=](RuleRig& r) {
    PDRIVER_OBJECT d = LoadProbe(r, piece & ~kQueuedDpc, piece);
    before(r);
    r.m.UnloadDriver(d);
  };
}

const Rule kTeardownRules[] = {
    // A deleted device object and its extension are freed memory once nothing refers to them.
    Rule("a device deleted with a timer set in its extension", bc::kTimerOrDpcInvalid, {0},
         [](RuleRig& r) {
           LambdaDriver d(r.m, u"timer");
           PDEVICE_OBJECT dev;
           Extension* ext = NewDevice(d, &dev);
           KeSetTimer(&ext->timer, g_ms, &ext->dpc);
           r.expect[1] = Addr(&ext->timer);
           IoDeleteDevice(dev);
         }),
    Rule("a device deleted with a DPC queued in its extension", bc::kTimerOrDpcInvalid, {1},
         [](RuleRig& r) {
           LambdaDriver d(r.m, u"dpc");
           PDEVICE_OBJECT dev;
           Extension* ext = NewDevice(d, &dev);
           KeInsertQueueDpc(&ext->dpc, nullptr, nullptr);  // the test's own stack: it stays queued
           r.expect[1] = Addr(&ext->dpc);
           IoDeleteDevice(dev);
         }),
    Rule("an event in a deleted device's extension signalled", bc::kPageFaultInFreedSpecialPool, {{}, 1},
         [](RuleRig& r) {
           LambdaDriver d(r.m, u"event");
           PDEVICE_OBJECT dev;
           Extension* ext = NewDevice(d, &dev);
           IoDeleteDevice(dev);
           r.expect[0] = Addr(&ext->event);
           KeSetEvent(&ext->event, 0, FALSE);
         }),
    Rule("a deleted device nobody references attached to", bc::kPageFaultInFreedSpecialPool, {{}, 0},
         [](RuleRig& r) {
           LambdaDriver d(r.m, u"gone");
           PDEVICE_OBJECT gone, above;
           NewDevice(d, &gone);
           NewDevice(d, &above);
           IoDeleteDevice(gone);
           r.expect[0] = Addr(gone);
           IoAttachDeviceToDeviceStack(above, gone);
         }),
    // What would still run code of an unloaded driver.
    Rule("a driver unloading with its periodic timer set", bc::kTimerOrDpcInvalid,
         {2, reinterpret_cast<ULONG_PTR>(&Tick)}, UnloadLeaving(kTimer, [](RuleRig&) {})),
    Rule("a driver unloading with its DPC queued", bc::kDriverUnloadedWithoutCancellingPendingOperations,
         {reinterpret_cast<ULONG_PTR>(&Tick), 0},
         UnloadLeaving(kQueuedDpc, [](RuleRig&) { KeInsertQueueDpc(&g.dpc, nullptr, nullptr); })),
    Rule("a driver unloading with its system thread still running",
         bc::kDriverUnloadedWithoutCancellingPendingOperations, {reinterpret_cast<ULONG_PTR>(&Worker), 0},
         UnloadLeaving(kThread, [](RuleRig&) {})),
    Rule("a driver unloading with an IRP it allocated", bc::kDriverUnloadedWithoutCancellingPendingOperations,
         {{}, 0, reinterpret_cast<ULONG_PTR>(&Unload)},
         UnloadLeaving(kIrp, [](RuleRig& r) { r.expect[0] = Addr(g.irp); })),
    Rule("a driver unloading while an IRP it built is pending below it",
         bc::kDriverUnloadedWithoutCancellingPendingOperations, {},
         UnloadLeaving(kBuiltIrp, [](RuleRig& r) { r.expect[0] = Addr(g.built); })),
};

TEST(IoTeardown, EveryTeardownRuleBugChecksWithItsCodeAndParameters) {
  for (const Rule& rule : kTeardownRules) ExpectRuleFires(rule);
}

TEST(IoTeardown, ADeletedDeviceStaysValidUntilItsLastFileIsClosed) {
  RuleRig r(emu::testing::MachineConfig(emu::ProcessorModel::Uniprocessor));
  LambdaDriver d(r.m, u"held");
  emu::testing::UStr name(u"\\Device\\Held");
  PDEVICE_OBJECT dev;
  ASSERT_EQ(IoCreateDevice(d.object, sizeof(Extension), name, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev),
            STATUS_SUCCESS);
  dev->Flags &= ~DO_DEVICE_INITIALIZING;
  auto* ext = static_cast<Extension*>(dev->DeviceExtension);
  KeInitializeEvent(&ext->event, NotificationEvent, FALSE);
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(r.m.Open(u"\\Device\\Held", &file), STATUS_SUCCESS);
  IoDeleteDevice(dev);
  EXPECT_NO_THROW(KeSetEvent(&ext->event, 0, FALSE)) << "an open file keeps the deleted device";
  EXPECT_EQ(r.m.Close(file), STATUS_SUCCESS) << "cleanup and close still reach the deleted device";
  EXPECT_BUGCHECK_THAT(bc::kPageFaultInFreedSpecialPool, KeClearEvent(&ext->event),
                       EXPECT_EQ(bugcheck.params[0], Addr(&ext->event)));
}

TEST(IoTeardown, ADriverThatStopsEverythingUnloadsWhileOtherTimersStaySet) {
  RuleRig r(emu::testing::MachineConfig(emu::ProcessorModel::Multiprocessor));
  KTIMER bystander;  // set by code of no driver: none of the probe's business
  KeInitializeTimer(&bystander);
  KeSetTimer(&bystander, Relative(emu::kSecond), nullptr);
  PDRIVER_OBJECT d = LoadProbe(r, kTimer | kThread | kIrp, 0);
  EXPECT_GT(g.ticks, 4) << "the timer's DPC and the thread did not run";
  EXPECT_NO_THROW(r.m.UnloadDriver(d)) << "the probe left nothing behind";
}

}  // namespace
