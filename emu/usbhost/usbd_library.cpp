// The USBD library routines a client driver links against: descriptor parsing and building the
// select-configuration request.
#include <usbdlib.h>
#include <wdk_ke.h>

#include "nt/kernel.h"

namespace {

constexpr ULONG kUsbdPoolTag = 'DBSU';  // "USBD" as it reads in a pool dump

PUCHAR ConfigurationEnd(PUSB_CONFIGURATION_DESCRIPTOR config) {
  return reinterpret_cast<PUCHAR>(config) + config->wTotalLength;
}

}  // namespace

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  emu::KernelCall();
  if (VersionInformation == NULL) return;
  VersionInformation->USBDI_Version = USBDI_VERSION;
  // The emulated host is a full-speed (USB 1.1) controller.
  VersionInformation->Supported_USB_Version = 0x0110;
}

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
  emu::KernelCall();
  PUCHAR begin = static_cast<PUCHAR>(DescriptorBuffer);
  PUCHAR end = begin + TotalLength;
  PUCHAR p = static_cast<PUCHAR>(StartPosition);
  if (p < begin) return NULL;
  // Walk descriptor by descriptor. A zero bLength would loop forever and ends the walk, as in
  // Windows; so does a descriptor header that does not fit in the buffer.
  while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
    if (common->bLength == 0) break;
    if (common->bDescriptorType == DescriptorType) return common;
    p += common->bLength;
  }
  return NULL;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  emu::KernelCall();
  if (ConfigurationDescriptor == NULL) return NULL;
  PUCHAR end = ConfigurationEnd(ConfigurationDescriptor);
  PVOID position = StartPosition;
  for (;;) {
    auto* found = USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                        position, USB_INTERFACE_DESCRIPTOR_TYPE);
    if (found == NULL) return NULL;
    auto* iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
    // A truncated interface descriptor at the end of the configuration is not an interface.
    if (reinterpret_cast<PUCHAR>(iface) + sizeof(USB_INTERFACE_DESCRIPTOR) > end) return NULL;
    bool match = (InterfaceNumber == -1 || iface->bInterfaceNumber == InterfaceNumber) &&
                 (AlternateSetting == -1 || iface->bAlternateSetting == AlternateSetting) &&
                 (InterfaceClass == -1 || iface->bInterfaceClass == InterfaceClass) &&
                 (InterfaceSubClass == -1 || iface->bInterfaceSubClass == InterfaceSubClass) &&
                 (InterfaceProtocol == -1 || iface->bInterfaceProtocol == InterfaceProtocol);
    if (match) return iface;
    position = reinterpret_cast<PUCHAR>(iface) + iface->bLength;
  }
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                             InterfaceNumber, AlternateSetting, -1, -1, -1);
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
  emu::KernelCall();
  PUCHAR p = reinterpret_cast<PUCHAR>(InterfaceDescriptor);
  ULONG length = InterfaceDescriptor->bLength;
  p += InterfaceDescriptor->bLength;
  while (p + sizeof(USB_COMMON_DESCRIPTOR) <= BufferEnd) {
    auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
    if (common->bLength == 0 || common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    length += common->bLength;
    p += common->bLength;
  }
  return length;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  emu::KernelCall();
  ULONG interfaces = 0;
  ULONG pipes = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL; ++entry) {
    ++interfaces;
    pipes += entry->InterfaceDescriptor->bNumEndpoints;
  }
  // GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, pipes), computed in signed arithmetic so
  // that interfaces without endpoints do not wrap the unsigned expression.
  LONG_PTR signedSize =
      static_cast<LONG_PTR>(sizeof(struct _URB_SELECT_CONFIGURATION)) +
      (static_cast<LONG_PTR>(interfaces) - 1) * static_cast<LONG_PTR>(sizeof(USBD_INTERFACE_INFORMATION)) +
      (static_cast<LONG_PTR>(pipes) - static_cast<LONG_PTR>(interfaces)) *
          static_cast<LONG_PTR>(sizeof(USBD_PIPE_INFORMATION));
  if (interfaces == 0) signedSize = sizeof(struct _URB_SELECT_CONFIGURATION);
  SIZE_T size = static_cast<SIZE_T>(signedSize);

  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
  if (urb == NULL) return NULL;
  RtlZeroMemory(urb, size);

  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL; ++entry) {
    PUSB_INTERFACE_DESCRIPTOR iface = entry->InterfaceDescriptor;
    ULONG endpoints = iface->bNumEndpoints;
    entry->Interface = info;
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(endpoints));
    info->InterfaceNumber = iface->bInterfaceNumber;
    info->AlternateSetting = iface->bAlternateSetting;
    info->NumberOfPipes = endpoints;
    for (ULONG i = 0; i < endpoints; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
  }
  UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), ConfigurationDescriptor);
  return urb;
}
