// A bridge whose every answer may be chosen by an attacker: a ZM470 chip behind a filter that
// reads, for each control transfer and each token on the chosen endpoints, what to do from a byte
// script -- let the chip answer, answer with bytes of any length and content, cut or corrupt the
// chip's answer, stall, NAK, or pull the device off the bus in the middle of the transfer. Once
// the script runs out the chip answers everything, so every run ends in sane behaviour. The same
// script gives the same answers, so a run is reproducible from its script alone.
//
// Until Arm() the chip answers alone (the hub's enumeration at plug time). The chip still sees
// every request the filter passes on, so its state (configuration, registers, FIFOs) follows the
// host's requests; requests outside its map are expected here and never reported.
//
// Script format, one choice per event on a hostile channel (o = a byte, taken modulo 8):
//   control transfer  0,6,7 chip   1 chip's answer resized to U16 % 1024 bytes, the added bytes
//                     from the script   2 chip handles it, answer replaced by (o) bytes from the
//                     script   3 stall   4 chip's answer with the byte at (o) replaced by (o)
//                     5 disconnect (stall, then the device leaves the bus)
//   IN token          0,6,7 chip   1 NAK   2 chip's packet (if any) replaced by (o) bytes from
//                     the script, at most the packet size   3 stall   4 chip's packet with the
//                     byte at (o) replaced by (o)   5 disconnect (NAK, then gone)
//   OUT packet        0,4,6,7 chip   1 NAK   2 stall   3 acknowledged and dropped   5 disconnect
// A NAK chosen by the script is followed by activity one frame later, so the host comes back.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "line/clock.h"
#include "usbhost/usb_device.h"
#include "zm470/byte_script.h"
#include "zm470/zm470.h"

namespace emu::zm470 {

// What the script may take over.
namespace hostile {
constexpr uint32_t kControl = 1;      // the default pipe: descriptors, vendor requests
constexpr uint32_t kInterruptIn = 2;  // status reports
constexpr uint32_t kBulkIn = 4;       // received data
constexpr uint32_t kBulkOut = 8;      // data to transmit
constexpr uint32_t kAll = 15;
}  // namespace hostile

class HostileBridge final : public usb::UsbDevice {
 public:
  // `script` must stay valid while the bridge answers. `clock` nullptr: the current emulated
  // kernel's clock.
  HostileBridge(std::span<const uint8_t> script, uint32_t channels, Config config = {},
                line::Clock* clock = nullptr);
  ~HostileBridge() override;
  HostileBridge(const HostileBridge&) = delete;
  HostileBridge& operator=(const HostileBridge&) = delete;

  // From now on the script chooses the answers; `disconnect` pulls the bridge off its bus (run
  // from a device event of its own, e.g. UsbPort::Unplug).
  void Arm(std::function<void()> disconnect) {
    disconnect_ = std::move(disconnect);
    armed_ = true;
  }
  // While the script is exhausted, appends to `out` the script that makes the same answers
  // (seed inputs recorded from a sound chip).
  void RecordInto(std::vector<uint8_t>* out) { record_ = out; }

  Zm470& Chip() { return chip_; }
  const ByteScript& Script() const { return script_; }
  // Answers the script chose (anything but "chip") and disconnects it caused.
  uint64_t HostileAnswers() const { return hostileAnswers_; }
  bool Disconnected() const { return disconnected_; }

  usb::ControlReply Control(const usb::SetupPacket& setup, std::span<const uint8_t> out) override;
  usb::Handshake In(uint8_t address, std::span<uint8_t> buf, size_t& length) override;
  usb::Handshake Out(uint8_t address, std::span<const uint8_t> packet) override;
  void BusReset() override { chip_.BusReset(); }
  void PowerCycle() override { chip_.PowerCycle(); }

 private:
  uint32_t ChannelOf(uint8_t address) const;
  // The next choice for an event on `channel`, or nullopt when the chip answers plainly.
  std::optional<uint8_t> Choose(uint32_t channel);
  void Disconnect();
  void ComeBackSoon();
  void RecordControl(const usb::ControlReply& reply);
  void RecordIn(usb::Handshake handshake, std::span<const uint8_t> packet);

  Zm470 chip_;
  std::optional<Zm470::Expectation> anyRequest_;  // after the chip: ends first
  ByteScript script_;
  uint32_t channels_;
  line::Clock& clock_;
  line::LifetimeGuard guard_;
  std::function<void()> disconnect_;
  bool armed_ = false;
  std::vector<uint8_t>* record_ = nullptr;
  bool disconnected_ = false;
  uint64_t hostileAnswers_ = 0;
};

}  // namespace emu::zm470
