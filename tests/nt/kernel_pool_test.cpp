// Pool bookkeeping, poisoning and the verifier's pool queries; the low-resources simulation of
// pool, IRP and thread allocation; the kernel handle table; work posted from other OS threads.
#include <gtest/gtest.h>

#include <wdk_ke.h>

#include "nt/handles.h"
#include "nt/kernel.h"
#include "nt/verifier.h"

#include <algorithm>
#include <string>
#include <thread>

namespace {

using emu::Kernel;
using emu::KernelConfig;

KernelConfig LowResources(uint64_t seed, uint32_t poolPercent, uint32_t irpPercent = 0,
                          uint32_t threadPercent = 0) {
  KernelConfig c;
  c.seed = seed;
  c.lowResources.poolFailPercent = poolPercent;
  c.lowResources.irpFailPercent = irpPercent;
  c.lowResources.threadFailPercent = threadPercent;
  return c;
}

TEST(KernelPool, BlocksAreTrackedByTagTypeAndSizeAndPoisoned) {
  Kernel k;
  auto* a = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 24, 'AtsT'));
  auto* b = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 40, 'BtsT'));
  auto* c = static_cast<unsigned char*>(ExAllocatePool(NonPagedPool, 8));
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u) << "pool blocks are at least 8-byte aligned";
  EXPECT_TRUE(std::any_of(a, a + 24, [](unsigned char x) { return x != 0; }))
      << "new pool must not read as zeroes: its contents are undefined";

  auto blocks = k.LivePoolBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  auto find = [&](const void* p) {
    return *std::find_if(blocks.begin(), blocks.end(),
                         [p](const Kernel::PoolBlock& blk) { return blk.address == p; });
  };
  EXPECT_EQ(find(a).tag, static_cast<ULONG>('AtsT'));
  EXPECT_EQ(find(b).type, PagedPool);
  EXPECT_EQ(find(b).size, 40u);
  EXPECT_EQ(find(c).tag, static_cast<ULONG>('enoN')) << "ExAllocatePool tags blocks 'None'";

  EXPECT_TRUE(emu::verifier::IsLivePoolBlock(a));
  EXPECT_FALSE(emu::verifier::IsLivePoolBlock(a + 4));
  auto inside = emu::verifier::FindLivePoolBlock(b + 39);
  ASSERT_TRUE(inside.has_value());
  EXPECT_EQ(inside->address, b);
  auto past = emu::verifier::FindLivePoolBlock(b + 40);
  EXPECT_TRUE(!past || past->address != b) << "the byte after a block is not inside it";

  ExFreePoolWithTag(a, 'AtsT');
  EXPECT_TRUE(emu::verifier::IsInFreedPool(a + 10));
  EXPECT_FALSE(emu::verifier::IsLivePoolBlock(a));
  EXPECT_TRUE(std::all_of(a, a + 24, [](unsigned char x) { return x == 0xF5; }))
      << "freed pool is poisoned";
  EXPECT_FALSE(emu::verifier::IsInFreedPool(b));
  EXPECT_TRUE(emu::verifier::IsInFreedPool(a - 8, 16)) << "a range reaching into a freed block";
  EXPECT_EQ(k.LivePoolBlocks().size(), 2u);
  ExFreePool(b);
  ExFreePool(c);
  EXPECT_TRUE(k.LivePoolBlocks().empty());
}

// Which of 200 allocations succeed ('1') or fail ('0').
std::string PoolPattern(const KernelConfig& config) {
  Kernel k(config);
  std::string s;
  for (int i = 0; i < 200; ++i) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT');
    s += p ? '1' : '0';
    if (p) ExFreePool(p);
  }
  return s;
}

TEST(KernelLowResources, PoolFailuresFollowTheSeedReproducibly) {
  std::string a = PoolPattern(LowResources(5, 30));
  EXPECT_EQ(a, PoolPattern(LowResources(5, 30))) << "the same seed must fail the same calls";
  EXPECT_NE(a, PoolPattern(LowResources(6, 30))) << "another seed should fail other calls";
  auto failures = std::count(a.begin(), a.end(), '0');
  EXPECT_GT(failures, 30) << "30% of 200 allocations should fail, roughly";
  EXPECT_LT(failures, 90);
  EXPECT_EQ(PoolPattern(LowResources(5, 0)), std::string(200, '1'))
      << "without low resources nothing fails";
}

TEST(KernelLowResources, LowResourcesDoNotDisturbTheScheduler) {
  // The failure generators are separate from the scheduler's: turning failures on must not
  // change the choices the scheduler makes.
  auto order = [](const KernelConfig& config) {
    Kernel k(config);
    std::string s;
    LONG x = 0;
    for (char id : {'a', 'b'})
      k.StartSystemThread(std::string(1, id), [&, id] {
        for (int i = 0; i < 8; ++i) {
          if (void* p = ExAllocatePool(NonPagedPool, 8)) ExFreePool(p);
          InterlockedIncrement(&x);
          s += id;
        }
      });
    k.Run();
    return s;
  };
  for (uint64_t seed = 1; seed <= 20; ++seed)
    EXPECT_EQ(order(LowResources(seed, 0)), order(LowResources(seed, 50))) << "seed " << seed;
}

TEST(KernelLowResources, TargetedFailuresSkipThenFail) {
  Kernel k;
  k.FailPoolAllocations(2, 3);
  std::string s;
  for (int i = 0; i < 7; ++i) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT');
    s += p ? '1' : '0';
    if (p) ExFreePool(p);
  }
  EXPECT_EQ(s, "1110011") << "3 allocations succeed, the next 2 fail, then all succeed";
  k.FailIrpAllocations(1);
  EXPECT_TRUE(k.ShouldFailIrpAllocation());
  EXPECT_FALSE(k.ShouldFailIrpAllocation());
}

TEST(KernelLowResources, ThreadCreationFailsWithInsufficientResources) {
  auto pattern = [](const KernelConfig& config) {
    Kernel k(config);
    std::string s;
    int started = 0;
    k.RunInSystemThread("creator", [&] {
      for (int i = 0; i < 40; ++i) {
        HANDLE h = nullptr;
        NTSTATUS st = PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           [](PVOID c) { ++*static_cast<int*>(c); }, &started);
        EXPECT_TRUE(st == STATUS_SUCCESS || st == STATUS_INSUFFICIENT_RESOURCES) << st;
        s += st == STATUS_SUCCESS ? '1' : '0';
        if (h) emu::CloseKernelHandle(h);
      }
    });
    k.Run();
    EXPECT_EQ(started, static_cast<int>(std::count(s.begin(), s.end(), '1')))
        << "every created thread runs, and no failed one does";
    return s;
  };
  std::string a = pattern(LowResources(3, 0, 0, 50));
  EXPECT_EQ(a, pattern(LowResources(3, 0, 0, 50)));
  EXPECT_NE(a.find('0'), std::string::npos);
  EXPECT_NE(a.find('1'), std::string::npos);

  Kernel k;
  k.FailThreadCreations(1);
  k.RunInSystemThread("creator", [] {
    HANDLE h = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   [](PVOID) {}, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
  });
}

TEST(KernelLowResources, IrpFailuresFollowTheSeed) {
  auto pattern = [](uint64_t seed) {
    Kernel k(LowResources(seed, 0, 40));
    std::string s;
    for (int i = 0; i < 100; ++i) s += k.ShouldFailIrpAllocation() ? '0' : '1';
    return s;
  };
  EXPECT_EQ(pattern(8), pattern(8));
  EXPECT_NE(pattern(8), pattern(9));
}

TEST(KernelHandles, KernelHandlesCloseOnceAndDoNotCollideWithSmallHandles) {
  Kernel k;
  static int closed = 0;
  closed = 0;
  int object = 0;
  HANDLE h = emu::CreateKernelHandle(&object, [](PVOID) { ++closed; });
  EXPECT_GE(reinterpret_cast<uintptr_t>(h), 0xFFFFFFFF80000000ull);
  EXPECT_EQ(emu::LookupKernelHandle(h), &object);
  EXPECT_EQ(emu::LookupKernelHandle(reinterpret_cast<HANDLE>(uintptr_t{4})), nullptr);
  EXPECT_TRUE(emu::CloseKernelHandle(h));
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(emu::CloseKernelHandle(h));
  EXPECT_EQ(emu::LookupKernelHandle(h), nullptr);
  EXPECT_FALSE(emu::ReferenceKernelObject(&object)) << "not a kernel-owned object";
}

TEST(KernelRealTime, WorkPostedFromAnotherThreadRunsInTheMachine) {
  KernelConfig c;
  c.realTime = true;
  Kernel k(c);
  KEVENT arrived;
  KeInitializeEvent(&arrived, NotificationEvent, FALSE);
  bool seen = false;
  k.StartSystemThread("reader", [&] {
    KeWaitForSingleObject(&arrived, Executive, KernelMode, FALSE, nullptr);
    seen = true;
  });
  std::thread outside([&] { k.PostFromAnyThread([&] { KeSetEvent(&arrived, 0, FALSE); }); });
  EXPECT_TRUE(k.RunUntil([&] { return seen; }));
  outside.join();
}

}  // namespace
