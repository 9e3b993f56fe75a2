#include "port_facts.h"

#include <cstdio>

#include "driver/port_extension.h"
#include "nt/io_util.h"

namespace tarnwire_tool {
namespace {

constexpr char16_t kSerialCommKey[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::u16string_view View(const UNICODE_STRING& s) {
  return {reinterpret_cast<const char16_t*>(s.Buffer), s.Buffer ? s.Length / 2u : 0u};
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

bool ReadPortFacts(emu::win32::BootedMachine& booted, unsigned com, PortFacts* facts) {
  PDEVICE_OBJECT device = booted.PortDevice(com);
  if (device == nullptr) return false;
  emu::Machine& m = *booted.machine();
  const PORT_EXTENSION* ext = PortExtension(device);
  facts->com = com;
  facts->portName = emu::Narrow(View(ext->PortName));
  facts->kernelName = emu::Narrow(View(ext->DeviceName));
  auto value = m.registry().GetString(kSerialCommKey, View(ext->DeviceName));
  facts->serialComm = value ? emu::Narrow(*value) : "";
  facts->interfaceName = emu::Narrow(View(ext->InterfaceName));
  const emu::ObjectNamespace::Interface* iface = m.objects().FindInterface(View(ext->InterfaceName));
  facts->interfaceEnabled = iface != nullptr && iface->enabled;
  facts->chipRevision = booted.ChipRevision(com);
  facts->driverChip = ReadChipVersion(ext);
  return true;
}

std::string DescribeChip(const PortFacts& f) {
  std::string text = "ZM470 chip revision " + Hex(static_cast<unsigned>(f.chipRevision)) + "; ";
  if (f.driverChip == 1)
    return text + "the driver took it for an older chip (bMaxPower 0x40), asked no revision and holds its marker 0x01";
  if (f.driverChip == static_cast<unsigned>(f.chipRevision)) return text + "the driver read " + Hex(f.driverChip) + " from the chip";
  return text + "the driver holds " + Hex(f.driverChip);
}

void PrintPortFacts(const PortFacts& f, const char* indent) {
  std::printf("%sCOM%u  kernel name %s, COM name %s\n", indent, f.com, f.kernelName.c_str(), f.portName.c_str());
  if (f.serialComm.empty())
    std::printf("%s      SERIALCOMM has no value %s\n", indent, f.kernelName.c_str());
  else
    std::printf("%s      SERIALCOMM %s = \"%s\"\n", indent, f.kernelName.c_str(), f.serialComm.c_str());
  std::printf("%s      interface %s %s\n", indent, f.interfaceName.c_str(),
              f.interfaceEnabled ? "enabled" : "registered, not enabled");
  std::printf("%s      %s\n", indent, DescribeChip(f).c_str());
}

}  // namespace tarnwire_tool
