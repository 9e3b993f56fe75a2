#include "zm470/hostile_bridge.h"

#include <algorithm>

namespace emu::zm470 {

HostileBridge::HostileBridge(std::span<const uint8_t> script, uint32_t channels, Config config,
                             line::Clock* clock)
    : chip_(std::move(config), clock),
      script_(script),
      channels_(channels),
      clock_(clock != nullptr ? *clock : line::Clock::Kernel()) {
  anyRequest_.emplace(chip_.ExpectViolations());
}

HostileBridge::~HostileBridge() = default;

uint32_t HostileBridge::ChannelOf(uint8_t address) const {
  for (const EndpointDescriptor& ep : chip_.GetConfig().endpoints) {
    if (ep.address != address) continue;
    if (ep.attributes == 3) return hostile::kInterruptIn;
    return (address & 0x80) ? hostile::kBulkIn : hostile::kBulkOut;
  }
  // An endpoint the chip does not have: whatever the script makes of it.
  return (address & 0x80) ? hostile::kBulkIn : hostile::kBulkOut;
}

std::optional<uint8_t> HostileBridge::Choose(uint32_t channel) {
  if (!armed_ || disconnected_ || (channels_ & channel) == 0 || script_.Exhausted()) return std::nullopt;
  const uint8_t choice = script_.Byte() % 8;
  if (choice == 0 || choice >= 6) return std::nullopt;
  ++hostileAnswers_;
  return choice;
}

void HostileBridge::Disconnect() {
  disconnected_ = true;
  // The host hears of it from a device event of its own, never from inside a call it makes.
  if (disconnect_) clock_.Schedule(clock_.Now(), guard_.Guard(disconnect_));
}

void HostileBridge::ComeBackSoon() {
  clock_.Schedule(clock_.Now() + kMillisecond, guard_.Guard([this] { NotifyActivity(); }));
}

usb::ControlReply HostileBridge::Control(const usb::SetupPacket& setup, std::span<const uint8_t> out) {
  const std::optional<uint8_t> choice = Choose(hostile::kControl);
  if (!choice) {
    usb::ControlReply reply = chip_.Control(setup, out);
    if (armed_ && script_.Exhausted()) RecordControl(reply);
    return reply;
  }
  switch (*choice) {
    case 1: {
      usb::ControlReply reply = chip_.Control(setup, out);
      const size_t length = script_.U16() % 1024;
      const size_t kept = std::min(length, reply.data.size());
      reply.data.resize(kept);
      std::vector<uint8_t> added = script_.Bytes(length - kept);
      added.resize(length - kept, 0);
      reply.data.insert(reply.data.end(), added.begin(), added.end());
      reply.stall = false;
      return reply;
    }
    case 2: {
      (void)chip_.Control(setup, out);
      return usb::ControlReply{false, script_.Bytes(script_.Byte())};
    }
    case 3:
      return usb::ControlReply{true, {}};
    case 4: {
      usb::ControlReply reply = chip_.Control(setup, out);
      const uint8_t at = script_.Byte();
      const uint8_t value = script_.Byte();
      if (!reply.data.empty()) reply.data[at % reply.data.size()] = value;
      return reply;
    }
    default:
      Disconnect();
      return usb::ControlReply{true, {}};
  }
}

usb::Handshake HostileBridge::In(uint8_t address, std::span<uint8_t> buf, size_t& length) {
  length = 0;
  const std::optional<uint8_t> choice = Choose(ChannelOf(address));
  if (!choice) {
    const usb::Handshake h = chip_.In(address, buf, length);
    if (armed_ && script_.Exhausted() && (channels_ & ChannelOf(address)) != 0)
      RecordIn(h, buf.first(h == usb::Handshake::Ack ? length : 0));
    return h;
  }
  switch (*choice) {
    case 1:
      ComeBackSoon();
      return usb::Handshake::Nak;
    case 2: {
      size_t ignored = 0;
      (void)chip_.In(address, buf, ignored);
      const std::vector<uint8_t> packet = script_.Bytes(std::min<size_t>(script_.Byte(), buf.size()));
      std::copy(packet.begin(), packet.end(), buf.begin());
      length = packet.size();
      return usb::Handshake::Ack;
    }
    case 3:
      return usb::Handshake::Stall;
    case 4: {
      const usb::Handshake h = chip_.In(address, buf, length);
      const uint8_t at = script_.Byte();
      const uint8_t value = script_.Byte();
      if (h == usb::Handshake::Ack && length > 0) buf[at % length] = value;
      return h;
    }
    default:
      Disconnect();
      return usb::Handshake::Nak;
  }
}

usb::Handshake HostileBridge::Out(uint8_t address, std::span<const uint8_t> packet) {
  const std::optional<uint8_t> choice = Choose(ChannelOf(address));
  switch (choice.value_or(0)) {
    case 1:
      ComeBackSoon();
      return usb::Handshake::Nak;
    case 2:
      return usb::Handshake::Stall;
    case 3:
      return usb::Handshake::Ack;
    case 5:
      Disconnect();
      return usb::Handshake::Nak;
    default: {
      const usb::Handshake h = chip_.Out(address, packet);
      if (armed_ && script_.Exhausted() && record_ != nullptr && (channels_ & ChannelOf(address)) != 0)
        record_->push_back(0);
      return h;
    }
  }
}

void HostileBridge::RecordControl(const usb::ControlReply& reply) {
  if (record_ == nullptr || (channels_ & hostile::kControl) == 0) return;
  if (reply.stall) {
    record_->push_back(3);
  } else if (reply.data.size() <= 255) {
    record_->push_back(2);
    record_->push_back(static_cast<uint8_t>(reply.data.size()));
    record_->insert(record_->end(), reply.data.begin(), reply.data.end());
  } else {
    record_->push_back(0);
  }
}

void HostileBridge::RecordIn(usb::Handshake handshake, std::span<const uint8_t> packet) {
  if (record_ == nullptr) return;
  switch (handshake) {
    case usb::Handshake::Ack:
      record_->push_back(2);
      record_->push_back(static_cast<uint8_t>(packet.size()));
      record_->insert(record_->end(), packet.begin(), packet.end());
      break;
    case usb::Handshake::Nak:
      record_->push_back(0);  // the chip again: it still has nothing to say
      break;
    case usb::Handshake::Stall:
      record_->push_back(3);
      break;
  }
}

}  // namespace emu::zm470
