// The write total time-out: how long the writer waits for each bulk-out transfer of a request.
#pragma once

#include "driver/platform.h"
#include "driver/port_extension.h"

// The relative due time (100-ns units, negative) of every transfer of a request of Length bytes:
// T + 1 milliseconds with T = WriteTotalTimeoutMultiplier x Length + WriteTotalTimeoutConstant.
// T is computed in 64 bits, so a large request does not wrap to a short time-out. FALSE when
// there is no time-out: both values 0, or T exactly MAXULONG.
BOOLEAN WriteTransferDueTime(PPORT_EXTENSION Port, ULONG Length, PLARGE_INTEGER DueTime);
