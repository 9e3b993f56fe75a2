// The WMI library (WMILIB.SYS): WmiSystemControl hands an IRP_MJ_SYSTEM_CONTROL request to the
// driver's callbacks with the WNODE buffer laid out for them, and WmiCompleteRequest turns what a
// callback produced into the WNODE WMI expects and completes the request.
#include <wdm.h>
#include <wmilib.h>

#include <cstring>

#include "nt/io_util.h"
#include "nt/kernel.h"

namespace {

constexpr ULONG Align8(ULONG n) { return (n + 7u) & ~7u; }

// Where instance data starts in a WNODE_ALL_DATA of `instances` instances: after the table of
// offsets and lengths, 8-byte aligned.
ULONG AllDataOffset(ULONG instances) {
  return Align8(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                instances * sizeof(OFFSETINSTANCEDATAANDLENGTH));
}

bool FindGuid(PWMILIB_CONTEXT context, const GUID* guid, ULONG* index) {
  for (ULONG i = 0; i < context->GuidCount; ++i) {
    if (std::memcmp(context->GuidList[i].Guid, guid, sizeof(GUID)) == 0) {
      *index = i;
      return true;
    }
  }
  return false;
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Replaces the WNODE at `buffer` with a WNODE_TOO_SMALL telling WMI the size needed.
ULONG TooSmall(PVOID buffer, ULONG needed) {
  auto* small = static_cast<PWNODE_TOO_SMALL>(buffer);
  small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
  small->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
  small->SizeNeeded = needed;
  return sizeof(WNODE_TOO_SMALL);
}

void PutCountedString(UCHAR* at, PCUNICODE_STRING s) {
  std::memcpy(at, &s->Length, sizeof(USHORT));
  if (s->Length != 0) std::memcpy(at + sizeof(USHORT), s->Buffer, s->Length);
}

// IRP_MN_REGINFO(_EX): the driver's registration callback, then a WMIREGINFO with one
// WMIREGGUID per block of the context, the counted strings after the table.
NTSTATUS RegInfo(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION sp) {
  ULONG regFlags = 0;
  UNICODE_STRING instanceName{};
  UNICODE_STRING mofResourceName{};
  PUNICODE_STRING registryPath = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status =
      context->QueryWmiRegInfo(device, &regFlags, &instanceName, &registryPath, &mofResourceName, &pdo);
  if (!NT_SUCCESS(status)) return CompleteWith(irp, status, 0);
  const bool baseName = !(regFlags & WMIREG_FLAG_INSTANCE_PDO) && instanceName.Buffer != nullptr;
  if (baseName) regFlags |= WMIREG_FLAG_INSTANCE_BASENAME;

  const ULONG table = FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + context->GuidCount * sizeof(WMIREGGUIDW);
  ULONG size = table;
  const ULONG registryOffset = registryPath != nullptr ? size : 0;
  if (registryPath != nullptr) size += sizeof(USHORT) + registryPath->Length;
  const ULONG mofOffset =
      (mofResourceName.Buffer != nullptr && sp->Parameters.WMI.DataPath == (PVOID)WMIREGISTER) ? size : 0;
  if (mofOffset != 0) size += sizeof(USHORT) + mofResourceName.Length;
  const ULONG baseNameOffset = baseName ? size : 0;
  if (baseName) size += sizeof(USHORT) + instanceName.Length;

  auto* buffer = static_cast<UCHAR*>(sp->Parameters.WMI.Buffer);
  if (size > sp->Parameters.WMI.BufferSize) {
    // The size needed in the buffer's first ULONG, for WMI to ask again.
    ULONG_PTR information = 0;
    if (sp->Parameters.WMI.BufferSize >= sizeof(ULONG)) {
      std::memcpy(buffer, &size, sizeof size);
      information = sizeof(ULONG);
    }
    status = STATUS_BUFFER_TOO_SMALL;
    if (instanceName.Buffer != nullptr) ExFreePool(instanceName.Buffer);
    return CompleteWith(irp, status, information);
  }
  std::memset(buffer, 0, size);
  auto* info = reinterpret_cast<PWMIREGINFOW>(buffer);
  info->BufferSize = size;
  info->RegistryPath = registryOffset;
  info->MofResourceName = mofOffset;
  info->GuidCount = context->GuidCount;
  for (ULONG i = 0; i < context->GuidCount; ++i) {
    WMIREGGUIDW& g = info->WmiRegGuid[i];
    g.Guid = *context->GuidList[i].Guid;
    g.Flags = context->GuidList[i].Flags | regFlags;
    g.InstanceCount = context->GuidList[i].InstanceCount;
    if (regFlags & WMIREG_FLAG_INSTANCE_PDO) g.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
    if (baseName) g.BaseNameOffset = baseNameOffset;
  }
  if (registryOffset != 0) PutCountedString(buffer + registryOffset, registryPath);
  if (mofOffset != 0) PutCountedString(buffer + mofOffset, &mofResourceName);
  if (baseName) PutCountedString(buffer + baseNameOffset, &instanceName);
  // The instance name is the driver's pool allocation, which the library frees.
  if (instanceName.Buffer != nullptr) ExFreePool(instanceName.Buffer);
  return CompleteWith(irp, STATUS_SUCCESS, size);
}

// The instance a single-instance, single-item or method WNODE names. Only static instance names
// (an index) are resolved: the library's providers register their names with the blocks.
bool InstanceIndexOf(PWMILIB_CONTEXT context, ULONG guidIndex, PWNODE_SINGLE_INSTANCE wnode, ULONG* index) {
  if (!(wnode->WnodeHeader.Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES)) return false;
  *index = wnode->InstanceIndex;
  return *index < context->GuidList[guidIndex].InstanceCount;
}

}  // namespace

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(PASSIVE_LEVEL, reinterpret_cast<const void*>(&WmiSystemControl));
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  const UCHAR minor = sp->MinorFunction;
  if (minor > IRP_MN_EXECUTE_METHOD && minor != IRP_MN_REGINFO_EX) {
    *IrpDisposition = IrpNotWmi;
    return Irp->IoStatus.Status;
  }
  // A request for another device of the stack goes on down.
  if (reinterpret_cast<PDEVICE_OBJECT>(sp->Parameters.WMI.ProviderId) != DeviceObject) {
    *IrpDisposition = IrpForward;
    return Irp->IoStatus.Status;
  }
  *IrpDisposition = IrpProcessed;
  // The two required callbacks missing (a context not filled in yet): nothing to answer with.
  if (WmiLibInfo->QueryWmiRegInfo == nullptr || WmiLibInfo->QueryWmiDataBlock == nullptr)
    return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
    return RegInfo(WmiLibInfo, DeviceObject, Irp, sp);

  ULONG guidIndex = 0;
  if (!FindGuid(WmiLibInfo, static_cast<const GUID*>(sp->Parameters.WMI.DataPath), &guidIndex))
    return CompleteWith(Irp, STATUS_WMI_GUID_NOT_FOUND, 0);
  const ULONG bufferSize = sp->Parameters.WMI.BufferSize;
  auto* buffer = static_cast<UCHAR*>(sp->Parameters.WMI.Buffer);
  const ULONG instances = WmiLibInfo->GuidList[guidIndex].InstanceCount;
  ULONG index = 0;

  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
      if (bufferSize < sizeof(WNODE_TOO_SMALL)) return CompleteWith(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
      wnode->InstanceCount = instances;
      const ULONG offset = AllDataOffset(instances);
      // Without room for the table the callback only learns the size it would need.
      if (bufferSize < offset)
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, 0, instances, nullptr, 0, nullptr);
      wnode->DataBlockOffset = offset;
      // The instance lengths go into the first half of the table; WmiCompleteRequest spreads
      // them into offset and length pairs.
      return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, 0, instances,
                                           reinterpret_cast<PULONG>(wnode->OffsetInstanceDataAndLength),
                                           bufferSize - offset, buffer + offset);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
      auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      if (!InstanceIndexOf(WmiLibInfo, guidIndex, wnode, &index))
        return CompleteWith(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
      const ULONG offset = wnode->DataBlockOffset;
      if (bufferSize < offset)
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, index, 1, nullptr, 0, nullptr);
      return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, index, 1, &wnode->SizeDataBlock,
                                           bufferSize - offset, buffer + offset);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
      auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      if (!InstanceIndexOf(WmiLibInfo, guidIndex, wnode, &index))
        return CompleteWith(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
      if (WmiLibInfo->SetWmiDataBlock == nullptr) return CompleteWith(Irp, STATUS_WMI_READ_ONLY, 0);
      return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, guidIndex, index, wnode->SizeDataBlock,
                                         buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
      auto* wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
      if (!InstanceIndexOf(WmiLibInfo, guidIndex, reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer), &index))
        return CompleteWith(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
      if (WmiLibInfo->SetWmiDataItem == nullptr) return CompleteWith(Irp, STATUS_WMI_READ_ONLY, 0);
      return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, guidIndex, index, wnode->ItemId,
                                        wnode->SizeDataItem, buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
      auto* wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
      if (!InstanceIndexOf(WmiLibInfo, guidIndex, reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer), &index))
        return CompleteWith(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
      if (WmiLibInfo->ExecuteWmiMethod == nullptr) return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      const ULONG offset = wnode->DataBlockOffset;
      return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, guidIndex, index, wnode->MethodId,
                                          wnode->SizeDataBlock, bufferSize > offset ? bufferSize - offset : 0,
                                          buffer + offset);
    }
    default: {  // enable and disable events and collection
      if (WmiLibInfo->WmiFunctionControl == nullptr) return CompleteWith(Irp, STATUS_SUCCESS, 0);
      const bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
      const bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
      return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, guidIndex,
                                            events ? WmiEventControl : WmiDataBlockControl,
                                            enable ? TRUE : FALSE);
    }
  }
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CCHAR PriorityBoost) {
  emu::KernelCall();
  emu::RequireIrqlAtMost(DISPATCH_LEVEL, reinterpret_cast<const void*>(&WmiCompleteRequest));
  (void)DeviceObject;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  auto* buffer = static_cast<UCHAR*>(sp->Parameters.WMI.Buffer);
  const ULONG bufferSize = sp->Parameters.WMI.BufferSize;
  ULONG_PTR information = 0;

  switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ALL_DATA: {
      auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
      const ULONG offset = AllDataOffset(wnode->InstanceCount);
      if (Status == STATUS_BUFFER_TOO_SMALL || (NT_SUCCESS(Status) && bufferSize < offset)) {
        information = TooSmall(buffer, offset + BufferUsed);
        Status = STATUS_SUCCESS;
        break;
      }
      if (!NT_SUCCESS(Status)) break;
      // From the back, so that no length is overwritten before it is read.
      auto* lengths = reinterpret_cast<PULONG>(wnode->OffsetInstanceDataAndLength);
      for (ULONG i = wnode->InstanceCount; i-- > 0;)
        wnode->OffsetInstanceDataAndLength[i].LengthInstanceData = lengths[i];
      ULONG at = offset;
      for (ULONG i = 0; i < wnode->InstanceCount; ++i) {
        at = Align8(at);
        wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData = at;
        at += wnode->OffsetInstanceDataAndLength[i].LengthInstanceData;
      }
      wnode->WnodeHeader.BufferSize = offset + BufferUsed;
      wnode->WnodeHeader.Flags |= WNODE_FLAG_ALL_DATA;
      information = wnode->WnodeHeader.BufferSize;
      break;
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_EXECUTE_METHOD: {
      auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      const ULONG offset = wnode->DataBlockOffset;
      if (Status == STATUS_BUFFER_TOO_SMALL) {
        information = TooSmall(buffer, offset + BufferUsed);
        Status = STATUS_SUCCESS;
        break;
      }
      if (!NT_SUCCESS(Status)) break;
      wnode->SizeDataBlock = BufferUsed;
      wnode->WnodeHeader.BufferSize = offset + BufferUsed;
      information = wnode->WnodeHeader.BufferSize;
      break;
    }
    default:  // changes and function control return no data
      break;
  }
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = information;
  IoCompleteRequest(Irp, PriorityBoost);
  return Status;
}
