// The registry through the driver's routines: RtlQueryRegistryValues (direct values, defaults,
// missing values and keys), RtlWrite/DeleteRegistryValue on the device map, ZwQueryValueKey's
// record layouts, size rules and types, and the device's hardware key.
#include <cstring>

#include "nt/io_test_support.h"
#include "nt/io_util.h"

namespace {

using emu::Machine;
using emu::testing::PdoRig;
using emu::testing::UStr;

const std::u16string kService = Machine::ServiceKeyPath(u"tarnwire");

// Runs body at PASSIVE_LEVEL in a system thread, where the registry routines belong.
void InSystemThread(Machine& m, std::function<void()> body) {
  ASSERT_TRUE(m.RunInSystemThread("registry", std::move(body)));
}

// A one-entry direct query table for `name`.
struct Query {
  std::u16string name;
  RTL_QUERY_REGISTRY_TABLE table[2]{};
  Query(std::u16string_view valueName, PVOID entry, ULONG flags = 0) : name(valueName) {
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
    table[0].Name = name.data();
    table[0].EntryContext = entry;
  }
  NTSTATUS Run(const std::u16string& path, ULONG relativeTo = RTL_REGISTRY_ABSOLUTE) {
    return RtlQueryRegistryValues(relativeTo, path.c_str(), table, nullptr, nullptr);
  }
};

// A direct REG_DWORD query whose value and DefaultData start at `initial`.
struct DwordQuery : Query {
  ULONG value, fallback;
  DwordQuery(std::u16string_view name, ULONG initial, ULONG flags = 0)
      : Query(name, &value, flags), value(initial), fallback(initial) {
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof(ULONG);
  }
};

TEST(RegistryQuery, DirectDwordReadsTheValueOrStoresTheDefault) {
  Machine m(test_support::CurrentConfig());
  m.registry().SetDword(kService, u"UserRemoval", 1);
  m.registry().SetString(kService, u"Text", u"1");
  InSystemThread(m, [&] {
    DwordQuery present(u"UserRemoval", 0);
    EXPECT_EQ(present.Run(kService, RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL), STATUS_SUCCESS);
    EXPECT_EQ(present.value, 1u) << "a REG_DWORD goes straight into the ULONG";

    DwordQuery missing(u"NoSuchValue", 9);
    missing.value = 0;
    EXPECT_EQ(missing.Run(kService), STATUS_SUCCESS);
    EXPECT_EQ(missing.value, 9u) << "a missing value takes DefaultData";

    DwordQuery required(u"NoSuchValue", 4, RTL_QUERY_REGISTRY_REQUIRED);
    EXPECT_EQ(required.Run(kService), STATUS_OBJECT_NAME_NOT_FOUND)
        << "RTL_QUERY_REGISTRY_REQUIRED turns a missing value into a failure";

    DwordQuery noDefault(u"NoSuchValue", 5);
    noDefault.table[0].DefaultType = REG_NONE;
    EXPECT_EQ(noDefault.Run(kService), STATUS_SUCCESS);
    EXPECT_EQ(noDefault.value, 5u) << "with DefaultType REG_NONE nothing is stored";

    DwordQuery noKey(u"UserRemoval", 3);
    EXPECT_EQ(noKey.Run(kService + u"Missing", RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "a missing key fails the query even when marked optional";
    EXPECT_EQ(noKey.value, 3u);

    // With TYPECHECK a direct query refuses a value of another type instead of writing it.
    DwordQuery typed(u"Text", 0, RTL_QUERY_REGISTRY_TYPECHECK);
    typed.table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    EXPECT_EQ(typed.Run(kService), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(typed.value, 0u);
  });
  EXPECT_EQ(m.registry().GetDword(kService, u"Text"), std::nullopt) << "only a 4-byte REG_DWORD";
}

TEST(RegistryQuery, DirectStringFillsOrAllocatesTheUnicodeString) {
  Machine m(test_support::CurrentConfig());
  m.registry().SetString(kService, u"PortName", u"COM3");
  m.registry().SetString(kService, u"Bare", u"COM12", /*terminate=*/false);
  InSystemThread(m, [&] {
    UNICODE_STRING allocated{};
    Query q(u"PortName", &allocated);
    ASSERT_EQ(q.Run(kService), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&allocated), u"COM3") << "Buffer NULL: the routine allocates";
    EXPECT_EQ(allocated.MaximumLength, 10u) << "room for the characters and the NUL";
    RtlFreeUnicodeString(&allocated);

    WCHAR small[3];
    UNICODE_STRING tooSmall{0, sizeof small, small};
    q.table[0].EntryContext = &tooSmall;
    EXPECT_EQ(q.Run(kService), STATUS_BUFFER_TOO_SMALL);

    WCHAR room[16];
    UNICODE_STRING unterminated{0, sizeof room, room};
    Query bare(u"Bare", &unterminated);
    ASSERT_EQ(bare.Run(kService), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&unterminated), u"COM12")
        << "a stored string without its NUL arrives whole and terminated";
    EXPECT_EQ(room[5], u'\0');

    WCHAR fallback[] = u"COM1", out[16];
    UNICODE_STRING defaulted{0, sizeof out, out};
    Query missing(u"Missing", &defaulted);
    missing.table[0].DefaultType = REG_SZ;
    missing.table[0].DefaultData = fallback;
    missing.table[0].DefaultLength = 0;  // up to the NUL
    ASSERT_EQ(missing.Run(kService), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&defaulted), u"COM1");
  });
  EXPECT_TRUE(m.kernel().LivePoolBlocks().empty());
}

TEST(RegistryQuery, DeviceMapValuesAreWrittenAndDeleted) {
  Machine m(test_support::CurrentConfig());
  InSystemThread(m, [&] {
    WCHAR data[] = u"COM8";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial2", REG_SZ, data,
                                    sizeof data),
              STATUS_SUCCESS);
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NoParent\\Child", u"x", REG_SZ, data, sizeof data),
        STATUS_OBJECT_NAME_NOT_FOUND)
        << "only the last key of the path is created";
  });
  auto raw = m.registry().GetValue(emu::kRegistrySerialComm, u"\\device\\serial2");
  ASSERT_TRUE(raw.has_value()) << "value names compare without regard to case";
  EXPECT_EQ(raw->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(raw->data.size(), 10u) << "stored with its terminating NUL";
  EXPECT_EQ(std::memcmp(raw->data.data(), u"COM8", 10), 0);
  InSystemThread(m, [&] {
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial2"),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial2"),
              STATUS_OBJECT_NAME_NOT_FOUND);
  });
  EXPECT_TRUE(m.registry().ValueNames(emu::kRegistrySerialComm).empty());
}

TEST(RegistryQuery, ZwQueryValueKeyRecordsAndSizeRules) {
  PdoRig r;
  const ULONG dword = 3;
  r.m.registry().SetString(r.m.io().DeviceParametersKeyPath(r.pdo), u"PortName", u"COM3");
  r.m.registry().SetValue(r.m.io().DeviceParametersKeyPath(r.pdo), u"Number", REG_DWORD, &dword, 4);
  InSystemThread(r.m, [&] {
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(r.pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
              STATUS_SUCCESS);
    UStr name(u"PortName"), number(u"Number"), other(u"Other");
    const ULONG nameBytes = 16, dataBytes = 10;
    alignas(8) uint8_t buf[128];
    ULONG needed = 0;
    auto query = [&](KEY_VALUE_INFORMATION_CLASS cls, ULONG size, PUNICODE_STRING value) {
      std::memset(buf, 0xAB, sizeof buf);
      return ZwQueryValueKey(key, value, cls, buf, size, &needed);
    };

    // Full information: header, name, then the data at a ULONG-aligned DataOffset.
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buf);
    ASSERT_EQ(query(KeyValueFullInformation, sizeof buf, name), STATUS_SUCCESS);
    EXPECT_EQ(full->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(full->NameLength, nameBytes);
    EXPECT_EQ(full->DataOffset, 20u + nameBytes) << "offset 8 of the record";
    EXPECT_EQ(full->DataLength, dataBytes) << "offset 12 of the record";
    EXPECT_EQ(needed, full->DataOffset + dataBytes);
    EXPECT_EQ(std::memcmp(buf + full->DataOffset, u"COM3", dataBytes), 0);

    EXPECT_EQ(query(KeyValueFullInformation, 19, name), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buf[0], 0xAB) << "too small for the fixed part: nothing is written";
    EXPECT_EQ(needed, 20u + nameBytes + dataBytes);
    EXPECT_EQ(query(KeyValueFullInformation, 24, name), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(full->DataLength, dataBytes) << "room for the fixed part only: it tells the size";
    EXPECT_EQ(needed, 20u + nameBytes + dataBytes);

    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buf);
    ASSERT_EQ(query(KeyValuePartialInformation, sizeof buf, name), STATUS_SUCCESS);
    EXPECT_EQ(partial->DataLength, dataBytes);
    EXPECT_EQ(needed, 12u + dataBytes);
    EXPECT_EQ(std::memcmp(partial->Data, u"COM3", dataBytes), 0);

    auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buf);
    ASSERT_EQ(query(KeyValueBasicInformation, sizeof buf, name), STATUS_SUCCESS);
    EXPECT_EQ(basic->NameLength, nameBytes);
    EXPECT_EQ(std::memcmp(basic->Name, u"PortName", nameBytes), 0);

    ASSERT_EQ(query(KeyValueFullInformation, sizeof buf, number), STATUS_SUCCESS);
    EXPECT_EQ(full->Type, static_cast<ULONG>(REG_DWORD)) << "the type is reported as stored";
    EXPECT_EQ(full->DataLength, 4u);
    EXPECT_EQ(query(KeyValueFullInformation, sizeof buf, other), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    emu::testing::LambdaDriver d(r.m, u"fdo");
    EXPECT_EQ(IoOpenDeviceRegistryKey(d.AddDevice(r.pdo), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST)
        << "device keys belong to physical device objects";
  });
  EXPECT_EQ(r.m.registry().OpenHandleCount(), 0u);
  EXPECT_TRUE(r.m.registry().KeyExists(r.m.io().HardwareKeyPath(r.pdo) + u"\\Device Parameters"))
      << "the device key is \"Device Parameters\" under the PDO's Enum instance key";
}

}  // namespace
