// In-band escape commands: while the port runs at ESCAPE_BAUD_RATE, a write whose whole content has
// one of three fixed forms is executed instead of transmitted.
//   "@" cmd addr data          (4 bytes)  reads or writes a chip location (AccessCommand)
//   "#" 3 to 7 digits "_"      (5-9)      sets the line rate, 1 to 3,000,000
//   "$ZM470Ser?"               (10)       identification query, answered with 'W'
// A reply is put into the receive ring as if received and announced by ReplyNotifyThread. Any
// other write, a malformed command included, is transmitted as data.
#pragma once

#include "driver/platform.h"

// The line rate at which writes are checked for commands.
#define ESCAPE_BAUD_RATE 300

// Runs the admitted write as a command when the port's rate is ESCAPE_BAUD_RATE and the data has
// a command's form. TRUE: the request has been completed (Information 0) and *Status holds the
// status it was completed with. FALSE: not a command, the request untouched. Any other major
// function and a zero-length write are never commands. PASSIVE_LEVEL.
BOOLEAN ExecuteEscapeCommand(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS* Status);

// Reads (bit 0 of Command set) or writes the chip location selected by Command and Address
// through the auxiliary vendor requests. *Data holds the byte to write (chips below 0x20 also
// send it with a read) and receives the byte read. A read answered with no byte and a polled
// access that never reports done give STATUS_UNSUCCESSFUL. PASSIVE_LEVEL.
NTSTATUS AccessCommand(PDEVICE_OBJECT DeviceObject, UCHAR Command, UCHAR Address, PUCHAR Data);
