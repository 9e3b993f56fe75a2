// The I/O manager's private records of drivers, devices, files and IRPs.
#pragma once

#include "nt/io_manager.h"

#include <cstddef>

namespace emu {

struct IoManager::DriverRecord {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::u16string name;            // "\Driver\tarnwire"
  std::u16string serviceName;     // "tarnwire"
  std::u16string serviceKeyPath;  // "\Registry\Machine\System\CurrentControlSet\Services\tarnwire"
  BusDriver* bus = nullptr;       // the bus driver object behind PDOs
};

struct IoManager::DeviceRecord {
  PDEVICE_OBJECT device = nullptr;
  uint64_t number = 0;     // creation order, for traces that read the same in every run
  void* memory = nullptr;  // the object and its extension
  size_t size = 0;
  PDRIVER_OBJECT driver = nullptr;  // the creating driver (kept here: the memory may be gone)
  std::u16string name;
  PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
  bool deleted = false;
  bool released = false;  // deleted and no longer referenced: the memory counts as freed
  bool isPdo = false;
  BusDriver* bus = nullptr;
  std::u16string instancePath;
  ULONG driverKeyIndex = 0;
  LONG objectReferences = 0;
};

struct IoManager::FileRecord {
  FILE_OBJECT object{};
  std::u16string fileName;  // backs object.FileName
  IO_SECURITY_CONTEXT securityContext{};
  // Requests sent on this file and not yet completed, in the order they were sent (by serial
  // number, so that cancelling them follows the same order in every run).
  std::map<uint64_t, PIRP> pending;
  bool cleanedUp = false;   // IRP_MJ_CLEANUP sent (the handle is closed)
  bool closed = false;      // IRP_MJ_CLOSE sent
  bool gone = false;        // IRP_MJ_CLOSE completed (or the open failed): no reference left
};

struct IoManager::IrpRecord {
  enum class State {
    Allocated,   // not yet sent, or re-initialised
    Dispatched,  // handed to a driver with IoCallDriver
    Completing,  // IoCompleteRequest is walking up its stack locations
    Stopped,     // a completion routine returned STATUS_MORE_PROCESSING_REQUIRED
    Completed,   // completion ran past the top stack location
    Freed,
  };

  // What the pending rule needs to know about one stack location.
  struct Location {
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_DISPATCH routine = nullptr;
    bool dispatchReturned = false;
    bool returnedPending = false;
    bool passed = false;  // completion has read this location's SL_PENDING_RETURNED
    bool marked = false;
    // Marked before the routine was called: a caller that marked pending and skipped its own
    // location answers for the mark (its own return is checked when it returns).
    bool premarked = false;
  };

  PIRP irp = nullptr;
  size_t size = 0;
  bool ownsMemory = true;
  IrpOrigin origin = IrpOrigin::Driver;
  State state = State::Allocated;
  uint64_t serial = 0;
  const void* driver = nullptr;  // the driver that allocated or built it (checked at its unload)
  std::vector<Location> locations;  // indexed by CurrentLocation (1 .. StackCount)

  // Threaded IRPs: buffers the I/O manager owns and where results go.
  std::vector<uint8_t> systemBuffer;
  std::unique_ptr<MDL> mdl;
  void* copyBackTo = nullptr;  // caller's buffer for buffered input operations
  ULONG copyBackLength = 0;
  FileRecord* file = nullptr;
  std::shared_ptr<const void> heldUntilCompletion;  // see IoRequest
  // Freed by the I/O manager at the end of its completion (threaded IRPs).
  bool freedAfterCompletion = false;
  // IoCancelIrp calls in progress; the I/O manager frees a threaded IRP only after them, as on
  // Windows, where its final processing cannot run while the IRP is being cancelled.
  int cancelsInProgress = 0;
  bool releaseDeferred = false;
  // Once cancelled: the check that it completes in time (io_verifier_rules.cpp), and the cancel
  // routine that ran for it.
  Kernel::EventId cancelDeadline = 0;
  PDRIVER_CANCEL cancelRoutine = nullptr;
};

}  // namespace emu
