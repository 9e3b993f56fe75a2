// RtlQueryRegistryValues, RtlWriteRegistryValue, RtlDeleteRegistryValue, RtlCheckRegistryKey and
// RtlCreateRegistryKey over the in-memory registry.
#include "nt/io_util.h"
#include "nt/kernel.h"
#include "nt/registry.h"

#include <cstring>
#include <vector>

using emu::Registry;
using emu::RegistryKey;
using emu::RegistryValue;

namespace {

bool IsStringType(ULONG type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The key RelativeTo and Path select, or nullptr.
RegistryKey* OpenRelative(ULONG relativeTo, PCWSTR path) {
  Registry& reg = Registry::Current();
  if (relativeTo & RTL_REGISTRY_HANDLE) return reg.KeyFromHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)));
  std::u16string absolute;
  if (!Registry::AbsolutePath(relativeTo, path, &absolute)) return nullptr;
  return reg.FindKey(absolute);
}

// Stores one value through RTL_QUERY_REGISTRY_DIRECT into EntryContext: a string type into the
// UNICODE_STRING it points to (allocating the buffer from paged pool when Buffer is NULL),
// anything of at most 4 bytes into the ULONG it points to, anything longer into a buffer that
// begins with its signed size (negative: data only; positive: length, type, then data).
NTSTATUS StoreDirect(ULONG type, const uint8_t* data, ULONG length, PVOID entryContext) {
  if (IsStringType(type)) {
    auto* dest = static_cast<PUNICODE_STRING>(entryContext);
    if (length > MAXUSHORT) return STATUS_BUFFER_TOO_SMALL;
    if (dest->Buffer == nullptr) {
      dest->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length, 'vRtR'));
      if (dest->Buffer == nullptr) return STATUS_NO_MEMORY;
      dest->MaximumLength = static_cast<USHORT>(length);
    } else if (length > dest->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(dest->Buffer, data, length);
    dest->Length = static_cast<USHORT>(length >= sizeof(WCHAR) ? length - sizeof(WCHAR) : 0);
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    if (length != 0) std::memcpy(entryContext, data, length);
    return STATUS_SUCCESS;
  }
  LONG size;
  std::memcpy(&size, entryContext, sizeof size);
  auto* dest = static_cast<uint8_t*>(entryContext);
  if (size < 0) {
    if (static_cast<ULONG>(-size) < length) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(dest, data, length);
  } else {
    if (static_cast<ULONG>(size) < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG header[2] = {length, type};
    std::memcpy(dest, header, sizeof header);
    std::memcpy(dest + sizeof header, data, length);
  }
  return STATUS_SUCCESS;
}

// Passes one value to the entry: through its QueryRoutine or directly. String data reaches the
// entry NUL-terminated even when the stored value lacks the NUL (the query buffer has room for
// one), and its length then counts the added NUL.
NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, PCWSTR valueName, ULONG type,
                 const uint8_t* data, ULONG length, PVOID context) {
  std::vector<uint8_t> terminated;
  if (IsStringType(type)) {
    bool hasNul = length >= sizeof(WCHAR) && length % sizeof(WCHAR) == 0 &&
                  data[length - 1] == 0 && data[length - 2] == 0;
    if (!hasNul) {
      terminated.assign(data, data + length);
      if (terminated.size() % 2) terminated.push_back(0);
      terminated.push_back(0);
      terminated.push_back(0);
      data = terminated.data();
      length = static_cast<ULONG>(terminated.size());
    }
    // REG_EXPAND_SZ is handed on as REG_SZ unless expansion is suppressed; the emulated system
    // has no environment variables to substitute.
    if (type == REG_EXPAND_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) type = REG_SZ;
  }

  if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)
    return StoreDirect(type, data, length, entry->EntryContext);

  // REG_MULTI_SZ reaches a QueryRoutine one string at a time unless NOEXPAND is set.
  if (type == REG_MULTI_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    auto* chars = reinterpret_cast<const WCHAR*>(data);
    size_t count = length / sizeof(WCHAR);
    size_t i = 0;
    while (i < count && chars[i] != 0) {
      size_t j = i;
      while (j < count && chars[j] != 0) ++j;
      ULONG bytes = static_cast<ULONG>((j - i + 1) * sizeof(WCHAR));
      NTSTATUS status = entry->QueryRoutine(const_cast<PWSTR>(valueName), REG_SZ,
                                            const_cast<WCHAR*>(chars + i), bytes, context,
                                            entry->EntryContext);
      if (!NT_SUCCESS(status)) return status;
      i = j + 1;
    }
    return STATUS_SUCCESS;
  }
  return entry->QueryRoutine(const_cast<PWSTR>(valueName), type, const_cast<uint8_t*>(data),
                             length, context, entry->EntryContext);
}

// The default of an entry whose value is missing: DefaultLength 0 for a string type means "up to
// and including the terminating NUL" (a double NUL for REG_MULTI_SZ).
NTSTATUS DeliverDefault(PRTL_QUERY_REGISTRY_TABLE entry, PVOID context) {
  ULONG type = entry->DefaultType;
  if (entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) type &= ~RTL_QUERY_REGISTRY_TYPECHECK_MASK;
  if (type == REG_NONE) return STATUS_SUCCESS;
  ULONG length = entry->DefaultLength;
  auto* data = static_cast<const uint8_t*>(entry->DefaultData);
  if (length == 0 && data != nullptr && IsStringType(type)) {
    auto* chars = reinterpret_cast<const WCHAR*>(data);
    size_t n = 0;
    if (type == REG_MULTI_SZ) {
      while (chars[n] != 0 || chars[n + 1] != 0) ++n;
      n += 2;
    } else {
      while (chars[n] != 0) ++n;
      n += 1;
    }
    length = static_cast<ULONG>(n * sizeof(WCHAR));
  }
  return Deliver(entry, entry->Name, type, data, length, context);
}

NTSTATUS QueryValue(RegistryKey* key, PRTL_QUERY_REGISTRY_TABLE entry, PVOID context) {
  RegistryValue* value = key == nullptr ? nullptr : key->FindValue(emu::ToU16(entry->Name));
  if (value == nullptr) {
    if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    return DeliverDefault(entry, context);
  }
  if (entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
    ULONG expected = entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    if (expected != value->type) return STATUS_OBJECT_TYPE_MISMATCH;
  }
  // Copy the value first: a QueryRoutine may change the registry.
  RegistryValue copy = *value;
  NTSTATUS status = Deliver(entry, entry->Name, copy.type, copy.data.data(),
                            static_cast<ULONG>(copy.data.size()), context);
  if (NT_SUCCESS(status) && (entry->Flags & RTL_QUERY_REGISTRY_DELETE) && key != nullptr) {
    RegistryValue* again = key->FindValue(copy.name);
    if (again != nullptr) key->values.erase(key->values.begin() + (again - key->values.data()));
  }
  return status;
}

// An entry without a Name: every value of the key goes to the QueryRoutine.
NTSTATUS QueryAllValues(RegistryKey* key, PRTL_QUERY_REGISTRY_TABLE entry, PVOID context) {
  if (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE)
    return entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, context, entry->EntryContext);
  std::vector<RegistryValue> values;
  if (key != nullptr) values = key->values;
  if (values.empty()) {
    if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    return DeliverDefault(entry, context);
  }
  for (auto& v : values) {
    std::u16string name = v.name;
    NTSTATUS status = Deliver(entry, name.c_str(), v.type, v.data.data(),
                              static_cast<ULONG>(v.data.size()), context);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&RtlQueryRegistryValues));
  (void)Environment;
  if ((RelativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE)) >= RTL_REGISTRY_MAXIMUM)
    return STATUS_INVALID_PARAMETER;
  // RTL_REGISTRY_OPTIONAL does not make a missing key a success: with no key there is nothing
  // to query, and the caller sees the open failure (no defaults are stored either).
  RegistryKey* top = OpenRelative(RelativeTo, Path);
  if (top == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

  RegistryKey* current = top;
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
       entry->QueryRoutine != nullptr ||
       (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT));
       ++entry) {
    if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) && entry->Name == nullptr)
      return STATUS_INVALID_PARAMETER;
    if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) current = top;
    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      current = Registry::Current().FindKey(top, emu::ToU16(entry->Name));
      if (current == nullptr && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED))
        return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry->QueryRoutine == nullptr) continue;
      NTSTATUS status = QueryAllValues(current, entry, Context);
      if (!NT_SUCCESS(status)) return status;
      continue;
    }
    NTSTATUS status = entry->Name == nullptr ? QueryAllValues(current, entry, Context)
                                             : QueryValue(current, entry, Context);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&RtlWriteRegistryValue));
  RegistryKey* key = nullptr;
  if (RelativeTo & RTL_REGISTRY_HANDLE) {
    key = Registry::Current().KeyFromHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(Path)));
    if (key == nullptr) return STATUS_INVALID_HANDLE;
  } else {
    std::u16string absolute;
    if (!Registry::AbsolutePath(RelativeTo, Path, &absolute)) return STATUS_INVALID_PARAMETER;
    // A missing key is created when its parent exists.
    bool created = false;
    key = Registry::Current().CreateLastKey(absolute, &created);
    if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (ValueLength != 0 && ValueData == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string name = emu::ToU16(ValueName);
  RegistryValue* v = key->FindValue(name);
  if (v == nullptr) {
    key->values.push_back({name, ValueType, {}});
    v = &key->values.back();
  }
  v->type = ValueType;
  auto bytes = static_cast<const uint8_t*>(ValueData);
  v->data.assign(bytes, bytes + ValueLength);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&RtlDeleteRegistryValue));
  RegistryKey* key = OpenRelative(RelativeTo, Path);
  if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  RegistryValue* v = key->FindValue(emu::ToU16(ValueName));
  if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  key->values.erase(key->values.begin() + (v - key->values.data()));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&RtlCheckRegistryKey));
  return OpenRelative(RelativeTo, Path) != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&RtlCreateRegistryKey));
  std::u16string absolute;
  if (RelativeTo & RTL_REGISTRY_HANDLE) return STATUS_INVALID_PARAMETER;
  if (!Registry::AbsolutePath(RelativeTo, Path, &absolute)) return STATUS_INVALID_PARAMETER;
  bool created = false;
  RegistryKey* key = Registry::Current().CreateLastKey(absolute, &created);
  return key != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
