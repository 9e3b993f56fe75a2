// Vendor requests and register-pair access on the default pipe.
#include "usb/chip_registers.h"

#include "driver/port_extension.h"
#include "usb/usb_request.h"

#if defined(TARNWIRE_WINDOWS)
#if defined(_WIN64)
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136,
              "x64 vendor request URB is 136 bytes");
#else
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80,
              "x86 vendor request URB is 80 bytes");
#endif
#endif

NTSTATUS VendorRequest(PDEVICE_OBJECT DeviceObject, ULONG TransferFlags, UCHAR Request, USHORT Value,
                       USHORT Index, PVOID Buffer, PULONG Length) {
  BOOLEAN borrowed;
  PURB urb = BorrowControlUrb(DeviceObject, SMALL_URB_BLOCK_SIZE, &borrowed);
  if (urb == NULL) {
    if (Length != NULL) *Length = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  ULONG length = Length != NULL ? *Length : 0;
  UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                        (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), TransferFlags, 0,
                        Request, Value, Index, Buffer, NULL, length, NULL);

  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  if (Length != NULL) {
    *Length = NT_SUCCESS(status) ? urb->UrbControlVendorClassRequest.TransferBufferLength : 0;
  }
  ReturnControlUrb(DeviceObject, urb, borrowed);
  return status;
}

NTSTATUS ReadRegisterPair(PDEVICE_OBJECT DeviceObject, UCHAR RegisterA, PUCHAR ValueA, UCHAR RegisterB,
                          PUCHAR ValueB) {
  UCHAR data[2] = {0, 0};
  ULONG length = sizeof(data);
  NTSTATUS status = VendorRequest(DeviceObject, VENDOR_FLAGS_IN, VENDOR_READ_REGISTERS,
                                  (USHORT)(RegisterA | (RegisterB << 8)), 0, data, &length);
  if (!NT_SUCCESS(status)) return status;
  if (length != sizeof(data)) return STATUS_INSUFFICIENT_RESOURCES;
  *ValueA = data[0];
  *ValueB = data[1];
  return STATUS_SUCCESS;
}

NTSTATUS WriteRegisterPair(PDEVICE_OBJECT DeviceObject, UCHAR RegisterA, UCHAR ValueA, UCHAR RegisterB,
                           UCHAR ValueB) {
  return VendorRequest(DeviceObject, VENDOR_FLAGS_OUT, VENDOR_WRITE_REGISTERS,
                       (USHORT)(RegisterA | (RegisterB << 8)), (USHORT)(ValueA | (ValueB << 8)), NULL, NULL);
}

NTSTATUS WriteModemControl(PDEVICE_OBJECT DeviceObject, UCHAR ModemControlByte) {
  PPORT_EXTENSION port = PortExtension(DeviceObject);
  if (ReadChipVersion(port) >= 0x20) {
    return VendorRequest(DeviceObject, VENDOR_FLAGS_OUT, VENDOR_MODEM_CONTROL, ModemControlByte, 0, NULL,
                         NULL);
  }
  // Older chips take the outputs in register 6.
  return WriteRegisterPair(DeviceObject, 6, ModemControlByte, 6, ModemControlByte);
}
