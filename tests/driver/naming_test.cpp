// Port device creation and naming: kernel names, COM names, links, the SERIALCOMM value and the
// interface of a new port, and the add-device failure paths, which leave no device, link,
// SERIALCOMM value, table slot, thread or pool behind and restore SerialCount.
#include <functional>
#include <optional>
#include <ostream>
#include <vector>

#include "driver_fixture.h"

namespace tarnwire::testing {
namespace {

std::u16string Num(int n) { return U16(std::to_string(n)); }
std::vector<int> Range(int from, int to) {
  std::vector<int> v;
  for (int n = from; n <= to; ++n) v.push_back(n);
  return v;
}

class NamingTest : public LoadedDriverTest {
 protected:
  using LoadedDriverTest::LoadedDriverTest;

  void TakeKernelName(int n) {
    ASSERT_EQ(STATUS_SUCCESS, objects().InsertDevice(u"\\Device\\Serial" + Num(n), CreatePdo()));
  }
  void TakeComName(int n) {
    ASSERT_EQ(STATUS_SUCCESS, objects().CreateLink(u"\\DosDevices\\COM" + Num(n), u"\\Device\\Other"));
  }
  // Remembers what exists before an add-device that is to fail.
  void Snapshot() {
    ports_ = PortCount();
    values_ = SerialCommValueCount();
    handles_ = registry().OpenHandleCount();
    threads_ = DriverThreadsCreated() - DriverThreadsEnded();
    serialCount_ = SerialCount();
    links_ = objects().Links().size();
    devices_ = objects().DeviceNames().size();
    pool_ = PoolBlockCount();
  }
  void ExpectNothingLeft() {
    EXPECT_EQ(ports_, PortCount()) << "the table slot is still taken";
    EXPECT_EQ(serialCount_, SerialCount()) << "SerialCount not restored";
    EXPECT_EQ(devices_, objects().DeviceNames().size()) << "a named device object is left";
    EXPECT_EQ(links_, objects().Links().size()) << "a DOS link is left";
    EXPECT_EQ(values_, SerialCommValueCount()) << "a SERIALCOMM value is left";
    EXPECT_EQ(handles_, registry().OpenHandleCount()) << "a registry key was left open";
    EXPECT_EQ(pool_, PoolBlockCount()) << "pool left allocated";
    EXPECT_EQ(threads_, DriverThreadsCreated() - DriverThreadsEnded()) << "a port thread still runs";
  }

  // Checks the port's names and what it holds under them: its link and SERIALCOMM value.
  void ExpectNamed(PDEVICE_OBJECT port, int number, std::u16string_view com, ULONG serialIndex) {
    ASSERT_NE(nullptr, port);
    std::u16string device = u"\\Device\\Serial" + Num(number);
    EXPECT_EQ(device, ToU16(Ext(port)->DeviceName));
    EXPECT_EQ(com, ToU16(Ext(port)->PortName));
    EXPECT_EQ(serialIndex, Ext(port)->SerialIndex);
    EXPECT_EQ(device, LinkTarget(com)) << "the DOS link does not lead to the port";
    auto value = registry().GetValue(emu::kRegistrySerialComm, device);
    ASSERT_TRUE(value) << "no SERIALCOMM value named by the kernel device name";
    EXPECT_EQ(ULONG(REG_SZ), value->type);
    std::u16string data(value->data.size() / 2, u'?');
    memcpy(data.data(), value->data.data(), data.size() * 2);
    EXPECT_EQ(std::u16string(com) + u'\0', data) << "the SERIALCOMM value is not the COM name and its NUL";
  }

  ULONG serialCount_ = 0;
  size_t ports_ = 0, values_ = 0, handles_ = 0, threads_ = 0, links_ = 0, devices_ = 0, pool_ = 0;
};

TEST_F(NamingTest, FirstBridgeIsSerial2AndCom8WithItsLinkValueInterfaceAndThreads) {
  SerialCount() = 0;
  PDEVICE_OBJECT port = AddBridge();
  ExpectNamed(port, 2, u"COM8", 7);
  ASSERT_NE(nullptr, port);
  PPORT_EXTENSION ext = Ext(port);
  EXPECT_EQ(u"COM8", ToU16(ext->WmiPortName));
  const emu::ObjectNamespace::Interface* iface = objects().FindInterface(ToU16(ext->InterfaceName));
  ASSERT_NE(nullptr, iface) << "COM-port interface not registered";
  EXPECT_EQ(0, memcmp(&GUID_DEVINTERFACE_COMPORT, &iface->classGuid, sizeof(GUID)));
  EXPECT_EQ(ext->PhysicalDeviceObject, iface->pdo);
  EXPECT_FALSE(iface->enabled) << "the interface is enabled before the port is started";

  EXPECT_EQ(ULONG(FILE_DEVICE_SERIAL_PORT), port->DeviceType);
  EXPECT_TRUE(port->Characteristics & FILE_DEVICE_SECURE_OPEN);
  EXPECT_EQ(ULONG(DO_EXCLUSIVE | DO_BUFFERED_IO | DO_POWER_PAGABLE),
            port->Flags & (DO_EXCLUSIVE | DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING));
  EXPECT_EQ(ext->PhysicalDeviceObject, ext->LowerDeviceObject) << "not attached above the PDO";
  bool blockInPool = false;
  for (const auto& b : kernel().LivePoolBlocks())
    blockInPool |=
        b.address == ext->BufferBlock && b.size == PORT_BUFFER_BLOCK_SIZE && b.type == NonPagedPool;
  EXPECT_TRUE(blockInPool) << "the port buffer block is not a nonpaged block of its size";
  EXPECT_EQ(3, ext->ThreadCount) << "the three port threads are not running";
}

// A default name: the system's SerialCount and the names other devices hold beforehand, and the
// names the port gets (or the collision).
struct NameCase {
  const char* name;
  ULONG serialCount;
  std::vector<int> takenKernel;  // "\Device\Serial<n>" held by other devices
  std::vector<int> takenCom;     // "COM<n>" held by other links
  NTSTATUS status;
  int number;  // of the kernel name
  const char16_t* com;
  ULONG serialIndex;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class DefaultNameTest : public NamingTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(DefaultNameTest, NamesThePortOrFailsWithTheCollisionLeavingNothingBehind) {
  const NameCase& c = GetParam();
  for (int n : c.takenKernel) TakeKernelName(n);
  for (int n : c.takenCom) TakeComName(n);
  PDEVICE_OBJECT pdo = CreatePdo();
  SerialCount() = c.serialCount;
  Snapshot();
  PDEVICE_OBJECT port = nullptr;
  ASSERT_EQ(c.status, AddPort(pdo, &port)) << "add-device returned the wrong status";
  if (!NT_SUCCESS(c.status)) return ExpectNothingLeft();
  ExpectNamed(port, c.number, c.com, c.serialIndex);
  EXPECT_EQ(c.serialCount + 1, SerialCount());
}

constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kCollision = STATUS_OBJECT_NAME_COLLISION;
// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, DefaultNameTest, ::testing::Values(
    //       name                          count kernel names  COM names     status      number, COM, index
    NameCase{"SerialCount1GivesNumber2",   1,   {},            {},           kOk,        2, u"COM8", 7},
    NameCase{"NumberFollowsSerialCount",   5,   {},            {},           kOk,        5, u"COM8", 7},
    NameCase{"ComNameFollowsNumberAbove7", 9,   {},            {},           kOk,        9, u"COM10", 9},
    // Nine digits are the most that fit the 20-byte scratch string with their NUL.
    NameCase{"NineDigitNumber", 123456789,  {},            {},           kOk,  123456789, u"COM123456790", 123456789},
    NameCase{"TakenNumberRetriedFrom19",   5,   {5},           {},           kOk,        19, u"COM20", 19},
    NameCase{"NumberRetryGoesOnTo20",      5,   {5, 19},       {},           kOk,        20, u"COM21", 20},
    // A default name above COM21 gets no retry but is used when free.
    NameCase{"NameAboveCom21UsedWhenFree", 5,   {5, 19, 20},   {},           kOk,        21, u"COM22", 21},
    NameCase{"LastKernelNameTriedIs63",    5,   Range(5, 62),  {},           kOk,        63, u"COM64", 63},
    NameCase{"NoFreeKernelName",           19,  Range(19, 63), {},           kCollision, 0, nullptr, 0},
    NameCase{"TakenComNamesMoveNameUp",    0,   {},            {8, 9},       kOk,        2, u"COM10", 9},
    NameCase{"Com8ToCom21Taken",           0,   {},            Range(8, 21), kCollision, 0, nullptr, 0},
    NameCase{"Com20GetsOneMoreTry",        19,  {},            {20},         kOk,        19, u"COM21", 20},
    NameCase{"Com21GetsNoRetry",           20,  {},            {21},         kCollision, 0, nullptr, 0}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });
// clang-format on

// "PortName" from the hardware key is used when it is NUL-terminated within the 64-byte buffer and
// 1 to 20 characters long (so that it fits in the link name); otherwise the default name is.
TEST_F(NamingTest, PortNameFromTheHardwareKeyIsUsedWhenItFitsAndIsTerminated) {
  // clang-format off
  const struct { std::u16string stored; bool terminated; int failPoolAfter; std::u16string expected; }
  cases[] = {
      {u"COM3",                     true,  -1, u"COM3"},
      {u"COM4",                     false, -1, u"COM4"},
      {u"ABCDEFGHIJKLMNOPQRST",     true,  -1, u"ABCDEFGHIJKLMNOPQRST"},
      {u"ABCDEFGHIJKLMNOPQRSTU",    true,  -1, u"COM8"},
      {std::u16string(32, u'X'),    false, -1, u"COM8"},
      {std::u16string(40, u'X'),    true,  -1, u"COM8"},
      {u"",                         true,  -1, u"COM8"},
      {u"COM3",                     true,  1,  u"COM8"},  // no pool for the registry query
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE("PortName \"" + Narrow(c.stored) + (c.terminated ? "\"" : "\" without NUL") +
                 (c.failPoolAfter >= 0 ? ", no pool for the query" : ""));
    PDEVICE_OBJECT pdo = CreatePdo();
    registry().SetString(HardwareKey(pdo), u"PortName", c.stored, c.terminated);
    if (c.failPoolAfter >= 0) kernel().FailPoolAllocations(1, c.failPoolAfter);
    size_t handles = registry().OpenHandleCount();
    PDEVICE_OBJECT port = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, AddPort(pdo, &port));
    EXPECT_EQ(handles, registry().OpenHandleCount()) << "the hardware key was left open";
    ExpectNamed(port, 2, c.expected, c.expected == u"COM8" ? 7 : 2);
    RemovePort(port);
  }
}

// ReadRegistryString copies the value's data, whatever its type, when it fits the buffer.
TEST_F(NamingTest, ReadRegistryStringCopiesDataThatFitsAndRefusesLongerData) {
  PDEVICE_OBJECT pdo = CreatePdo();
  std::vector<uint8_t> tooLong(66);
  for (size_t i = 0; i < tooLong.size(); ++i) tooLong[i] = uint8_t(i + 1);
  const std::vector<uint8_t> fits(tooLong.begin(), tooLong.begin() + 64);
  const ULONG dword = 0x01020304;
  registry().SetValue(HardwareKey(pdo), u"PortName", REG_BINARY, fits.data(), fits.size());
  registry().SetValue(HardwareKey(pdo), u"Long", REG_SZ, tooLong.data(), tooLong.size());
  registry().SetValue(HardwareKey(pdo), u"Number", REG_DWORD, &dword, sizeof dword);
  // clang-format off
  const struct { const char16_t* value; int failPool; NTSTATUS status; std::vector<uint8_t> data; } cases[] = {
      {u"PortName", -1, STATUS_SUCCESS,                fits},
      {u"Number",   -1, STATUS_SUCCESS,                {4, 3, 2, 1}},
      {u"Long",     -1, STATUS_BUFFER_TOO_SMALL,       {}},
      {u"Missing",  -1, STATUS_OBJECT_NAME_NOT_FOUND,  {}},
      {u"PortName",  0, STATUS_INSUFFICIENT_RESOURCES, {}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.value) + (c.failPool >= 0 ? ", no pool" : ""));
    std::vector<uint8_t> buffer(64, 0xEE);
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(machine().RunInSystemThread("read", [&] {
      HANDLE key;
      ASSERT_EQ(STATUS_SUCCESS,
                IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key));
      if (c.failPool >= 0) kernel().FailPoolAllocations(1, c.failPool);
      status = ReadRegistryString(key, c.value, buffer.data(), 64);
      ZwClose(key);
    }));
    EXPECT_EQ(c.status, status);
    std::vector<uint8_t> expected = c.data;
    expected.resize(64, 0xEE);
    EXPECT_EQ(expected, buffer) << "the buffer does not hold exactly the value's data";
  }
}

// A COM name held by a port that was removed but is still open is taken over: the first removed
// port that holds a link gives up its link and SERIALCOMM value, whatever its name. While no
// port is removed, the name is a collision.
TEST_F(NamingTest, RemovedPortGivesUpItsLinkAndNoOtherDoes) {
  PDEVICE_OBJECT first = AddBridge(u"COM3");
  ASSERT_NE(nullptr, first);
  std::u16string firstName = ToU16(Ext(first)->DeviceName);
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, AddPort(CreatePdo(u"COM3")))
      << "a port that was not removed lost its name";
  EXPECT_EQ(firstName, LinkTarget(u"COM3"));

  Ext(first)->Removed = TRUE;  // surprise-removed, still open
  PDEVICE_OBJECT second = AddBridge(u"COM3");
  ASSERT_NE(nullptr, second);
  std::u16string secondName = ToU16(Ext(second)->DeviceName);
  EXPECT_EQ(secondName, LinkTarget(u"COM3"));
  EXPECT_EQ(nullptr, Ext(first)->DosLinkName.Buffer);
  EXPECT_FALSE(SerialCommValue(firstName)) << "the removed port kept its SERIALCOMM value";
  EXPECT_EQ(std::optional<std::u16string>(u"COM3"), SerialCommValue(secondName));

  // The takeover does not compare names: COM8 is held by another link, COM3 still goes.
  Ext(second)->Removed = TRUE;
  TakeComName(8);
  SerialCount() = 4;
  PDEVICE_OBJECT third = AddBridge();
  ASSERT_NE(nullptr, third);
  EXPECT_EQ(u"COM9", ToU16(Ext(third)->PortName));
  EXPECT_FALSE(LinkTarget(u"COM3")) << "the removed port's link should be gone";
}

// A device object that is not a PDO (here another port's) has no hardware key: there is no key
// handle to close, the default name is tried, and registering the interface fails.
TEST_F(NamingTest, DeviceWithoutHardwareKeyFailsAtTheInterfaceWithoutClosingAKey) {
  PDEVICE_OBJECT first = AddBridge(u"COM3");
  ASSERT_NE(nullptr, first);
  Snapshot();
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, AddPort(first));
  ExpectNothingLeft();
}

TEST_F(NamingTest, SeventeenthBridgeAndMissingPdoAreRefused) {
  for (int i = 0; i < MAX_PORT_DEVICES; ++i) ASSERT_NE(nullptr, AddBridge(u"COM" + Num(30 + i)));
  ULONG count = SerialCount();
  EXPECT_EQ(STATUS_NO_MORE_ENTRIES, AddPort(CreatePdo())) << "a seventeenth bridge";
  EXPECT_EQ(count, SerialCount()) << "a refused bridge changed SerialCount";
  NTSTATUS status = STATUS_SUCCESS;
  machine().RunInSystemThread("add", [&] { status = AddPortDevice(driver(), NULL); });
  EXPECT_EQ(STATUS_NO_MORE_ENTRIES, status) << "no PDO";
}

// Whichever step of add-device fails, the port leaves nothing behind. A port without all three
// threads would never serve its requests: add-device fails instead, after stopping the threads
// that did start. A created thread may not have run yet when the creation of the next one fails;
// add-device must not return before it has come and gone.
using AddFailureTest = Scheduled<NamingTest>;

TEST_P(AddFailureTest, LeavesNothingBehindWhicheverStepFails) {
  SerialCount() = 3;
  // Pool allocations of add-device, in order: the port buffer block, the registry query record
  // for "PortName", the interface's symbolic name, the port's work item.
  const auto failPool = [this](uint32_t skip) {
    return [=, this] { kernel().FailPoolAllocations(1, skip); };
  };
  const auto failThread = [this](uint32_t skip) {
    return [=, this] { kernel().FailThreadCreations(1, skip); };
  };
  // A PDO deleted before add-device runs cannot be attached to. The reference the Plug and Play
  // manager holds while it calls add-device keeps the deleted object itself valid.
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT referencedPdo = nullptr;
  const auto deletePdo = [&] {
    machine().RunInSystemThread("bus", [&] {
      ObReferenceObject(pdo);
      IoDeleteDevice(pdo);
    });
    referencedPdo = pdo;
  };
  // clang-format off
  const struct { const char* what; std::function<void()> inject; NTSTATUS status; } cases[] = {
      {"no port buffer block",      failPool(0),   STATUS_INSUFFICIENT_RESOURCES},
      {"interface not registered",  failPool(2),   STATUS_INSUFFICIENT_RESOURCES},
      {"no work item",              failPool(3),   STATUS_INSUFFICIENT_RESOURCES},
      {"first thread not created",  failThread(0), STATUS_INSUFFICIENT_RESOURCES},
      {"second thread not created", failThread(1), STATUS_INSUFFICIENT_RESOURCES},
      {"third thread not created",  failThread(2), STATUS_INSUFFICIENT_RESOURCES},
      {"attach fails",              deletePdo,     STATUS_UNSUCCESSFUL},
      {"no SERIALCOMM value", [&] { registry().DeleteKey(emu::kRegistryDeviceMap); },
       STATUS_OBJECT_NAME_NOT_FOUND},
      // A name from the registry that is taken is never replaced by a default one.
      {"PortName taken", [&] { registry().CreateKey(emu::kRegistryDeviceMap); TakeComName(3); },
       STATUS_OBJECT_NAME_COLLISION},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    pdo = CreatePdo(u"COM3");
    c.inject();
    Snapshot();
    EXPECT_EQ(c.status, machine().AddDevice(driver(), pdo));
    EXPECT_EQ(DriverThreadsCreated(), DriverThreadsStarted())
        << "add-device failed before the threads it created had started";
    if (referencedPdo != nullptr) {
      machine().RunInSystemThread("pnp", [&] { ObDereferenceObject(referencedPdo); });
      referencedPdo = nullptr;
    }
    kernel().Run();
    ExpectNothingLeft();
  }
}

INSTANTIATE_TEST_SUITE_P(Schedules, AddFailureTest, AllSchedules(), ScheduleName);

// A removal may follow add-device at once, and stopping the threads waits only for the threads
// counted in ThreadCount: add-device must not return before all three have counted themselves in.
using AddedPortThreadsTest = Scheduled<NamingTest>;

TEST_P(AddedPortThreadsTest, AllThreeThreadsAreCountedWhenAddDeviceReturns) {
  PDEVICE_OBJECT pdo = CreatePdo();
  ASSERT_EQ(STATUS_SUCCESS, machine().AddDevice(driver(), pdo));
  EXPECT_EQ(3, Ext(PortOf(pdo))->ThreadCount)
      << "add-device returned before every port thread had counted itself in";
}

INSTANTIATE_TEST_SUITE_P(Schedules, AddedPortThreadsTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
