// Drives a ZM470 model directly through its USB device interface on a clock of its own.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "line/clock.h"
#include "line/far_ends.h"
#include "zm470/zm470.h"

namespace zm470_test {

using emu::usb::ControlReply;
using emu::usb::Handshake;
using emu::usb::SetupPacket;
using emu::zm470::Config;
using emu::zm470::Zm470;

class ChipTest : public ::testing::Test {
 protected:
  emu::line::ManualClock clock;
  std::unique_ptr<Zm470> chip;
  int activity = 0;

  Zm470& Make(Config config = {}) {
    chip = std::make_unique<Zm470>(std::move(config), &clock);
    chip->SetActivityCallback([this] { ++activity; });
    return *chip;
  }
  Zm470& MakeConfigured(Config config = {}) {
    Make(std::move(config));
    EXPECT_FALSE(Std(0x00, 9, 1).stall) << "SET_CONFIGURATION 1 was refused";
    return *chip;
  }

  ControlReply Std(uint8_t type, uint8_t request, uint16_t value, uint16_t index = 0, uint16_t length = 0) {
    return chip->Control(SetupPacket{type, request, value, index, length}, {});
  }
  ControlReply VendorIn(uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    return chip->Control(SetupPacket{0xC0, request, value, index, length}, {});
  }
  ControlReply VendorOut(uint8_t request, uint16_t value, uint16_t index) {
    return chip->Control(SetupPacket{0x40, request, value, index, 0}, {});
  }
  // Register pair read as the driver issues it; expects a 2-byte answer.
  std::pair<uint8_t, uint8_t> ReadPair(uint8_t a, uint8_t b) {
    ControlReply r = VendorIn(0x95, static_cast<uint16_t>(a | b << 8), 0, 2);
    EXPECT_FALSE(r.stall) << "register read 0x95 stalled";
    EXPECT_EQ(r.data.size(), 2u);
    if (r.data.size() < 2) return {0, 0};
    return {r.data[0], r.data[1]};
  }
  void WritePair(uint8_t a, uint8_t va, uint8_t b, uint8_t vb) {
    EXPECT_FALSE(
        VendorOut(0x9A, static_cast<uint16_t>(a | b << 8), static_cast<uint16_t>(va | vb << 8)).stall)
        << "register write 0x9A stalled";
  }
  Handshake SendBulk(const std::vector<uint8_t>& bytes) { return chip->Out(0x02, bytes); }
  std::vector<uint8_t> ReadBulk(size_t max = 32) {
    std::vector<uint8_t> buf(max);
    size_t n = 0;
    if (chip->In(0x82, buf, n) != Handshake::Ack) return {};
    buf.resize(n);
    return buf;
  }
  // One interrupt-in token; empty when the endpoint NAKs.
  std::vector<uint8_t> ReadReport() {
    std::vector<uint8_t> buf(8);
    size_t n = 0;
    if (chip->In(0x81, buf, n) != Handshake::Ack) return {};
    buf.resize(n);
    return buf;
  }
};

}  // namespace zm470_test
