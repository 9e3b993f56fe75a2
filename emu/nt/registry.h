// The machine's registry, held in memory: a tree of keys under "\Registry" with typed values.
// Drivers reach it through the Zw* key routines and the Rtl registry routines (registry.cpp,
// rtl_registry.cpp); tests set and read values of any type directly, including malformed ones
// (a REG_SZ without its terminating NUL, a value of the wrong type).
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// Well-known key paths.
inline constexpr std::u16string_view kRegistryServices =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
inline constexpr std::u16string_view kRegistryControl =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
inline constexpr std::u16string_view kRegistryEnum =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
inline constexpr std::u16string_view kRegistryWindowsNt =
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr std::u16string_view kRegistryDeviceMap = u"\\Registry\\Machine\\Hardware\\DeviceMap";
inline constexpr std::u16string_view kRegistryUser = u"\\Registry\\User\\.Default";
inline constexpr std::u16string_view kRegistrySerialComm =
    u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

struct RegistryValue {
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

struct RegistryKey {
  std::u16string name;  // last path component, as created
  RegistryKey* parent = nullptr;
  std::map<std::u16string, std::unique_ptr<RegistryKey>> subkeys;  // by upper-cased name
  std::vector<RegistryValue> values;                               // in creation order

  RegistryValue* FindValue(std::u16string_view valueName);
  std::u16string Path() const;
};

class Registry {
 public:
  Registry();
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // The registry of the current machine.
  static Registry& Current();
  static Registry* CurrentOrNull();

  // --- Keys -----------------------------------------------------------------------------------
  // Paths are absolute ("\Registry\Machine\..."), compared without regard to case.
  RegistryKey* FindKey(std::u16string_view path);
  // Creates the key and every missing key above it.
  RegistryKey* CreateKey(std::u16string_view path);
  // The key `relative` below `base` (relative may be empty).
  RegistryKey* FindKey(RegistryKey* base, std::u16string_view relative);
  // Creates only the last component; its parent must exist (NULL otherwise). *created tells
  // whether the key is new.
  RegistryKey* CreateLastKey(RegistryKey* base, std::u16string_view relative, bool* created);
  // The same for an absolute path (NULL when it does not start with \Registry).
  RegistryKey* CreateLastKey(std::u16string_view path, bool* created);
  bool KeyExists(std::u16string_view path) { return FindKey(path) != nullptr; }
  // Removes a key and everything below it. Handles still open on it keep working on a detached
  // copy, as a deleted key does on Windows until closed.
  bool DeleteKey(std::u16string_view path);
  std::vector<std::u16string> SubkeyNames(std::u16string_view path);

  // --- Values (test API; creates the key when setting) -----------------------------------------
  void SetValue(std::u16string_view keyPath, std::u16string_view valueName, ULONG type,
                const void* data, size_t length);
  void SetDword(std::u16string_view keyPath, std::u16string_view valueName, ULONG value);
  // A REG_SZ (or another string type); `terminate` false stores it without the trailing NUL.
  void SetString(std::u16string_view keyPath, std::u16string_view valueName,
                 std::u16string_view value, bool terminate = true, ULONG type = REG_SZ);
  std::optional<RegistryValue> GetValue(std::u16string_view keyPath, std::u16string_view valueName);
  // The value when it is a REG_DWORD of 4 bytes.
  std::optional<ULONG> GetDword(std::u16string_view keyPath, std::u16string_view valueName);
  // The characters of a string value, without the terminating NUL if there is one.
  std::optional<std::u16string> GetString(std::u16string_view keyPath,
                                          std::u16string_view valueName);
  bool DeleteValue(std::u16string_view keyPath, std::u16string_view valueName);
  std::vector<std::u16string> ValueNames(std::u16string_view keyPath);

  // --- Handles ------------------------------------------------------------------------------------
  // A kernel handle for `key` (closed with ZwClose).
  HANDLE OpenHandle(RegistryKey* key);
  // The key behind a handle from OpenHandle, or nullptr for any other handle.
  RegistryKey* KeyFromHandle(HANDLE handle);
  size_t OpenHandleCount() const { return handles_.size(); }

  // Resolves RtlXxxRegistry's RelativeTo and Path to an absolute key path; false for an
  // unknown RelativeTo. RTL_REGISTRY_HANDLE is handled by the callers.
  static bool AbsolutePath(ULONG relativeTo, PCWSTR path, std::u16string* out);

  struct HandleObject;

 private:
  static void OnHandleClosed(PVOID object);

  std::unique_ptr<RegistryKey> root_;
  std::set<HandleObject*> handles_;
  std::vector<std::unique_ptr<RegistryKey>> detached_;  // deleted keys that handles may still see
};

}  // namespace emu
