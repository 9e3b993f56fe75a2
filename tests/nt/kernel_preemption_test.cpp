// Preemption at kernel calls: a read-modify-write of shared data with a pool, IRP or time call
// between the read and the write loses updates in some schedules, under both processor models,
// and never does under the spin lock that should guard it.
#include "nt/kernel_test_support.h"
#include "nt/machine.h"

namespace {

using emu::Kernel;
using emu::KernelConfig;
using emu::ProcessorModel;
using emu::testing::kModels;
using emu::testing::MachineConfig;
using emu::testing::ModelName;

constexpr uint64_t kSeeds = 100;

// Two threads each add 1 to a plain field ten times, allocating pool and an IRP between reading
// the field and writing it back. Returns the updates lost.
int LostWithPoolAndIrpCalls(const KernelConfig& config) {
  emu::Machine m(config);
  int field = 0;
  for (int t = 0; t < 2; ++t) {
    m.kernel().StartSystemThread("adder" + std::to_string(t), [&field] {
      for (int i = 0; i < 10; ++i) {
        int seen = field;
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT');
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        ExFreePoolWithTag(block, 'tseT');
        field = seen + 1;
      }
    });
  }
  m.kernel().Run();
  return 20 - field;
}

TEST(KernelPreemption, PoolAndIrpRoutinesAreSwitchPoints) {
  for (ProcessorModel model : kModels) {
    SCOPED_TRACE(ModelName(model));
    int lossySeeds = 0;
    for (uint64_t seed = 1; seed <= kSeeds; ++seed)
      lossySeeds += LostWithPoolAndIrpCalls(MachineConfig(model, seed)) > 0;
    EXPECT_GT(lossySeeds, 0) << "no seed preempted a thread inside ExAllocatePoolWithTag, IoAllocateIrp or "
                                "IoFreeIrp";
  }
}

// Stand-ins for dispatch routines (threads at PASSIVE_LEVEL) and a DPC count requests in a plain
// counter, reading the interrupt time between reading the counter and writing it back. The
// hardware queues the DPC every 500 ns and each thread every fifth update; with `locked` every
// update holds the spin lock. Returns the updates lost and counts updates that overlapped.
int LostUnderContention(const KernelConfig& config, int threads, bool locked, int* overlaps) {
  Kernel k(config);
  struct Shared {
    KSPIN_LOCK lock;
    bool locked, inside = false;
    int counter = 0, updates = 0, overlaps = 0;
    void Update() {
      overlaps += inside;
      inside = true;
      int seen = counter;
      KeQueryInterruptTime();
      counter = seen + 1;
      ++updates;
      inside = false;
    }
  } s;
  s.locked = locked;
  KeInitializeSpinLock(&s.lock);
  KDPC dpc;
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto* sh = static_cast<Shared*>(context);
        if (sh->locked) KeAcquireSpinLockAtDpcLevel(&sh->lock);
        sh->Update();
        if (sh->locked) KeReleaseSpinLockFromDpcLevel(&sh->lock);
      },
      &s);
  for (int i = 1; i <= 20; ++i)
    k.ScheduleDeviceEvent(i * 5, [&dpc] { KeInsertQueueDpc(&dpc, nullptr, nullptr); });
  for (int t = 0; t < threads; ++t) {
    k.StartSystemThread("dispatch" + std::to_string(t), [&s, &dpc] {
      for (int i = 0; i < 25; ++i) {
        KIRQL old = PASSIVE_LEVEL;
        if (s.locked) KeAcquireSpinLock(&s.lock, &old);
        s.Update();
        if (i % 5 == 0) KeInsertQueueDpc(&dpc, nullptr, nullptr);
        if (s.locked) KeReleaseSpinLock(&s.lock, old);
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
      }
    });
  }
  k.Run();
  *overlaps = s.overlaps;
  return s.updates - s.counter;
}

TEST(KernelPreemption, SpinLockGivesMutualExclusionUnderContention) {
  emu::testing::ForEachMachine([](const emu::KernelConfig& config) {
    int overlaps = 0;
    EXPECT_EQ(LostUnderContention(config, 4, true, &overlaps), 0)
        << "updates under the lock were lost";
    EXPECT_EQ(overlaps, 0) << "two contexts were inside the spin lock at once";
  });
}

TEST(KernelPreemption, DpcInterleavesWithAnUnlockedUpdateButNotWithALockedOne) {
  for (ProcessorModel model : kModels) {
    SCOPED_TRACE(ModelName(model));
    int lossySeeds = 0, overlaps = 0;
    for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
      lossySeeds += LostUnderContention(MachineConfig(model, seed), 1, false, &overlaps) > 0;
      EXPECT_EQ(LostUnderContention(MachineConfig(model, seed), 1, true, &overlaps), 0)
          << "seed " << seed << ": an update under the spin lock was lost";
    }
    EXPECT_GT(lossySeeds, 0) << "no seed ran the DPC between the read and the write";
  }
}

}  // namespace
