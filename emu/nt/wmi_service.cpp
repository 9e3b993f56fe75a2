// The WMI service: provider registrations and the WNODE requests of management applications.
#include "nt/wmi_service.h"

#include <algorithm>
#include <cstring>

#include "nt/io_manager.h"
#include "nt/io_util.h"
#include "nt/kernel.h"

namespace emu {

namespace {

constexpr ULONG Align8(ULONG n) { return (n + 7u) & ~7u; }

// Where the data of a single-instance or single-item WNODE starts when the service builds one.
constexpr ULONG kSingleInstanceDataOffset = Align8(FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData));
constexpr ULONG kSingleItemDataOffset = Align8(FIELD_OFFSET(WNODE_SINGLE_ITEM, VariableData));
// Registration information larger than this is not asked for again.
constexpr ULONG kRegInfoLimit = 64 * 1024;
constexpr ULONG kFirstRegInfoSize = 1024;
// A provider that keeps answering "too small" with a larger size is asked this many times.
constexpr int kQueryAttempts = 3;

std::vector<uint64_t> ZeroedWnode(ULONG size) { return std::vector<uint64_t>((size + 7u) / 8u, 0); }

template <typename T>
T* As(std::vector<uint64_t>& buffer) {
  return reinterpret_cast<T*>(buffer.data());
}

// A counted string (USHORT byte count, UTF-16 characters) at `offset` of a `size`-byte buffer;
// empty when it does not fit.
std::u16string CountedString(const uint8_t* buffer, ULONG size, ULONG offset) {
  if (offset == 0 || offset + sizeof(USHORT) > size) return {};
  USHORT bytes;
  std::memcpy(&bytes, buffer + offset, sizeof bytes);
  if (offset + sizeof(USHORT) + bytes > size) return {};
  std::u16string s(bytes / sizeof(char16_t), u'\0');
  std::memcpy(s.data(), buffer + offset + sizeof(USHORT), s.size() * sizeof(char16_t));
  return s;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

std::u16string Decimal(ULONG n) {
  std::string digits = std::to_string(n);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

WmiService::WmiService(Kernel& kernel, IoManager& io) : kernel_(kernel), io_(io) {}

std::u16string WmiService::PdoInstanceName(std::u16string_view instancePath, ULONG index) {
  return std::u16string(instancePath) + u"_" + Decimal(index);
}

const WmiService::Provider* WmiService::FindProvider(PDEVICE_OBJECT device) const {
  for (const Provider& p : providers_)
    if (p.device == device) return &p;
  return nullptr;
}

std::vector<WmiService::Block> WmiService::BlocksOf(PDEVICE_OBJECT device) const {
  const Provider* p = FindProvider(device);
  return p != nullptr ? p->blocks : std::vector<Block>{};
}

std::u16string WmiService::RegistryPathOf(PDEVICE_OBJECT device) const {
  const Provider* p = FindProvider(device);
  return p != nullptr ? p->registryPath : std::u16string{};
}

NTSTATUS WmiService::RegistrationControl(PDEVICE_OBJECT device, ULONG action) {
  const ULONG flags = action & 0xFFFF0000u;
  const ULONG code = action & 0x0000FFFFu;
  calls_.push_back({device, code, flags});
  kernel_.Trace("wmi", "registration " + std::to_string(code) +
                           ((flags & WMIREG_FLAG_CALLBACK) ? " callback" : " " + io_.Label(device)));
  auto drop = [&] { std::erase_if(providers_, [&](const Provider& p) { return p.device == device; }); };
  switch (code) {
    case WMIREG_ACTION_REGISTER:
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS: {
      if (code == WMIREG_ACTION_UPDATE_GUIDS && !Registered(device)) return STATUS_INVALID_PARAMETER;
      // A callback provider (WMIREG_FLAG_CALLBACK: `device` is a routine) is only recorded.
      Provider provider;
      provider.device = device;
      if (!(flags & WMIREG_FLAG_CALLBACK))
        provider = AskRegistration(device, code == WMIREG_ACTION_UPDATE_GUIDS ? WMIUPDATE : WMIREGISTER);
      // Registering again replaces the earlier registration, in place.
      for (Provider& p : providers_)
        if (p.device == device) {
          p = std::move(provider);
          return STATUS_SUCCESS;
        }
      providers_.push_back(std::move(provider));
      return STATUS_SUCCESS;
    }
    case WMIREG_ACTION_DEREGISTER:
      drop();
      return STATUS_SUCCESS;
    case WMIREG_ACTION_BLOCK_IRPS:
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

void WmiService::Forget(PDEVICE_OBJECT device) {
  std::erase_if(providers_, [&](const Provider& p) { return p.device == device; });
}

WmiService::Provider WmiService::AskRegistration(PDEVICE_OBJECT device, ULONG dataPath) {
  Provider provider;
  provider.device = device;
  ULONG size = kFirstRegInfoSize;
  for (int attempt = 0; attempt < kQueryAttempts; ++attempt) {
    std::vector<uint64_t> buffer = ZeroedWnode(size);
    ULONG_PTR information = 0;
    NTSTATUS status = Send(device, IRP_MN_REGINFO, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(dataPath)),
                           buffer, size, &information);
    const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
    if (status == STATUS_BUFFER_TOO_SMALL && information >= sizeof(ULONG)) {
      ULONG needed;
      std::memcpy(&needed, bytes, sizeof needed);
      if (needed <= size || needed > kRegInfoLimit) break;
      size = needed;
      continue;
    }
    const ULONG header = FIELD_OFFSET(WMIREGINFOW, WmiRegGuid);
    if (!NT_SUCCESS(status) || information < header || information > size) break;
    const auto* info = reinterpret_cast<const WMIREGINFOW*>(bytes);
    const ULONG used = static_cast<ULONG>(information);
    if (info->BufferSize > used || header + info->GuidCount * sizeof(WMIREGGUIDW) > info->BufferSize) break;
    provider.registryPath = CountedString(bytes, used, info->RegistryPath);
    provider.mofResourceName = CountedString(bytes, used, info->MofResourceName);
    for (ULONG i = 0; i < info->GuidCount; ++i) {
      const WMIREGGUIDW& g = info->WmiRegGuid[i];
      Block block{g.Guid, g.Flags, g.InstanceCount, nullptr, {}};
      if (g.Flags & WMIREG_FLAG_INSTANCE_PDO) block.pdo = reinterpret_cast<PDEVICE_OBJECT>(g.Pdo);
      if (g.Flags & WMIREG_FLAG_INSTANCE_BASENAME)
        block.baseName = CountedString(bytes, used, g.BaseNameOffset);
      provider.blocks.push_back(block);
    }
    kernel_.Trace("wmi",
                  "registered " + std::to_string(provider.blocks.size()) + " blocks of " + io_.Label(device));
    return provider;
  }
  kernel_.Trace("wmi", "no registration information from " + io_.Label(device));
  return provider;
}

NTSTATUS WmiService::Send(PDEVICE_OBJECT provider, UCHAR minor, PVOID dataPath, std::vector<uint64_t>& wnode,
                          ULONG size, ULONG_PTR* information) {
  IoRequest request;
  request.majorFunction = IRP_MJ_SYSTEM_CONTROL;
  request.minorFunction = minor;
  request.initialStatus = STATUS_NOT_SUPPORTED;
  PVOID buffer = wnode.data();
  request.setup = [provider, dataPath, size, buffer](PIO_STACK_LOCATION sp) {
    sp->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(provider);
    sp->Parameters.WMI.DataPath = dataPath;
    sp->Parameters.WMI.BufferSize = size;
    sp->Parameters.WMI.Buffer = buffer;
  };
  return io_.SendToStack(provider, request, information);
}

std::u16string WmiService::InstanceName(const Block& block, ULONG index) const {
  if (block.pdo != nullptr && io_.IsKnownDevice(block.pdo))
    return PdoInstanceName(io_.InstancePath(block.pdo), index);
  if (block.flags & WMIREG_FLAG_INSTANCE_BASENAME) return block.baseName + Decimal(index);
  return {};  // dynamic instance names: not addressable through this service
}

NTSTATUS WmiService::Find(const GUID& guid, std::u16string_view instanceName, Target* target) const {
  NTSTATUS status = STATUS_WMI_GUID_NOT_FOUND;
  for (const Provider& p : providers_) {
    for (const Block& block : p.blocks) {
      if (!SameGuid(block.guid, guid)) continue;
      status = STATUS_WMI_INSTANCE_NOT_FOUND;
      for (ULONG i = 0; i < block.instanceCount; ++i) {
        if (InstanceName(block, i) != instanceName) continue;
        *target = {p.device, i};
        return STATUS_SUCCESS;
      }
    }
  }
  return status;
}

WmiQueryResult WmiService::QuerySingleInstance(const GUID& guid, std::u16string_view instanceName,
                                               ULONG dataSize) {
  WmiQueryResult result;
  Target target;
  result.status = Find(guid, instanceName, &target);
  if (!NT_SUCCESS(result.status)) return result;
  const ULONG size = kSingleInstanceDataOffset + dataSize;
  std::vector<uint64_t> buffer = ZeroedWnode(size);
  auto* wnode = As<WNODE_SINGLE_INSTANCE>(buffer);
  wnode->WnodeHeader.BufferSize = size;
  wnode->WnodeHeader.Guid = guid;
  wnode->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
  wnode->InstanceIndex = target.index;
  wnode->DataBlockOffset = kSingleInstanceDataOffset;
  GUID path = guid;
  ULONG_PTR information = 0;
  result.status = Send(target.device, IRP_MN_QUERY_SINGLE_INSTANCE, &path, buffer, size, &information);
  if (!NT_SUCCESS(result.status)) return result;
  if (wnode->WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL) {
    const ULONG needed = As<WNODE_TOO_SMALL>(buffer)->SizeNeeded;
    result.status = STATUS_BUFFER_TOO_SMALL;
    result.sizeNeeded = needed > kSingleInstanceDataOffset ? needed - kSingleInstanceDataOffset : 0;
    return result;
  }
  const ULONG offset = wnode->DataBlockOffset;
  const ULONG length = wnode->SizeDataBlock;
  if (offset > size || length > size - offset) {
    result.status = STATUS_INVALID_BUFFER_SIZE;
    return result;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
  result.data.assign(bytes + offset, bytes + offset + length);
  return result;
}

NTSTATUS WmiService::QueryAllData(const GUID& guid, ULONG dataSize, std::vector<WmiInstance>* instances) {
  instances->clear();
  NTSTATUS status = STATUS_WMI_GUID_NOT_FOUND;
  // Copies: a provider may register or deregister while it answers.
  std::vector<Provider> providers = providers_;
  for (const Provider& p : providers) {
    for (const Block& block : p.blocks) {
      if (!SameGuid(block.guid, guid)) continue;
      ULONG size = Align8(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                          block.instanceCount * sizeof(OFFSETINSTANCEDATAANDLENGTH)) +
                   dataSize;
      for (int attempt = 0;; ++attempt) {
        std::vector<uint64_t> buffer = ZeroedWnode(size);
        auto* wnode = As<WNODE_ALL_DATA>(buffer);
        wnode->WnodeHeader.BufferSize = size;
        wnode->WnodeHeader.Guid = guid;
        wnode->WnodeHeader.Flags = WNODE_FLAG_ALL_DATA;
        GUID path = guid;
        ULONG_PTR information = 0;
        status = Send(p.device, IRP_MN_QUERY_ALL_DATA, &path, buffer, size, &information);
        if (!NT_SUCCESS(status)) return status;
        if (wnode->WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL) {
          const ULONG needed = As<WNODE_TOO_SMALL>(buffer)->SizeNeeded;
          if (attempt + 1 == kQueryAttempts || needed <= size) return STATUS_BUFFER_TOO_SMALL;
          size = needed;
          continue;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
        const bool fixed = (wnode->WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE) != 0;
        for (ULONG i = 0; i < wnode->InstanceCount; ++i) {
          ULONG offset = fixed ? wnode->DataBlockOffset + i * Align8(wnode->FixedInstanceSize)
                               : wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData;
          ULONG length =
              fixed ? wnode->FixedInstanceSize : wnode->OffsetInstanceDataAndLength[i].LengthInstanceData;
          if (offset > size || length > size - offset) return STATUS_INVALID_BUFFER_SIZE;
          instances->push_back({InstanceName(block, i), {bytes + offset, bytes + offset + length}});
        }
        break;
      }
    }
  }
  return status;
}

NTSTATUS WmiService::Change(const GUID& guid, std::u16string_view instanceName, UCHAR minor, ULONG itemId,
                            const void* data, ULONG size) {
  Target target;
  NTSTATUS status = Find(guid, instanceName, &target);
  if (!NT_SUCCESS(status)) return status;
  const bool item = minor == IRP_MN_CHANGE_SINGLE_ITEM;
  const ULONG offset = item ? kSingleItemDataOffset : kSingleInstanceDataOffset;
  const ULONG total = offset + size;
  std::vector<uint64_t> buffer = ZeroedWnode(total);
  if (size != 0) std::memcpy(reinterpret_cast<uint8_t*>(buffer.data()) + offset, data, size);
  if (item) {
    auto* wnode = As<WNODE_SINGLE_ITEM>(buffer);
    wnode->WnodeHeader.Flags = WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    wnode->InstanceIndex = target.index;
    wnode->ItemId = itemId;
    wnode->DataBlockOffset = offset;
    wnode->SizeDataItem = size;
  } else {
    auto* wnode = As<WNODE_SINGLE_INSTANCE>(buffer);
    wnode->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    wnode->InstanceIndex = target.index;
    wnode->DataBlockOffset = offset;
    wnode->SizeDataBlock = size;
  }
  auto* header = As<WNODE_HEADER>(buffer);
  header->BufferSize = total;
  header->Guid = guid;
  GUID path = guid;
  ULONG_PTR information = 0;
  return Send(target.device, minor, &path, buffer, total, &information);
}

NTSTATUS WmiService::SetSingleInstance(const GUID& guid, std::u16string_view instanceName, const void* data,
                                       ULONG size) {
  return Change(guid, instanceName, IRP_MN_CHANGE_SINGLE_INSTANCE, 0, data, size);
}

NTSTATUS WmiService::SetSingleItem(const GUID& guid, std::u16string_view instanceName, ULONG itemId,
                                   const void* data, ULONG size) {
  return Change(guid, instanceName, IRP_MN_CHANGE_SINGLE_ITEM, itemId, data, size);
}

}  // namespace emu
