// The escape-command recogniser and the chip location access.
#include "tx/escape_commands.h"

#include "driver/request_accounting.h"
#include "rx/receive_ring.h"
#include "tx/reply_notify.h"
#include "usb/chip_registers.h"
#include "usb/line_format.h"

namespace {

const UCHAR kAccessLead = '@';
const ULONG kAccessLength = 4;
const UCHAR kRateLead = '#';
const UCHAR kRateEnd = '_';
const ULONG kRateShortest = 5;  // 3 digits
const ULONG kRateLongest = 9;   // 7 digits
const ULONG kRateHighest = 3000000;
const char kQuery[] = "$ZM470Ser?";
const ULONG kQueryLength = sizeof(kQuery) - 1;
const UCHAR kQueryReply = 'W';

// Chips from this revision on reach their locations through 0x54 and 0x5E.
const ULONG kDirectAccessVersion = 0x20;
const USHORT kCommitValue = 0x000A;
// Polls of the older chips' access: a busy answer costs 1, a failed or short one 21.
const ULONG kPollBudget = 100;
const ULONG kFailedPollCost = 21;
const ULONG kStatusBlockLength = 8;
const ULONG kStatusBlockNeeded = 6;
const ULONG kStatusValueByte = 4;
const ULONG kStatusBusyByte = 5;

BOOLEAN IsRead(UCHAR Command) { return (Command & 1) != 0; }

NTSTATUS DirectAccess(PDEVICE_OBJECT DeviceObject, UCHAR Command, UCHAR Address, PUCHAR Data) {
  const USHORT index = (USHORT)(((Command & 0xFE) << 8) | 1);
  if (IsRead(Command)) {
    UCHAR value = 0;
    ULONG length = sizeof(value);
    NTSTATUS status = VendorRequest(DeviceObject, VENDOR_FLAGS_IN, VENDOR_AUX_ACCESS, (USHORT)(Address << 8),
                                    index, &value, &length);
    if (!NT_SUCCESS(status)) return status;
    if (length == 0) return STATUS_UNSUCCESSFUL;
    *Data = value;
    return status;
  }
  NTSTATUS status = VendorRequest(DeviceObject, VENDOR_FLAGS_OUT, VENDOR_AUX_ACCESS,
                                  (USHORT)((Address << 8) | *Data), index, NULL, NULL);
  (VOID) VendorRequest(DeviceObject, VENDOR_FLAGS_OUT, VENDOR_AUX_COMMIT, kCommitValue, 0, NULL, NULL);
  return status;
}

// Older chips: the access is started, then its status block is polled until it reports done.
NTSTATUS PolledAccess(PDEVICE_OBJECT DeviceObject, UCHAR Command, UCHAR Address, PUCHAR Data) {
  NTSTATUS status = VendorRequest(DeviceObject, VENDOR_FLAGS_OUT, VENDOR_AUX_ACCESS_OLD, *Data,
                                  (USHORT)((Command << 8) | Address), NULL, NULL);
  if (!NT_SUCCESS(status)) return status;
  ULONG spent = 0;
  while (spent < kPollBudget) {
    UCHAR block[kStatusBlockLength];
    ULONG length = sizeof(block);
    status = VendorRequest(DeviceObject, VENDOR_FLAGS_IN, VENDOR_AUX_STATUS, 0, 0, block, &length);
    if (!NT_SUCCESS(status) || length < kStatusBlockNeeded) {
      spent += kFailedPollCost;
    } else if (block[kStatusBusyByte] & 1) {
      ++spent;
    } else {
      if (IsRead(Command)) *Data = block[kStatusValueByte];
      return status;
    }
  }
  return STATUS_UNSUCCESSFUL;
}

// The rate of a "#digits_" command, 0 when a byte is not a digit.
ULONG ParseRate(const UCHAR* Digits, ULONG Count) {
  ULONG value = 0;
  for (ULONG i = 0; i < Count; ++i) {
    if (Digits[i] < '0' || Digits[i] > '9') return 0;
    value = value * 10 + (Digits[i] - '0');
  }
  return value;
}

BOOLEAN IsQuery(const UCHAR* Data, ULONG Length) {
  if (Length != kQueryLength) return FALSE;
  for (ULONG i = 0; i < kQueryLength; ++i)
    if (Data[i] != (UCHAR)kQuery[i]) return FALSE;
  return TRUE;
}

// Puts a reply into the receive ring and has it announced.
VOID Reply(PPORT_EXTENSION Ext, UCHAR Byte) {
  RingPutByte(Ext, Byte);
  StartReplyNotify(Ext);
}

}  // namespace

NTSTATUS AccessCommand(PDEVICE_OBJECT DeviceObject, UCHAR Command, UCHAR Address, PUCHAR Data) {
  if (ReadChipVersion(PortExtension(DeviceObject)) >= kDirectAccessVersion)
    return DirectAccess(DeviceObject, Command, Address, Data);
  return PolledAccess(DeviceObject, Command, Address, Data);
}

BOOLEAN ExecuteEscapeCommand(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS* Status) {
  PPORT_EXTENSION ext = PortExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction != IRP_MJ_WRITE || ReadBaudRate(ext) != ESCAPE_BAUD_RATE) return FALSE;
  const ULONG length = stack->Parameters.Write.Length;
  const UCHAR* data = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
  if (length == 0 || data == NULL) return FALSE;

  NTSTATUS status;
  if (length == kAccessLength && data[0] == kAccessLead) {
    const UCHAR command = data[1];
    UCHAR value = data[3];
    status = AccessCommand(DeviceObject, command, data[2], &value);
    if (NT_SUCCESS(status) && IsRead(command)) Reply(ext, value);
  } else if (length >= kRateShortest && length <= kRateLongest && data[0] == kRateLead &&
             data[length - 1] == kRateEnd) {
    const ULONG rate = ParseRate(data + 1, length - 2);
    if (rate == 0 || rate > kRateHighest) return FALSE;
    status = SetBaudRate(DeviceObject, rate);
  } else if (IsQuery(data, length)) {
    Reply(ext, kQueryReply);
    status = STATUS_SUCCESS;
  } else {
    return FALSE;
  }
  Irp->IoStatus.Status = status;
  *Status = CompleteRequest(ext, Irp, IO_NO_INCREMENT);
  return TRUE;
}
