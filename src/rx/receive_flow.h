// Receive flow control: holding the far end off by DTR, RTS or the XOFF character while the
// receive ring fills, and releasing it again; applying a new SERIAL_HANDFLOW.
#pragma once

#include "driver/platform.h"

// Applies new handshake and flow settings (validated by the caller) and stores them in HandFlow.
// While the port is opening every step runs; otherwise only the steps whose mode changed.
// PASSIVE_LEVEL.
VOID ApplyHandFlow(PDEVICE_OBJECT DeviceObject, const SERIAL_HANDFLOW* HandFlow);

// Releases the DTR, RTS and XOFF receive holds once the ring holds XonLimit bytes or fewer.
// Returns the status of the last line operation, STATUS_SUCCESS when none was needed.
// PASSIVE_LEVEL.
NTSTATUS ResumeReceive(PDEVICE_OBJECT DeviceObject);

// The hold rule, run by the flow work item after received bytes were stored: raises each enabled
// receive hold once the ring reaches RingSize - XoffLimit bytes. PASSIVE_LEVEL.
VOID ApplyReceiveHolds(PDEVICE_OBJECT DeviceObject);
