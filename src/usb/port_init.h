// Port initialisation: brings the chip and the port's software state to a known starting point
// from the current settings.
#pragma once

#include "driver/platform.h"

// Hands the chip every known register value (request 0xA1), programs rate and format in full,
// empties the receive ring, applies the handshake and reads the modem status. Returns the status
// of request 0xA1. PASSIVE_LEVEL.
NTSTATUS InitializePort(PDEVICE_OBJECT DeviceObject);
