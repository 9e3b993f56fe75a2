// The Plug and Play identification a USB hub gives for the device on one of its ports (the
// device, hardware, compatible and instance ids, and the target device relation) and its answers
// to power requests.
#include "usbhost/usb_host.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace emu::usb {

namespace {

std::string Format(const char* format, unsigned a, unsigned b, unsigned c = 0) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, a, b, c);
  return buf;
}

// The strings as one MULTI_SZ (or, for a single id, one NUL-terminated string with a second NUL),
// in paged pool.
NTSTATUS Answer(const std::vector<std::string>& strings, ULONG_PTR* information) {
  std::u16string text;
  for (const auto& s : strings) {
    text.append(s.begin(), s.end());
    text.push_back(u'\0');
  }
  text.push_back(u'\0');
  const size_t bytes = text.size() * sizeof(char16_t);
  void* buffer = ExAllocatePoolWithTag(PagedPool, bytes, 'IbsU');
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, text.data(), bytes);
  *information = reinterpret_cast<ULONG_PTR>(buffer);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS UsbPort::QueryId(BUS_QUERY_ID_TYPE type, ULONG_PTR* information) const {
  const USB_DEVICE_DESCRIPTOR& d = deviceDescriptor_;
  const std::string vidPid = Format("USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
  switch (type) {
    case BusQueryDeviceID:
      return Answer({vidPid}, information);
    case BusQueryHardwareIDs:
      return Answer({vidPid + Format("&REV_%04X", d.bcdDevice, 0), vidPid}, information);
    case BusQueryCompatibleIDs:
      // From the device descriptor's class triple (the hub takes the first interface's triple
      // when the device leaves its class to the interfaces; the model keeps the device's).
      return Answer({Format("USB\\Class_%02X&SubClass_%02X&Prot_%02X", d.bDeviceClass,
                            d.bDeviceSubClass, d.bDeviceProtocol),
                     Format("USB\\Class_%02X&SubClass_%02X", d.bDeviceClass, d.bDeviceSubClass),
                     Format("USB\\Class_%02X", d.bDeviceClass, 0)},
                    information);
    case BusQueryInstanceID:
      // The serial number, or the port-based id the hub made up: the last part of the instance path.
      return Answer({instancePath_.substr(instancePath_.rfind('\\') + 1)}, information);
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS UsbPort::QueryTargetRelation(PDEVICE_OBJECT pdo, ULONG_PTR* information) const {
  auto* relations =
      static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 'RbsU'));
  if (relations == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // The requester owns the reference and the list.
  ObReferenceObject(pdo);
  relations->Count = 1;
  relations->Objects[0] = pdo;
  *information = reinterpret_cast<ULONG_PTR>(relations);
  return STATUS_SUCCESS;
}

// Query-power and set-power succeed, the other power requests keep the status they came with.
// A device set-power is recorded with PoSetPowerState. The model of what the machine's sleep does
// to the device: in S1 to S3 the bus stays powered (the device is suspended and keeps its
// configuration and its state); hibernation and shutdown remove bus power, which the port takes
// as the system set-power for S4 or S5 passes, so that the device comes back at its power-on
// defaults and unconfigured.
NTSTATUS UsbPort::Power(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
    status = STATUS_SUCCESS;
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    const POWER_STATE state = stack->Parameters.Power.State;
    if (stack->Parameters.Power.Type == DevicePowerState) {
      PoSetPowerState(pdo, DevicePowerState, state);
    } else if (state.SystemState == PowerSystemHibernate || state.SystemState == PowerSystemShutdown) {
      LosePower();
    }
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace emu::usb
