// A configurable USB device for the host tests: standard descriptors, vendor requests answered by
// a test-supplied function, IN endpoints fed from a queue, OUT endpoints with a finite sink.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "usbhost/usb_device.h"

namespace emu::usb::testing {

struct FakeEndpoint {
  uint8_t address;
  uint8_t attributes;  // 2 bulk, 3 interrupt
  uint16_t maxPacket;
  uint8_t interval;
};

// Vendor 0x1234, product 0x5678, bMaxPacketSize0 8.
struct FakeDeviceOptions {
  std::string serial = "FAKE0001";
  std::vector<FakeEndpoint> endpoints = {{0x81, 3, 8, 4}, {0x82, 2, 64, 0}, {0x02, 2, 64, 0}};
};

class FakeDevice : public UsbDevice {
 public:
  using Options = FakeDeviceOptions;

  explicit FakeDevice(Options options = {}) : o_(std::move(options)) {}

  std::vector<uint8_t> DeviceDescriptor() const {
    return {18, 1, 0x10, 0x01, 0xFF, 0, 0, 8, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, SerialIndex(), 1};
  }

  std::vector<uint8_t> ConfigurationDescriptor() const {
    const auto endpoints = static_cast<uint8_t>(o_.endpoints.size());
    std::vector<uint8_t> d = {9, 2, 0, 0, 1, 1, 0, 0x80, 0x32, 9, 4, 0, 0, endpoints, 0xFF, 0, 0, 0};
    for (const FakeEndpoint& e : o_.endpoints) {
      d.insert(d.end(), {7, 5, e.address, e.attributes, Lo(e.maxPacket), Hi(e.maxPacket), e.interval});
    }
    d[2] = Lo(static_cast<uint16_t>(d.size()));
    d[3] = Hi(static_cast<uint16_t>(d.size()));
    return d;
  }

  // --- UsbDevice --------------------------------------------------------------------------
  ControlReply Control(const SetupPacket& setup, std::span<const uint8_t> out) override {
    controls.push_back({setup, std::vector<uint8_t>(out.begin(), out.end())});
    if (((setup.bmRequestType >> 5) & 3) == 0) return Standard(setup);
    return vendor(setup, out);
  }

  Handshake In(uint8_t address, std::span<uint8_t> buf, size_t& length) override {
    ++inTokens[address];
    auto& q = inData[address];
    if (q.empty()) return Handshake::Nak;
    length = std::min(buf.size(), q.front().size());
    std::copy_n(q.front().begin(), length, buf.begin());
    q.pop_front();
    return Handshake::Ack;
  }

  Handshake Out(uint8_t address, std::span<const uint8_t> packet) override {
    auto& sink = outData[address];
    if (sink.size() + packet.size() > outCapacity) return Handshake::Nak;
    sink.insert(sink.end(), packet.begin(), packet.end());
    ++outPackets[address];
    return Handshake::Ack;
  }

  void BusReset() override {
    ++resets;
    configuration = 0;
  }

  // --- Test controls --------------------------------------------------------------------------
  // Queues one IN packet (at most wMaxPacketSize bytes are taken) and tells the host.
  void QueueIn(uint8_t address, std::vector<uint8_t> packet) {
    inData[address].push_back(std::move(packet));
    NotifyActivity();
  }
  // Empties an OUT sink, making room again.
  std::vector<uint8_t> TakeOut(uint8_t address) {
    std::vector<uint8_t> r;
    r.swap(outData[address]);
    NotifyActivity();
    return r;
  }

  struct ControlCall {
    SetupPacket setup;
    std::vector<uint8_t> out;
  };
  std::vector<ControlCall> controls;
  // Answers vendor and class requests; by default with the two bytes 0xAB 0xCD.
  std::function<ControlReply(const SetupPacket&, std::span<const uint8_t>)> vendor =
      [](const SetupPacket&, std::span<const uint8_t>) {
        return ControlReply{false, {0xAB, 0xCD}};
      };
  std::map<uint8_t, std::deque<std::vector<uint8_t>>> inData;
  std::map<uint8_t, std::vector<uint8_t>> outData;
  std::map<uint8_t, uint32_t> inTokens, outPackets;
  size_t outCapacity = SIZE_MAX;
  uint8_t configuration = 0;
  uint32_t resets = 0;

 private:
  uint8_t SerialIndex() const { return o_.serial.empty() ? 0 : 3; }
  static uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v); }
  static uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

  ControlReply Standard(const SetupPacket& s) {
    if (s.bRequest == 0x09) configuration = Lo(s.wValue);                           // SET_CONFIGURATION
    if (s.bRequest == 0x00) return {false, {0x01, 0x00}};                           // GET_STATUS
    if (s.bRequest == 0x01 || s.bRequest == 0x03 || s.bRequest == 0x09) return {};  // features, configuration
    if (s.bRequest != 0x06) return {true, {}};  // GET_DESCRIPTOR from here
    if (s.wValue == 0x0100) return {false, DeviceDescriptor()};
    if (s.wValue == 0x0200) return {false, ConfigurationDescriptor()};
    if (s.wValue != 0x0303 || o_.serial.empty()) return {true, {}};
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * o_.serial.size()), 3};
    for (char c : o_.serial) d.insert(d.end(), {static_cast<uint8_t>(c), 0});
    return {false, d};
  }

  Options o_;
};

}  // namespace emu::usb::testing
