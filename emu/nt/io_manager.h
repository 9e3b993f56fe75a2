// The emulated I/O manager: driver and device objects, device stacks, IRPs from allocation to
// completion, cancellation, file objects and the requests applications send through them, and
// the I/O verifier's rules. The Io* routines of wdk_io.h are thin wrappers over this class.
//
// IRP memory is never handed back while a driver could still hold a pointer to it: a freed IRP
// is filled with a pattern and kept in a quarantine, so that any later use through an Io*
// routine is recognised and stops the machine with a bug check.
#pragma once

#include <wdm.h>

#include "nt/kernel.h"
#include "nt/wmi_service.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace emu {

class ObjectNamespace;
class PnpManager;
class Registry;

// How a bus driver (the USB host controller's root hub, or a stub in a test) serves the IRPs
// that reach one of its physical device objects (PDOs).
class BusDriver {
 public:
  virtual ~BusDriver() = default;
  // Called as the PDO's dispatch routine for every major function: same rules as any dispatch
  // routine (complete the IRP, or mark it pending and return STATUS_PENDING).
  virtual NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) = 0;
  // The bus driver's object name.
  virtual std::u16string DriverName() const { return u"\\Driver\\usbhub"; }
};

// One request an application (or the Plug and Play and power managers) sends to a device
// stack. The buffers are the caller's; the I/O manager buffers or maps them according to the
// target device's DO_BUFFERED_IO / DO_DIRECT_IO flags and the control code's method.
struct IoRequest {
  UCHAR majorFunction = IRP_MJ_DEVICE_CONTROL;
  UCHAR minorFunction = 0;
  ULONG ioControlCode = 0;
  const void* inputBuffer = nullptr;  // write data, control-code input, set-information data
  ULONG inputLength = 0;
  void* outputBuffer = nullptr;       // read data, control-code output, query-information data
  ULONG outputLength = 0;
  LONGLONG byteOffset = 0;
  ULONG informationClass = 0;         // IRP_MJ_QUERY/SET_INFORMATION
  // The IRP's IoStatus.Status before it is sent: PnP, power and WMI requests start out as
  // STATUS_NOT_SUPPORTED.
  NTSTATUS initialStatus = STATUS_SUCCESS;
  // Fills any further parameters of the first stack location (PnP and power requests).
  std::function<void(PIO_STACK_LOCATION)> setup;
  // Held until the request has completed: what owns the event and status block its completion
  // writes (as an IRP references the event object on Windows, so a handle closed meanwhile
  // does not free it).
  std::shared_ptr<const void> heldUntilCompletion;
};

// Where an IRP came from; decides what happens when its completion runs to the top.
enum class IrpOrigin {
  Driver,   // IoAllocateIrp / IoInitializeIrp: the allocating driver frees it
  Built,    // IoBuildDeviceIoControlRequest / IoBuildSynchronousFsdRequest: threaded, freed by
            // the I/O manager after setting the caller's status block and event
  Machine,  // sent by the I/O manager for an application or the PnP manager: threaded as well
};

class IoManager {
 public:
  // How long a cancelled IRP may stay uncompleted: the I/O manager's own time-out for cancelled
  // requests.
  static constexpr VirtualTime kCancelTimeout = 5 * 60 * kSecond;

  IoManager(Kernel& kernel, ObjectNamespace& names, Registry& registry);
  ~IoManager();
  IoManager(const IoManager&) = delete;
  IoManager& operator=(const IoManager&) = delete;

  static IoManager& Current();
  static IoManager* CurrentOrNull();

  Kernel& kernel() { return kernel_; }
  CONFIGURATION_INFORMATION& Configuration() { return configuration_; }

  // --- Drivers ------------------------------------------------------------------------------------
  PDRIVER_OBJECT CreateDriverObject(std::u16string_view serviceName,
                                    std::u16string_view serviceKeyPath);
  std::u16string ServiceKeyPath(PDRIVER_OBJECT driver) const;
  std::string DriverNameOf(PDRIVER_OBJECT driver) const;
  // After the driver's unload routine (or a failed DriverEntry): device objects left behind
  // and IRPs still in the driver's hands stop the machine.
  void VerifyDriverGone(PDRIVER_OBJECT driver);

  // --- Devices ------------------------------------------------------------------------------------
  NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                        DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* device);
  void DeleteDevice(PDEVICE_OBJECT device);
  PDEVICE_OBJECT AttachDevice(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
  void DetachDevice(PDEVICE_OBJECT target);
  // A PDO of `bus`, named automatically, already initialised (DO_DEVICE_INITIALIZING clear).
  PDEVICE_OBJECT CreatePhysicalDevice(std::u16string_view instancePath, BusDriver& bus);
  bool IsPhysicalDevice(PDEVICE_OBJECT device) const;
  BusDriver* BusOf(PDEVICE_OBJECT pdo) const;
  bool IsDeleted(PDEVICE_OBJECT device) const;
  bool IsKnownDevice(PDEVICE_OBJECT device) const;
  std::u16string InstancePath(PDEVICE_OBJECT pdo) const;
  std::u16string HardwareKeyPath(PDEVICE_OBJECT pdo) const;  // ...\Enum\<instance>
  std::u16string DeviceParametersKeyPath(PDEVICE_OBJECT pdo) const;
  std::u16string DriverKeyPath(PDEVICE_OBJECT pdo) const;
  PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device) const;  // what `device` is attached to
  PDEVICE_OBJECT PhysicalDeviceOf(PDEVICE_OBJECT device) const;  // bottom of its stack
  std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) const;
  std::u16string NameOf(PDEVICE_OBJECT device) const;
  // The device's name, or "device#N" (its creation number) for an unnamed one.
  std::string Label(PDEVICE_OBJECT device) const;
  NTSTATUS OpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG keyType, PHANDLE handle);
  NTSTATUS GetDeviceProperty(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property,
                             ULONG bufferLength, PVOID buffer, PULONG resultLength);
  void ReferenceObject(PVOID object, LONG delta);

  // --- IRPs ---------------------------------------------------------------------------------------
  PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin, bool mayFail);
  void InitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize);
  void ReuseIrp(PIRP irp, NTSTATUS status);
  void FreeIrp(PIRP irp);
  NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp);
  void CompleteRequest(PIRP irp, CCHAR priorityBoost);
  PIRP BuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                   ULONG inputLength, PVOID output, ULONG outputLength,
                                   BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb);
  PIRP BuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer,
                                  ULONG length, PLARGE_INTEGER offset, PKEVENT event,
                                  PIO_STATUS_BLOCK iosb);
  size_t LiveIrpCount() const { return live_.size(); }

  // --- Cancellation -------------------------------------------------------------------------------
  void AcquireCancelSpinLock(PKIRQL irql);
  void ReleaseCancelSpinLock(KIRQL irql);
  PDRIVER_CANCEL SetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine);
  BOOLEAN CancelIrp(PIRP irp);
  bool CancelSpinLockHeld() const { return cancelLockOwner_ != nullptr; }

  // --- Files and requests (callers run in an emulated context and may wait) --------------------
  // IRP_MJ_CREATE through the name (a device name or a link to one). An exclusive device that
  // already has an open file is refused with STATUS_ACCESS_DENIED before its driver sees it.
  NTSTATUS OpenFile(std::u16string_view name, ACCESS_MASK access, PFILE_OBJECT* file);
  // IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once no request of the file is outstanding (sent later
  // from a system thread when requests are still pending).
  NTSTATUS CloseFile(PFILE_OBJECT file);
  // Sends a request on an open file without waiting: the caller's status block is written and
  // its event (which may be NULL) signalled when the request completes. Returns what the
  // driver returned (STATUS_PENDING while the request is outstanding).
  NTSTATUS StartRequest(PFILE_OBJECT file, const IoRequest& request, PKEVENT event,
                        PIO_STATUS_BLOCK iosb);
  // The same, waiting for completion; returns the final status.
  NTSTATUS SendRequest(PFILE_OBJECT file, const IoRequest& request,
                       ULONG_PTR* information = nullptr);
  // A request to the top of the stack `device` belongs to, without a file object (Plug and
  // Play, power, WMI); waits for completion.
  // *irp (when given) receives the IRP's address before it is sent.
  NTSTATUS SendToStack(PDEVICE_OBJECT device, const IoRequest& request,
                       ULONG_PTR* information = nullptr, PIRP* irp = nullptr);
  // IoCancelIrp on every request of the file still outstanding; returns how many had a cancel
  // routine.
  ULONG CancelFileRequests(PFILE_OBJECT file);
  // The same for the requests of the file sent by `thread` (any when NULL) with the status block
  // `iosb` (any when NULL), as NtCancelIoFile and NtCancelIoFileEx choose them; *matched (when
  // given) receives how many requests were chosen.
  ULONG CancelFileRequests(PFILE_OBJECT file, PETHREAD thread, PIO_STATUS_BLOCK iosb,
                           ULONG* matched);
  size_t PendingRequestCount(PFILE_OBJECT file) const;
  size_t OpenFileCount() const;
  // Files on any device of the stack above `pdo` whose final close has not completed.
  size_t OpenFilesOnStack(PDEVICE_OBJECT pdo) const;

  // The Plug and Play manager refuses opens once removal began, learns of final closes and
  // checks detaching and deleting during surprise removal.
  void SetPnpManager(PnpManager* pnp) { pnp_ = pnp; }

  // --- Work items (io_work_item.cpp) ------------------------------------------------------------
  PIO_WORKITEM AllocateWorkItem(PDEVICE_OBJECT device);
  void QueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queueType,
                     PVOID context);
  void FreeWorkItem(PIO_WORKITEM item);
  // Work items queued and routines running now, of every driver.
  size_t WorkInProgress() const;

  // --- WMI: the registered data providers and requests to them (wmi_service.h) --------------
  WmiService& Wmi() { return *wmi_; }
  NTSTATUS WmiRegistrationControl(PDEVICE_OBJECT device, ULONG action);
  const std::vector<WmiService::Call>& WmiCalls() const { return wmi_->Calls(); }
  bool WmiRegistered(PDEVICE_OBJECT device) const { return wmi_->Registered(device); }

  struct IrpRecord;
  struct DeviceRecord;
  struct DriverRecord;
  struct FileRecord;

 private:
  BOOLEAN CancelHeldIrp(PIRP irp, IrpRecord& record);
  std::shared_ptr<IrpRecord> LookupIrp(PIRP irp, ULONG notAnIrpCode, ULONG_PTR notAnIrpSubcode,
                                       const void* routine);
  DeviceRecord* FindDevice(PDEVICE_OBJECT device) const;
  // A deleted device object's memory goes back once nothing refers to it any more: no open
  // file, no object reference and no device attached above it.
  void ReleaseIfUnreferenced(DeviceRecord* d);
  void DropOpenReference(PDEVICE_OBJECT device);  // an open file of the device is gone
  void VerifyNoIrpOf(PDRIVER_OBJECT driver);
  void VerifyNoWorkItemOf(PDRIVER_OBJECT driver);
  void RunWorkItem(PIO_WORKITEM item);
  FileRecord* FindFile(PFILE_OBJECT file) const;
  void ReleaseIrp(const std::shared_ptr<IrpRecord>& record);
  void FinishThreadedIrp(const std::shared_ptr<IrpRecord>& record, CCHAR boost);
  void CheckPendingRule(IrpRecord& record, int location);
  // I/O verifier rules of io_verifier_rules.cpp: a new PnP, power or WMI IRP starts at
  // STATUS_NOT_SUPPORTED; a cancelled IRP completes within kCancelTimeout; a device object is
  // deregistered from WMI before it is deleted.
  void CheckNewIrpStatus(PIRP irp, PDEVICE_OBJECT device);
  void StartCancelDeadline(PIRP irp, PDRIVER_CANCEL routine);
  void EndCancelDeadline(IrpRecord& record);
  void CheckWmiDeregistered(PDEVICE_OBJECT device);
  PIRP BuildMachineIrp(PDEVICE_OBJECT top, FileRecord* file, const IoRequest& request,
                       PKEVENT event, PIO_STATUS_BLOCK iosb);
  // Gives the record a system buffer of `length` bytes. Like pool memory, it is reused from
  // IRPs released before and holds what they left in it, not zeros.
  void TakeSystemBuffer(IrpRecord& record, ULONG length);
  NTSTATUS IssueAndCheck(PDEVICE_OBJECT top, PIRP irp);
  NTSTATUS WaitFor(NTSTATUS status, PKEVENT event, PIO_STATUS_BLOCK iosb,
                   ULONG_PTR* information);
  void SendFinalClose(FileRecord* file, bool inCaller);
  const void* CurrentContextToken() const;
  void TraceIrp(const char* what, PIRP irp, const std::string& detail);
  [[noreturn]] void UseOfFreedIrp(PIRP irp, const void* routine);

  Kernel& kernel_;
  ObjectNamespace& names_;
  Registry& registry_;
  PnpManager* pnp_ = nullptr;
  CONFIGURATION_INFORMATION configuration_{};

  std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> drivers_;
  std::map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> devices_;
  std::map<PFILE_OBJECT, std::unique_ptr<FileRecord>> files_;
  std::map<BusDriver*, PDRIVER_OBJECT> busDrivers_;

  std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> live_;
  // The last IRP LookupIrp found, and its entry in live_ (entries stay put until erased).
  struct {
    PIRP irp = nullptr;
    const std::shared_ptr<IrpRecord>* record = nullptr;
  } lastLookup_;
  std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> freed_;
  std::deque<std::shared_ptr<IrpRecord>> quarantine_;
  std::vector<std::vector<uint8_t>> spareSystemBuffers_;
  uint64_t irpSerial_ = 0;

  KSPIN_LOCK cancelLock_ = 0;
  const void* cancelLockOwner_ = nullptr;

  std::unique_ptr<WmiService> wmi_;

  // Live work items (allocated, not yet freed) and the routines running now with their driver.
  std::set<PIO_WORKITEM> workItems_;
  std::vector<std::pair<PDRIVER_OBJECT, PIO_WORKITEM_ROUTINE>> runningWork_;
  uint32_t workerNumber_ = 0;
  ULONG autogeneratedNames_ = 0;
  uint64_t deviceCount_ = 0;
  ULONG driverKeyCount_ = 0;
};

// The I/O verifier's parameter 1 values of DRIVER_VERIFIER_IOMANAGER_VIOLATION (0xC9) that the
// emulated I/O manager raises. For the 0x2xx codes parameter 2 is the routine involved (a
// dispatch routine, or 0), parameter 3 the IRP and parameter 4 the device object.
// kUnknown (0x200, "every other I/O verification error") also stands for a cancelled IRP not
// completed within kCancelTimeout (2 the cancel routine that ran or 0, 3 the IRP, 4 the device
// holding it) and for a device object deleted while registered with WMI (2 its driver's
// IRP_MJ_SYSTEM_CONTROL routine, 3 0, 4 the device).
namespace iov {
constexpr ULONG_PTR kFreeNonIrp = 0x01;
constexpr ULONG_PTR kFreeThreadedIrp = 0x02;
constexpr ULONG_PTR kCallDriverNonIrp = 0x03;
constexpr ULONG_PTR kCallDriverBadDevice = 0x04;
constexpr ULONG_PTR kIrqlChangedInDispatch = 0x05;
constexpr ULONG_PTR kCompleteWithPendingStatus = 0x06;
constexpr ULONG_PTR kCompleteAboveDispatch = 0x0E;
constexpr ULONG_PTR kCallDriverAboveDispatch = 0x10;
constexpr ULONG_PTR kUnknown = 0x200;
constexpr ULONG_PTR kDeleteWhileAttached = 0x201;
constexpr ULONG_PTR kDetachNotAttached = 0x202;
constexpr ULONG_PTR kFreeIrpInUse = 0x20B;
constexpr ULONG_PTR kPnpIrpBadStatus = 0x20E;    // not started at STATUS_NOT_SUPPORTED
constexpr ULONG_PTR kPowerIrpBadStatus = 0x20F;
constexpr ULONG_PTR kWmiIrpBadStatus = 0x210;
constexpr ULONG_PTR kNotDetachedAtRemove = 0x21D;
constexpr ULONG_PTR kStatusMismatch = 0x224;
constexpr ULONG_PTR kNotCompletedNorPending = 0x226;
constexpr ULONG_PTR kPendingNotMarked = 0x23D;
constexpr ULONG_PTR kMarkedButNotPending = 0x23E;
constexpr ULONG_PTR kDeleteDeletedDevice = 0x240;
constexpr ULONG_PTR kDetachedInSurpriseRemoval = 0x241;
constexpr ULONG_PTR kDeletedInSurpriseRemoval = 0x242;
constexpr ULONG_PTR kInitializingNotCleared = 0x243;
}  // namespace iov

}  // namespace emu
