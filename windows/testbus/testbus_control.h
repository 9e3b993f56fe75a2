// Control codes of the test bus's control device (\\.\TarnwireTestBus), shared by the bus driver and
// the programs that drive it. Input of each: the bridge's index as a ULONG.
#pragma once

#define TESTBUS_DOS_NAME "\\\\.\\TarnwireTestBus"
// Removes a bridge from the bus as if its cable were pulled: its pending transfers fail and Plug and
// Play is told the child is gone.
#define IOCTL_TESTBUS_UNPLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Plugs an unplugged bridge in again: it comes back powered on as a new child, and Plug and Play
// starts its function driver again.
#define IOCTL_TESTBUS_PLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Reads the record of a bridge's line: when its transmitter began and ended a break, oldest first,
// the last TESTBUS_LINE_EVENTS of them. Output: a TESTBUS_LINE_RECORD.
#define IOCTL_TESTBUS_LINE_RECORD CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define TESTBUS_LINE_EVENTS 32

typedef struct TESTBUS_LINE_EVENT {
  LONGLONG Counter;  // the performance counter at the moment, system-wide
  ULONG BreakOn;     // 1: the break began; 0: it ended
  ULONG Reserved;
} TESTBUS_LINE_EVENT;

typedef struct TESTBUS_LINE_RECORD {
  LONGLONG Frequency;  // of the performance counter
  ULONG Count;
  ULONG Reserved;
  TESTBUS_LINE_EVENT Events[TESTBUS_LINE_EVENTS];
} TESTBUS_LINE_RECORD;
