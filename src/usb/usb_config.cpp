// USB configuration of the bridge and the chip revision read.
#include "usb/usb_config.h"

#include "driver/driver_globals.h"
#include "driver/port_extension.h"
#include "usb/chip_registers.h"
#include "usb/usb_request.h"

namespace {

// Descriptors are read into the first bytes of the work block, the descriptor request URB follows.
constexpr ULONG kDescriptorBufferSize = 256;
constexpr ULONG kWorkBlockSize = kDescriptorBufferSize + sizeof(URB);

constexpr ULONG kMaximumTransferSize = 4096;
constexpr USHORT kBulkPacketSize = 32;
constexpr UCHAR kOldChipPower = 0x40;  // bMaxPower announced by the oldest revision

#if defined(TARNWIRE_WINDOWS)
#if defined(_WIN64)
static_assert(kWorkBlockSize == 408, "x64 descriptor work block is 408 bytes");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "x64 descriptor request URB is 136 bytes");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "x64 select-configuration URB is 88 bytes");
#else
static_assert(kWorkBlockSize == 352, "x86 descriptor work block is 352 bytes");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "x86 descriptor request URB is 80 bytes");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "x86 select-configuration URB is 60 bytes");
#endif
#endif

// Fetches a descriptor into Buffer; *Length is in/out (requested, then received).
NTSTATUS GetDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR DescriptorType, PVOID Buffer,
                       PULONG Length) {
  RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), DescriptorType, 0,
                               0, Buffer, NULL, *Length, NULL);
  NTSTATUS status = SubmitUrb(DeviceObject, Urb);
  *Length = NT_SUCCESS(status) ? Urb->UrbControlDescriptorRequest.TransferBufferLength : 0;
  return status;
}

// Selects the first interface of the configuration in Config and records the pipes.
NTSTATUS SelectFirstInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Config) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);

  PUSB_INTERFACE_DESCRIPTOR firstInterface =
      USBD_ParseConfigurationDescriptorEx(Config, Config, -1, -1, -1, -1, -1);
  // bNumInterfaces may claim interfaces that the descriptor set does not contain.
  if (firstInterface == NULL) return STATUS_DEVICE_DATA_ERROR;

  USBD_INTERFACE_LIST_ENTRY list[2];
  list[0].InterfaceDescriptor = firstInterface;
  list[0].Interface = NULL;
  list[1].InterfaceDescriptor = NULL;
  list[1].Interface = NULL;
  PURB request = USBD_CreateConfigurationRequestEx(Config, list);
  if (request == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
  for (ULONG i = 0; i < info->NumberOfPipes; i++) {
    if (info->Pipes[i].MaximumTransferSize > kMaximumTransferSize) {
      info->Pipes[i].MaximumTransferSize = kMaximumTransferSize;
    }
  }

  NTSTATUS status = SubmitUrb(DeviceObject, request);
  if (!NT_SUCCESS(status)) {
    ExFreePool(request);
    return status;
  }

  // The pipes are told apart by endpoint address alone. Whether both bulk pipes exist is judged
  // by this configuration, not by handles left from an earlier one.
  BOOLEAN bulkIn = FALSE, bulkOut = FALSE;
  for (ULONG i = 0; i < info->NumberOfPipes; i++) {
    PUSBD_PIPE_INFORMATION pipe = &info->Pipes[i];
    switch (pipe->EndpointAddress) {
      case ENDPOINT_BULK_OUT:
        port->BulkOutPipe = pipe->PipeHandle;
        bulkOut = pipe->PipeHandle != NULL;
        if (pipe->MaximumPacketSize != kBulkPacketSize) status = STATUS_NO_SUCH_DEVICE;
        break;
      case ENDPOINT_INTERRUPT_IN:
        port->InterruptPipe = pipe->PipeHandle;
        break;
      case ENDPOINT_BULK_IN:
        port->BulkInPipe = pipe->PipeHandle;
        bulkIn = pipe->PipeHandle != NULL;
        if (pipe->MaximumPacketSize != kBulkPacketSize) status = STATUS_NO_SUCH_DEVICE;
        break;
      default:
        break;
    }
  }
  if (!bulkIn || !bulkOut) status = STATUS_NO_SUCH_DEVICE;

  ExFreePool(request);
  return status;
}

}  // namespace

NTSTATUS ConfigureUsbDevice(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  SetChipVersion(port, 0);
  port->BulkInLength = 32;

  PUCHAR work = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, kWorkBlockSize, TARNWIRE_POOL_TAG);
  if (work == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(work, kWorkBlockSize);
  PURB urb = (PURB)(work + kDescriptorBufferSize);

  NTSTATUS status;
  ULONG length = sizeof(USB_DEVICE_DESCRIPTOR);
  // The device descriptor only supplies ProductId; without it the default stays.
  if (NT_SUCCESS(GetDescriptor(DeviceObject, urb, USB_DEVICE_DESCRIPTOR_TYPE, work, &length)) &&
      length >= FIELD_OFFSET(USB_DEVICE_DESCRIPTOR, idProduct) + sizeof(USHORT)) {
    port->ProductId = ((PUSB_DEVICE_DESCRIPTOR)work)->idProduct;
  }

  PUSB_CONFIGURATION_DESCRIPTOR config = (PUSB_CONFIGURATION_DESCRIPTOR)work;
  do {
    RtlZeroMemory(work, kDescriptorBufferSize);
    length = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    status = GetDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, work, &length);
    if (!NT_SUCCESS(status)) break;

    // The whole set must fit the 256-byte buffer. A header shorter than itself cannot be parsed.
    ULONG totalLength = config->wTotalLength;
    if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR) || totalLength >= kDescriptorBufferSize ||
        totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      status = STATUS_DEVICE_DATA_ERROR;
      break;
    }
    SetChipVersion(port, config->MaxPower == kOldChipPower ? 1 : 0x20);

    length = totalLength;
    status = GetDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, work, &length);
    if (!NT_SUCCESS(status)) break;
    // The parser walks wTotalLength bytes: they must all have arrived, and the header must not
    // have changed between the two reads.
    if (length < totalLength || config->wTotalLength != totalLength || config->bNumInterfaces == 0) {
      status = STATUS_DEVICE_DATA_ERROR;
      break;
    }

    status = SelectFirstInterface(DeviceObject, config);
    // A bulk endpoint with the wrong packet size fails the configuration on every revision: the
    // revision read below does not override that failure.
    if (!NT_SUCCESS(status) || ReadChipVersion(port) < 0x20) break;

    UCHAR revision[7];
    length = sizeof(revision);
    status = VendorRequest(DeviceObject, VENDOR_FLAGS_IN, VENDOR_READ_REVISION, 0, 0, revision, &length);
    if (NT_SUCCESS(status) && length >= 1) SetChipVersion(port, revision[0]);
  } while (false);

  ExFreePoolWithTag(work, TARNWIRE_POOL_TAG);
  return status;
}

NTSTATUS DeconfigureUsbDevice(PDEVICE_OBJECT DeviceObject) {
  ULONG portStatus = USBD_PORT_CONNECTED;
  NTSTATUS status = GetPortStatus(DeviceObject, &portStatus);
  if (!NT_SUCCESS(status) || (portStatus & USBD_PORT_CONNECTED) == 0) return STATUS_NO_SUCH_DEVICE;

  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), TARNWIRE_POOL_TAG);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(URB));
  // A select-configuration request without a configuration descriptor unconfigures the device.
  UsbBuildSelectConfigurationRequest(urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), NULL);

  status = SubmitUrb(DeviceObject, urb);
  ExFreePoolWithTag(urb, TARNWIRE_POOL_TAG);
  return status;
}
