// I/O verifier rules on how a driver starts IRPs, lets cancelled ones finish and leaves WMI
// (DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0xC9; parameters in io_manager.h).
#include "nt/io_manager.h"
#include "nt/io_records.h"

namespace emu {

void IoManager::CheckNewIrpStatus(PIRP irp, PDEVICE_OBJECT device) {
  ULONG_PTR code;
  switch (IoGetNextIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
      code = iov::kPnpIrpBadStatus;
      break;
    case IRP_MJ_POWER:
      code = iov::kPowerIrpBadStatus;
      break;
    case IRP_MJ_SYSTEM_CONTROL:
      code = iov::kWmiIrpBadStatus;
      break;
    default:
      return;
  }
  // A driver that does not handle the request passes it on untouched; only the status it starts
  // with tells the bus driver at the bottom that nobody did.
  if (irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, code, 0,
                     reinterpret_cast<ULONG_PTR>(irp), reinterpret_cast<ULONG_PTR>(device));
}

void IoManager::StartCancelDeadline(PIRP irp, PDRIVER_CANCEL routine) {
  auto live = live_.find(irp);
  if (live == live_.end()) return;
  const std::shared_ptr<IrpRecord>& record = live->second;
  if (record->cancelDeadline != 0 || record->state != IrpRecord::State::Dispatched) return;
  record->cancelRoutine = routine;
  std::weak_ptr<IrpRecord> watched = record;
  record->cancelDeadline = kernel_.ScheduleDeviceEvent(kernel_.Now() + kCancelTimeout, [this, watched] {
    std::shared_ptr<IrpRecord> r = watched.lock();
    if (r) r->cancelDeadline = 0;
    if (!r || r->state != IrpRecord::State::Dispatched) return;
    PIRP irp = r->irp;
    PDEVICE_OBJECT holder = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    TraceIrp("cancel", irp, "not completed " + std::to_string(kCancelTimeout / kSecond) + " s after its cancellation");
    kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kUnknown,
                     reinterpret_cast<ULONG_PTR>(r->cancelRoutine), reinterpret_cast<ULONG_PTR>(irp),
                     reinterpret_cast<ULONG_PTR>(holder));
  });
}

void IoManager::EndCancelDeadline(IrpRecord& record) {
  if (record.cancelDeadline == 0) return;
  kernel_.CancelDeviceEvent(record.cancelDeadline);
  record.cancelDeadline = 0;
}

void IoManager::CheckWmiDeregistered(PDEVICE_OBJECT device) {
  if (!wmi_->Registered(device)) return;
  kernel_.Trace("wmi", "delete " + Label(device) + " while registered as a data provider");
  kernel_.BugCheck(bugcheck::kDriverVerifierIoManagerViolation, iov::kUnknown,
                   reinterpret_cast<ULONG_PTR>(device->DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL]), 0,
                   reinterpret_cast<ULONG_PTR>(device));
}

}  // namespace emu
