// The object namespace as the I/O manager uses it: named device objects ("\Device\Serial2"),
// symbolic links ("\??\COM8", also reachable as "\DosDevices\COM8") and the registered device
// interfaces with their enabled state. Names are compared without regard to case.
#pragma once

#include <wdm.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

class ObjectNamespace {
 public:
  struct Link {
    std::u16string name;    // canonical ("\??\COM8")
    std::u16string target;  // as given ("\Device\Serial2")
  };
  struct Interface {
    std::u16string symbolicLink;  // "\??\USB#VID_...#{guid}" (plus "\ref" with a reference)
    GUID classGuid;
    std::u16string referenceString;
    PDEVICE_OBJECT pdo;
    bool enabled;
  };

  ObjectNamespace();
  ~ObjectNamespace();
  ObjectNamespace(const ObjectNamespace&) = delete;
  ObjectNamespace& operator=(const ObjectNamespace&) = delete;

  static ObjectNamespace& Current();

  // "\DosDevices\X" and "\??\X" are the same directory; the canonical form is "\??\X".
  static std::u16string Canonical(std::u16string_view name);
  static std::u16string GuidString(const GUID& guid);  // "{86e0d1e0-8089-11d0-9ce4-08003e301f73}"

  // --- Devices ------------------------------------------------------------------------------------
  NTSTATUS InsertDevice(std::u16string_view name, PDEVICE_OBJECT device);
  void RemoveDevice(PDEVICE_OBJECT device);
  PDEVICE_OBJECT FindDevice(std::u16string_view name) const;
  std::u16string DeviceName(PDEVICE_OBJECT device) const;  // empty when unnamed
  std::vector<std::u16string> DeviceNames() const;

  // --- Symbolic links -----------------------------------------------------------------------------
  NTSTATUS CreateLink(std::u16string_view name, std::u16string_view target);
  NTSTATUS DeleteLink(std::u16string_view name);
  std::optional<std::u16string> LinkTarget(std::u16string_view name) const;
  std::vector<Link> Links() const;

  // Follows links from `path` to a device. A path may continue below the device name; the rest
  // goes to *remainder. STATUS_OBJECT_NAME_NOT_FOUND when nothing matches.
  NTSTATUS Resolve(std::u16string_view path, PDEVICE_OBJECT* device,
                   std::u16string* remainder = nullptr) const;

  // --- Device interfaces ------------------------------------------------------------------------
  NTSTATUS RegisterInterface(PDEVICE_OBJECT pdo, std::u16string_view instancePath,
                             const GUID& classGuid, std::u16string_view referenceString,
                             std::u16string* symbolicLink);
  // Enabling creates the interface's symbolic link to the PDO's name; disabling removes it.
  NTSTATUS SetInterfaceState(std::u16string_view symbolicLink, bool enable,
                             std::u16string_view pdoName);
  // Disables every interface of a PDO that goes away.
  void DisableInterfacesOf(PDEVICE_OBJECT pdo);
  std::vector<Interface> Interfaces() const;
  const Interface* FindInterface(std::u16string_view symbolicLink) const;

 private:
  static std::u16string Key(std::u16string_view name) ;

  struct Entry {
    std::u16string name;
    PDEVICE_OBJECT device = nullptr;  // a device, or
    std::u16string target;            // a link
    bool isLink = false;
  };
  std::map<std::u16string, Entry> entries_;           // by canonical upper-cased name
  std::map<std::u16string, Interface> interfaces_;     // by upper-cased symbolic link
};

}  // namespace emu
