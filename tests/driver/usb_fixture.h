// A machine with the driver loaded and one ZM470 bridge plugged into the emulated USB host, with
// its port device created by add-device. The USB transport routines are called directly from
// system threads of the machine, as the Plug and Play and port threads will call them.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/platform.h"
#include "driver/port_extension.h"
#include "driver_fixture.h"
#include "line/serial_line.h"
#include "nt/machine.h"
#include "usb/usb_config.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace drvusb_test {

using emu::usb::UrbFilter;

// "0x" and the value in hexadecimal, for failure messages.
std::string Hex(uint64_t value);

// bmRequestType, bRequest, wValue, wIndex and wLength of a control transfer, in hexadecimal
// ("C0 95 0706 0000 2").
std::string SetupText(const emu::usb::UrbRecord& u);

using test_support::ForEachMachine;

// A chip of the given revision, otherwise as shipped.
emu::zm470::Config ChipRevision(uint8_t revision);

class UsbPortMachine {
 public:
  explicit UsbPortMachine(emu::zm470::Config chipConfig = {},
                          emu::KernelConfig kernelConfig = test_support::CurrentConfig());
  ~UsbPortMachine();
  UsbPortMachine(const UsbPortMachine&) = delete;
  UsbPortMachine& operator=(const UsbPortMachine&) = delete;

  emu::Kernel& kernel() { return machine.kernel(); }
  PPORT_EXTENSION ext() const { return PortExtension(device); }
  emu::usb::UsbPort& usb() { return *usbPort; }

  // Fails the test with the requests outside the chip's map that the test did not declare
  // expected (chip->ExpectViolations). The destructor runs it.
  void CheckChipRequests();

  // Runs fn in a system thread and returns its status; fails the test if fn does not return.
  NTSTATUS Call(std::function<NTSTATUS()> fn);
  NTSTATUS Configure() {
    return Call([this] { return ConfigureUsbDevice(device); });
  }
  // Sets the port's rate and character format as the control codes do (under ControlLock) and
  // programs the chip with them (ProgramBaudRate, then ProgramLineFormat), in a system thread.
  NTSTATUS ProgramLine(ULONG baudRate, UCHAR dataMask, UCHAR parity, UCHAR stopBits);

  // The port's own control URB area, as add-device recorded it.
  PVOID PortControlBlock() const { return ext()->BufferBlock + CONTROL_URB_OFFSET; }
  // Pool blocks currently allocated: all of them, and those of the driver's tag and a size.
  size_t PoolBlocks() { return kernel().LivePoolBlocks().size(); }
  size_t DriverPoolBlocksOfSize(size_t size);
  // Virtual times at which the driver sent the given internal device control code down the stack.
  std::vector<emu::VirtualTime> InternalIoctlTimes(ULONG code);

  // Plugs a far end, built from `args`, into the bridge's serial connector in place of any other.
  // The machine keeps it and unplugs it before the chip goes.
  template <class End, class... Args>
  End& PlugFarEnd(Args&&... args) {
    auto end = std::make_unique<End>(std::forward<Args>(args)...);
    End& plugged = *end;
    chip->AttachLine(&plugged);
    farEnd = std::move(end);
    return plugged;
  }

  emu::Machine machine;
  std::unique_ptr<emu::zm470::Zm470> chip;
  std::unique_ptr<emu::line::SerialLine> farEnd;  // declared after the chip: goes first
  std::unique_ptr<emu::usb::UsbHost> host;
  emu::usb::UsbPort* usbPort = nullptr;
  PDEVICE_OBJECT device = nullptr;  // the port device object
};

// The same machine with the bridge configured, and the URB log emptied after that.
struct ConfiguredPort : UsbPortMachine {
  explicit ConfiguredPort(emu::zm470::Config chipConfig = {},
                          emu::KernelConfig kernelConfig = test_support::CurrentConfig());
};

// How a port thread's wake event appears in the kernel trace: signalled once, the thread waiting
// on it wakes and the trace names the event.
std::string EventName(UsbPortMachine& m, PKEVENT event);
// Wakes of the thread waiting on the named event so far (runs the machine first).
size_t Wakes(UsbPortMachine& m, const std::string& name);

// A test thread that stands for one of the port's transfer threads: it counts itself in a busy
// counter of the port for as long as its transfer is in flight, as the reader, writer and status
// threads do.
struct InFlightTransfer {
  URB urb{};
  std::vector<uint8_t> buffer;
  NTSTATUS status = STATUS_PENDING;
  bool done = false;
};

// Starts a bulk or interrupt transfer on `pipe` from a new system thread, counted in `busy`.
std::shared_ptr<InFlightTransfer> StartPipeTransfer(UsbPortMachine& m, USBD_PIPE_HANDLE pipe, bool in,
                                                    size_t length, LONG* busy);

}  // namespace drvusb_test
