// Pool bookkeeping, poisoning and the verifier's pool queries; the low-resources simulation of
// pool, IRP and thread allocation; the kernel handle table; work posted from other OS threads.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <string>
#include <thread>

#include "nt/handles.h"
#include "nt/io_test_support.h"
#include "nt/verifier.h"

namespace {

using emu::Kernel;
using emu::KernelConfig;
using emu::testing::PdoRig;

TEST(KernelPool, BlocksAreTrackedByTagTypeAndSizeAndPoisoned) {
  Kernel k(test_support::CurrentConfig());
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
  EXPECT_TRUE(inside && inside->address == b) << "the last byte of a block is inside it";
  auto past = emu::verifier::FindLivePoolBlock(b + 40);
  EXPECT_TRUE(!past || past->address != b) << "the byte after a block is not inside it";

  ExFreePoolWithTag(a, 'AtsT');
  EXPECT_FALSE(emu::verifier::IsLivePoolBlock(a));
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_EQ(__asan_region_is_poisoned(a, 24), a) << "freed pool is poisoned for ASan";
#else
  EXPECT_TRUE(std::all_of(a, a + 24, [](unsigned char x) { return x == 0xF5; })) << "freed pool is poisoned";
#endif
  EXPECT_TRUE(emu::verifier::IsInFreedPool(a + 10));
  EXPECT_TRUE(emu::verifier::IsInFreedPool(a - 8, 16)) << "a range reaching into a freed block";
  EXPECT_FALSE(emu::verifier::IsInFreedPool(b));
  ExFreePool(b);
  ExFreePool(c);
  EXPECT_TRUE(k.LivePoolBlocks().empty());
}

// A resource the low-resources mode fails: its failure rate, its targeted failures, and one
// attempt to get it (true when granted). IRPs come from IoAllocateIrp and
// IoBuildDeviceIoControlRequest in turn.
struct Resource {
  const char* name;
  uint32_t emu::LowResources::*percent;
  void (Kernel::*fail)(uint32_t, uint32_t);
  std::function<bool(PdoRig&, int)> attempt;
};

int g_threadsRun = 0;

const Resource kResources[] = {
    {"pool", &emu::LowResources::poolFailPercent, &Kernel::FailPoolAllocations,
     [](PdoRig&, int) {
       void* p = ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT');
       if (p != nullptr) ExFreePool(p);
       return p != nullptr;
     }},
    {"IRPs", &emu::LowResources::irpFailPercent, &Kernel::FailIrpAllocations,
     [](PdoRig& r, int i) {
       KEVENT e;
       IO_STATUS_BLOCK iosb;
       KeInitializeEvent(&e, NotificationEvent, FALSE);
       PIRP irp =
           i % 2 ? IoBuildDeviceIoControlRequest(0x220003, r.pdo, nullptr, 0, nullptr, 0, TRUE, &e, &iosb)
                 : IoAllocateIrp(1, FALSE);
       if (irp != nullptr) i % 2 ? (void)IoCallDriver(r.pdo, irp) : IoFreeIrp(irp);
       return irp != nullptr;
     }},
    {"threads", &emu::LowResources::threadFailPercent, &Kernel::FailThreadCreations,
     [](PdoRig&, int) {
       HANDLE h = nullptr;
       NTSTATUS st = PsCreateSystemThread(
           &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) { ++g_threadsRun; }, nullptr);
       EXPECT_TRUE(st == STATUS_SUCCESS || st == STATUS_INSUFFICIENT_RESOURCES) << st;
       return st == STATUS_SUCCESS && ZwClose(h) == STATUS_SUCCESS;
     }},
};

// Which of n attempts succeed ('1') or fail ('0') with the given failure rate and seed, or
// with FailXxx(2, 3) when `targeted`.
std::string Pattern(const Resource& res, uint64_t seed, uint32_t percent, int n, bool targeted = false) {
  KernelConfig config;
  config.seed = seed;
  config.lowResources.*res.percent = percent;
  PdoRig r(config);
  if (targeted) (r.m.kernel().*res.fail)(2, 3);
  std::string s;
  g_threadsRun = 0;
  EXPECT_TRUE(r.m.RunInSystemThread("allocator", [&] {
    for (int i = 0; i < n; ++i) s += res.attempt(r, i) ? '1' : '0';
  }));
  r.m.kernel().Run();
  if (res.percent == &emu::LowResources::threadFailPercent) {
    EXPECT_EQ(g_threadsRun, std::count(s.begin(), s.end(), '1'))
        << "every created thread runs, no failed one";
  }
  EXPECT_EQ(r.m.io().LiveIrpCount(), 0u);
  return s;
}

TEST(KernelLowResources, PoolIrpAndThreadFailuresFollowTheSeedOrTheTarget) {
  for (const Resource& res : kResources) {
    SCOPED_TRACE(res.name);
    std::string a = Pattern(res, 5, 30, 100);
    EXPECT_EQ(a, Pattern(res, 5, 30, 100)) << "the same seed must fail the same calls";
    EXPECT_NE(a, Pattern(res, 6, 30, 100)) << "another seed should fail other calls";
    auto failures = std::count(a.begin(), a.end(), '0');
    EXPECT_TRUE(failures > 10 && failures < 50) << failures << " of 100 failed at 30%: " << a;
    EXPECT_EQ(Pattern(res, 5, 0, 100), std::string(100, '1')) << "without low resources nothing fails";
    EXPECT_EQ(Pattern(res, 5, 0, 7, true), "1110011") << "targeted: 3 succeed, 2 fail, then all succeed";
  }
}

TEST(KernelLowResources, LowResourcesDoNotDisturbTheScheduler) {
  // The failure generators are separate from the scheduler's: turning failures on must not
  // change the choices the scheduler makes (every kernel call is a switch point, so a failed
  // allocation makes a call in place of the free).
  auto order = [](uint64_t seed, uint32_t percent) {
    KernelConfig config;
    config.seed = seed;
    config.lowResources.poolFailPercent = percent;
    Kernel k(config);
    std::string s;
    LONG x = 0;
    for (char id : {'a', 'b'})
      k.StartSystemThread(std::string(1, id), [&, id] {
        for (int i = 0; i < 8; ++i) {
          LARGE_INTEGER now;
          if (void* p = ExAllocatePool(NonPagedPool, 8))
            ExFreePool(p);
          else
            KeQuerySystemTime(&now);
          InterlockedIncrement(&x);
          s += id;
        }
      });
    k.Run();
    return s;
  };
  for (uint64_t seed = 1; seed <= emu::testing::kSeedsPerModel; ++seed)
    EXPECT_EQ(order(seed, 0), order(seed, 50)) << "seed " << seed;
}

TEST(KernelHandles, KernelHandlesCloseOnceAndDoNotCollideWithSmallHandles) {
  Kernel k(test_support::CurrentConfig());
  static int closed;
  closed = 0;
  int object = 0;
  HANDLE h = emu::CreateKernelHandle(&object, [](PVOID) { ++closed; });
  EXPECT_GE(reinterpret_cast<uintptr_t>(h), 0xFFFFFFFF80000000ull);
  EXPECT_EQ(emu::LookupKernelHandle(h), &object);
  EXPECT_EQ(emu::LookupKernelHandle(reinterpret_cast<HANDLE>(uintptr_t{4})), nullptr);
  EXPECT_TRUE(emu::CloseKernelHandle(h));
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(emu::CloseKernelHandle(h)) << "a handle closes only once";
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
    emu::testing::WaitOn(&arrived);
    seen = true;
  });
  std::thread outside([&] { k.PostFromAnyThread([&] { KeSetEvent(&arrived, 0, FALSE); }); });
  EXPECT_TRUE(k.RunUntil([&] { return seen; }));
  outside.join();

  // Posted work that alone makes the condition true (nothing in the machine wakes) ends the run
  // at once, not at its limit.
  bool posted = false;
  std::thread again([&] { k.PostFromAnyThread([&] { posted = true; }); });
  const emu::VirtualTime limit = k.Now() + 60 * emu::kSecond;
  EXPECT_TRUE(k.RunUntil([&] { return posted; }, limit));
  again.join();
  EXPECT_LT(k.Now(), limit) << "the run waited for its limit after the posted work had run";
}

}  // namespace
