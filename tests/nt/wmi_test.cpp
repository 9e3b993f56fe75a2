// The WMI library and service: a small provider that hands IRP_MJ_SYSTEM_CONTROL to
// WmiSystemControl answers registration, queries of one or all instances (with the too-small
// answer and its size), and changes; requests for an unregistered block or another provider of
// the stack end as Windows ends them.
#include <wmilib.h>

#include <cstring>
#include <vector>

#include "nt/io_test_support.h"

namespace {

using emu::WmiInstance;
using emu::WmiQueryResult;
using emu::testing::Complete;
using emu::testing::LambdaDriver;
using emu::testing::PdoRig;

constexpr GUID kCounters = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSettings = {0x44444444, 0x5555, 0x6666, {8, 7, 6, 5, 4, 3, 2, 1}};
constexpr GUID kUnknown = {0x77777777, 0x8888, 0x9999, {0, 0, 0, 0, 0, 0, 0, 0}};

ULONG Align8(ULONG n) { return (n + 7u) & ~7u; }

// Block 0 (kCounters): two instances of different lengths. Block 1 (kSettings): one instance,
// changeable as a whole but not item by item.
struct TestProvider {
  WMIGUIDREGINFO guids[2] = {{&kCounters, 2, 0}, {&kSettings, 1, 0}};
  WMILIB_CONTEXT context{};
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  UNICODE_STRING registryPath{};
  std::u16string registryChars = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\provider";
  std::vector<std::vector<UCHAR>> counters = {{1, 2, 3, 4, 5}, {9, 8, 7, 6, 5, 4, 3, 2}};
  std::vector<UCHAR> settings = {0xAA, 0xBB, 0xCC};
  std::vector<SYSCTL_IRP_DISPOSITION> dispositions;
  std::vector<ULONG> queriedIndexes;
  std::vector<UCHAR> changedTo;

  static TestProvider* Of(PDEVICE_OBJECT device) {
    return *static_cast<TestProvider**>(device->DeviceExtension);
  }

  static NTSTATUS NTAPI RegInfo(PDEVICE_OBJECT device, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* path,
                                PUNICODE_STRING, PDEVICE_OBJECT* pdo) {
    TestProvider* p = Of(device);
    *flags = WMIREG_FLAG_INSTANCE_PDO;
    *path = &p->registryPath;
    *pdo = p->lower;
    return STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI Query(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG first, ULONG count,
                              PULONG lengths, ULONG avail, PUCHAR buffer) {
    TestProvider* p = Of(device);
    p->queriedIndexes.push_back(first);
    std::vector<const std::vector<UCHAR>*> blocks;
    for (ULONG i = first; i < first + count; ++i)
      blocks.push_back(guidIndex == 0 ? &p->counters[i] : &p->settings);
    ULONG needed = 0;
    for (auto* b : blocks) needed = Align8(needed) + static_cast<ULONG>(b->size());
    if (lengths == nullptr || avail < needed)
      return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, needed, IO_NO_INCREMENT);
    ULONG at = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
      at = Align8(at);
      std::memcpy(buffer + at, blocks[i]->data(), blocks[i]->size());
      lengths[i] = static_cast<ULONG>(blocks[i]->size());
      at += lengths[i];
    }
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, needed, IO_NO_INCREMENT);
  }
  static NTSTATUS NTAPI Change(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG, ULONG size,
                               PUCHAR data) {
    if (guidIndex != 1) return WmiCompleteRequest(device, irp, STATUS_WMI_READ_ONLY, 0, IO_NO_INCREMENT);
    Of(device)->changedTo.assign(data, data + size);
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
  }

  TestProvider(LambdaDriver& driver, PDEVICE_OBJECT pdo) : lower(pdo) {
    device = driver.AddDevice(pdo);
    *static_cast<TestProvider**>(device->DeviceExtension) = this;
    registryPath = {static_cast<USHORT>(registryChars.size() * 2),
                    static_cast<USHORT>(registryChars.size() * 2), registryChars.data()};
    context = {2, guids, RegInfo, Query, Change, nullptr, nullptr, nullptr};
    driver.dispatch = [this](PDEVICE_OBJECT dev, PIRP irp) {
      SYSCTL_IRP_DISPOSITION disposition;
      NTSTATUS status = WmiSystemControl(&context, dev, irp, &disposition);
      dispositions.push_back(disposition);
      if (disposition == IrpProcessed) return status;
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(lower, irp);
    };
  }
};

struct WmiRig : PdoRig {
  LambdaDriver driver{m, u"provider"};
  TestProvider provider{driver, pdo};
  std::u16string Instance(ULONG i) { return m.WmiInstanceName(pdo, i); }
  NTSTATUS Register(ULONG action) {
    NTSTATUS status = STATUS_PENDING;
    EXPECT_TRUE(
        m.RunInSystemThread("register", [&] { status = IoWMIRegistrationControl(provider.device, action); }));
    return status;
  }
};

TEST(WmiLibrary, RegistrationAsksTheProviderForItsBlocksAndDeregistrationForgetsThem) {
  WmiRig rig;
  EXPECT_EQ(rig.m.QueryWmiBlock(kSettings, rig.Instance(0)).status, STATUS_WMI_GUID_NOT_FOUND)
      << "a block is known before its provider registered";
  ASSERT_EQ(rig.Register(WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  ASSERT_EQ(rig.provider.dispositions.size(), 1u) << "registering did not send IRP_MN_REGINFO";
  auto blocks = rig.m.io().Wmi().BlocksOf(rig.provider.device);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(std::memcmp(&blocks[0].guid, &kCounters, sizeof(GUID)), 0);
  EXPECT_EQ(blocks[0].instanceCount, 2u);
  EXPECT_EQ(blocks[1].flags, static_cast<ULONG>(WMIREG_FLAG_INSTANCE_PDO))
      << "the callback's flags are added";
  EXPECT_EQ(blocks[1].pdo, rig.pdo);
  EXPECT_EQ(rig.m.io().Wmi().RegistryPathOf(rig.provider.device), rig.provider.registryChars);
  EXPECT_EQ(rig.Instance(1), u"USB\\VID_0B39&PID_0421\\5&1_1")
      << "PDO instance names: instance path, _, index";

  ASSERT_EQ(rig.Register(WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
  EXPECT_FALSE(rig.m.io().WmiRegistered(rig.provider.device));
  EXPECT_EQ(rig.m.QueryWmiBlock(kSettings, rig.Instance(0)).status, STATUS_WMI_GUID_NOT_FOUND)
      << "a deregistered provider still answered";
  EXPECT_EQ(rig.provider.dispositions.size(), 1u) << "a query reached a deregistered provider";
}

TEST(WmiLibrary, SingleInstanceQueryReturnsTheInstanceOrTheSizeItNeeds) {
  WmiRig rig;
  ASSERT_EQ(rig.Register(WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  WmiQueryResult r = rig.m.QueryWmiBlock(kCounters, rig.Instance(1), 8);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.data, rig.provider.counters[1]);
  EXPECT_EQ(rig.provider.queriedIndexes.back(), 1u) << "the instance index of the name was not passed";

  r = rig.m.QueryWmiBlock(kCounters, rig.Instance(1), 7);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.sizeNeeded, 8u);
  EXPECT_TRUE(r.data.empty());

  // The answer as the library leaves it: a WNODE_TOO_SMALL, completed with success.
  ASSERT_TRUE(rig.m.RunInSystemThread("raw", [&] {
    const ULONG size = 64 + 4;
    std::vector<uint64_t> wnode(size / 8 + 1, 0);
    auto* si = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(wnode.data());
    si->WnodeHeader.BufferSize = size;
    si->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    si->DataBlockOffset = 64;
    GUID path = kCounters;
    ULONG_PTR information = 0;
    EXPECT_EQ(rig.m.io().Wmi().Send(rig.provider.device, IRP_MN_QUERY_SINGLE_INSTANCE, &path, wnode, size,
                                    &information),
              STATUS_SUCCESS);
    auto* small = reinterpret_cast<PWNODE_TOO_SMALL>(wnode.data());
    EXPECT_EQ(information, sizeof(WNODE_TOO_SMALL));
    EXPECT_TRUE(small->WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL);
    EXPECT_EQ(small->SizeNeeded, 64u + 5u) << "the size needed counts the WNODE up to its data";
  }));

  EXPECT_EQ(rig.m.QueryWmiBlock(kCounters, rig.Instance(2)).status, STATUS_WMI_INSTANCE_NOT_FOUND);
  EXPECT_EQ(rig.m.QueryWmiBlock(kUnknown, rig.Instance(0)).status, STATUS_WMI_GUID_NOT_FOUND);
}

TEST(WmiLibrary, AllDataQueryListsEveryInstanceAndIsAskedAgainWhenTooSmall) {
  WmiRig rig;
  ASSERT_EQ(rig.Register(WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  std::vector<WmiInstance> all;
  ASSERT_EQ(rig.m.QueryWmiAllData(kCounters, &all, 4), STATUS_SUCCESS);
  EXPECT_EQ(rig.provider.queriedIndexes.size(), 2u)
      << "the too-small answer was not followed by a larger request";
  ASSERT_EQ(all.size(), 2u);
  for (ULONG i = 0; i < 2; ++i) {
    EXPECT_EQ(all[i].name, rig.Instance(i));
    EXPECT_EQ(all[i].data, rig.provider.counters[i])
        << "instance " << i << " (8-byte aligned after the first)";
  }
  EXPECT_EQ(rig.m.QueryWmiAllData(kUnknown, &all), STATUS_WMI_GUID_NOT_FOUND);
}

TEST(WmiLibrary, ChangesReachTheSetCallbackAndItemsWithoutOneAreReadOnly) {
  WmiRig rig;
  ASSERT_EQ(rig.Register(WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  const UCHAR value[] = {7, 7, 7, 7};
  EXPECT_EQ(rig.m.SetWmiBlock(kSettings, rig.Instance(0), value, sizeof value), STATUS_SUCCESS);
  EXPECT_EQ(rig.provider.changedTo, std::vector<UCHAR>(value, value + sizeof value));
  EXPECT_EQ(rig.m.SetWmiBlock(kCounters, rig.Instance(0), value, sizeof value), STATUS_WMI_READ_ONLY);
  EXPECT_EQ(rig.m.SetWmiItem(kSettings, rig.Instance(0), 1, value, 1), STATUS_WMI_READ_ONLY)
      << "no item callback: the library answers read-only";
  EXPECT_EQ(rig.m.SetWmiBlock(kUnknown, rig.Instance(0), value, 1), STATUS_WMI_GUID_NOT_FOUND);
}

TEST(WmiLibrary, RequestsForAnotherProviderOfTheStackGoDown) {
  WmiRig rig;
  ASSERT_EQ(rig.Register(WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  int reachedBus = 0;
  rig.bus.handler = [&](PDEVICE_OBJECT, PIRP irp) {
    ++reachedBus;
    return Complete(irp, STATUS_WMI_GUID_NOT_FOUND);
  };
  ASSERT_TRUE(rig.m.RunInSystemThread("other", [&] {
    std::vector<uint64_t> wnode(16, 0);
    GUID path = kCounters;
    ULONG_PTR information = 0;
    EXPECT_EQ(rig.m.io().Wmi().Send(rig.pdo, IRP_MN_QUERY_ALL_DATA, &path, wnode, 128, &information),
              STATUS_WMI_GUID_NOT_FOUND);
  }));
  EXPECT_EQ(reachedBus, 1);
  EXPECT_EQ(rig.provider.dispositions.back(), IrpForward);
}

}  // namespace
