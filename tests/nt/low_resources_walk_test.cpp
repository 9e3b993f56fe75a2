// Systematic low-resources simulation: every allocation site a driver reaches fails in turn, at
// each reach, and an error path that leaks is caught by the unload checks of its run.
#include <string>
#include <vector>

#include "nt/io_test_support.h"
#include "nt/low_resources.h"

namespace {

using emu::AllocationSite;
using emu::LowResources;

constexpr ULONG kTag = 'klaW';
void* g_blocks[3];
bool g_leakOnLoopFailure = false;

void FreeBlocks() {
  for (void*& b : g_blocks) {
    if (b != nullptr) ExFreePoolWithTag(b, kTag);
    b = nullptr;
  }
}

// One allocation site for every block after the first, whatever the compiler does to the loop
// (not inlined, and no tail call: the site is the return address of the call).
__attribute__((noinline)) void* AllocateBlock() {
  void* block = ExAllocatePoolWithTag(PagedPool, 32, kTag);
  asm volatile("" ::: "memory");
  return block;
}

// Allocates at four sites: a block, two blocks from one site in a loop, an IRP and a thread; and
// undoes what it did when one fails (unless told to leak the first block on the loop's failure).
NTSTATUS NTAPI WalkedEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = [](PDRIVER_OBJECT) { FreeBlocks(); };
  for (void*& b : g_blocks) b = nullptr;
  g_blocks[0] = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  if (g_blocks[0] == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  for (int i = 1; i < 3; ++i) {
    g_blocks[i] = AllocateBlock();
    if (g_blocks[i] == nullptr) {
      if (g_leakOnLoopFailure) g_blocks[0] = nullptr;
      FreeBlocks();
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  PIRP irp = IoAllocateIrp(1, FALSE);
  if (irp == nullptr) {
    FreeBlocks();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoFreeIrp(irp);
  HANDLE thread = nullptr;
  NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
  if (!NT_SUCCESS(status)) {
    FreeBlocks();
    return status;
  }
  PVOID object = nullptr;
  ObReferenceObjectByHandle(thread, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr);
  ZwClose(thread);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
  return STATUS_SUCCESS;
}

struct WalkRun {
  NTSTATUS entry;
  size_t simulatedFailures;
};

// Loads and unloads the driver on a machine failing as `lowResources` says.
std::vector<AllocationSite> LoadAndUnload(const emu::KernelConfig& base, const LowResources& lowResources,
                                          std::vector<WalkRun>* runs) {
  emu::KernelConfig config = base;
  config.lowResources = lowResources;
  emu::Machine m(config);
  NTSTATUS status = STATUS_SUCCESS;
  PDRIVER_OBJECT driver = m.LoadDriver(u"walked", &WalkedEntry, {}, &status);
  if (driver != nullptr) m.UnloadDriver(driver);
  size_t failures = 0;
  for (const emu::TraceEvent& e : m.kernel().TraceEvents()) failures += e.category == "low-resources";
  runs->push_back({status, failures});
  return m.kernel().AllocationSites();
}

TEST(LowResourcesWalk, EverySiteFailsAtEachReachAndTheDriverFailsCleanly) {
  emu::testing::ForEachModel([](const emu::KernelConfig& config) {
    g_leakOnLoopFailure = false;
    std::vector<WalkRun> runs;
    std::vector<AllocationSite> sites;
    const size_t failing = emu::WalkAllocationFailures([&](const LowResources& lr) {
      std::vector<AllocationSite> reached = LoadAndUnload(config, lr, &runs);
      if (sites.empty()) sites = reached;
      return reached;
    });
    std::string kinds;
    for (const AllocationSite& site : sites) kinds += std::string(site.kind) + " ";
    ASSERT_EQ(4u, sites.size()) << "the block, the loop, the IRP and the thread; reached: " << kinds;
    EXPECT_STREQ("pool", sites[0].kind);
    EXPECT_EQ(1u, sites[0].reaches);
    EXPECT_STREQ("pool", sites[1].kind);
    EXPECT_EQ(2u, sites[1].reaches) << "one site reached twice in the loop";
    EXPECT_STREQ("irp", sites[2].kind);
    EXPECT_STREQ("thread", sites[3].kind);
    EXPECT_EQ(5u, failing) << "1 + 2 reaches of the pool sites, the IRP, the thread";
    ASSERT_EQ(failing + 1, runs.size());
    EXPECT_EQ(STATUS_SUCCESS, runs[0].entry);
    EXPECT_EQ(0u, runs[0].simulatedFailures);
    for (size_t i = 1; i < runs.size(); ++i) {
      EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, runs[i].entry) << "run " << i;
      EXPECT_EQ(1u, runs[i].simulatedFailures) << "run " << i << " fails exactly one allocation";
    }
  });
}

TEST(LowResourcesWalk, AnErrorPathThatLeaksIsCaughtInItsRun) {
  g_leakOnLoopFailure = true;
  std::vector<WalkRun> runs;
  EXPECT_BUGCHECK_THAT(emu::bugcheck::kDriverVerifierDetectedViolation,
                       emu::WalkAllocationFailures([&](const LowResources& lr) {
                         return LoadAndUnload(emu::testing::CurrentConfig(), lr, &runs);
                       }),
                       {
                         EXPECT_EQ(0x62u, bugcheck.params[0]);
                         EXPECT_EQ(1u, bugcheck.params[3]) << "the first block, left by the loop's error path";
                       });
  EXPECT_EQ(2u, runs.size()) << "the first run failing the loop stops the walk";
  g_leakOnLoopFailure = false;
}

}  // namespace
