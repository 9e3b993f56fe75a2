// The port's communication properties: the SERIAL_COMMPROP answer of IOCTL_SERIAL_GET_PROPERTIES,
// which the WMI comm-properties block reports as well.
#pragma once

#include "driver/platform.h"

// Size of the SERIAL_COMMPROP answer: the structure up to and including ProvSpec2 and one
// provider character.
#define COMM_PROPERTIES_SIZE 64

// Writes the port's properties into the first COMM_PROPERTIES_SIZE bytes at Properties, which
// the caller has zeroed. Any IRQL.
VOID FillCommProperties(PDEVICE_OBJECT DeviceObject, PSERIAL_COMMPROP Properties);
