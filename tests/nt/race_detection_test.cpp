// ThreadSanitizer on the emulated machine (tsan build): the contexts are ordered only by what the
// kernel's synchronisation guarantees on a multiprocessor. A counter that a dispatch thread and a
// DPC update without a lock is a data race under both processor models, reported with both
// contexts and the machine's configuration; the same counter under its spin lock, and data handed
// over by each of the kernel's orderings, give no report.
#include <gmock/gmock.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "nt/happens_before.h"
#include "nt/io_test_support.h"

namespace {

using emu::Kernel;
using emu::KernelConfig;
using emu::kMillisecond;
using emu::ProcessorModel;
using emu::testing::ForEachMachine;
using emu::testing::kModels;
using emu::testing::MachineConfig;
using emu::testing::PdoRig;
using emu::testing::Relative;
using emu::testing::WaitOn;
using ::testing::AllOf;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;

#if TARNWIRE_TSAN
#define SKIP_WITHOUT_TSAN()
#else
#define SKIP_WITHOUT_TSAN() \
  GTEST_SKIP() << "race detection needs the ThreadSanitizer build (cmake --preset tsan)"
#endif

constexpr int kRounds = 3;

// --- The driver snippet: a counter shared by a dispatch routine and its DPC ------------------------
struct Counter {
  KSPIN_LOCK lock;
  KDPC dpc;
  KEVENT dpcDone;
  ULONG value = 0;
  bool locked = false;  // under the spin lock, or merely at DISPATCH_LEVEL
};

VOID CountInDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* c = static_cast<Counter*>(context);
  if (c->locked) KeAcquireSpinLockAtDpcLevel(&c->lock);
  c->value++;
  if (c->locked) KeReleaseSpinLockFromDpcLevel(&c->lock);
  KeSetEvent(&c->dpcDone, IO_NO_INCREMENT, FALSE);
}

// Each round queues the DPC, counts once itself and waits until the DPC has counted.
void CountInDispatch(Counter& c) {
  for (int i = 0; i < kRounds; ++i) {
    KeInsertQueueDpc(&c.dpc, nullptr, nullptr);
    KIRQL old;
    if (c.locked)
      KeAcquireSpinLock(&c.lock, &old);
    else
      KeRaiseIrql(DISPATCH_LEVEL, &old);
    c.value++;
    if (c.locked)
      KeReleaseSpinLock(&c.lock, old);
    else
      KeLowerIrql(old);
    WaitOn(&c.dpcDone);
  }
}

ULONG RunCounter(const KernelConfig& config, bool locked) {
  Kernel k(config);
  Counter c;
  c.locked = locked;
  KeInitializeSpinLock(&c.lock);
  KeInitializeDpc(&c.dpc, &CountInDpc, &c);
  KeInitializeEvent(&c.dpcDone, SynchronizationEvent, FALSE);
  k.RunInSystemThread("dispatch", [&c] { CountInDispatch(c); });
  return c.value;
}

TEST(RaceDetection, CounterOfDispatchAndDpcWithoutLockIsReportedWithBothContextsAndTheMachine) {
  SKIP_WITHOUT_TSAN();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr uint64_t kSeed = 5;
  for (ProcessorModel model : kModels) {
    const bool up = model == ProcessorModel::Uniprocessor;
    SCOPED_TRACE(up ? "uniprocessor: raising the IRQL is no lock" : "multiprocessor");
    // The child stops at the report (halt_on_error) or, without that option, right after the run.
    EXPECT_EXIT(
        {
          RunCounter(MachineConfig(model, kSeed), false);
          std::_Exit(emu::hb::ReportCount() != 0 ? 66 : 0);
        },
        ::testing::ExitedWithCode(66),
        AllOf(HasSubstr("WARNING: ThreadSanitizer: data race"), HasSubstr("CountInDpc"),
              HasSubstr("CountInDispatch"), ContainsRegex("Thread T[0-9]+ 'dispatch'"),
              ContainsRegex("Thread T[0-9]+ 'dpc[0-9]*'"),
              HasSubstr(std::string("seed 5, model ") + (up ? "UP" : "MP"))));
  }
}

// --- Orderings the kernel guarantees: data handed over through each gives no report ----------------
struct HandOff {
  ULONG data = 0;
  KEVENT event;
  KSEMAPHORE semaphore;
  KTIMER timer;
  KDPC dpc;
  FAST_MUTEX fastMutex;
  KMUTEX mutex;
  LONG flag = 0;
};

VOID DoubleInDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* h = static_cast<HandOff*>(context);
  h->data *= 2;
  KeSetEvent(&h->event, IO_NO_INCREMENT, FALSE);
}

VOID SetInThread(PVOID context) { static_cast<HandOff*>(context)->data = 21; }

void WaitForThread(HandOff& h) {
  HANDLE handle;
  PVOID thread;
  PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, &SetInThread, &h);
  ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr);
  ZwClose(handle);
  WaitOn(thread);
  ObDereferenceObject(thread);
}

using Step = void (*)(HandOff&);

// A "writer" thread sets data to 21 and runs `pass`; a "reader" thread runs `take` and doubles the
// data (without `take`, the DPC does). Under a mutex, two threads each add 21 instead.
struct Ordering {
  const char* how;
  Step pass = nullptr, take = nullptr, lock = nullptr, unlock = nullptr;
};
const Ordering kOrderings[] = {
    {"an event", [](HandOff& h) { KeSetEvent(&h.event, IO_NO_INCREMENT, FALSE); },
     [](HandOff& h) { WaitOn(&h.event); }},
    {"a semaphore", [](HandOff& h) { KeReleaseSemaphore(&h.semaphore, IO_NO_INCREMENT, 1, FALSE); },
     [](HandOff& h) { WaitOn(&h.semaphore); }},
    {"an interlocked flag", [](HandOff& h) { InterlockedExchange(&h.flag, 1); },
     [](HandOff& h) {
       while (InterlockedCompareExchange(&h.flag, 0, 0) == 0) emu::testing::Delay(kMillisecond);
     }},
    {"the end of a thread", nullptr, &WaitForThread},
    {"a timer's DPC",
     [](HandOff& h) {
       KeSetTimer(&h.timer, Relative(kMillisecond), &h.dpc);
       WaitOn(&h.event);
     }},
    {"KeFlushQueuedDpcs",
     [](HandOff& h) {
       KeInsertQueueDpc(&h.dpc, nullptr, nullptr);
       KeFlushQueuedDpcs();
       const ULONG doubled = h.data;  // read here: gtest's comparison is not instrumented
       EXPECT_EQ(doubled, 42u) << "the DPC has run when KeFlushQueuedDpcs returns";
     }},
    {"a fast mutex", nullptr, nullptr, [](HandOff& h) { ExAcquireFastMutex(&h.fastMutex); },
     [](HandOff& h) { ExReleaseFastMutex(&h.fastMutex); }},
    {"a kernel mutex", nullptr, nullptr, [](HandOff& h) { WaitOn(&h.mutex); },
     [](HandOff& h) { KeReleaseMutex(&h.mutex, FALSE); }},
};

TEST(RaceDetection, KernelOrderingsHandDataOverWithoutAReport) {
  SKIP_WITHOUT_TSAN();
  ForEachMachine([](const KernelConfig& config) {
    uint64_t reports = emu::hb::ReportCount();
    EXPECT_EQ(RunCounter(config, true), 2u * kRounds);
    EXPECT_EQ(emu::hb::ReportCount(), reports) << "the spin lock orders the dispatch routine and the DPC";
    for (const auto& o : kOrderings) {
      Kernel k(config);
      HandOff h;
      reports = emu::hb::ReportCount();
      KeInitializeEvent(&h.event, SynchronizationEvent, FALSE);
      KeInitializeSemaphore(&h.semaphore, 0, 1);
      KeInitializeTimer(&h.timer);
      KeInitializeDpc(&h.dpc, &DoubleInDpc, &h);
      ExInitializeFastMutex(&h.fastMutex);
      KeInitializeMutex(&h.mutex, 0);
      if (o.take) {
        k.StartSystemThread("reader", [&h, &o] {
          o.take(h);
          h.data *= 2;
        });
      }
      if (o.pass) {
        k.StartSystemThread("writer", [&h, &o] {
          h.data = 21;
          o.pass(h);
        });
      }
      for (const char* name : {"a", "b"}) {
        if (!o.lock) break;
        k.StartSystemThread(name, [&h, &o] {
          o.lock(h);
          h.data += 21;
          o.unlock(h);
        });
      }
      k.Run();
      EXPECT_EQ(h.data, 42u) << o.how << ": the data was not handed over";
      EXPECT_EQ(emu::hb::ReportCount(), reports) << o.how << " must order the writer before the receiver";
    }
  });
}

// The requester fills in a request and sends a threaded IRP down; the hardware has a DPC complete
// it, where the requester's completion routine reads the request and writes the reply; the
// requester waits for the IRP's event and reads the reply.
struct Request {
  ULONG input = 0;
  ULONG reply = 0;
  KDPC dpc;
};

NTSTATUS NTAPI ReplyOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto* r = static_cast<Request*>(context);
  r->reply = r->input * 2;
  return STATUS_CONTINUE_COMPLETION;
}

TEST(RaceDetection, IrpSentDownCompletedByADpcAndWaitedForGivesNoReport) {
  SKIP_WITHOUT_TSAN();
  ForEachMachine([](const KernelConfig& config) {
    const uint64_t reports = emu::hb::ReportCount();
    PdoRig rig(config);
    Request r;
    KeInitializeDpc(
        &r.dpc,
        [](PKDPC, PVOID, PVOID irp, PVOID) {
          emu::testing::Complete(static_cast<PIRP>(irp), STATUS_SUCCESS, 4);
        },
        nullptr);
    rig.bus.handler = [&rig, &r](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      rig.m.kernel().ScheduleDeviceEvent(rig.m.kernel().Now() + kMillisecond,
                                         [&r, irp] { KeInsertQueueDpc(&r.dpc, irp, nullptr); });
      return STATUS_PENDING;
    };
    ULONG_PTR information = 0;
    rig.m.RunInSystemThread("requester", [&] {
      KEVENT done;
      IO_STATUS_BLOCK iosb{};
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      PIRP irp = IoBuildDeviceIoControlRequest(0x222000, rig.pdo, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
      r.input = 21;
      IoSetCompletionRoutine(irp, &ReplyOnCompletion, &r, TRUE, TRUE, TRUE);
      if (IoCallDriver(rig.pdo, irp) == STATUS_PENDING) WaitOn(&done);
      information = iosb.Information;
      r.reply++;
    });
    EXPECT_EQ(information, 4u) << "the IRP was not completed";
    EXPECT_EQ(r.reply, 43u) << "the completion routine did not reply";
    EXPECT_EQ(emu::hb::ReportCount(), reports)
        << "IoCallDriver orders the request before its completion, the event the reply before the waiter";
  });
}

}  // namespace
