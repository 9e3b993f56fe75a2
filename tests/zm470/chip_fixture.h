// Drives a ZM470 model directly through its USB device interface on a clock of its own.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "line/clock.h"
#include "line/far_ends.h"
#include "zm470/zm470.h"

namespace zm470_test {

using emu::VirtualTime;
using emu::usb::ControlReply;
using emu::usb::Handshake;
using emu::usb::SetupPacket;
using emu::zm470::Config;
using emu::zm470::Zm470;
using Bytes = std::vector<uint8_t>;

inline Config Rev(uint8_t revision) {
  Config c;
  c.revision = revision;
  return c;
}

class ChipTest : public ::testing::Test {
 protected:
  static constexpr double kDefaultBaud = 750000.0 / 78;  // a new chip's rate, 8N1

  emu::line::ManualClock clock;
  std::unique_ptr<emu::line::ScriptedPeer> peer;  // declared before the chip, which detaches from it
  std::unique_ptr<Zm470> chip;
  int activity = 0;

  void TearDown() override { CheckViolations(); }
  // Fails the test with the requests outside the chip's map that it did not declare expected.
  // Runs whenever a chip goes away.
  void CheckViolations() {
    if (!chip) return;
    const std::string report = chip->TakeViolationReport();
    if (!report.empty()) ADD_FAILURE() << report;
  }

  Zm470& Make(Config config = {}) {
    CheckViolations();
    chip = std::make_unique<Zm470>(std::move(config), &clock);
    chip->SetActivityCallback([this] { ++activity; });
    return *chip;
  }
  Zm470& MakeConfigured(Config config = {}) {
    Make(std::move(config));
    EXPECT_FALSE(Std(0x00, 9, 1).stall) << "SET_CONFIGURATION 1 was refused";
    return *chip;
  }
  // Plugs a scripted peer (8N1 at `baud`) into the chip and drops the report attaching raised.
  emu::line::ScriptedPeer& AttachPeer(double baud = kDefaultBaud) {
    auto p = std::make_unique<emu::line::ScriptedPeer>(clock, emu::line::Frame{.baud = baud});
    chip->AttachLine(p.get());
    peer = std::move(p);
    ReadReport();
    return *peer;
  }

  ControlReply Std(uint8_t type, uint8_t request, uint16_t value, uint16_t index = 0, uint16_t length = 0) {
    return chip->Control(SetupPacket{type, request, value, index, length}, {});
  }
  ControlReply VendorIn(uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    return Std(0xC0, request, value, index, length);
  }
  ControlReply VendorOut(uint8_t request, uint16_t value, uint16_t index) {
    return Std(0x40, request, value, index);
  }
  // Request 0x95 for registers a and b; a sound chip answers exactly their two values.
  Bytes ReadPair(uint8_t a, uint8_t b) {
    return VendorIn(0x95, static_cast<uint16_t>(a | b << 8), 0, 2).data;
  }
  void WritePair(uint8_t a, uint8_t va, uint8_t b, uint8_t vb) {
    EXPECT_FALSE(
        VendorOut(0x9A, static_cast<uint16_t>(a | b << 8), static_cast<uint16_t>(va | vb << 8)).stall)
        << "register write 0x9A stalled";
  }
  // The values of `regs`, as request 0x95 reads them.
  Bytes Registers(std::initializer_list<uint8_t> regs) {
    Bytes values;
    for (uint8_t r : regs) values.push_back(chip->Register(r));
    return values;
  }
  // The character format the registers select, as "8N1".
  std::string Format() {
    std::string s = chip->LineFrame().ToString();
    return s.substr(s.find(' ') + 1);
  }
  Handshake SendBulk(const Bytes& bytes) { return chip->Out(0x02, bytes); }
  Bytes ReadBulk() { return ReadIn(0x82, 32); }
  Bytes ReadReport() { return ReadIn(0x81, 8); }
  // One IN token; empty unless the endpoint answers with data.
  Bytes ReadIn(uint8_t endpoint, size_t max) {
    Bytes buf(max);
    size_t n = 0;
    buf.resize(chip->In(endpoint, buf, n) == Handshake::Ack ? n : 0);
    return buf;
  }
};

}  // namespace zm470_test
