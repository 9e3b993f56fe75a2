// Memory errors of a driver become visible: overruns of pool blocks, faults in a context (the
// machine stops with a bug check, the process goes on), faults outside every context (report and
// abort), paged pool touched at raised IRQL, and the kernel-stack budget.
#include <cstring>
#include <string>

#include "nt/io_test_support.h"

namespace {

using emu::Kernel;
using emu::KernelConfig;
using emu::ProcessorModel;
using namespace emu::testing;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;
#else
constexpr bool kAsan = false;
#endif

// A field of a structure reached through a NULL pointer. (A null pointer proper would be stopped
// by UBSan's null check before the access in sanitizer builds.)
volatile uintptr_t g_nullField = 0x18;
void WriteNullField() { *reinterpret_cast<volatile LONG*>(g_nullField) = 1; }
void ReadNullField() { (void)*reinterpret_cast<volatile LONG*>(g_nullField); }

bool Contains(const std::string& report, const std::string& text) {
  return report.find(text) != std::string::npos;
}

TEST(KernelMemory, WritingPastAPoolBlockIsCaughtWhenItIsFreedOrItsDriverUnloads) {
  if (kAsan) GTEST_SKIP() << "ASan stops the overrun itself (KernelMemoryDeathTest)";
  for (size_t past : {size_t{1}, size_t{2}, size_t{3}}) {
    SCOPED_TRACE(std::to_string(past) + " bytes past a 13-byte block");
    Kernel k;
    auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 13, 'vOsT'));
    std::memset(p, 0, 13 + past);
    EXPECT_BUGCHECK_THAT(emu::bugcheck::kSpecialPoolDetectedMemoryCorruption, ExFreePool(p), {
      EXPECT_EQ(bugcheck.params[0], Addr(p)) << "the block being freed";
      EXPECT_EQ(bugcheck.params[1], Addr(p + 13)) << "the first byte overwritten";
      EXPECT_EQ(bugcheck.params[3], 0x24u) << "bytes after the end of the allocation";
    });
  }
  Kernel k;
  auto* leaked = static_cast<uint8_t*>(ExAllocatePoolWithTag(PagedPool, 13, 'vOsT'));
  leaked[13] = 0;
  EXPECT_BUGCHECK(emu::bugcheck::kSpecialPoolDetectedMemoryCorruption, k.VerifyNoPoolAtUnload("tarnwire"));
}

TEST(KernelMemory, ABlockWrittenUpToItsLastByteFreesCleanly) {
  for (POOL_TYPE type : {NonPagedPool, PagedPool}) {
    Kernel k;
    auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(type, 13, 'vOsT'));
    std::memset(p, 0, 13);
    ExFreePool(p);
    k.VerifyNoPoolAtUnload("tarnwire");
  }
}

TEST(KernelMemory, AFaultInAContextStopsItsMachineAndTheProcessGoesOn) {
  for (ProcessorModel model : kModels) {
    SCOPED_TRACE(ModelName(model));
    {
      Kernel k(MachineConfig(model, 7));
      k.StartSystemThread("faulty", WriteNullField);
      EXPECT_BUGCHECK_THAT(emu::bugcheck::kPageFaultInNonpagedArea, k.Run(), {
        EXPECT_EQ(bugcheck.params[0], 0x18u) << "the address referenced";
        EXPECT_EQ(bugcheck.params[1], 1u) << "a write";
        EXPECT_NE(bugcheck.params[2], 0u) << "the faulting instruction";
        EXPECT_EQ(bugcheck.context, "faulty");
        EXPECT_TRUE(Contains(bugcheck.report, "seed 7, " + std::string(ModelName(model)))) << bugcheck.report;
      });
    }
    Kernel dpcMachine(MachineConfig(model));
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) { ReadNullField(); }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_BUGCHECK_THAT(emu::bugcheck::kPageFaultInNonpagedArea, dpcMachine.Run(), {
      EXPECT_EQ(bugcheck.params[1], 0u) << "a read";
      EXPECT_EQ(bugcheck.context.rfind("dpc", 0), 0u) << bugcheck.context;
    });
  }
  Kernel next;
  bool ran = false;
  next.RunInSystemThread("next", [&] { ran = true; });
  EXPECT_TRUE(ran) << "a new machine runs after one stopped on a fault";
}

TEST(KernelMemory, AThreadedIrpCompletingIntoTheStackOfAnEndedThreadBugChecks) {
  PdoRig r(MachineConfig(ProcessorModel::Uniprocessor, 3));
  PIRP parked = nullptr;
  r.ParkNext(&parked);
  ASSERT_TRUE(r.m.RunInSystemThread("issuer", [&] {
    KEVENT done;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, r.pdo, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    EXPECT_EQ(IoCallDriver(r.pdo, irp), STATUS_PENDING);
    // Returns without waiting: the event and the status block go away with the stack.
  }));
  ASSERT_NE(parked, nullptr);
  EXPECT_BUGCHECK_THAT(
      emu::bugcheck::kPageFaultInNonpagedArea,
      r.m.kernel().RunInSystemThread("completer", [&] { Complete(parked, STATUS_SUCCESS); }), {
        EXPECT_EQ(bugcheck.params[1], 1u) << "the status block is written";
        EXPECT_EQ(bugcheck.context, "completer");
        EXPECT_TRUE(Contains(bugcheck.report, "seed 3"));
        EXPECT_TRUE(Contains(bugcheck.report, "the stack of a context that has ended")) << bugcheck.report;
      });
}

TEST(KernelMemoryDeathTest, AFaultOutsideEveryContextPrintsTheReportAndAborts) {
#if TARNWIRE_TSAN
  GTEST_SKIP() << "ThreadSanitizer takes over fault signals outside the machine's contexts; the ordinary "
                  "and asan builds check this report";
#endif
  EXPECT_DEATH(
      {
        Kernel k(MachineConfig(ProcessorModel::Multiprocessor, 11));
        WriteNullField();
      },
      "PAGE_FAULT_IN_NONPAGED_AREA.*seed 11, multiprocessor");
}

TEST(KernelMemoryDeathTest, AsanStopsAnOverrunOrAUseOfFreedPoolAtOnce) {
  if (!kAsan) GTEST_SKIP() << "ordinary builds: canaries and the quarantine (KernelMemory)";
  EXPECT_DEATH(
      {
        Kernel k;
        auto* p = static_cast<volatile uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 13, 'vOsT'));
        p[13] = 0;
      },
      "heap-buffer-overflow");
  EXPECT_DEATH(
      {
        Kernel k;
        auto* p = static_cast<volatile uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 13, 'vOsT'));
        ExFreePool(const_cast<uint8_t*>(p));
        (void)p[0];
      },
      "use-after-poison");
}

KernelConfig PagedPoolFaults(ProcessorModel model) {
  KernelConfig c = MachineConfig(model);
  c.pagedPoolFaultsAtDispatch = true;
  return c;
}

TEST(KernelMemory, PagedPoolTouchedAtDispatchLevelBugChecksIrqlNotLessOrEqual) {
  for (ProcessorModel model : kModels) {
    SCOPED_TRACE(ModelName(model));
    {
      Kernel k(PagedPoolFaults(model));
      auto* paged = static_cast<volatile LONG*>(ExAllocatePoolWithTag(PagedPool, 64, 'gPsT'));
      auto* nonpaged = static_cast<volatile LONG*>(ExAllocatePoolWithTag(NonPagedPool, 64, 'nPsT'));
      EXPECT_BUGCHECK_THAT(emu::bugcheck::kIrqlNotLessOrEqual,
                           k.RunInSystemThread("toucher",
                                               [&] {
                                                 paged[0] = 1;
                                                 KIRQL old = RaiseTo(DISPATCH_LEVEL);
                                                 nonpaged[0] = 2;
                                                 KeLowerIrql(old);
                                                 paged[1] = 3;  // accessible again below DISPATCH_LEVEL
                                                 RaiseTo(DISPATCH_LEVEL);
                                                 paged[2] = 4;
                                               }),
                           {
                             EXPECT_EQ(bugcheck.params[0], Addr(&paged[2]));
                             EXPECT_EQ(bugcheck.params[1], DISPATCH_LEVEL);
                             EXPECT_EQ(bugcheck.params[2], 1u) << "a write";
                             EXPECT_EQ(bugcheck.context, "toucher");
                           });
      EXPECT_EQ(paged[0] + paged[1], 4) << "paged pool is accessible below DISPATCH_LEVEL";
    }

    Kernel dpcMachine(PagedPoolFaults(model));
    KDPC dpc;
    PVOID block = ExAllocatePoolWithTag(PagedPool, 64, 'gPsT');
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID b, PVOID, PVOID) { (void)*static_cast<volatile LONG*>(b); }, block);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_BUGCHECK_THAT(emu::bugcheck::kIrqlNotLessOrEqual, dpcMachine.Run(),
                         EXPECT_EQ(bugcheck.params[2], 0u) << "a read");
  }
}

TEST(KernelMemory, AFreedPagedBlockFaultsAsFreedPool) {
  Kernel k(PagedPoolFaults(ProcessorModel::Uniprocessor));
  auto* p = static_cast<volatile LONG*>(ExAllocatePoolWithTag(PagedPool, 64, 'gPsT'));
  ExFreePool(const_cast<LONG*>(p));
  k.StartSystemThread("late", [p] { (void)p[3]; });
  EXPECT_BUGCHECK_THAT(emu::bugcheck::kPageFaultInFreedSpecialPool, k.Run(), {
    EXPECT_EQ(bugcheck.params[0], Addr(&p[3]));
    EXPECT_EQ(bugcheck.params[1], 0u) << "a read";
  });
}

// Touches the deepest byte of an n-byte frame.
template <size_t N>
__attribute__((noinline)) char UseStack() {
  volatile char frame[N];
  frame[0] = 1;
  return frame[0];
}

__attribute__((noinline)) int RunAway(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return depth > (1 << 20) ? 0 : RunAway(depth + 1) + frame[0];
}

TEST(KernelMemory, AThreadUsingMoreThanItsKernelStackBudgetBugChecks) {
  constexpr size_t kDeep = kAsan ? 64u << 10 : 32u << 10;
  ASSERT_GT(kDeep, Kernel::StackBudget());
  ASSERT_LT(8u << 10, Kernel::StackBudget() / 2);
  {
    Kernel fits;
    fits.RunInSystemThread("modest", UseStack<8u << 10>);
  }
  {
    Kernel ended;
    EXPECT_BUGCHECK_THAT(emu::bugcheck::kUnexpectedKernelModeTrap,
                         ended.RunInSystemThread("deep", UseStack<kDeep>), {
                           EXPECT_EQ(bugcheck.params[0], 8u) << "a double fault";
                           EXPECT_EQ(bugcheck.context, "deep");
                         });
  }
  {
    // Still running (waiting) when Run returns.
    Kernel waiting;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    waiting.StartSystemThread("deep-waiter", [&] {
      UseStack<kDeep>();
      WaitOn(&never);
    });
    EXPECT_BUGCHECK_THAT(emu::bugcheck::kUnexpectedKernelModeTrap, waiting.Run(),
                         EXPECT_EQ(bugcheck.context, "deep-waiter"));
  }
  // Running into the guard page below the stack.
  Kernel overflow;
  overflow.StartSystemThread("recursion", [] { RunAway(0); });
  EXPECT_BUGCHECK_THAT(emu::bugcheck::kUnexpectedKernelModeTrap, overflow.Run(), {
    EXPECT_EQ(bugcheck.params[0], 8u);
    EXPECT_TRUE(Contains(bugcheck.report, "guard page")) << bugcheck.report;
  });
}

}  // namespace
