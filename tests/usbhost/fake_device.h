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

struct FakeDeviceOptions {
  uint16_t vendor = 0x1234;
  uint16_t product = 0x5678;
  uint8_t maxPacket0 = 8;
  uint8_t maxPower = 0x32;
  std::string serial = "FAKE0001";
  std::vector<FakeEndpoint> endpoints = {{0x81, 3, 8, 4}, {0x82, 2, 64, 0}, {0x02, 2, 64, 0}};
};

class FakeDevice : public UsbDevice {
 public:
  using Options = FakeDeviceOptions;

  explicit FakeDevice(Options options = {}) : options_(std::move(options)) {}

  std::vector<uint8_t> DeviceDescriptor() const {
    return {18,
            1,
            0x10,
            0x01,
            0xFF,
            0x00,
            0x00,
            options_.maxPacket0,
            static_cast<uint8_t>(options_.vendor),
            static_cast<uint8_t>(options_.vendor >> 8),
            static_cast<uint8_t>(options_.product),
            static_cast<uint8_t>(options_.product >> 8),
            0x00,
            0x01,
            0,
            0,
            static_cast<uint8_t>(options_.serial.empty() ? 0 : 3),
            1};
  }

  std::vector<uint8_t> ConfigurationDescriptor() const {
    std::vector<uint8_t> d = {9,
                              2,
                              0,
                              0,
                              1,
                              1,
                              0,
                              0x80,
                              options_.maxPower,
                              9,
                              4,
                              0,
                              0,
                              static_cast<uint8_t>(options_.endpoints.size()),
                              0xFF,
                              0,
                              0,
                              0};
    for (const FakeEndpoint& e : options_.endpoints) {
      d.insert(d.end(), {7, 5, e.address, e.attributes, static_cast<uint8_t>(e.maxPacket),
                         static_cast<uint8_t>(e.maxPacket >> 8), e.interval});
    }
    d[2] = static_cast<uint8_t>(d.size());
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
  }

  // --- UsbDevice --------------------------------------------------------------------------
  ControlReply Control(const SetupPacket& setup, std::span<const uint8_t> out) override {
    controls.push_back({setup, std::vector<uint8_t>(out.begin(), out.end())});
    uint8_t type = (setup.bmRequestType >> 5) & 3;
    if (type == 0) return Standard(setup);
    if (vendor) return vendor(setup, out);
    return {true, {}};
  }

  Handshake In(uint8_t address, std::span<uint8_t> buf, size_t& length) override {
    ++inTokens[address];
    if (halted[address]) return Handshake::Stall;
    auto& q = inData[address];
    if (q.empty()) return Handshake::Nak;
    std::vector<uint8_t>& packet = q.front();
    length = std::min(buf.size(), packet.size());
    std::copy(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(length), buf.begin());
    q.pop_front();
    return Handshake::Ack;
  }

  Handshake Out(uint8_t address, std::span<const uint8_t> packet) override {
    ++outTokens[address];
    if (halted[address]) return Handshake::Stall;
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
  void Activity() { NotifyActivity(); }

  struct ControlCall {
    SetupPacket setup;
    std::vector<uint8_t> out;
  };
  std::vector<ControlCall> controls;
  std::function<ControlReply(const SetupPacket&, std::span<const uint8_t>)> vendor;
  std::map<uint8_t, std::deque<std::vector<uint8_t>>> inData;
  std::map<uint8_t, std::vector<uint8_t>> outData;
  std::map<uint8_t, uint32_t> inTokens, outTokens, outPackets;
  std::map<uint8_t, bool> halted;
  size_t outCapacity = SIZE_MAX;
  uint8_t configuration = 0;
  uint32_t resets = 0;

 private:
  ControlReply Standard(const SetupPacket& s) {
    switch (s.bRequest) {
      case 0x06: {  // GET_DESCRIPTOR
        uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
        if (type == 1) return {false, DeviceDescriptor()};
        if (type == 2) return {false, ConfigurationDescriptor()};
        if (type == 3 && (s.wValue & 0xFF) == 3 && !options_.serial.empty()) {
          std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * options_.serial.size()), 3};
          for (char c : options_.serial) d.insert(d.end(), {static_cast<uint8_t>(c), 0});
          return {false, d};
        }
        return {true, {}};
      }
      case 0x09:  // SET_CONFIGURATION
        configuration = static_cast<uint8_t>(s.wValue);
        return {false, {}};
      case 0x00:  // GET_STATUS
        return {false, {0x01, 0x00}};
      case 0x01:  // CLEAR_FEATURE
        if (s.bmRequestType == 0x02 && s.wValue == 0) halted[static_cast<uint8_t>(s.wIndex)] = false;
        return {false, {}};
      case 0x03:  // SET_FEATURE
        if (s.bmRequestType == 0x02 && s.wValue == 0) halted[static_cast<uint8_t>(s.wIndex)] = true;
        return {false, {}};
      default:
        return {true, {}};
    }
  }

  Options options_;
};

}  // namespace emu::usb::testing
