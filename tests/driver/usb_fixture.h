// A machine with the driver loaded and one ZM470 bridge plugged into the emulated USB host, with
// its port device created by add-device. The USB transport routines are called directly from
// system threads of the machine, as the Plug and Play and port threads will call them.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/platform.h"
#include "driver/port_extension.h"
#include "nt/machine.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace drvusb_test {

// "0x" and the value in hexadecimal, for failure messages.
std::string Hex(uint64_t value);

// Runs fn under both processor models and `seeds` scheduler seeds, naming the run on failure.
void ForEachMachine(const std::function<void(emu::KernelConfig)>& fn, uint64_t seeds = 20);

class UsbPortMachine {
 public:
  explicit UsbPortMachine(emu::zm470::Config chipConfig = {}, emu::KernelConfig kernelConfig = {});
  ~UsbPortMachine();
  UsbPortMachine(const UsbPortMachine&) = delete;
  UsbPortMachine& operator=(const UsbPortMachine&) = delete;

  emu::Kernel& kernel() { return machine.kernel(); }
  PPORT_EXTENSION ext() const { return PortExtension(device); }
  emu::usb::UsbPort& usb() { return *usbPort; }

  // Runs body in a new system thread until it ends; false if the machine ran out of work first.
  bool InSystemThread(std::function<void()> body, std::string name = "test");
  // Starts body in a system thread without running the machine.
  void StartSystemThread(std::function<void()> body, std::string name = "test");

  NTSTATUS Configure();
  // Configures the port and fails the test when that does not succeed.
  void ConfigureOrFail();

  // The port's own control URB area, as add-device recorded it.
  PVOID PortControlBlock() const { return ext()->BufferBlock + CONTROL_URB_OFFSET; }
  // Pool blocks currently allocated with the driver's tag.
  size_t DriverPoolBlocks();
  size_t DriverPoolBlocksOfSize(size_t size);

  // Virtual times at which the driver sent the given internal device control code down the stack.
  std::vector<emu::VirtualTime> InternalIoctlTimes(ULONG code);

  std::vector<emu::usb::UrbRecord> UrbsOf(uint16_t function) const {
    return usbPort->UrbsMatching(emu::usb::UrbFilter{function, {}, {}});
  }
  std::vector<emu::usb::UrbRecord> VendorUrbs(uint8_t request) const {
    return usbPort->UrbsMatching(emu::usb::UrbFilter{URB_FUNCTION_VENDOR_DEVICE, {}, request});
  }

  emu::Machine machine;
  std::unique_ptr<emu::zm470::Zm470> chip;
  std::unique_ptr<emu::usb::UsbHost> host;
  emu::usb::UsbPort* usbPort = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;  // the port device object
};

// A test thread that stands for one of the port's transfer threads: it counts itself in a busy
// counter of the port for as long as its transfer is in flight, as the reader, writer and status
// threads do.
struct InFlightTransfer {
  std::vector<uint8_t> storage = std::vector<uint8_t>(sizeof(URB), 0);
  std::vector<uint8_t> buffer;
  NTSTATUS status = STATUS_PENDING;
  bool done = false;
  PURB urb() { return reinterpret_cast<PURB>(storage.data()); }
};

// Starts a bulk or interrupt transfer on `pipe` from a new system thread, counted in `busy`.
std::shared_ptr<InFlightTransfer> StartPipeTransfer(UsbPortMachine& m, USBD_PIPE_HANDLE pipe, bool in,
                                                    std::vector<uint8_t> data, LONG* busy);

}  // namespace drvusb_test
