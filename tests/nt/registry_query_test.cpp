// The registry through the driver's routines: RtlQueryRegistryValues (direct values, defaults,
// missing values and keys), RtlWrite/DeleteRegistryValue on the device map, ZwQueryValueKey's
// record layouts and size rules, and the device's hardware key.
#include "nt/bugcheck_expect.h"
#include "nt/io_test_support.h"
#include "nt/io_util.h"

#include <cstring>
#include <vector>

namespace {

using emu::Machine;
using emu::testing::StubBus;

const std::u16string kService = Machine::ServiceKeyPath(u"tarnwire");

// Runs body at PASSIVE_LEVEL in a system thread, where the registry routines belong.
void InSystemThread(Machine& m, std::function<void()> body) {
  ASSERT_TRUE(m.RunInSystemThread("registry", std::move(body)));
}

struct DwordQuery {
  RTL_QUERY_REGISTRY_TABLE table[2]{};
  ULONG value;
  ULONG fallback;
  DwordQuery(PWSTR name, ULONG initial, ULONG flags = 0) {
    value = initial;
    fallback = initial;
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
    table[0].Name = name;
    table[0].EntryContext = &value;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof(ULONG);
  }
};

TEST(RegistryQuery, DirectDwordReadsTheValueOrStoresTheDefault) {
  Machine m;
  m.registry().CreateKey(kService);
  m.registry().SetDword(kService, u"UserRemoval", 1);
  std::u16string path = kService;
  std::u16string present = u"UserRemoval", missing = u"NoSuchValue";
  InSystemThread(m, [&] {
    DwordQuery q(present.data(), 0);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path.c_str(),
                                     q.table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(q.value, 1u) << "a REG_DWORD goes straight into the ULONG";

    DwordQuery d(missing.data(), 9);
    d.value = 0;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), d.table, nullptr,
                                     nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(d.value, 9u) << "a missing value takes DefaultData";

    DwordQuery r(missing.data(), 4, RTL_QUERY_REGISTRY_REQUIRED);
    r.value = 4;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), r.table, nullptr,
                                     nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "RTL_QUERY_REGISTRY_REQUIRED turns a missing value into a failure";

    DwordQuery noDefault(missing.data(), 5);
    noDefault.table[0].DefaultType = REG_NONE;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), noDefault.table,
                                     nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(noDefault.value, 5u) << "with DefaultType REG_NONE nothing is stored";

    std::u16string gone = kService + u"Missing";
    DwordQuery k(present.data(), 3);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, gone.c_str(),
                                     k.table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "a missing key fails the query even when marked optional";
    EXPECT_EQ(k.value, 3u);
  });
}

TEST(RegistryQuery, DirectStringFillsOrAllocatesTheUnicodeString) {
  Machine m;
  m.registry().SetString(kService, u"PortName", u"COM3");
  m.registry().SetString(kService, u"Bare", u"COM12", /*terminate=*/false);
  std::u16string path = kService;
  std::u16string portName = u"PortName", bare = u"Bare", missing = u"Missing";
  InSystemThread(m, [&] {
    UNICODE_STRING allocated{};
    WCHAR small[3];
    UNICODE_STRING tooSmall{0, sizeof small, small};
    WCHAR room[16];
    UNICODE_STRING unterminated{0, sizeof room, room};
    WCHAR fallback[] = u"COM1";
    WCHAR out[16];
    UNICODE_STRING defaulted{0, sizeof out, out};
    RTL_QUERY_REGISTRY_TABLE table[2]{};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;

    table[0].Name = portName.data();
    table[0].EntryContext = &allocated;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&allocated), u"COM3") << "Buffer NULL: the routine allocates";
    EXPECT_EQ(allocated.MaximumLength, 10u) << "room for the characters and the NUL";
    RtlFreeUnicodeString(&allocated);

    table[0].EntryContext = &tooSmall;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);

    table[0].Name = bare.data();
    table[0].EntryContext = &unterminated;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&unterminated), u"COM12")
        << "a stored string without its NUL arrives whole and terminated";
    EXPECT_EQ(room[5], u'\0');

    table[0].Name = missing.data();
    table[0].EntryContext = &defaulted;
    table[0].DefaultType = REG_SZ;
    table[0].DefaultData = fallback;
    table[0].DefaultLength = 0;  // up to the NUL
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&defaulted), u"COM1");
  });
  EXPECT_TRUE(m.kernel().LivePoolBlocks().empty());
}

TEST(RegistryQuery, DeviceMapValuesAreWrittenAndDeleted) {
  Machine m;
  InSystemThread(m, [&] {
    WCHAR data[] = u"COM8";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial2",
                                    REG_SZ, data, sizeof data),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NoParent\\Child", u"x", REG_SZ,
                                    data, sizeof data),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "only the last key of the path is created";
  });
  EXPECT_EQ(m.registry().GetString(emu::kRegistrySerialComm, u"\\Device\\Serial2"),
            std::u16string(u"COM8"));
  auto raw = m.registry().GetValue(emu::kRegistrySerialComm, u"\\device\\serial2");
  ASSERT_TRUE(raw.has_value()) << "value names compare without regard to case";
  EXPECT_EQ(raw->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(raw->data.size(), 10u) << "stored with its terminating NUL";
  InSystemThread(m, [&] {
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial2"),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial2"),
              STATUS_OBJECT_NAME_NOT_FOUND);
  });
  EXPECT_TRUE(m.registry().ValueNames(emu::kRegistrySerialComm).empty());
}

TEST(RegistryQuery, ZwQueryValueKeyRecordsAndSizeRules) {
  Machine m;
  StubBus bus;
  PDEVICE_OBJECT pdo = m.CreatePhysicalDevice(u"USB\\VID_0B39&PID_0421\\5&1", bus);
  m.registry().SetString(m.io().DeviceParametersKeyPath(pdo), u"PortName", u"COM3");
  InSystemThread(m, [&] {
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
              STATUS_SUCCESS);
    std::u16string nameChars = u"PortName";
    UNICODE_STRING name = emu::testing::Us(nameChars);
    const ULONG nameBytes = 16, dataBytes = 10;
    alignas(8) uint8_t buf[128];
    ULONG needed = 0;

    // Full information: header, name, then the data at a ULONG-aligned DataOffset.
    std::memset(buf, 0xAB, sizeof buf);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buf, sizeof buf, &needed),
              STATUS_SUCCESS);
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buf);
    EXPECT_EQ(full->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(full->NameLength, nameBytes);
    EXPECT_EQ(full->DataOffset, 20u + nameBytes) << "offset 8 of the record";
    EXPECT_EQ(full->DataLength, dataBytes) << "offset 12 of the record";
    EXPECT_EQ(needed, full->DataOffset + dataBytes);
    EXPECT_EQ(std::memcmp(buf + full->DataOffset, u"COM3", dataBytes), 0);

    // Too small for the fixed part: nothing written.
    std::memset(buf, 0xAB, sizeof buf);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buf, 19, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buf[0], 0xAB) << "STATUS_BUFFER_TOO_SMALL writes nothing";
    EXPECT_EQ(needed, 20u + nameBytes + dataBytes);

    // Room for the fixed part only: it is written and the status says overflow.
    std::memset(buf, 0xAB, sizeof buf);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buf, 24, &needed),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(full->DataLength, dataBytes) << "the fixed part tells the caller what is needed";
    EXPECT_EQ(needed, 20u + nameBytes + dataBytes);

    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buf);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buf, sizeof buf, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(partial->DataLength, dataBytes);
    EXPECT_EQ(needed, 12u + dataBytes);
    EXPECT_EQ(std::memcmp(partial->Data, u"COM3", dataBytes), 0);

    auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buf);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueBasicInformation, buf, sizeof buf, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(basic->NameLength, nameBytes);
    EXPECT_EQ(std::memcmp(basic->Name, u"PortName", nameBytes), 0);

    std::u16string otherChars = u"Other";
    UNICODE_STRING other = emu::testing::Us(otherChars);
    EXPECT_EQ(ZwQueryValueKey(key, &other, KeyValueFullInformation, buf, sizeof buf, &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  });
  EXPECT_EQ(m.registry().OpenHandleCount(), 0u);
  EXPECT_TRUE(m.registry().KeyExists(m.io().HardwareKeyPath(pdo) + u"\\Device Parameters"))
      << "the device key is \"Device Parameters\" under the PDO's Enum instance key";
}

TEST(RegistryQuery, WrongTypesReachTheCallerAsStored) {
  Machine m;
  StubBus bus;
  PDEVICE_OBJECT pdo = m.CreatePhysicalDevice(u"USB\\VID_0B39&PID_0421\\5&2", bus);
  const ULONG dword = 3;
  m.registry().SetValue(m.io().DeviceParametersKeyPath(pdo), u"PortName", REG_DWORD, &dword, 4);
  m.registry().SetString(kService, u"UserRemoval", u"1");
  InSystemThread(m, [&] {
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
              STATUS_SUCCESS);
    std::u16string nameChars = u"PortName";
    UNICODE_STRING name = emu::testing::Us(nameChars);
    alignas(8) uint8_t buf[64];
    ULONG needed = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buf, sizeof buf, &needed),
              STATUS_SUCCESS);
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buf);
    EXPECT_EQ(full->Type, static_cast<ULONG>(REG_DWORD)) << "the type is reported as stored";
    EXPECT_EQ(full->DataLength, 4u);
    ZwClose(key);

    // With TYPECHECK a direct query refuses a value of another type instead of writing it.
    std::u16string userRemoval = u"UserRemoval";
    ULONG value = 0;
    RTL_QUERY_REGISTRY_TABLE table[2]{};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = userRemoval.data();
    table[0].EntryContext = &value;
    table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kService.c_str(), table, nullptr,
                                     nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(value, 0u);
  });
  EXPECT_EQ(m.registry().GetDword(kService, u"UserRemoval"), std::nullopt)
      << "GetDword only answers for a 4-byte REG_DWORD";
}

TEST(RegistryQuery, DeviceRegistryKeysBelongToPhysicalDevices) {
  Machine m;
  emu::testing::LambdaDriver d(m, u"fdo");
  PDEVICE_OBJECT fdo = d.AddDevice();
  InSystemThread(m, [&] {
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST);
  });
}

TEST(RegistryQuery, RegistryRoutinesArePassiveLevelOnly) {
  Machine m;
  std::u16string path = kService;
  EXPECT_BUGCHECK(emu::bugcheck::kIrqlNotLessOrEqual, m.RunInSystemThread("dpc-like", [&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, path.data());
  }));
}

}  // namespace
