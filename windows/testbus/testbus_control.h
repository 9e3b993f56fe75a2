// Control codes of the test bus's control device (\\.\TarnwireTestBus), shared by the bus driver and
// the programs that drive it. Input: the bridge's index as a ULONG.
#pragma once

#define TESTBUS_DOS_NAME "\\\\.\\TarnwireTestBus"
// Removes a bridge from the bus as if its cable were pulled: its pending transfers fail and Plug and
// Play is told the child is gone.
#define IOCTL_TESTBUS_UNPLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Plugs an unplugged bridge in again: it comes back powered on as a new child, and Plug and Play
// starts its function driver again.
#define IOCTL_TESTBUS_PLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
