// NTSTATUS to Win32 error, as RtlNtStatusToDosError maps the statuses the I/O manager, the kernel
// and a serial driver return.
#include <wdk_types.h>
#include <winerror.h>

#include "win32/machine_link.h"

namespace emu::win32 {

ULONG ErrorFromStatus(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
      return ERROR_SUCCESS;
    case STATUS_PENDING:
      return ERROR_IO_PENDING;
    case STATUS_TIMEOUT:
      return WAIT_TIMEOUT;
    case STATUS_SERIAL_MORE_WRITES:
      return ERROR_MORE_WRITES;
    case STATUS_SERIAL_COUNTER_TIMEOUT:
      return ERROR_COUNTER_TIMEOUT;
    case STATUS_BUFFER_OVERFLOW:
      return ERROR_MORE_DATA;
    case STATUS_CANCELLED:
      return ERROR_OPERATION_ABORTED;
    case STATUS_INVALID_PARAMETER:
    case STATUS_INVALID_PARAMETER_2:
      return ERROR_INVALID_PARAMETER;
    case STATUS_INVALID_HANDLE:
    case STATUS_OBJECT_TYPE_MISMATCH:
      return ERROR_INVALID_HANDLE;
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_NOT_IMPLEMENTED:
    case STATUS_INVALID_INFO_CLASS:
      return ERROR_INVALID_FUNCTION;
    case STATUS_NOT_SUPPORTED:
      return ERROR_NOT_SUPPORTED;
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_INFO_LENGTH_MISMATCH:
      return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_INVALID_BUFFER_SIZE:
      return ERROR_INVALID_USER_BUFFER;
    case STATUS_ACCESS_DENIED:
    case STATUS_DELETE_PENDING:
      return ERROR_ACCESS_DENIED;
    case STATUS_SHARING_VIOLATION:
      return ERROR_SHARING_VIOLATION;
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_NO_SUCH_FILE:
    case STATUS_OBJECT_NAME_NOT_FOUND:
      return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_PATH_NOT_FOUND:
      return ERROR_PATH_NOT_FOUND;
    case STATUS_OBJECT_NAME_INVALID:
      return ERROR_INVALID_NAME;
    case STATUS_DEVICE_DOES_NOT_EXIST:
      return ERROR_BAD_UNIT;
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_DEVICE_NOT_READY:
    case STATUS_DEVICE_OFF_LINE:
    case STATUS_DEVICE_POWER_FAILURE:
      return ERROR_NOT_READY;
    case STATUS_INVALID_DEVICE_STATE:
      return ERROR_BAD_COMMAND;
    case STATUS_DEVICE_REMOVED:
      return ERROR_DEVICE_REMOVED;
    case STATUS_DEVICE_DATA_ERROR:
      return ERROR_CRC;
    case STATUS_IO_TIMEOUT:
      return ERROR_SEM_TIMEOUT;
    case STATUS_DEVICE_BUSY:
      return ERROR_BUSY;
    case STATUS_NO_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_INSUFFICIENT_RESOURCES:
      return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_END_OF_FILE:
      return ERROR_HANDLE_EOF;
    case STATUS_ACCESS_VIOLATION:
      return ERROR_NOACCESS;
    case kStatusNotFound:
      return ERROR_NOT_FOUND;
    case STATUS_UNSUCCESSFUL:
      return ERROR_GEN_FAILURE;
    case STATUS_INTERNAL_ERROR:
      return ERROR_INTERNAL_ERROR;
    default:
      // What RtlNtStatusToDosError answers for a code it has no entry for.
      return ERROR_MR_MID_NOT_FOUND;
  }
}

}  // namespace emu::win32
