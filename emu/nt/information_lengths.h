// What NtQueryInformationFile and NtSetInformationFile check before the I/O manager builds an
// IRP_MJ_QUERY_INFORMATION or IRP_MJ_SET_INFORMATION: the information class must be one the call
// accepts, and the caller's buffer at least as long as the class's fixed-size record. A driver's
// dispatch routine therefore never sees a buffer shorter than the record it fills.
#pragma once

#include <wdm.h>

namespace emu {

// STATUS_SUCCESS, STATUS_INVALID_INFO_CLASS or STATUS_INFO_LENGTH_MISMATCH. Classes whose
// records this table does not know pass (the driver decides).
NTSTATUS CheckQueryInformation(ULONG informationClass, ULONG length);
NTSTATUS CheckSetInformation(ULONG informationClass, ULONG length);

}  // namespace emu
