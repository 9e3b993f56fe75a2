// The machine's processors: a context at DISPATCH_LEVEL or above holds its processor, so no more
// contexts than processors are ever at DISPATCH_LEVEL at once; threads run on every processor and
// report it; a DPC runs on the processor that queued it.
#include <algorithm>
#include <set>
#include <stdexcept>
#include <vector>

#include "nt/kernel_test_support.h"

namespace {

using emu::Kernel;
using emu::KernelConfig;
using emu::ProcessorModel;
using emu::testing::MachineConfig;
using emu::testing::RaiseTo;

KernelConfig Processors(unsigned n, uint64_t seed) {
  KernelConfig config =
      MachineConfig(n == 1 ? ProcessorModel::Uniprocessor : ProcessorModel::Multiprocessor, seed);
  config.processorCount = n;
  return config;
}

// What the contexts saw: the processors threads ran on, and per processor whether some context is
// at DISPATCH_LEVEL there now.
struct Occupancy {
  explicit Occupancy(unsigned n) : held(n, false) {}
  std::vector<bool> held;
  std::set<ULONG> used;
  int atDispatch = 0, most = 0;
  int overlaps = 0;       // a processor taken by two contexts at DISPATCH_LEVEL at once
  int dpcsElsewhere = 0;  // a DPC that ran on another processor than its queuer's
  int outOfRange = 0;     // a processor number not below the processor count
  LONG spin = 0;

  // Takes the current processor at DISPATCH_LEVEL for a few switch points.
  void Hold() {
    ULONG p = KeGetCurrentProcessorNumber();
    if (p >= held.size()) {
      ++outOfRange;
      return;
    }
    overlaps += held[p];
    held[p] = true;
    most = std::max(most, ++atDispatch);
    for (int i = 0; i < 3; ++i) InterlockedIncrement(&spin);
    --atDispatch;
    held[p] = false;
  }
};

struct QueuedFrom {
  Occupancy* occupancy;
  ULONG processor;
  KDPC dpc;
};

VOID NTAPI HoldFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* q = static_cast<QueuedFrom*>(context);
  q->occupancy->dpcsElsewhere += KeGetCurrentProcessorNumber() != q->processor;
  q->occupancy->Hold();
}

// 3n threads that each take their processor at DISPATCH_LEVEL five times, queueing a DPC there.
Occupancy RunHolders(const KernelConfig& config) {
  Kernel k(config);
  const unsigned n = k.ProcessorCount();
  Occupancy o(n);
  std::vector<QueuedFrom> dpcs(3 * n);
  for (unsigned t = 0; t < 3 * n; ++t) {
    dpcs[t].occupancy = &o;
    KeInitializeDpc(&dpcs[t].dpc, HoldFromDpc, &dpcs[t]);
    k.StartSystemThread("holder" + std::to_string(t), [&o, q = &dpcs[t]] {
      for (int round = 0; round < 5; ++round) {
        o.used.insert(KeGetCurrentProcessorNumber());
        KIRQL old = RaiseTo(DISPATCH_LEVEL);
        q->processor = KeGetCurrentProcessorNumber();
        KeInsertQueueDpc(&q->dpc, nullptr, nullptr);
        o.Hold();
        KeLowerIrql(old);
      }
    });
  }
  k.Run();
  return o;
}

TEST(KernelProcessors, NoMoreContextsAtDispatchLevelThanProcessorsAndDpcsStayOnTheirProcessor) {
  for (unsigned n : {1u, 2u, 4u, 8u}) {
    SCOPED_TRACE(std::to_string(n) + " processors");
    int most = 0;
    for (uint64_t seed = 1; seed <= emu::testing::kSeedsPerModel; ++seed) {
      SCOPED_TRACE("seed " + std::to_string(seed));
      Occupancy o = RunHolders(Processors(n, seed));
      EXPECT_EQ(o.outOfRange, 0) << "a processor number not below " << n;
      EXPECT_EQ(o.overlaps, 0) << "two contexts at DISPATCH_LEVEL on one processor";
      EXPECT_LE(o.most, static_cast<int>(n)) << "more contexts at DISPATCH_LEVEL than processors";
      EXPECT_EQ(o.used.size(), n) << "threads did not run on every processor";
      EXPECT_EQ(o.dpcsElsewhere, 0) << "a DPC ran on another processor than the one that queued it";
      most = std::max(most, o.most);
    }
    EXPECT_EQ(most, static_cast<int>(n)) << "no seed had every processor at DISPATCH_LEVEL at once";
  }
}

TEST(KernelProcessors, ActiveProcessorsFollowTheConfiguration) {
  for (unsigned n : {1u, 2u, 8u, 32u}) {
    Kernel k(Processors(n, 1));
    EXPECT_EQ(k.ProcessorCount(), n);
    EXPECT_EQ(KeQueryActiveProcessors(), n == 32 ? 0xFFFFFFFFu : (KAFFINITY{1} << n) - 1);
    EXPECT_EQ(KeGetCurrentProcessorNumber(), 0u) << "the main stack counts as processor 0";
  }
  for (unsigned n : {0u, 33u}) EXPECT_THROW(Kernel k(Processors(n, 1)), std::invalid_argument) << n;
  KernelConfig up = Processors(1, 1);
  up.processorCount = 8;
  Kernel k(up);
  EXPECT_EQ(k.ProcessorCount(), 1u) << "the uniprocessor model has one processor, whatever the count";
}

}  // namespace
