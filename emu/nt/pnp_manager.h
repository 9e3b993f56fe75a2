// The emulated Plug and Play manager: it enumerates the physical device objects that bus drivers
// report, finds the function driver for a device's hardware ids in a registration table, builds
// and starts the device stack, and runs the operations Windows runs on a started device (disable
// and enable, orderly removal, rebalance, surprise removal) with their IRP_MJ_PNP sequences. When
// the last device of a function driver is gone, the driver is unloaded.
//
// Every Plug and Play IRP goes from one system worker thread, at PASSIVE_LEVEL, to the top of the
// device's stack, with Status STATUS_NOT_SUPPORTED; the events of all devices are handled one at a
// time, in the order they were reported, as the Windows Plug and Play manager does.
//
// Enumeration is automatic once a function driver is registered: a machine without registrations
// leaves plugged devices to the test, which builds their stacks by hand (Machine::AddDevice and
// Machine::SendPnp).
//
// Verifier rules (the Windows bug checks):
//   failing IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE or
//   IRP_MN_CANCEL_STOP_DEVICE        DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4), 0x43006 (the DDI
//                                    compliance rule PnpRemove), the rule's text, the device at the
//                                    top of the stack, the minor function
//   detaching or deleting a device of the stack between IRP_MN_SURPRISE_REMOVAL and
//   IRP_MN_REMOVE_DEVICE             DRIVER_VERIFIER_IOMANAGER_VIOLATION (0xC9), 0x241 (detach) or
//                                    0x242 (delete), the driver's Plug and Play dispatch routine,
//                                    the surprise-removal IRP, the device object
//   a function driver still attached to the PDO after IRP_MN_REMOVE_DEVICE
//                                    0xC9, 0x21D, its dispatch routine, the remove IRP, its device
#pragma once

#include <wdm.h>

#include "nt/kernel.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

class Machine;

class PnpManager {
 public:
  // Where a device stands, as its device node records it.
  enum class State {
    Enumerating,     // reported by its bus, being queried
    NoDriver,        // no registered function driver matches its ids
    Started,
    Stopped,         // stopped for rebalance, waiting for its new start
    RemovePending,   // IRP_MN_QUERY_REMOVE_DEVICE succeeded
    SurpriseRemoved, // gone from the bus: waiting for the last handle before IRP_MN_REMOVE_DEVICE
    Removed,         // removed (orderly), the device is still on its bus
    Disabled,        // removed by a disable; Enable starts it again
    Failed,          // AddDevice or IRP_MN_START_DEVICE failed
    Deleted,         // gone from its bus and removed: the PDO is deleted
  };

  // What the bus driver answered for the device.
  struct Ids {
    std::u16string deviceId;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string instanceId;
  };

  // A device-interface notification, as registered listeners receive it.
  struct InterfaceEvent {
    bool arrival;
    std::u16string symbolicLink;
  };

  explicit PnpManager(Machine& machine);
  ~PnpManager();
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  // --- Driver registration (what an INF's hardware-id match does) ----------------------------
  // Devices whose hardware or compatible ids include `id` (compared without regard to case) get
  // the driver `serviceName`, loaded with `entry` when the first of them arrives.
  void RegisterDriver(std::u16string_view id, std::u16string_view serviceName,
                      PDRIVER_INITIALIZE entry);
  // The loaded driver object of a service (nullptr when not loaded).
  PDRIVER_OBJECT LoadedDriver(std::u16string_view serviceName) const;

  // --- Reports of bus drivers -------------------------------------------------------------------
  // A new child of a bus (IoInvalidateDeviceRelations with the PDO in the bus relations).
  void DeviceArrived(PDEVICE_OBJECT pdo);
  // A child gone from its bus (missing from the bus relations): surprise removal.
  void DeviceMissing(PDEVICE_OBJECT pdo);

  // --- Operations (as Device Manager and the system start them) --------------------------------
  // Each returns once the operation ran: STATUS_SUCCESS, the failure a driver returned for the
  // query (the operation was then cancelled), or STATUS_INVALID_DEVICE_STATE when the device is
  // not in a state the operation applies to. Rebalance is query-stop, stop and start; a start
  // that fails then surprise-removes the device (IRP_MN_REMOVE_DEVICE after the last handle),
  // which stays on its bus as failed.
  NTSTATUS Disable(PDEVICE_OBJECT pdo);
  NTSTATUS Enable(PDEVICE_OBJECT pdo);
  NTSTATUS Remove(PDEVICE_OBJECT pdo);
  NTSTATUS Rebalance(PDEVICE_OBJECT pdo);

  // Runs the machine until every reported event has been handled; false if it could not finish.
  bool RunUntilIdle();
  bool Idle() const;

  // Runs `operation` in the worker thread, after the events and operations queued before it and
  // never beside one of them (the power manager's transitions go this way), and returns its
  // result (STATUS_PENDING when the machine ran out of work first).
  NTSTATUS RunOnWorker(std::function<NTSTATUS()> operation);
  // The PDOs of the device tree that are still on their bus, in the order they arrived.
  std::vector<PDEVICE_OBJECT> DevicesInTree() const;

  // --- Observation ------------------------------------------------------------------------------
  State StateOf(PDEVICE_OBJECT pdo) const;
  const Ids* IdsOf(PDEVICE_OBJECT pdo) const;
  // The capabilities the bus reported at enumeration.
  const DEVICE_CAPABILITIES* CapabilitiesOf(PDEVICE_OBJECT pdo) const;
  const std::vector<InterfaceEvent>& InterfaceEvents() const { return interfaceEvents_; }

  // --- Hooks of the I/O manager -------------------------------------------------------------
  // An open of `device` (any device of a stack): the refusal once removal began, or
  // STATUS_SUCCESS.
  NTSTATUS CheckOpen(PDEVICE_OBJECT device) const;
  // The last reference of a file object on `device` is gone.
  void FileClosed(PDEVICE_OBJECT device);
  // A driver detaches (`detach`) or deletes `device`: bug-checks during surprise removal.
  void CheckTeardown(PDEVICE_OBJECT device, bool detach) const;

  struct Node;

 private:
  struct Registration {
    std::u16string id;
    std::u16string serviceName;
    PDRIVER_INITIALIZE entry;
  };

  Node* FindNode(PDEVICE_OBJECT pdo) const;
  Node* NodeOfDevice(PDEVICE_OBJECT device) const;
  // Queues work for the worker thread (started when none runs).
  void Post(std::function<void()> work);
  void WorkerLoop();
  NTSTATUS RunOperation(PDEVICE_OBJECT pdo, std::function<NTSTATUS(Node&)> operation);

  // Sequences (worker thread).
  void Enumerate(Node& node);
  void QueryIds(Node& node);
  NTSTATUS BuildAndStart(Node& node);
  NTSTATUS StartStack(Node& node);
  NTSTATUS QueryAndRemove(Node& node, State after);
  NTSTATUS QueryAndRestart(Node& node);
  void SurpriseRemove(Node& node);
  void SendRemove(Node& node, State after);
  void UnloadIfUnused(PDRIVER_OBJECT driver);
  void NoteInterfaces(Node& node, bool arrival);

  NTSTATUS Send(Node& node, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup = {},
                ULONG_PTR* information = nullptr);
  // A minor function drivers must not fail (PnpRemove rule).
  void SendMustSucceed(Node& node, UCHAR minor);

  Machine& machine_;
  std::vector<Registration> registrations_;
  std::map<std::u16string, PDRIVER_OBJECT> loaded_;  // by upper-cased service name
  std::map<PDEVICE_OBJECT, std::unique_ptr<Node>> nodes_;
  std::vector<PDEVICE_OBJECT> arrivals_;  // the nodes' PDOs, in arrival order
  std::deque<std::function<void()>> work_;
  bool workerRunning_ = false;
  std::vector<InterfaceEvent> interfaceEvents_;
};

const char* PnpStateName(PnpManager::State state);

}  // namespace emu
