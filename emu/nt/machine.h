// The emulated machine: one kernel (constructed first, destroyed last), the registry, the object
// namespace and the I/O manager with the configuration information. Tests, the tool and the
// benchmarks build one Machine, load the driver into it, plug devices and send requests.
//
// The request routines work from the test's own stack as well as from inside an emulated thread:
// from outside, they start an application (or system) thread for the request and run the
// machine until that thread is done. If the request never finishes (the machine runs out of
// work first) they return STATUS_PENDING and leave the thread waiting; the caller's buffers must
// then stay valid for as long as the machine runs.
#pragma once

#include <wdm.h>

#include "nt/io_manager.h"
#include "nt/kernel.h"
#include "nt/object_namespace.h"
#include "nt/pnp_manager.h"
#include "nt/power_manager.h"
#include "nt/registry.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace emu {

class Machine {
 public:
  explicit Machine(KernelConfig config = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  static Machine& Current();
  static Machine* CurrentOrNull();

  Kernel& kernel() { return *kernel_; }
  Registry& registry() { return *registry_; }
  ObjectNamespace& objects() { return *objects_; }
  IoManager& io() { return *io_; }
  PnpManager& pnp() { return *pnp_; }
  PowerManager& power() { return *power_; }
  // IoGetConfigurationInformation's record; tests preset SerialCount here.
  CONFIGURATION_INFORMATION& configuration() { return io_->Configuration(); }

  // --- Drivers ------------------------------------------------------------------------------------
  // The service key of a driver name ("\Registry\Machine\System\CurrentControlSet\Services\x").
  static std::u16string ServiceKeyPath(std::u16string_view serviceName);
  // Creates the service key (unless it exists) and the driver object, and runs DriverEntry in
  // a system thread at PASSIVE_LEVEL. On failure the driver object is discarded after the
  // unload checks, nullptr is returned and *status tells why.
  PDRIVER_OBJECT LoadDriver(std::u16string_view serviceName, PDRIVER_INITIALIZE entry,
                            std::u16string_view serviceKeyPath = {}, NTSTATUS* status = nullptr);
  // Runs the unload routine in a system thread, then checks that the driver left no device
  // objects, no requests and no pool behind.
  void UnloadDriver(PDRIVER_OBJECT driver);

  // --- Devices ------------------------------------------------------------------------------------
  // A physical device object served by `bus`, with its hardware key under ...\Enum\<instance>.
  PDEVICE_OBJECT CreatePhysicalDevice(std::u16string_view instancePath, BusDriver& bus);
  // Calls the driver's AddDevice for the PDO in a system thread. Afterwards every device the
  // driver attached above the PDO must have DO_DEVICE_INITIALIZING cleared.
  NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
  // An IRP_MJ_PNP (initial status STATUS_NOT_SUPPORTED) to the top of the PDO's stack, from a
  // system thread at PASSIVE_LEVEL, waiting for its completion.
  NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minorFunction,
                   std::function<void(PIO_STACK_LOCATION)> setup = {},
                   ULONG_PTR* information = nullptr);
  // The same for IRP_MJ_POWER.
  NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minorFunction,
                     std::function<void(PIO_STACK_LOCATION)> setup = {},
                     ULONG_PTR* information = nullptr);

  // --- System power (the power manager's transitions; see power_manager.h) -------------------------
  // Sleep in `state` (PowerSystemSleeping1 to PowerSystemHibernate), resume, shut down.
  NTSTATUS Sleep(SYSTEM_POWER_STATE state) { return power_->Sleep(state); }
  NTSTATUS Wake() { return power_->Wake(); }
  NTSTATUS Shutdown() { return power_->Shutdown(); }

  // --- Files and requests -------------------------------------------------------------------------
  NTSTATUS Open(std::u16string_view name, PFILE_OBJECT* file,
                ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE);
  // Cleanup, then close once the file's requests are done.
  NTSTATUS Close(PFILE_OBJECT file);
  NTSTATUS Read(PFILE_OBJECT file, void* buffer, ULONG length, ULONG_PTR* transferred = nullptr);
  NTSTATUS Write(PFILE_OBJECT file, const void* buffer, ULONG length,
                 ULONG_PTR* transferred = nullptr);
  NTSTATUS DeviceIoControl(PFILE_OBJECT file, ULONG ioControlCode, const void* input,
                           ULONG inputLength, void* output, ULONG outputLength,
                           ULONG_PTR* information = nullptr);
  // IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION for `informationClass` (a
  // FILE_INFORMATION_CLASS), buffered; *information is the number of bytes the driver returned.
  // As the system services do, a class the call does not accept or a buffer shorter than the
  // class's record is refused before any IRP is built (information_lengths.h).
  NTSTATUS QueryInformation(PFILE_OBJECT file, ULONG informationClass, void* buffer, ULONG length,
                            ULONG_PTR* information = nullptr);
  NTSTATUS SetInformation(PFILE_OBJECT file, ULONG informationClass, const void* buffer,
                          ULONG length);
  // Any request on the file, waiting for completion.
  NTSTATUS Send(PFILE_OBJECT file, const IoRequest& request, ULONG_PTR* information = nullptr);
  // Cancels the file's outstanding requests (IoCancelIrp on each); returns how many had a
  // cancel routine.
  ULONG CancelIo(PFILE_OBJECT file);

  // --- WMI, as a management application uses it ---------------------------------------------------
  // The name of instance `index` of the blocks a device registers with WMIREG_FLAG_INSTANCE_PDO.
  std::u16string WmiInstanceName(PDEVICE_OBJECT pdo, ULONG index = 0);
  // One instance of a data block, asked for from a system thread with room for dataSize bytes of
  // data (STATUS_PENDING if the request never finished).
  WmiQueryResult QueryWmiBlock(const GUID& guid, std::u16string_view instanceName,
                               ULONG dataSize = 4096);
  // Every instance of a data block, of every provider that registered it.
  NTSTATUS QueryWmiAllData(const GUID& guid, std::vector<WmiInstance>* instances,
                           ULONG dataSize = 4096);
  // A change of a whole instance, or of one item of it.
  NTSTATUS SetWmiBlock(const GUID& guid, std::u16string_view instanceName, const void* data,
                       ULONG size);
  NTSTATUS SetWmiItem(const GUID& guid, std::u16string_view instanceName, ULONG itemId,
                      const void* data, ULONG size);

  // --- Running code in the machine ------------------------------------------------------------------
  // Runs body in a new application thread until it ends (from the test's own stack), or
  // directly when already inside an emulated context. False if it did not finish.
  bool RunInApplicationThread(std::string name, std::function<void()> body);
  // The same with a system thread.
  bool RunInSystemThread(std::string name, std::function<void()> body);

 private:
  NTSTATUS RunRequest(const char* name, std::function<NTSTATUS()> body, bool systemThread);

  std::unique_ptr<Kernel> kernel_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<ObjectNamespace> objects_;
  std::unique_ptr<IoManager> io_;
  std::unique_ptr<PnpManager> pnp_;
  std::unique_ptr<PowerManager> power_;
};

}  // namespace emu
