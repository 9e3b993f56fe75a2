// Control requests of the ZM470: the vendor request and register map, initialisation and the
// auxiliary byte store.
#include "zm470/zm470.h"

#include "zm470/request_map.h"
#include "zm470/uart_rules.h"

namespace emu::zm470 {

namespace {

usb::ControlReply Stall() { return usb::ControlReply{true, {}}; }
usb::ControlReply Ok(std::vector<uint8_t> data = {}) { return usb::ControlReply{false, std::move(data)}; }

// Modem-control byte bits (request 0xA4, register 6): each output is asserted when its bit is 0.
constexpr uint8_t kMcOut1 = 0x10;
constexpr uint8_t kMcDtr = 0x20;
constexpr uint8_t kMcRts = 0x40;

}  // namespace

Zm470::Zm470(Config config, line::Clock* clock)
    : config_(std::move(config)),
      clock_(clock ? *clock : line::Clock::Kernel()),
      transmitter_(
          clock_, [this] { return NextToTransmit(); },
          [this](const line::LineCharacter& c) { Transmitted(c); }) {
  for (const EndpointDescriptor& d : config_.endpoints) endpoints_.push_back(Endpoint{d, false});
  PowerOnRegisters();
}

Zm470::~Zm470() {
  if (line_) line_->Attach(nullptr);
}

void Zm470::PowerOnRegisters() {
  regs_.fill(0);
  const bool newFormat = config_.revision >= 0x30;
  regs_[reg::kBreakRelease] = config_.revision == 0x25 ? 0x11 : 0x01;
  regs_[reg::kLineControl] = newFormat ? 0xC3 : 0x50;  // 8N1, no break
  regs_[reg::kNinthBit] = 0x00;
  regs_[reg::kPrescaler] = newFormat ? 0x82 : 0x02;  // 750 kHz / 78: about 9600 baud
  regs_[reg::kDivisor] = 0xB2;
  regs_[reg::kCharTiming] = 7;
  regs_[reg::kTiming0F] = 0;
  regs_[reg::kHandshake] = 0;
  modemControl_ = 0xFF;  // every output deasserted
  for (auto [reg, value] : config_.powerOnRegisters) {
    if (reg == reg::kModem) {
      modemControl_ = value;
    } else {
      regs_[reg] = value;
    }
  }
}

void Zm470::PowerCycle() {
  const uint8_t before = modemControl_;
  PowerOnRegisters();
  const uint8_t powerOn = modemControl_;
  modemControl_ = before;
  txFifo_.clear();
  rxFifo_.clear();
  lineStatus_ = 0;
  reportPending_ = false;
  rxBreak_ = false;
  rxBreakReported_ = false;
  auxActive_ = false;
  SetModemControl(powerOn);
  UpdateBreak();
  TxStateChanged();
  BusReset();
}

// --- Control transfers -----------------------------------------------------------------------

usb::ControlReply Zm470::Control(const usb::SetupPacket& setup, std::span<const uint8_t> out) {
  std::string fault = MapFault(setup, config_.revision);
  const bool defined = fault.empty();
  if (!defined) RecordViolation(setup, std::move(fault));
  std::optional<usb::ControlReply> hooked;
  if (hook_) hooked = hook_(setup, out);
  usb::ControlReply reply;
  if (hooked) {
    reply = std::move(*hooked);
  } else if (!defined) {
    // A device answers a request it does not support with a STALL of the default pipe.
    reply = Stall();
  } else {
    reply = ((setup.bmRequestType >> 5) & 3) == 0 ? StandardRequest(setup) : VendorRequest(setup);
  }
  if (!reply.stall && (setup.bmRequestType & 0x80) && reply.data.size() > setup.wLength) {
    reply.data.resize(setup.wLength);  // a device never sends more than the host asked for
  }
  if (!(setup.bmRequestType & 0x80)) reply.data.clear();
  log_.push_back(ControlRecord{clock_.Now(), setup, std::vector<uint8_t>(out.begin(), out.end()), reply});
  return reply;
}

std::vector<Zm470::ControlRecord> Zm470::VendorRequests(uint8_t bRequest) const {
  std::vector<ControlRecord> r;
  for (const ControlRecord& rec : log_) {
    if (((rec.setup.bmRequestType >> 5) & 3) == 2 && rec.setup.bRequest == bRequest) {
      r.push_back(rec);
    }
  }
  return r;
}

// Only requests whose every field the map defines arrive here (see MapFault).
usb::ControlReply Zm470::VendorRequest(const usb::SetupPacket& s) {
  const uint8_t lo = static_cast<uint8_t>(s.wValue);
  const uint8_t hi = static_cast<uint8_t>(s.wValue >> 8);

  switch (s.bRequest) {
    case request::kAuxStatus: {
      // Answered on every revision (the vendor tool reads the status block on newer chips too).
      std::vector<uint8_t> block = AuxStatusBlock();
      block.resize(config_.statusBlockLength, 0);
      return Ok(std::move(block));
    }
    case request::kAuxStart:
      auxActive_ = true;
      auxCommand_ = static_cast<uint8_t>(s.wIndex >> 8);
      auxAddress_ = static_cast<uint8_t>(s.wIndex);
      auxData_ = lo;
      auxResult_ = 0;
      auxPollsLeft_ = config_.auxBusyPolls;
      auxDoneTime_ = clock_.Now() + config_.auxBusyTime;
      return Ok();
    case request::kAuxAccess:
      // wIndex: command byte (bit 0 clear) in the high byte, 1 in the low byte.
      auxCommand_ = static_cast<uint8_t>(s.wIndex >> 8);
      auxAddress_ = hi;
      if (s.bmRequestType & 0x80) {
        auxResult_ = aux_[hi];
        return Ok({auxResult_});
      }
      auxData_ = lo;
      aux_[hi] = lo;
      auxResult_ = lo;
      return Ok();
    case request::kAuxCommit:
      ++auxCommits_;
      return Ok();
    case request::kRevision:
      if (config_.revisionAnswer) return Ok(*config_.revisionAnswer);
      return Ok({config_.revision, 0x00});
    case request::kReadPair: {
      std::vector<uint8_t> data{Register(lo), Register(hi)};
      data.resize(config_.registerReadLength, 0);
      return Ok(std::move(data));
    }
    case request::kWritePair:
      WriteRegister(lo, static_cast<uint8_t>(s.wIndex));
      WriteRegister(hi, static_cast<uint8_t>(s.wIndex >> 8));
      return Ok();
    case request::kInitialize:
      Initialize(s.wValue, s.wIndex);
      return Ok();
    case request::kModemControl:
      SetModemControl(lo);
      return Ok();
    default:
      return Stall();
  }
}

// --- Requests outside the map -------------------------------------------------------------------

std::string Zm470::Violation::ToString() const {
  return DescribeRequest(setup) + ": " + fault + (expected ? " (expected)" : "");
}

Zm470::Expectation::~Expectation() {
  if (!chip_) return;
  std::erase_if(chip_->expectations_, [this](const auto& e) { return e.first == id_; });
}

Zm470::Expectation Zm470::ExpectViolations(RequestFilter which) {
  expectations_.emplace_back(nextExpectation_, std::move(which));
  return Expectation(this, nextExpectation_++);
}

void Zm470::RecordViolation(const usb::SetupPacket& setup, std::string fault) {
  bool expected = false;
  for (const auto& [id, which] : expectations_) expected = expected || !which || which(setup);
  violations_.push_back(Violation{clock_.Now(), setup, std::move(fault), expected});
}

std::string Zm470::TakeViolationReport() {
  std::string report;
  for (; violationsReported_ < violations_.size(); ++violationsReported_) {
    const Violation& v = violations_[violationsReported_];
    if (!v.expected) report += "request outside the ZM470's map: " + v.ToString() + "\n";
  }
  return report;
}

// --- Registers --------------------------------------------------------------------------------

uint8_t Zm470::Register(uint8_t reg) const {
  if (reg == reg::kModem) {
    // Bits 0-3: CTS, DSR, RI, DCD; bits 4-6: OUT1, DTR, RTS. Each 0 while asserted.
    uint8_t inputs = static_cast<uint8_t>((inputs_.cts ? 0 : 0x01) | (inputs_.dsr ? 0 : 0x02) |
                                          (inputs_.ri ? 0 : 0x04) | (inputs_.dcd ? 0 : 0x08));
    return static_cast<uint8_t>((modemControl_ & 0xF0) | inputs);
  }
  if (reg == reg::kTxStatus) {
    return static_cast<uint8_t>((regs_[reg] & 0xFE) | (TransmitterHoldsData() ? 1 : 0));
  }
  return regs_[reg];
}

void Zm470::PokeRegister(uint8_t reg, uint8_t value) { WriteRegister(reg, value); }

void Zm470::WriteRegister(uint8_t reg, uint8_t value) {
  switch (reg) {
    case reg::kModem:
      // The modem outputs are written here only by chips below 0x20; newer chips take them
      // through request 0xA4 and keep register 6 read-only.
      if (config_.revision < 0x20) SetModemControl(value);
      return;
    case reg::kTxStatus:
      return;  // status, read-only
    case reg::kBreakRelease:
      // Bit 1 is the receiver's framing-or-break status on 0x30 and up: a write (the host's
      // read-modify-write for a break) leaves it as the last line error set it.
      if (config_.revision >= 0x30) {
        value = static_cast<uint8_t>((value & ~reg::kFramingNotBreak) | (regs_[reg] & reg::kFramingNotBreak));
      }
      regs_[reg] = value;
      break;
    default:
      regs_[reg] = value;
      break;
  }
  if (reg == reg::kBreakRelease || reg == reg::kLineControl) UpdateBreak();
  if (reg == reg::kHandshake) transmitter_.Kick();
}

line::ModemOutputs Zm470::Outputs() const {
  line::ModemOutputs o;
  o.dtr = !(modemControl_ & kMcDtr);
  o.rts = !(modemControl_ & kMcRts);
  o.out1 = !(modemControl_ & kMcOut1);
  return o;
}

void Zm470::SetModemControl(uint8_t byte) {
  const line::ModemOutputs before = Outputs();
  modemControl_ = byte;
  const line::ModemOutputs after = Outputs();
  if (line_ && !(before == after)) line_->SetModemOutputs(after);
}

line::Frame Zm470::LineFrame() const {
  // Asked for every character sent and received: worked out again only when a register it
  // depends on has changed.
  const uint32_t key = uint32_t{regs_[reg::kPrescaler]} | uint32_t{regs_[reg::kDivisor]} << 8 |
                       uint32_t{regs_[reg::kLineControl]} << 16 | uint32_t{regs_[reg::kNinthBit]} << 24;
  if (!lineFrameKnown_ || lineFrameKey_ != key) {
    lineFrame_ = FrameOfRegisters();
    lineFrameKey_ = key;
    lineFrameKnown_ = true;
  }
  return lineFrame_;
}

line::Frame Zm470::FrameOfRegisters() const {
  line::Frame f;
  f.baud = static_cast<double>(zm470_uart::kClock[regs_[reg::kPrescaler] & 7]) /
           zm470_uart::DivisionFactor(regs_[reg::kDivisor]);

  const uint8_t lc = regs_[reg::kLineControl];
  if (config_.revision >= 0x30) {
    static const line::Parity kType[4] = {line::Parity::Odd, line::Parity::Even, line::Parity::Mark,
                                          line::Parity::Space};
    f.dataBits = static_cast<uint8_t>(zm470_uart::DataBits(lc));
    static const line::StopBits kStop[5] = {line::StopBits::One, line::StopBits::One, line::StopBits::One,
                                            line::StopBits::OnePointFive, line::StopBits::Two};
    f.stopBits = kStop[zm470_uart::StopHalfBits(lc)];
    f.parity = zm470_uart::ParityOn(lc) ? kType[zm470_uart::ParityType(lc)] : line::Parity::None;
  } else {
    // Eight data bits and one stop bit; register 0x18 bit 7 adds a ninth bit whose mode
    // register 0x25 selects (7 even, 6 odd, 5 mark, 4 space; 0 to 3 leave it off).
    f.dataBits = 8;
    f.stopBits = line::StopBits::One;
    f.parity = line::Parity::None;
    if (lc & 0x80) {
      switch (regs_[reg::kNinthBit] & 7) {
        case 7:
          f.parity = line::Parity::Even;
          break;
        case 6:
          f.parity = line::Parity::Odd;
          break;
        case 5:
          f.parity = line::Parity::Mark;
          break;
        case 4:
          f.parity = line::Parity::Space;
          break;
        default:
          break;
      }
    }
  }
  return f;
}

uint8_t Zm470::OutputHandshake() const {
  return config_.revision >= 0x30 ? static_cast<uint8_t>(regs_[reg::kHandshake] & 0x0B) : 0;
}

bool Zm470::BreakRequested() const {
  return !(regs_[reg::kBreakRelease] & 0x01) || !(regs_[reg::kLineControl] & 0x40);
}

// --- Initialisation (request 0xA1) --------------------------------------------------------------

void Zm470::Initialize(uint16_t value, uint16_t index) {
  const uint8_t flags = static_cast<uint8_t>(value);
  const uint8_t lineControl = static_cast<uint8_t>(value >> 8);
  const uint8_t low = static_cast<uint8_t>(index);
  const uint8_t divisor = static_cast<uint8_t>(index >> 8);
  const bool newFormat = config_.revision >= 0x30;
  ++initializations_;

  // wValue: flags in the low byte; the high byte carries register 0x18 whole (flag 0x80) or its
  // upper nibble (flag 0x01) and register 0x25's low nibble (flag 0x02).
  if (flags & 0x80) {
    regs_[reg::kLineControl] = lineControl;
  } else if (flags & 0x01) {
    regs_[reg::kLineControl] = lineControl & 0xF0;
  }
  if (flags & 0x02) regs_[reg::kNinthBit] = lineControl & 0x0F;
  // wIndex: the prescaler in bits 0-2 (and bit 7 on 0x30 and later) and register 0x2C's upper
  // five bits share the low byte; the divisor is the high byte. When both share bit 7 on a
  // newer chip, it belongs to the prescaler.
  if (flags & 0x04)
    regs_[reg::kPrescaler] = static_cast<uint8_t>((low & 0x07) | (newFormat ? low & 0x80 : 0));
  if (flags & 0x08) regs_[reg::kDivisor] = divisor;
  if (flags & 0x10) regs_[reg::kCharTiming] = low & ((newFormat && (flags & 0x04)) ? 0x78 : 0xF8);

  // The UART restarts: FIFOs emptied, pending line errors dropped, modem outputs deasserted,
  // break released through both of its bits (register 0x18 keeps a value the request carries).
  // Revision 0x25 sets register 5 bit 4 again, which its driver clears after every
  // initialisation.
  txFifo_.clear();
  rxFifo_.clear();
  lineStatus_ = 0;
  regs_[reg::kBreakRelease] |= 0x01;
  if (!(flags & 0x81)) regs_[reg::kLineControl] |= 0x40;
  if (config_.revision == 0x25) regs_[reg::kBreakRelease] |= 0x10;
  SetModemControl(static_cast<uint8_t>(modemControl_ | kMcOut1 | kMcDtr | kMcRts));
  UpdateBreak();
  TxStateChanged();
  if (outNaked_) NotifyRoomIfWanted();
}

// --- Auxiliary byte store -----------------------------------------------------------------------

std::vector<uint8_t> Zm470::AuxStatusBlock() {
  bool busy = false;
  if (auxActive_) {
    if (auxPollsLeft_ > 0 || clock_.Now() < auxDoneTime_) {
      busy = true;
      if (auxPollsLeft_ > 0 && auxPollsLeft_ != UINT32_MAX) --auxPollsLeft_;
    } else {
      // The access completes: bit 0 of the command byte selects a read.
      if (auxCommand_ & 1) {
        auxResult_ = aux_[auxAddress_];
      } else {
        aux_[auxAddress_] = auxData_;
        auxResult_ = auxData_;
      }
      auxActive_ = false;
    }
  }
  // Bytes 0-2 echo the access, byte 4 is the byte read, byte 5 bit 0 is busy.
  return {auxCommand_, auxAddress_, auxData_, 0, auxResult_, static_cast<uint8_t>(busy ? 1 : 0), 0, 0};
}

}  // namespace emu::zm470
