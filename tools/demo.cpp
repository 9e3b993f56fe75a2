// The demo: loads the driver into the emulated machine, plugs two ZM470 bridges of different chip
// revisions, and shows what the driver made of them: kernel names, COM names, SERIALCOMM values,
// device interfaces and port threads; then the USB configuration of each bridge and a read of its
// modem-status register over the chip's register protocol, with every transfer in a pcap capture.
#include "demo.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver_globals.h"
#include "driver/platform.h"
#include "driver/port_extension.h"
#include "nt/io_util.h"
#include "nt/machine.h"
#include "usb/chip_registers.h"
#include "usb/usb_config.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace tarnwire_tool {
namespace {

constexpr char16_t kSerialCommKey[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string Text(const UNICODE_STRING& s) {
  if (!s.Buffer) return "(none)";
  return emu::Narrow(std::u16string_view(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2));
}

std::string Status(NTSTATUS status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
  return buf;
}

struct Bridge {
  const char* description;
  std::unique_ptr<emu::zm470::Zm470> chip;
  emu::usb::UsbPort* usb = nullptr;
  PDEVICE_OBJECT port = nullptr;
};

}  // namespace

int RunDemo(const DemoOptions& options) {
  emu::KernelConfig config;
  config.seed = options.seed;
  config.processors =
      options.multiprocessor ? emu::ProcessorModel::Multiprocessor : emu::ProcessorModel::Uniprocessor;
  emu::Machine machine(config);
  std::vector<Bridge> bridges;  // the chips outlive the host's ports
  emu::usb::UsbHost host(machine);
  std::printf("TARNWIRE demo: emulated machine, seed %llu, %s model\n",
              static_cast<unsigned long long>(options.seed),
              options.multiprocessor ? "multiprocessor" : "uniprocessor");

  if (!options.capturePath.empty()) {
    std::string error;
    if (!host.StartCapture(options.capturePath, &error)) {
      std::fprintf(stderr, "tarnwire demo: cannot write the capture %s: %s\n", options.capturePath.c_str(),
                   error.c_str());
      return 1;
    }
  }

  // A PC with two built-in serial ports (COM1 and COM2) already counted by the system.
  machine.configuration().SerialCount = 2;

  NTSTATUS status = STATUS_SUCCESS;
  PDRIVER_OBJECT driver = machine.LoadDriver(u"tarnwire", DriverEntry, {}, &status);
  if (!driver) {
    std::printf("DriverEntry failed with %s\n", Status(status).c_str());
    return 1;
  }
  std::printf("\nDriver loaded: %s\n", emu::Narrow(emu::Machine::ServiceKeyPath(u"tarnwire")).c_str());

  {
    emu::zm470::Config newer;
    newer.revision = 0x30;
    newer.serialNumber = "ZM470A01";
    emu::zm470::Config older;
    older.revision = 0x10;
    older.serialNumber = "ZM470B02";
    bridges.push_back({"ZM470 revision 0x30", std::make_unique<emu::zm470::Zm470>(newer)});
    bridges.push_back({"ZM470 revision 0x10", std::make_unique<emu::zm470::Zm470>(older)});
  }

  std::printf("\nPlugging the bridges\n");
  for (Bridge& b : bridges) {
    b.usb = &host.Plug(*b.chip);
    status = machine.AddDevice(driver, b.usb->Pdo());
    b.port = b.usb->Pdo()->AttachedDevice;
    std::printf("  %s on root-hub port %d (%s): add-device %s\n", b.description, b.usb->PortNumber(),
                b.usb->InstancePath().c_str(), NT_SUCCESS(status) ? "succeeded" : Status(status).c_str());
    if (!NT_SUCCESS(status)) return 1;
  }
  machine.kernel().Run();  // let the new port threads start and settle

  std::printf("\nPorts\n");
  for (Bridge& b : bridges) {
    PPORT_EXTENSION ext = PortExtension(b.port);
    std::u16string deviceName(reinterpret_cast<const char16_t*>(ext->DeviceName.Buffer),
                              ext->DeviceName.Length / 2);
    auto serialComm = machine.registry().GetString(kSerialCommKey, deviceName);
    const emu::ObjectNamespace::Interface* iface = machine.objects().FindInterface(
        std::u16string_view(reinterpret_cast<const char16_t*>(ext->InterfaceName.Buffer),
                            ext->InterfaceName.Length / 2));
    std::printf("  %s\n", Text(ext->PortName).c_str());
    std::printf("    kernel name     %s (SerialIndex %u)\n", Text(ext->DeviceName).c_str(),
                static_cast<unsigned>(ext->SerialIndex));
    std::printf("    DOS link        %s -> %s\n", Text(ext->DosLinkName).c_str(), Text(ext->DeviceName).c_str());
    std::printf("    SERIALCOMM      %s = \"%s\"\n", Text(ext->DeviceName).c_str(),
                serialComm ? emu::Narrow(*serialComm).c_str() : "(missing)");
    std::printf("    interface       %s (%s until the port is started)\n", Text(ext->InterfaceName).c_str(),
                iface && iface->enabled ? "enabled" : "disabled");
    std::printf("    port threads    %d running\n", static_cast<int>(ext->ThreadCount));
  }
  std::printf("  SerialCount went from 2 to %u\n", static_cast<unsigned>(machine.configuration().SerialCount));

  std::printf("\nUSB configuration and the chip's register protocol\n");
  for (Bridge& b : bridges) {
    PPORT_EXTENSION ext = PortExtension(b.port);
    NTSTATUS configured = STATUS_PENDING;
    NTSTATUS modem = STATUS_PENDING;
    UCHAR reg6 = 0;
    UCHAR reg7 = 0;
    emu::VirtualTime started = machine.kernel().Now();
    machine.RunInSystemThread("configure", [&] {
      configured = ConfigureUsbDevice(b.port);
      if (NT_SUCCESS(configured)) modem = ReadRegisterPair(b.port, 6, &reg6, 7, &reg7);
    });
    emu::VirtualTime took = machine.kernel().Now() - started;
    std::printf("  %s: configuration %s in %.1f ms of bus time\n", Text(ext->PortName).c_str(),
                NT_SUCCESS(configured) ? "succeeded" : Status(configured).c_str(),
                static_cast<double>(took) / emu::kMillisecond);
    if (!NT_SUCCESS(configured)) continue;
    std::printf("    chip revision   0x%02X%s\n", static_cast<unsigned>(ext->ChipVersion),
                ext->ChipVersion == 1 ? " (older chip: bMaxPower 0x40, no revision request)" : "");
    std::printf("    product id      0x%04X\n", static_cast<unsigned>(ext->ProductId));
    std::printf("    pipes           interrupt-in 0x81, bulk-in 0x82, bulk-out 0x02 (bulk-in transfers of %u bytes)\n",
                static_cast<unsigned>(ext->BulkInLength));
    if (NT_SUCCESS(modem)) {
      // Register 6: modem inputs and outputs, each bit 0 while its line is asserted.
      auto line = [&](int bit) { return (reg6 & (1 << bit)) ? "off" : "on"; };
      std::printf("    modem lines     CTS %s, DSR %s, RI %s, DCD %s; DTR %s, RTS %s (registers 6/7 = 0x%02X 0x%02X)\n",
                  line(0), line(1), line(2), line(3), line(5), line(6), reg6, reg7);
    } else {
      std::printf("    modem lines     register read failed with %s\n", Status(modem).c_str());
    }
    std::printf("    URBs            %zu on the bus so far\n", b.usb->Urbs().size());
  }

  if (!options.capturePath.empty()) {
    uint64_t packets = host.Capture() ? host.Capture()->PacketCount() : 0;
    host.StopCapture();
    std::printf("\nCapture: %llu packets in %s (try: tshark -r %s)\n", static_cast<unsigned long long>(packets),
                options.capturePath.c_str(), options.capturePath.c_str());
  }
  std::printf("Virtual time elapsed: %.3f ms\n", static_cast<double>(machine.kernel().Now()) / emu::kMillisecond);
  return 0;
}

}  // namespace tarnwire_tool
