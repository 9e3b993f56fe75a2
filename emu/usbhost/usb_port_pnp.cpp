// The Plug and Play identification a USB hub gives for the device on one of its ports: the
// device, hardware, compatible and instance ids, and the target device relation.
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

}  // namespace emu::usb
