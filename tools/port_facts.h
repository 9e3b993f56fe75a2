// What the driver made of a bridge, read from the machine: the names it gave the port, what it
// published in the registry and the object namespace, and the chip it found.
#pragma once

#include <string>

#include "win32/booted_machine.h"

namespace tarnwire_tool {

struct PortFacts {
  unsigned com = 0;
  std::string portName;       // the driver's PortName
  std::string kernelName;     // \Device\SerialN
  std::string serialComm;     // its SERIALCOMM value, empty when there is none
  std::string interfaceName;  // the COM-port device interface
  bool interfaceEnabled = false;
  int chipRevision = -1;      // the bridge's revision byte
  unsigned driverChip = 0;    // what the driver holds for the chip: 1 marks an older chip
};

// False when COMn has no port device.
bool ReadPortFacts(emu::win32::BootedMachine& booted, unsigned com, PortFacts* facts);
// "chip revision 0x30; the driver read 0x30 from the chip" and the like.
std::string DescribeChip(const PortFacts& facts);
// The lines of a report on the port, each starting with `indent`.
void PrintPortFacts(const PortFacts& facts, const char* indent);

}  // namespace tarnwire_tool
