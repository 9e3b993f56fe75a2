// Port initialisation: brings the chip and the port's software state to a known starting point
// from the current settings.
#pragma once

#include "driver/platform.h"

// Hands the chip every known register value (request 0xA1), programs rate and format in full,
// applies the handshake and reads the modem status. A port being opened, started or reset starts
// with an empty receive ring and no bytes counted for sending; one powered up again
// (KeepBufferedBytes) keeps the bytes it received and the count of its queued writes. Returns the
// status of request 0xA1. PASSIVE_LEVEL.
NTSTATUS InitializePort(PDEVICE_OBJECT DeviceObject, BOOLEAN KeepBufferedBytes);
