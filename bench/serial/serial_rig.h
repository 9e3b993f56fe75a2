// Emulated bridges that applications use as COM ports: two ZM470 bridges on one full-speed bus
// with their serial connectors joined by a null-modem cable, or one bridge with a loopback plug.
// The driver is loaded by Plug and Play for each bridge, and each port is opened through the I/O
// manager. Streams of bytes run between the ports from writer and reader application threads,
// and everything that crossed the line is kept for measurement.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/platform.h"
#include "driver/port_extension.h"
#include "line/far_ends.h"
#include "nt/machine.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace serial_rig {

enum class Flow { None, RtsCts, XonXoff };
const char* FlowName(Flow flow);

// What an application sets on a port: the rate, the handshake, the time-outs and the character
// format (8N1, or 7E1 with `sevenEven`).
struct PortSettings {
  ULONG baud = 9600;
  Flow flow = Flow::None;
  SERIAL_TIMEOUTS timeouts{};
  bool sevenEven = false;
};

// Read time-outs under which a read returns as soon as any byte is there and waits at most
// `constantMs` for the first one.
SERIAL_TIMEOUTS ReturnOnFirstByte(ULONG constantMs = 1000);

// One bridge on the bus, started and opened as a COM port.
struct Bridge {
  std::unique_ptr<emu::zm470::Zm470> chip;
  emu::usb::UsbPort* usb = nullptr;
  PDEVICE_OBJECT port = nullptr;
  PFILE_OBJECT file = nullptr;
  int lineSide = 0;  // the side its transmissions carry in the line's events
  PPORT_EXTENSION ext() const { return PortExtension(port); }
};

// Bytes from one port to another (or to itself through a loopback plug).
struct Stream {
  Bridge* from = nullptr;
  Bridge* to = nullptr;
  std::vector<uint8_t> data;
  ULONG writeChunk = 16384;        // bytes of each write request
  ULONG readChunk = 4096;          // bytes of each read request
  emu::VirtualTime readPause = 0;  // the reading application's pause after each read
  uint32_t idleReadsToGiveUp = 3;  // reads in a row that return nothing end the reading
};

struct StreamResult {
  std::vector<uint8_t> received;
  // Completion time and bytes received so far, for every read that returned bytes.
  std::vector<std::pair<emu::VirtualTime, size_t>> reads;
  emu::VirtualTime start = 0;
  emu::VirtualTime writesDone = -1;
  size_t written = 0;
  NTSTATUS writeStatus = STATUS_PENDING;
  NTSTATUS readStatus = STATUS_PENDING;
  // Seen by a watcher every millisecond: the receiving port holding the far end off, the sending
  // port holding its transmission.
  bool receiveHoldSeen = false;
  bool transmitHoldSeen = false;
};

// Counts of what arrived against what was sent: bytes matched in order, bytes missing, and
// received bytes that match nothing that was sent.
struct Delivery {
  size_t matched = 0;
  size_t lost = 0;
  size_t garbled = 0;
};
Delivery CompareDelivery(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& received);

// `n` pseudo-random bytes from `seed` within `mask` (0x7F for 7 data bits), without the XON and
// XOFF characters so that they pass a port with software flow control unchanged.
std::vector<uint8_t> Payload(size_t n, uint32_t seed, uint8_t mask = 0xFF);

class SerialRig {
 public:
  enum class FarEnd { NullModem, Loopback };

  // Every bridge is a chip built from `chip` (its revision, FIFOs, endpoints).
  explicit SerialRig(FarEnd farEnd, emu::KernelConfig config = {}, emu::zm470::Config chip = {});
  ~SerialRig();
  SerialRig(const SerialRig&) = delete;
  SerialRig& operator=(const SerialRig&) = delete;

  // Empty when both ports came up and opened; otherwise what failed.
  const std::string& Error() const { return error_; }
  emu::Machine& machine() { return *machine_; }
  emu::Kernel& kernel() { return machine_->kernel(); }
  Bridge& A() { return a_; }
  Bridge& B() { return farEnd_ == FarEnd::Loopback ? a_ : b_; }

  // Plugs one more bridge, with a loopback plug of its own, and opens it; nullptr (and Error())
  // when that failed.
  Bridge* AddLoopbackPort();

  // Sets rate, format, handshake and time-outs through the driver's own routines.
  NTSTATUS Apply(Bridge& bridge, const PortSettings& settings);

  // Runs the streams at once, a writer and a reader application thread for each (and a watcher
  // of the hold flags when `watchHolds`), until every thread has ended or `limit` of virtual time
  // has passed.
  std::vector<StreamResult> Run(std::vector<Stream>& streams, emu::VirtualTime limit,
                                bool watchHolds = false);

  // Everything that crossed the line of A (and B), in time order, while recording was on (from
  // the start unless RecordLine(false)). Added ports' plugs are not recorded.
  const std::vector<emu::line::LineEvent>& LineEvents() const;
  void RecordLine(bool on);
  // The stop-bit ends of the data characters (all but XON and XOFF) one side sent, in order.
  std::vector<emu::VirtualTime> CharacterEnds(int side) const;

  // Closes the ports and unplugs the bridges; the driver unloads. Empty when that went cleanly
  // (every port removed, the driver gone, no pool of the driver left); otherwise what did not.
  std::string Shutdown();

 private:
  void Start(Bridge& bridge);

  void OpenPort(Bridge& bridge);
  std::vector<Bridge*> Bridges();

  FarEnd farEnd_;
  emu::zm470::Config chipConfig_;
  std::unique_ptr<emu::Machine> machine_;
  Bridge a_;
  Bridge b_;
  std::vector<std::unique_ptr<Bridge>> extra_;  // added with AddLoopbackPort
  unsigned bridgesPlugged_ = 0;
  std::unique_ptr<emu::usb::UsbHost> host_;
  std::unique_ptr<emu::line::NullModemCable> cable_;
  std::unique_ptr<emu::line::LoopbackPlug> plug_;
  std::vector<std::unique_ptr<emu::line::LoopbackPlug>> extraPlugs_;
  std::string error_;
  bool shutDown_ = false;
};

}  // namespace serial_rig
