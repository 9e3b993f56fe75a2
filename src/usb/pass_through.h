// The USB pass-through control code: a vendor tool reaches the bridge's USB device through an
// open port (descriptors, standard and vendor control requests, raw pipe transfers, the chip's
// status block, pipe and hub port resets).
//
// The system buffer holds an 8-byte header (command, data length in; status, returned length
// out) and a data area. Every byte a command reads must lie in the caller's input and every
// byte it may return, plus the header, must fit the caller's output: otherwise the request is
// refused with STATUS_BUFFER_TOO_SMALL before anything is sent to the device.
#pragma once

#include "driver/platform.h"

// Pass-through commands (header offset 0).
#define PASS_THROUGH_IDENTIFY 1
#define PASS_THROUGH_CONFIG_DESCRIPTOR 2
#define PASS_THROUGH_CONTROL 4
#define PASS_THROUGH_INTERRUPT_IN 5
#define PASS_THROUGH_BULK_IN 6
#define PASS_THROUGH_BULK_OUT 7
#define PASS_THROUGH_STATUS_BLOCK 11
#define PASS_THROUGH_RESET_PORT 12
#define PASS_THROUGH_RESET_PIPE 13
#define PASS_THROUGH_ABORT_PIPE 14

#define PASS_THROUGH_HEADER_SIZE 8

// Carries out the command in the request's system buffer, the input holding at least the
// header. Writes the header back and sets Information to the returned length plus 8, unless the
// output cannot hold the header or no URB block can be had. A pipe transfer (commands 5 to 7)
// is counted in the pipe's busy count, so that a drain aborts it, and ends early when the
// caller cancels the request. PASSIVE_LEVEL.
NTSTATUS PassThroughRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
