// The contract between the emulated USB host controller and a device model (such as the ZM470
// chip). The host owns timing, packets, URBs and faults; the device only answers packets.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace emu::usb {

struct SetupPacket {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};

// The device's answer to one control transfer.
struct ControlReply {
  bool stall = false;
  std::vector<uint8_t> data;  // IN data stage (the host truncates it to wLength)
};

// The device's answer to one IN or OUT token on a bulk or interrupt endpoint.
enum class Handshake { Ack, Nak, Stall };

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // Standard, class and vendor requests on the default pipe. For an OUT request `out` holds the
  // data stage. Called once per control transfer, at the virtual time its status stage ends.
  virtual ControlReply Control(const SetupPacket& setup, std::span<const uint8_t> out) = 0;

  // One IN token on endpoint `address` (0x81, 0x82, ...): the device fills at most buf.size()
  // bytes (the endpoint's wMaxPacketSize) and sets `length`; Nak when it has nothing to send.
  virtual Handshake In(uint8_t address, std::span<uint8_t> buf, size_t& length) = 0;

  // One OUT data packet on endpoint `address`: Ack takes the whole packet, Nak refuses it (the
  // host retries later).
  virtual Handshake Out(uint8_t address, std::span<const uint8_t> packet) = 0;

  // Bus reset or port reset: the device returns to its default (unconfigured) state.
  virtual void BusReset() {}
  // Bus power removed and restored (the machine hibernated or shut down): the device starts over
  // from its power-on state, unconfigured.
  virtual void PowerCycle() { BusReset(); }

  // The host installs this; the device calls it whenever an endpoint that Nak'ed may now Ack
  // (data arrived for an IN endpoint, room appeared for an OUT endpoint), so that the host
  // need not poll idle endpoints every frame.
  // `listening` tells whether any endpoint is waiting for such a call now; a device may skip
  // notifications nobody waits for (an endpoint that has not Nak'ed is polled anyway).
  void SetActivityCallback(std::function<void()> cb, std::function<bool()> listening = {}) {
    activity_ = std::move(cb);
    listening_ = std::move(listening);
  }

 protected:
  void NotifyActivity() {
    if (activity_) activity_();
  }
  bool HostListening() const { return !listening_ || listening_(); }

 private:
  std::function<void()> activity_;
  std::function<bool()> listening_;
};

}  // namespace emu::usb
