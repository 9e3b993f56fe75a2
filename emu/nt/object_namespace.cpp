// The object namespace: device names, symbolic links and device interfaces.
#include "nt/object_namespace.h"

#include "nt/io_util.h"

#include <cstdio>
#include <stdexcept>

namespace emu {

namespace {
ObjectNamespace* g_current = nullptr;
constexpr int kMaxLinkDepth = 32;
}  // namespace

ObjectNamespace::ObjectNamespace() { g_current = this; }

ObjectNamespace::~ObjectNamespace() {
  if (g_current == this) g_current = nullptr;
}

ObjectNamespace& ObjectNamespace::Current() {
  if (g_current == nullptr) throw std::logic_error("no object namespace: construct an emu::Machine");
  return *g_current;
}

std::u16string ObjectNamespace::Canonical(std::u16string_view name) {
  constexpr std::u16string_view kDos = u"\\DosDevices\\";
  constexpr std::u16string_view kGlobal = u"\\GLOBAL??\\";
  if (name.size() >= kDos.size() && EqualNoCase(name.substr(0, kDos.size()), kDos))
    return u"\\??\\" + std::u16string(name.substr(kDos.size()));
  if (name.size() >= kGlobal.size() && EqualNoCase(name.substr(0, kGlobal.size()), kGlobal))
    return u"\\??\\" + std::u16string(name.substr(kGlobal.size()));
  return std::u16string(name);
}

std::u16string ObjectNamespace::Key(std::u16string_view name) { return Upcase(Canonical(name)); }

std::u16string ObjectNamespace::GuidString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return ToU16(std::string_view(buf));
}

NTSTATUS ObjectNamespace::InsertDevice(std::u16string_view name, PDEVICE_OBJECT device) {
  if (name.empty() || name.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
  auto [it, inserted] = entries_.try_emplace(Key(name));
  if (!inserted) return STATUS_OBJECT_NAME_COLLISION;
  it->second.name = std::u16string(name);
  it->second.device = device;
  return STATUS_SUCCESS;
}

void ObjectNamespace::RemoveDevice(PDEVICE_OBJECT device) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (!it->second.isLink && it->second.device == device) {
      entries_.erase(it);
      return;
    }
  }
}

PDEVICE_OBJECT ObjectNamespace::FindDevice(std::u16string_view name) const {
  auto it = entries_.find(Key(name));
  if (it == entries_.end() || it->second.isLink) return nullptr;
  return it->second.device;
}

std::u16string ObjectNamespace::DeviceName(PDEVICE_OBJECT device) const {
  for (auto& [key, e] : entries_)
    if (!e.isLink && e.device == device) return e.name;
  return {};
}

std::vector<std::u16string> ObjectNamespace::DeviceNames() const {
  std::vector<std::u16string> names;
  for (auto& [key, e] : entries_)
    if (!e.isLink) names.push_back(e.name);
  return names;
}

NTSTATUS ObjectNamespace::CreateLink(std::u16string_view name, std::u16string_view target) {
  if (name.empty() || name.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
  auto [it, inserted] = entries_.try_emplace(Key(name));
  if (!inserted) return STATUS_OBJECT_NAME_COLLISION;
  it->second.name = Canonical(name);
  it->second.target = std::u16string(target);
  it->second.isLink = true;
  return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::DeleteLink(std::u16string_view name) {
  auto it = entries_.find(Key(name));
  if (it == entries_.end() || !it->second.isLink) return STATUS_OBJECT_NAME_NOT_FOUND;
  entries_.erase(it);
  return STATUS_SUCCESS;
}

std::optional<std::u16string> ObjectNamespace::LinkTarget(std::u16string_view name) const {
  auto it = entries_.find(Key(name));
  if (it == entries_.end() || !it->second.isLink) return std::nullopt;
  return it->second.target;
}

std::vector<ObjectNamespace::Link> ObjectNamespace::Links() const {
  std::vector<Link> links;
  for (auto& [key, e] : entries_)
    if (e.isLink) links.push_back({e.name, e.target});
  return links;
}

NTSTATUS ObjectNamespace::Resolve(std::u16string_view path, PDEVICE_OBJECT* device,
                                  std::u16string* remainder) const {
  std::u16string current = Canonical(path);
  std::u16string rest;
  for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
    // The longest prefix of `current` (ending at a component boundary) that names an object.
    size_t end = current.size();
    const Entry* found = nullptr;
    while (end > 0) {
      auto it = entries_.find(Upcase(current.substr(0, end)));
      if (it != entries_.end()) {
        found = &it->second;
        break;
      }
      size_t slash = current.rfind(u'\\', end - 1);
      if (slash == std::u16string::npos || slash == 0) break;
      end = slash;
    }
    if (found == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    rest = current.substr(end) + rest;
    if (!found->isLink) {
      *device = found->device;
      if (remainder != nullptr) *remainder = rest;
      return STATUS_SUCCESS;
    }
    current = Canonical(found->target);
    std::u16string tail = rest;
    rest.clear();
    current += tail;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ObjectNamespace::RegisterInterface(PDEVICE_OBJECT pdo, std::u16string_view instancePath,
                                            const GUID& classGuid,
                                            std::u16string_view referenceString,
                                            std::u16string* symbolicLink) {
  // Kernel-mode interface names: "\??\" + the instance path with '\' turned into '#', then
  // "#{class guid}", then "\reference" when there is a reference string.
  std::u16string name = u"\\??\\";
  for (char16_t c : instancePath) name.push_back(c == u'\\' ? u'#' : c);
  name += u"#" + GuidString(classGuid);
  if (!referenceString.empty()) name += u"\\" + std::u16string(referenceString);
  auto [it, inserted] = interfaces_.try_emplace(Upcase(name));
  if (inserted)
    it->second = Interface{name, classGuid, std::u16string(referenceString), pdo, false};
  *symbolicLink = it->second.symbolicLink;
  return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::SetInterfaceState(std::u16string_view symbolicLink, bool enable,
                                            std::u16string_view pdoName) {
  auto it = interfaces_.find(Upcase(symbolicLink));
  if (it == interfaces_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  Interface& iface = it->second;
  if (enable) {
    if (iface.enabled) return STATUS_OBJECT_NAME_EXISTS;
    iface.enabled = true;
    if (!pdoName.empty()) CreateLink(iface.symbolicLink, pdoName);
    return STATUS_SUCCESS;
  }
  if (!iface.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
  iface.enabled = false;
  DeleteLink(iface.symbolicLink);
  return STATUS_SUCCESS;
}

void ObjectNamespace::DisableInterfacesOf(PDEVICE_OBJECT pdo) {
  for (auto& [key, iface] : interfaces_) {
    if (iface.pdo == pdo && iface.enabled) {
      iface.enabled = false;
      DeleteLink(iface.symbolicLink);
    }
  }
}

std::vector<ObjectNamespace::Interface> ObjectNamespace::Interfaces() const {
  std::vector<Interface> out;
  for (auto& [key, iface] : interfaces_) out.push_back(iface);
  return out;
}

const ObjectNamespace::Interface* ObjectNamespace::FindInterface(
    std::u16string_view symbolicLink) const {
  auto it = interfaces_.find(Upcase(symbolicLink));
  return it == interfaces_.end() ? nullptr : &it->second;
}

}  // namespace emu
