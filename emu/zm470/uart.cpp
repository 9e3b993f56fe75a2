// The ZM470's UART engine: bulk endpoints and FIFOs, the transmitter and receiver on the serial
// line, modem lines, breaks and the interrupt-in status report.
#include <algorithm>

#include "zm470/zm470.h"

namespace emu::zm470 {

namespace {

constexpr uint8_t kEpInterruptIn = 0x81;
constexpr uint8_t kEpBulkIn = 0x82;
constexpr uint8_t kEpBulkOut = 0x02;

}  // namespace

// --- Endpoints -------------------------------------------------------------------------------

usb::Handshake Zm470::In(uint8_t address, std::span<uint8_t> buf, size_t& length) {
  length = 0;
  Endpoint* ep = FindEndpoint(address);
  if (!ep || !(address & 0x80) || configuration_ == 0 || ep->halted) return usb::Handshake::Stall;

  if (address == kEpInterruptIn) {
    // Chips below 0x20 have no status report: their host polls registers 6 and 7 instead, and
    // the endpoint, where the descriptors list one, NAKs every token.
    if (config_.revision < 0x20) return usb::Handshake::Nak;
    if (!reportPending_ && !config_.interruptReportsEveryPoll) return usb::Handshake::Nak;
    // Report: byte 0 line status, byte 1 unused, byte 2 register 6 (modem inputs active low in
    // bits 0-3), byte 3 bit 0 transmitter holds data; any further bytes 0.
    const uint8_t report[4] = {lineStatus_, 0, Register(reg::kModem),
                               static_cast<uint8_t>(TransmitterHoldsData() ? 1 : 0)};
    length = std::min(config_.interruptReportLength, buf.size());
    for (size_t i = 0; i < length; ++i) buf[i] = i < 4 ? report[i] : 0;
    lineStatus_ = 0;
    reportPending_ = false;
    return usb::Handshake::Ack;
  }

  if (address == kEpBulkIn) {
    if (rxFifo_.empty()) return usb::Handshake::Nak;
    // A packet never exceeds the endpoint's wMaxPacketSize, whatever room the host offers.
    const size_t packet = std::min<size_t>(buf.size(), ep->desc.maxPacketSize);
    if (HoldForQuietLine(packet)) return usb::Handshake::Nak;
    length = std::min(packet, rxFifo_.size());
    for (size_t i = 0; i < length; ++i) {
      buf[i] = rxFifo_.front();
      rxFifo_.pop_front();
    }
    bytesToHost_ += length;
    return usb::Handshake::Ack;
  }
  return usb::Handshake::Stall;
}

usb::Handshake Zm470::Out(uint8_t address, std::span<const uint8_t> packet) {
  Endpoint* ep = FindEndpoint(address);
  if (!ep || (address & 0x80) || configuration_ == 0 || ep->halted || address != kEpBulkOut) {
    return usb::Handshake::Stall;
  }
  if (packet.size() > config_.txFifoDepth - txFifo_.size()) {
    outNaked_ = true;
    return usb::Handshake::Nak;
  }
  txFifo_.insert(txFifo_.end(), packet.begin(), packet.end());
  bytesFromHost_ += packet.size();
  transmitter_.Kick();
  TxStateChanged();
  return usb::Handshake::Ack;
}

VirtualTime Zm470::QuietTime() const { return VirtualTime(regs_[reg::kCharTiming]) * 2560; }

bool Zm470::HoldForQuietLine(size_t packet) const {
  return config_.bulkInWaitsForQuietLine && rxFifo_.size() < packet && QuietTime() != 0 &&
         clock_.Now() < lastRxTime_ + QuietTime();
}

bool Zm470::RoomForPacket() const {
  const Endpoint* ep = FindEndpoint(kEpBulkOut);
  const size_t packet = std::min<size_t>(ep ? ep->desc.maxPacketSize : 1, config_.txFifoDepth);
  return config_.txFifoDepth - txFifo_.size() >= packet;
}

void Zm470::NotifyRoomIfWanted() {
  if (!outNaked_ || !RoomForPacket()) return;
  outNaked_ = false;
  NotifySoon();
}

void Zm470::NotifySoon() {
  // The host hears of activity from a device event of its own, never from inside a call it is
  // making into the chip; several reasons in one instant make one notification, and none is
  // made while no endpoint waits for one.
  if (notifyScheduled_ || !HostListening()) return;
  notifyScheduled_ = true;
  clock_.Schedule(clock_.Now(), guard_.Guard([this] {
    notifyScheduled_ = false;
    NotifyActivity();
  }));
}

// --- Transmitter -------------------------------------------------------------------------------

bool Zm470::TransmitterHoldsData() const { return !txFifo_.empty() || transmitter_.Busy(); }

bool Zm470::HandshakeHolds() const {
  const uint8_t h = OutputHandshake();
  return ((h & 0x01) && !inputs_.cts) || ((h & 0x02) && !inputs_.dsr) || ((h & 0x08) && !inputs_.dcd);
}

std::optional<line::LineCharacter> Zm470::NextToTransmit() {
  // A break holds the FIFO: bytes written during a break go out after it.
  if (txFifo_.empty() || breakOnWire_ || BreakRequested() || HandshakeHolds()) return std::nullopt;
  line::LineCharacter c = line::LineCharacter::Of(txFifo_.front(), LineFrame());
  txFifo_.pop_front();
  // Room for another bulk-out packet may have appeared.
  if (outNaked_ && RoomForPacket()) {
    outNaked_ = false;
    NotifySoon();
  }
  return c;
}

void Zm470::Transmitted(const line::LineCharacter& c) {
  if (line_) line_->Transmit(c);
  UpdateBreak();
  TxStateChanged();
}

void Zm470::UpdateBreak() {
  const bool want = BreakRequested();
  if (want == breakOnWire_) return;
  // A break starts once the character on the wire has ended (Transmitted calls back here).
  if (want && transmitter_.Busy()) return;
  breakOnWire_ = want;
  if (line_) line_->SetBreak(want);
  if (!want) transmitter_.Kick();
}

void Zm470::TxStateChanged() {
  const bool busy = TransmitterHoldsData();
  if (busy == lastTxBusy_) return;
  lastTxBusy_ = busy;
  // The report announces the transmitter running empty (what transmit-toggle waits for).
  if (!busy) RaiseReport();
}

// --- Receiver and modem inputs ---------------------------------------------------------------------

void Zm470::OnReceive(const line::LineCharacter& c) {
  lastRxTime_ = clock_.Now();
  std::optional<line::ReceivedCharacter> r = line::Sample(c, ReceiveFrame());
  if (!r) return;
  if (rxFifo_.size() >= config_.rxFifoDepth) {
    lineStatus_ |= line_status::kOverrun;  // the character is lost
    RaiseReport();
    return;
  }
  rxFifo_.push_back(r->data);
  if (r->framingError || r->parityError) ReceiveError(r->framingError, r->parityError, false);
  const Endpoint* ep = FindEndpoint(kEpBulkIn);
  if (!HoldForQuietLine(ep ? ep->desc.maxPacketSize : 1)) {
    NotifySoon();
    return;
  }
  // Tell the host once the line has stayed quiet for the time-out.
  const VirtualTime quiet = lastRxTime_ + QuietTime();
  clock_.Schedule(quiet, guard_.Guard([this, quiet] {
    if (lastRxTime_ + QuietTime() <= quiet) NotifySoon();
  }));
}

void Zm470::OnBreak(bool on) {
  if (on) {
    rxBreak_ = true;
    rxBreakReported_ = false;
    const uint64_t serial = ++rxBreakSerial_;
    // A space that lasts a whole character time is a break; a shorter one is a 0x00 character
    // whose stop bit is missing.
    clock_.Schedule(clock_.Now() + ReceiveFrame().CharacterTime(), guard_.Guard([this, serial] {
      if (!rxBreak_ || serial != rxBreakSerial_ || rxBreakReported_) return;
      rxBreakReported_ = true;
      ReceiveError(false, false, true);
    }));
    return;
  }
  if (!rxBreak_) return;
  rxBreak_ = false;
  ++rxBreakSerial_;
  if (rxBreakReported_) return;
  lastRxTime_ = clock_.Now();
  if (rxFifo_.size() >= config_.rxFifoDepth) {
    lineStatus_ |= line_status::kOverrun;
    RaiseReport();
    return;
  }
  rxFifo_.push_back(0x00);
  ReceiveError(true, false, false);
}

void Zm470::ReceiveError(bool framing, bool parity, bool isBreak) {
  if (config_.revision >= 0x30 && (framing || isBreak)) {
    // Framing error and break are told apart through register 5 bit 1.
    lineStatus_ |= line_status::kReceiveError | line_status::kClassifyByRegister5;
    if (framing) {
      regs_[reg::kBreakRelease] |= reg::kFramingNotBreak;
    } else {
      regs_[reg::kBreakRelease] &= static_cast<uint8_t>(~reg::kFramingNotBreak);
    }
  } else if (framing || parity || isBreak) {
    lineStatus_ |= line_status::kReceiveError;
  }
  RaiseReport();
}

void Zm470::OnModemInputs(const line::ModemInputs& inputs) {
  if (inputs == inputs_) return;
  inputs_ = inputs;
  RaiseReport();
  transmitter_.Kick();  // an output handshake may release the transmitter
}

void Zm470::AttachLine(line::SerialLine* line) {
  if (line_) line_->Attach(nullptr);
  line_ = line;
  line::ModemInputs inputs;
  if (line_) {
    line_->Attach(this);
    line_->SetModemOutputs(Outputs());
    if (breakOnWire_) line_->SetBreak(true);
    inputs = line_->CurrentInputs();
  }
  OnModemInputs(inputs);
}

void Zm470::OnUnplugged() {
  line_ = nullptr;
  rxBreak_ = false;
  OnModemInputs(line::ModemInputs{});
}

// --- Interrupt reports ---------------------------------------------------------------------------

void Zm470::RaiseReport() {
  // Below 0x20 nothing is reported; the line-status bits stay pending where no host sees them.
  if (config_.revision >= 0x20) reportPending_ = true;
  NotifySoon();
}

void Zm470::InjectLineStatus(uint8_t bits) {
  lineStatus_ |= bits;
  RaiseReport();
}

}  // namespace emu::zm470
