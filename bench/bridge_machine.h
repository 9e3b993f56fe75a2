// A machine with the driver loaded and one ZM470 bridge plugged in, its port device added: the
// starting point of the USB benchmarks.
#pragma once

#include <memory>

#include "driver/driver_globals.h"
#include "driver/platform.h"
#include "nt/machine.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

struct BridgeMachine {
  BridgeMachine() : machine(emu::KernelConfig{}) {
    machine.kernel().SetTraceEnabled(false);
    chip = std::make_unique<emu::zm470::Zm470>(emu::zm470::Config{});
    host = std::make_unique<emu::usb::UsbHost>(machine);
    driver = machine.LoadDriver(u"tarnwire", DriverEntry);
    emu::usb::UsbPort& port = host->Plug(*chip);
    machine.AddDevice(driver, port.Pdo());
    device = port.Pdo()->AttachedDevice;
  }
  emu::Machine machine;
  std::unique_ptr<emu::zm470::Zm470> chip;
  std::unique_ptr<emu::usb::UsbHost> host;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
};
