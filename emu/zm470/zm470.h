// The ZM470 USB-to-serial bridge chip: its USB descriptors and standard requests, the vendor
// request and register map, the auxiliary byte store, and a UART engine with finite FIFOs that
// talks to a SerialLine at the programmed rate and format.
//
// Revision-dependent behaviour (the chip's revision byte, `Config::revision`):
//   below 0x20   modem control through register pair 6/6; auxiliary access through the polled
//                requests 0x53 and 0x52; 0xA4, 0x54 and 0x5E stall.
//   0x20 and up  modem control through request 0xA4; auxiliary access through 0x54 (and 0x5E);
//                0x53 stalls; register 6 is read-only.
//   exactly 0x25 register 5 bit 4 comes up set at power-on and after every 0xA1.
//   below 0x30   8-bit frames with an optional ninth bit (register 0x18 bit 7, mode in 0x25).
//   0x30 and up  full character format in register 0x18; output handshake register 0x27; line
//                errors classified through register 5 bit 1 (interrupt report bit 0x40).
//
// UART behaviour beyond the register map:
//   - The line rate is the clock that register 0x12 bits 0-2 select (11719, 93750, 750000,
//     6000000 Hz for 0 to 3; 11980800 Hz for 7, so 0xD9 gives 307200 and 0xF3 921600) over the
//     factor 256 minus register 0x13; see LineFrame(). Transmitter and receiver share rate and
//     format; a received character off by more than half a bit at its stop bit (5.26% for 8N1)
//     or of another format arrives with a framing or parity error (line::Sample).
//   - Bulk-out packets enter a TX FIFO (a packet that does not fit is NAK'ed) drained at the
//     programmed rate; received characters enter an RX FIFO read by bulk-in; a full RX FIFO
//     drops the character and reports an overrun.
//   - The interrupt endpoint (0x20 and up) answers with a 4-byte report (line status, 0,
//     register 6, transmitter busy) when the modem inputs changed, a line error occurred or the
//     transmitter ran empty; it NAKs otherwise, and always below 0x20. Line status: 0x02 overrun
//     (a character found the RX FIFO full), 0x04 receive error (framing, parity or break; on
//     0x30 and up framing and break add 0x40 and set or clear register 5 bit 1), 0x10 only
//     through InjectLineStatus. Line-status bits are cleared once reported.
//   - A break (register 5 bit 0 or register 0x18 bit 6 cleared) starts when the character on the
//     wire ends and holds the TX FIFO until released. A received break puts no character into
//     the RX FIFO; a space shorter than a character arrives as 0x00 with a framing error.
//   - Request 0xA1 restarts the UART: both FIFOs emptied, pending line status dropped, modem
//     outputs deasserted, break released.
//
// Strictness: the chip stalls every vendor, class or reserved-type request that its request and
// register map (request_map.h) does not define -- an unknown request, the wrong direction, a
// request of another revision, wValue or wIndex bits outside the map, an unmapped or read-only
// register, an OUT data stage, an IN data stage too short for the answer -- and records it as a
// Violation naming the request and what is wrong. The emulator fails nothing itself: the test
// fixtures that own chips call TakeViolationReport() when a chip goes away (tests may call it
// sooner) and fail the test with the report. A test that sends such requests on purpose (a
// misbehaving driver, the pass-through control code forwarding its caller's request) declares
// them with ExpectViolations(); they still stall, and are recorded as expected.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "line/serial_line.h"
#include "usbhost/usb_device.h"

namespace emu::zm470 {

// Vendor requests of the chip.
namespace request {
constexpr uint8_t kAuxStatus = 0x52;     // in: status block of the polled auxiliary access
constexpr uint8_t kAuxStart = 0x53;      // out: start a polled auxiliary access (below 0x20)
constexpr uint8_t kAuxAccess = 0x54;     // in/out: auxiliary byte read/write (0x20 and up)
constexpr uint8_t kAuxCommit = 0x5E;     // out, wValue 0x0A: follows every 0x54 write
constexpr uint8_t kRevision = 0x5F;      // in: revision byte first
constexpr uint8_t kReadPair = 0x95;      // in: two registers
constexpr uint8_t kWritePair = 0x9A;     // out: two registers
constexpr uint8_t kInitialize = 0xA1;    // out: initialisation
constexpr uint8_t kModemControl = 0xA4;  // out: modem-control byte (0x20 and up)
}  // namespace request

// Registers of the map.
namespace reg {
constexpr uint8_t kBreakRelease = 0x05;  // bit 0 break release, bit 1 framing/break, bit 4
constexpr uint8_t kModem = 0x06;         // modem inputs and outputs, active low
constexpr uint8_t kTxStatus = 0x07;      // bit 0 transmitter holds data
constexpr uint8_t kTiming0F = 0x0F;
constexpr uint8_t kPrescaler = 0x12;
constexpr uint8_t kDivisor = 0x13;
constexpr uint8_t kLineControl = 0x18;
constexpr uint8_t kNinthBit = 0x25;
constexpr uint8_t kHandshake = 0x27;   // 0x30 and up
constexpr uint8_t kCharTiming = 0x2C;  // 1.5 character times in 256 us

// Register 5 bit 1 on 0x30 and up: set by a framing error, cleared by a break, each time the
// receiver reports one (line status 0x44); writes leave it alone.
constexpr uint8_t kFramingNotBreak = 0x02;
}  // namespace reg

// Interrupt report byte 0 (line status) bits.
namespace line_status {
constexpr uint8_t kOverrun = 0x02;
constexpr uint8_t kReceiveError = 0x04;
constexpr uint8_t kEvent = 0x10;
constexpr uint8_t kClassifyByRegister5 = 0x40;  // 0x30 and up: framing (reg 5 bit 1) or break
}  // namespace line_status

struct EndpointDescriptor {
  uint8_t address;
  uint8_t attributes;  // 2 bulk, 3 interrupt
  uint16_t maxPacketSize;
  uint8_t interval;
};

struct Config {
  // --- Identity ---------------------------------------------------------------------------
  uint8_t revision = 0x30;
  // The answer to request 0x5F; default: the revision byte followed by 0x00.
  std::optional<std::vector<uint8_t>> revisionAnswer;

  // --- Descriptors ------------------------------------------------------------------------
  uint16_t bcdUSB = 0x0110;
  uint8_t bMaxPacketSize0 = 8;
  uint16_t idVendor = 0x0A5D;
  uint16_t idProduct = 0x0023;
  uint16_t bcdDevice = 0x0250;
  uint8_t bmAttributes = 0x80;  // bus powered
  // Default: 0x40 on revisions below 0x20 (that is how the driver tells the older chips apart),
  // 0x31 (98 mA) otherwise.
  std::optional<uint8_t> bMaxPower;
  std::optional<uint8_t> bNumInterfaces;  // default 1
  std::optional<uint16_t> wTotalLength;   // default: the real length (may be set to lie)
  std::vector<EndpointDescriptor> endpoints = {
      {0x82, 0x02, 32, 0},  // bulk in: received data
      {0x02, 0x02, 32, 0},  // bulk out: data to transmit
      {0x81, 0x03, 8, 1},   // interrupt in: status reports
  };
  // Appended after the endpoint descriptors (class or vendor descriptors, or padding).
  std::vector<uint8_t> extraDescriptors;
  std::string manufacturer;            // string index 1 when not empty
  std::string product = "USB Serial";  // string index 2 when not empty
  std::string serialNumber;            // string index 3 when not empty

  // --- Answers to vendor requests ------------------------------------------------------------
  size_t registerReadLength = 2;  // bytes answered to 0x95 (2 on a sound chip)
  size_t statusBlockLength = 8;   // bytes answered to 0x52
  // A polled auxiliary access (0x53) stays busy for this many 0x52 polls and at least this much
  // virtual time. UINT32_MAX polls: it never finishes.
  uint32_t auxBusyPolls = 2;
  VirtualTime auxBusyTime = 0;

  // --- UART -------------------------------------------------------------------------------
  size_t txFifoDepth = 64;
  size_t rxFifoDepth = 128;
  size_t interruptReportLength = 4;
  // false: the interrupt endpoint answers only when the status changed (NAK otherwise);
  // true: it answers every IN token with the current status.
  bool interruptReportsEveryPoll = false;
  // Bulk-in holds back a partial packet until the line has been quiet for the time in register
  // 0x2C (units of 256 us), as bridges with a receive time-out do.
  bool bulkInWaitsForQuietLine = false;
  // Register values at power-on, applied over the chip's own defaults.
  std::vector<std::pair<uint8_t, uint8_t>> powerOnRegisters;

  // Appends filler class descriptors to extraDescriptors so that the configuration descriptor's
  // real length becomes `total` bytes (at least 2 more than it is, or exactly equal).
  void PadConfigurationTo(size_t total);
};

class Zm470 final : public usb::UsbDevice, public line::SerialEnd {
 public:
  struct ControlRecord {
    VirtualTime time;
    usb::SetupPacket setup;
    std::vector<uint8_t> out;  // the OUT data stage
    usb::ControlReply reply;   // what the chip answered (cut to wLength)
  };

  // A control request outside the request and register map.
  struct Violation {
    VirtualTime time;
    usb::SetupPacket setup;
    std::string fault;  // what the map does not define, e.g. "wIndex must be 0x0000"
    bool expected;      // declared by an ExpectViolations scope
    std::string ToString() const;
  };
  using RequestFilter = std::function<bool(const usb::SetupPacket&)>;

  // Declares violations expected while it lives; it must not outlive its chip.
  class Expectation {
   public:
    Expectation(Expectation&& other) noexcept : chip_(std::exchange(other.chip_, nullptr)), id_(other.id_) {}
    Expectation(const Expectation&) = delete;
    Expectation& operator=(const Expectation&) = delete;
    Expectation& operator=(Expectation&&) = delete;
    ~Expectation();

   private:
    friend class Zm470;
    Expectation(Zm470* chip, uint64_t id) : chip_(chip), id_(id) {}
    Zm470* chip_;
    uint64_t id_;
  };

  // A hook consulted before the chip handles a control request. An answer replaces the chip's
  // own (the request then has no effect on the chip); nullopt lets the chip handle it. A request
  // outside the map is recorded as a Violation either way.
  using ControlHook =
      std::function<std::optional<usb::ControlReply>(const usb::SetupPacket&, std::span<const uint8_t>)>;

  // `clock` nullptr: the current emulated kernel's clock.
  explicit Zm470(Config config = {}, line::Clock* clock = nullptr);
  ~Zm470() override;
  Zm470(const Zm470&) = delete;
  Zm470& operator=(const Zm470&) = delete;

  // --- USB --------------------------------------------------------------------------------
  usb::ControlReply Control(const usb::SetupPacket& setup, std::span<const uint8_t> out) override;
  usb::Handshake In(uint8_t address, std::span<uint8_t> buf, size_t& length) override;
  usb::Handshake Out(uint8_t address, std::span<const uint8_t> packet) override;
  void BusReset() override;
  // Everything but the auxiliary byte store starts over: registers at their power-on values,
  // FIFOs empty, modem outputs deasserted, no break, no pending report.
  void PowerCycle() override;

  // --- Line -------------------------------------------------------------------------------
  // Plugs the chip's serial connector into `line` (nullptr: nothing plugged in; inputs off).
  void AttachLine(line::SerialLine* line);
  void OnReceive(const line::LineCharacter& c) override;
  void OnBreak(bool on) override;
  void OnModemInputs(const line::ModemInputs& inputs) override;
  void OnUnplugged() override;

  // --- Observation ------------------------------------------------------------------------
  const Config& GetConfig() const { return config_; }
  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor() const;
  bool Configured() const { return configuration_ != 0; }
  // A register as request 0x95 reads it.
  uint8_t Register(uint8_t reg) const;
  // Writes a register as request 0x9A does, with its effects on the UART.
  void PokeRegister(uint8_t reg, uint8_t value);
  line::ModemOutputs Outputs() const;
  line::ModemInputs Inputs() const { return inputs_; }
  bool BreakRequested() const;  // registers 5 and 0x18 ask for a break
  bool BreakOnLine() const { return breakOnWire_; }
  line::Frame LineFrame() const;    // the rate and format the registers select
  uint8_t OutputHandshake() const;  // register 0x27 bits in force (0 below revision 0x30)
  uint8_t AuxByte(uint8_t address) const { return aux_[address]; }
  void SetAuxByte(uint8_t address, uint8_t value) { aux_[address] = value; }
  uint32_t AuxCommits() const { return auxCommits_; }
  bool AuxBusy() const { return auxActive_; }
  size_t TxFifoCount() const { return txFifo_.size(); }
  size_t RxFifoCount() const { return rxFifo_.size(); }
  bool TransmitterHoldsData() const;  // register 7 bit 0
  uint8_t PendingLineStatus() const { return lineStatus_; }
  bool ReportPending() const { return reportPending_; }
  bool EndpointHalted(uint8_t address) const;
  uint64_t BytesFromHost() const { return bytesFromHost_; }
  uint64_t BytesToHost() const { return bytesToHost_; }
  uint32_t Initializations() const { return initializations_; }

  const std::vector<ControlRecord>& ControlLog() const { return log_; }
  std::vector<ControlRecord> VendorRequests(uint8_t bRequest) const;
  void ClearControlLog() { log_.clear(); }

  // --- Requests outside the map ---------------------------------------------------------------
  // Violations matching `which` (every one when it is empty) count as expected until the returned
  // scope ends.
  [[nodiscard]] Expectation ExpectViolations(RequestFilter which = {});
  const std::vector<Violation>& Violations() const { return violations_; }
  // The undeclared violations recorded since the last call, one per line; empty when there were
  // none.
  std::string TakeViolationReport();

  // --- Fault injection ------------------------------------------------------------------------
  void SetControlHook(ControlHook hook) { hook_ = std::move(hook); }
  // Halts an endpoint as SET_FEATURE(ENDPOINT_HALT) does (its tokens stall until cleared).
  void HaltEndpoint(uint8_t address, bool halted);
  // Raises line-status bits (e.g. line_status::kEvent) for the next interrupt report.
  void InjectLineStatus(uint8_t bits);

 private:
  struct Endpoint {
    EndpointDescriptor desc;
    bool halted = false;
  };

  void RecordViolation(const usb::SetupPacket& setup, std::string fault);
  usb::ControlReply StandardRequest(const usb::SetupPacket& setup);
  usb::ControlReply VendorRequest(const usb::SetupPacket& setup);
  std::optional<usb::ControlReply> StringDescriptor(uint8_t index, uint16_t language) const;
  Endpoint* FindEndpoint(uint8_t address);
  const Endpoint* FindEndpoint(uint8_t address) const;

  void PowerOnRegisters();
  void WriteRegister(uint8_t reg, uint8_t value);
  void SetModemControl(uint8_t byte);
  void Initialize(uint16_t value, uint16_t index);
  std::vector<uint8_t> AuxStatusBlock();

  // UART engine.
  std::optional<line::LineCharacter> NextToTransmit();
  void Transmitted(const line::LineCharacter& c);
  void UpdateBreak();
  bool HandshakeHolds() const;
  void TxStateChanged();
  void ReceiveError(bool framing, bool parity, bool isBreak);
  void RaiseReport();
  void NotifyRoomIfWanted();
  bool RoomForPacket() const;
  VirtualTime QuietTime() const;
  bool HoldForQuietLine(size_t packet) const;
  void NotifySoon();
  line::Frame ReceiveFrame() const { return LineFrame(); }
  line::Frame FrameOfRegisters() const;

  Config config_;
  line::Clock& clock_;
  line::LifetimeGuard guard_;
  std::vector<Endpoint> endpoints_;

  // USB state
  uint8_t address_ = 0;
  uint8_t configuration_ = 0;
  bool remoteWakeup_ = false;

  // Registers and the auxiliary store
  std::array<uint8_t, 256> regs_{};
  uint8_t modemControl_ = 0xFF;  // last modem-control byte; outputs active low
  std::array<uint8_t, 256> aux_{};
  uint32_t auxCommits_ = 0;
  bool auxActive_ = false;
  uint8_t auxCommand_ = 0, auxAddress_ = 0, auxData_ = 0, auxResult_ = 0;
  uint32_t auxPollsLeft_ = 0;
  VirtualTime auxDoneTime_ = 0;

  // UART
  // LineFrame() of the registers in lineFrameKey_ (prescaler, divisor, line control, ninth bit).
  mutable bool lineFrameKnown_ = false;
  mutable uint32_t lineFrameKey_ = 0;
  mutable line::Frame lineFrame_;
  line::SerialLine* line_ = nullptr;
  line::ModemInputs inputs_;
  line::LineTransmitter transmitter_;
  std::deque<uint8_t> txFifo_;
  std::deque<uint8_t> rxFifo_;
  bool breakOnWire_ = false;
  bool rxBreak_ = false;
  bool rxBreakReported_ = false;
  uint64_t rxBreakSerial_ = 0;
  VirtualTime lastRxTime_ = 0;
  bool lastTxBusy_ = false;
  bool outNaked_ = false;
  bool notifyScheduled_ = false;

  // Interrupt reports
  uint8_t lineStatus_ = 0;
  bool reportPending_ = false;

  std::vector<ControlRecord> log_;
  ControlHook hook_;
  std::vector<Violation> violations_;
  size_t violationsReported_ = 0;
  std::vector<std::pair<uint64_t, RequestFilter>> expectations_;
  uint64_t nextExpectation_ = 0;
  uint64_t bytesFromHost_ = 0;
  uint64_t bytesToHost_ = 0;
  uint32_t initializations_ = 0;
};

}  // namespace emu::zm470
