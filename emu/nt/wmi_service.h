// The WMI service: the data providers registered with IoWMIRegistrationControl and the requests a
// management application sends them. Registering asks the provider for its registration
// information with IRP_MN_REGINFO; queries and changes reach the provider as IRP_MJ_SYSTEM_CONTROL
// requests carrying the WNODE buffers Windows builds, sent to the top of the provider's device
// stack from the caller's context (a system thread at PASSIVE_LEVEL).
#pragma once

#include <wdm.h>
#include <wmistr.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

class IoManager;
class Kernel;

// One instance of a data block as a management application receives it.
struct WmiInstance {
  std::u16string name;
  std::vector<uint8_t> data;
};

// The answer to a query of one instance: on STATUS_BUFFER_TOO_SMALL, sizeNeeded is the number of
// data bytes the provider needs.
struct WmiQueryResult {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> data;
  ULONG sizeNeeded = 0;
};

class WmiService {
 public:
  struct Call {
    PDEVICE_OBJECT device;
    ULONG action;  // WMIREG_ACTION_*
    ULONG flags;   // the WMIREG_FLAG_* bits passed with it
  };
  // A data block as the provider registered it.
  struct Block {
    GUID guid;
    ULONG flags;  // WMIREG_FLAG_*
    ULONG instanceCount;
    PDEVICE_OBJECT pdo;       // WMIREG_FLAG_INSTANCE_PDO: the names come from this device
    std::u16string baseName;  // WMIREG_FLAG_INSTANCE_BASENAME
  };

  WmiService(Kernel& kernel, IoManager& io);

  // IoWMIRegistrationControl. Registering (and re-registering or updating) sends IRP_MN_REGINFO to
  // the device and keeps the blocks of its answer; a provider whose answer cannot be read stays
  // registered without blocks.
  NTSTATUS RegistrationControl(PDEVICE_OBJECT device, ULONG action);
  // A deleted device object is no provider any more.
  void Forget(PDEVICE_OBJECT device);
  const std::vector<Call>& Calls() const { return calls_; }
  bool Registered(PDEVICE_OBJECT device) const { return FindProvider(device) != nullptr; }
  std::vector<Block> BlocksOf(PDEVICE_OBJECT device) const;
  // The registry path the provider gave with its registration information.
  std::u16string RegistryPathOf(PDEVICE_OBJECT device) const;

  // Instance names as WMI forms them: "<device instance path>_<index>" for PDO-named blocks,
  // "<base name><index>" for base-named ones.
  static std::u16string PdoInstanceName(std::u16string_view instancePath, ULONG index);

  // --- Requests of a management application (from an emulated context at PASSIVE_LEVEL) -------
  // IRP_MN_QUERY_SINGLE_INSTANCE with room for dataSize bytes of data.
  WmiQueryResult QuerySingleInstance(const GUID& guid, std::u16string_view instanceName, ULONG dataSize);
  // IRP_MN_QUERY_ALL_DATA to every provider of the GUID, each asked again with the size it needs
  // when the first buffer (room for dataSize bytes of data) was too small.
  NTSTATUS QueryAllData(const GUID& guid, ULONG dataSize, std::vector<WmiInstance>* instances);
  // IRP_MN_CHANGE_SINGLE_INSTANCE and IRP_MN_CHANGE_SINGLE_ITEM.
  NTSTATUS SetSingleInstance(const GUID& guid, std::u16string_view instanceName, const void* data,
                             ULONG size);
  NTSTATUS SetSingleItem(const GUID& guid, std::u16string_view instanceName, ULONG itemId, const void* data,
                         ULONG size);

  // The request as sent: a WNODE in `wnode` (updated in place with the provider's answer),
  // IRP_MJ_SYSTEM_CONTROL with `minor` and DataPath pointing at `guid`; returns the IRP's status
  // and *information its IoStatus.Information.
  NTSTATUS Send(PDEVICE_OBJECT provider, UCHAR minor, PVOID dataPath, std::vector<uint64_t>& wnode,
                ULONG size, ULONG_PTR* information);

 private:
  struct Provider {
    PDEVICE_OBJECT device = nullptr;
    std::vector<Block> blocks;
    std::u16string registryPath;
    std::u16string mofResourceName;
  };
  struct Target {
    PDEVICE_OBJECT device = nullptr;
    ULONG index = 0;
  };

  Provider AskRegistration(PDEVICE_OBJECT device, ULONG dataPath);
  const Provider* FindProvider(PDEVICE_OBJECT device) const;
  std::u16string InstanceName(const Block& block, ULONG index) const;
  NTSTATUS Find(const GUID& guid, std::u16string_view instanceName, Target* target) const;
  NTSTATUS Change(const GUID& guid, std::u16string_view instanceName, UCHAR minor, ULONG itemId,
                  const void* data, ULONG size);

  Kernel& kernel_;
  IoManager& io_;
  std::vector<Call> calls_;
  std::vector<Provider> providers_;  // in the order they registered
};

}  // namespace emu
