// The in-memory registry and the Zw* key routines.
#include "nt/registry.h"

#include "nt/handles.h"
#include "nt/io_util.h"
#include "nt/kernel.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace emu {

namespace {

Registry* g_current = nullptr;

// Splits a path at backslashes, dropping empty components.
std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == u'\\') ++i;
    size_t j = i;
    while (j < path.size() && path[j] != u'\\') ++j;
    if (j > i) parts.push_back(path.substr(i, j - i));
    i = j;
  }
  return parts;
}

constexpr uint32_t kHandleMagic = 0x4B657948;  // 'KeyH'

}  // namespace

struct Registry::HandleObject {
  uint32_t magic = kHandleMagic;
  RegistryKey* key = nullptr;
};

RegistryValue* RegistryKey::FindValue(std::u16string_view valueName) {
  for (auto& v : values)
    if (EqualNoCase(v.name, valueName)) return &v;
  return nullptr;
}

std::u16string RegistryKey::Path() const {
  if (parent == nullptr) return u"\\" + name;
  return parent->Path() + u"\\" + name;
}

Registry::Registry() : root_(std::make_unique<RegistryKey>()) {
  root_->name = u"Registry";
  for (auto path : {kRegistryServices, kRegistryControl, kRegistryEnum, kRegistryWindowsNt,
                    kRegistryDeviceMap, kRegistryUser})
    CreateKey(path);
  CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class");
  g_current = this;
}

Registry::~Registry() {
  for (HandleObject* h : handles_) h->key = nullptr;  // the kernel frees them when it closes them
  handles_.clear();
  if (g_current == this) g_current = nullptr;
}

Registry& Registry::Current() {
  if (g_current == nullptr) throw std::logic_error("no registry: construct an emu::Machine first");
  return *g_current;
}

Registry* Registry::CurrentOrNull() { return g_current; }

RegistryKey* Registry::FindKey(RegistryKey* base, std::u16string_view relative) {
  RegistryKey* key = base;
  for (auto part : SplitPath(relative)) {
    if (key == nullptr) return nullptr;
    auto it = key->subkeys.find(Upcase(part));
    key = it == key->subkeys.end() ? nullptr : it->second.get();
  }
  return key;
}

RegistryKey* Registry::FindKey(std::u16string_view path) {
  auto parts = SplitPath(path);
  if (parts.empty() || !EqualNoCase(parts[0], u"Registry")) return nullptr;
  RegistryKey* key = root_.get();
  for (size_t i = 1; i < parts.size() && key != nullptr; ++i) {
    auto it = key->subkeys.find(Upcase(parts[i]));
    key = it == key->subkeys.end() ? nullptr : it->second.get();
  }
  return key;
}

RegistryKey* Registry::CreateKey(std::u16string_view path) {
  auto parts = SplitPath(path);
  if (parts.empty() || !EqualNoCase(parts[0], u"Registry"))
    throw std::invalid_argument("registry paths start with \\Registry: " + Narrow(path));
  RegistryKey* key = root_.get();
  for (size_t i = 1; i < parts.size(); ++i) {
    auto& slot = key->subkeys[Upcase(parts[i])];
    if (!slot) {
      slot = std::make_unique<RegistryKey>();
      slot->name = std::u16string(parts[i]);
      slot->parent = key;
    }
    key = slot.get();
  }
  return key;
}

RegistryKey* Registry::CreateLastKey(RegistryKey* base, std::u16string_view relative,
                                     bool* created) {
  *created = false;
  auto parts = SplitPath(relative);
  if (parts.empty()) return base;
  RegistryKey* parent = base;
  for (size_t i = 0; i + 1 < parts.size() && parent != nullptr; ++i) {
    auto it = parent->subkeys.find(Upcase(parts[i]));
    parent = it == parent->subkeys.end() ? nullptr : it->second.get();
  }
  if (parent == nullptr) return nullptr;
  auto& slot = parent->subkeys[Upcase(parts.back())];
  if (!slot) {
    slot = std::make_unique<RegistryKey>();
    slot->name = std::u16string(parts.back());
    slot->parent = parent;
    *created = true;
  }
  return slot.get();
}

RegistryKey* Registry::CreateLastKey(std::u16string_view path, bool* created) {
  *created = false;
  auto parts = SplitPath(path);
  if (parts.empty() || !EqualNoCase(parts[0], u"Registry")) return nullptr;
  size_t start = path.find(parts[0]) + parts[0].size();
  return CreateLastKey(root_.get(), path.substr(start), created);
}

bool Registry::DeleteKey(std::u16string_view path) {
  RegistryKey* key = FindKey(path);
  if (key == nullptr || key->parent == nullptr) return false;
  auto& siblings = key->parent->subkeys;
  auto it = siblings.find(Upcase(key->name));
  std::unique_ptr<RegistryKey> owned = std::move(it->second);
  siblings.erase(it);
  owned->parent = nullptr;
  detached_.push_back(std::move(owned));
  return true;
}

std::vector<std::u16string> Registry::SubkeyNames(std::u16string_view path) {
  std::vector<std::u16string> names;
  if (RegistryKey* key = FindKey(path))
    for (auto& [upper, sub] : key->subkeys) names.push_back(sub->name);
  return names;
}

void Registry::SetValue(std::u16string_view keyPath, std::u16string_view valueName, ULONG type,
                        const void* data, size_t length) {
  RegistryKey* key = CreateKey(keyPath);
  RegistryValue* v = key->FindValue(valueName);
  if (v == nullptr) {
    key->values.push_back({std::u16string(valueName), type, {}});
    v = &key->values.back();
  }
  v->type = type;
  auto bytes = static_cast<const uint8_t*>(data);
  v->data.assign(bytes, bytes + length);
}

void Registry::SetDword(std::u16string_view keyPath, std::u16string_view valueName, ULONG value) {
  SetValue(keyPath, valueName, REG_DWORD, &value, sizeof value);
}

void Registry::SetString(std::u16string_view keyPath, std::u16string_view valueName,
                         std::u16string_view value, bool terminate, ULONG type) {
  std::u16string data(value);
  if (terminate) data.push_back(u'\0');
  SetValue(keyPath, valueName, type, data.data(), data.size() * sizeof(char16_t));
}

std::optional<RegistryValue> Registry::GetValue(std::u16string_view keyPath,
                                                std::u16string_view valueName) {
  RegistryKey* key = FindKey(keyPath);
  if (key == nullptr) return std::nullopt;
  RegistryValue* v = key->FindValue(valueName);
  if (v == nullptr) return std::nullopt;
  return *v;
}

std::optional<ULONG> Registry::GetDword(std::u16string_view keyPath,
                                        std::u16string_view valueName) {
  auto v = GetValue(keyPath, valueName);
  if (!v || v->type != REG_DWORD || v->data.size() != sizeof(ULONG)) return std::nullopt;
  ULONG out;
  std::memcpy(&out, v->data.data(), sizeof out);
  return out;
}

std::optional<std::u16string> Registry::GetString(std::u16string_view keyPath,
                                                  std::u16string_view valueName) {
  auto v = GetValue(keyPath, valueName);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ && v->type != REG_MULTI_SZ))
    return std::nullopt;
  std::u16string s(v->data.size() / sizeof(char16_t), u'\0');
  std::memcpy(s.data(), v->data.data(), s.size() * sizeof(char16_t));
  if (!s.empty() && s.back() == u'\0') s.pop_back();
  return s;
}

bool Registry::DeleteValue(std::u16string_view keyPath, std::u16string_view valueName) {
  RegistryKey* key = FindKey(keyPath);
  if (key == nullptr) return false;
  auto it = std::find_if(key->values.begin(), key->values.end(),
                         [&](const RegistryValue& v) { return EqualNoCase(v.name, valueName); });
  if (it == key->values.end()) return false;
  key->values.erase(it);
  return true;
}

std::vector<std::u16string> Registry::ValueNames(std::u16string_view keyPath) {
  std::vector<std::u16string> names;
  if (RegistryKey* key = FindKey(keyPath))
    for (auto& v : key->values) names.push_back(v.name);
  return names;
}

HANDLE Registry::OpenHandle(RegistryKey* key) {
  auto* object = new HandleObject;
  object->key = key;
  handles_.insert(object);
  return CreateKernelHandle(object, &Registry::OnHandleClosed);
}

void Registry::OnHandleClosed(PVOID object) {
  auto* h = static_cast<HandleObject*>(object);
  if (g_current != nullptr) g_current->handles_.erase(h);
  delete h;
}

RegistryKey* Registry::KeyFromHandle(HANDLE handle) {
  auto* object = static_cast<HandleObject*>(LookupKernelHandle(handle));
  if (object == nullptr || handles_.count(object) == 0) return nullptr;
  return object->key;
}

bool Registry::AbsolutePath(ULONG relativeTo, PCWSTR path, std::u16string* out) {
  std::u16string base;
  switch (relativeTo & ~(RTL_REGISTRY_OPTIONAL)) {
    case RTL_REGISTRY_ABSOLUTE: break;
    case RTL_REGISTRY_SERVICES: base = kRegistryServices; break;
    case RTL_REGISTRY_CONTROL: base = kRegistryControl; break;
    case RTL_REGISTRY_WINDOWS_NT: base = kRegistryWindowsNt; break;
    case RTL_REGISTRY_DEVICEMAP: base = kRegistryDeviceMap; break;
    case RTL_REGISTRY_USER: base = kRegistryUser; break;
    default: return false;
  }
  std::u16string rel = ToU16(path);
  if (base.empty()) {
    *out = rel;
  } else {
    *out = base;
    if (!rel.empty()) {
      if (rel.front() != u'\\') out->push_back(u'\\');
      *out += rel;
    }
  }
  return true;
}

}  // namespace emu

// ---------------------------------------------------------------------------------------------
// Zw* key routines
// ---------------------------------------------------------------------------------------------

using emu::Registry;
using emu::RegistryKey;
using emu::RegistryValue;

namespace {

constexpr NTSTATUS kStatusObjectPathSyntaxBad = static_cast<NTSTATUS>(0xC000003BL);
constexpr ULONG kInvalidKernelHandle = 0x93;

// The key an OBJECT_ATTRIBUTES names: absolute, or relative to RootDirectory.
NTSTATUS ResolveKeyName(POBJECT_ATTRIBUTES oa, RegistryKey** base, std::u16string* relative) {
  Registry& reg = Registry::Current();
  if (oa == nullptr || oa->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
  *relative = emu::ToU16(oa->ObjectName);
  if (oa->RootDirectory != nullptr) {
    *base = reg.KeyFromHandle(oa->RootDirectory);
    if (*base == nullptr) return STATUS_INVALID_HANDLE;
    return STATUS_SUCCESS;
  }
  if (relative->empty() || relative->front() != u'\\') return kStatusObjectPathSyntaxBad;
  // An absolute name: split it into the \Registry root and the rest.
  std::u16string upper = emu::Upcase(*relative);
  if (upper.rfind(u"\\REGISTRY", 0) != 0 || (upper.size() > 9 && upper[9] != u'\\'))
    return STATUS_OBJECT_NAME_NOT_FOUND;
  *base = reg.FindKey(u"\\Registry");
  *relative = relative->substr(9);
  return STATUS_SUCCESS;
}

RegistryKey* KeyFromHandle(HANDLE handle) {
  RegistryKey* key = Registry::Current().KeyFromHandle(handle);
  return key;
}

}  // namespace

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&ZwOpenKey));
  (void)DesiredAccess;
  RegistryKey* base = nullptr;
  std::u16string relative;
  NTSTATUS status = ResolveKeyName(ObjectAttributes, &base, &relative);
  if (!NT_SUCCESS(status)) return status;
  RegistryKey* key = Registry::Current().FindKey(base, relative);
  if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *KeyHandle = Registry::Current().OpenHandle(key);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                           POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                           PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&ZwCreateKey));
  (void)DesiredAccess;
  (void)TitleIndex;
  (void)Class;
  (void)CreateOptions;
  RegistryKey* base = nullptr;
  std::u16string relative;
  NTSTATUS status = ResolveKeyName(ObjectAttributes, &base, &relative);
  if (!NT_SUCCESS(status)) return status;
  bool created = false;
  // Like Windows, only the last component is created; a missing parent fails the call.
  RegistryKey* key = Registry::Current().CreateLastKey(base, relative, &created);
  if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (Disposition != nullptr) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *KeyHandle = Registry::Current().OpenHandle(key);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&ZwQueryValueKey));
  RegistryKey* key = KeyFromHandle(KeyHandle);
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  RegistryValue* value = key->FindValue(emu::ToU16(ValueName));
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

  const ULONG nameLength = static_cast<ULONG>(value->name.size() * sizeof(WCHAR));
  const ULONG dataLength = static_cast<ULONG>(value->data.size());
  auto* out = static_cast<uint8_t*>(KeyValueInformation);

  // Each class has a fixed part that must fit (else STATUS_BUFFER_TOO_SMALL and nothing is
  // written); if the variable part does not fit as well, the fixed part and as much of the name
  // as fits are written and the status is STATUS_BUFFER_OVERFLOW. ResultLength is always the
  // size the whole record needs.
  switch (KeyValueInformationClass) {
    case KeyValueBasicInformation: {
      const ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      const ULONG needed = fixed + nameLength;
      *ResultLength = needed;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      KEY_VALUE_BASIC_INFORMATION info{};
      info.Type = value->type;
      info.NameLength = nameLength;
      std::memcpy(out, &info, fixed);
      ULONG copy = std::min(nameLength, Length - fixed);
      std::memcpy(out + fixed, value->name.data(), copy);
      return Length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
      const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      const ULONG align = KeyValueInformationClass == KeyValueFullInformation ? 4 : 8;
      const ULONG dataOffset = (fixed + nameLength + align - 1) & ~(align - 1);
      const ULONG needed = dataOffset + dataLength;
      *ResultLength = needed;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      KEY_VALUE_FULL_INFORMATION info{};
      info.Type = value->type;
      info.DataOffset = dataOffset;
      info.DataLength = dataLength;
      info.NameLength = nameLength;
      std::memcpy(out, &info, fixed);
      ULONG copy = std::min(nameLength, Length - fixed);
      std::memcpy(out + fixed, value->name.data(), copy);
      if (Length < needed) return STATUS_BUFFER_OVERFLOW;
      if (dataLength != 0) std::memcpy(out + dataOffset, value->data.data(), dataLength);
      return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation:
    case KeyValuePartialInformationAlign64: {
      const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      const ULONG needed = fixed + dataLength;
      *ResultLength = needed;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      KEY_VALUE_PARTIAL_INFORMATION info{};
      info.Type = value->type;
      info.DataLength = dataLength;
      std::memcpy(out, &info, fixed);
      if (Length < needed) return STATUS_BUFFER_OVERFLOW;
      if (dataLength != 0) std::memcpy(out + fixed, value->data.data(), dataLength);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&ZwSetValueKey));
  (void)TitleIndex;
  RegistryKey* key = KeyFromHandle(KeyHandle);
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  if (DataSize != 0 && Data == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string name = emu::ToU16(ValueName);
  RegistryValue* v = key->FindValue(name);
  if (v == nullptr) {
    key->values.push_back({name, Type, {}});
    v = &key->values.back();
  }
  v->type = Type;
  auto bytes = static_cast<const uint8_t*>(Data);
  v->data.assign(bytes, bytes + DataSize);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&ZwDeleteValueKey));
  RegistryKey* key = KeyFromHandle(KeyHandle);
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  std::u16string name = emu::ToU16(ValueName);
  auto it = std::find_if(key->values.begin(), key->values.end(),
                         [&](const RegistryValue& v) { return emu::EqualNoCase(v.name, name); });
  if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  key->values.erase(it);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&ZwClose));
  // Every kernel handle (keys, threads) lives in the kernel's handle table. Closing a handle
  // that is not there from kernel mode stops Windows with INVALID_KERNEL_HANDLE (parameter 2 is
  // 1 for an invalid handle).
  if (emu::CloseKernelHandle(Handle)) return STATUS_SUCCESS;
  emu::Kernel::Current().BugCheck(kInvalidKernelHandle, reinterpret_cast<ULONG_PTR>(Handle), 1);
}
