// Requests outside the chip's request and register map: they stall without effect, are recorded
// with the request and what is wrong, and fail the test unless the test declared them expected.
#include "zm470/request_map.h"

#include <gtest/gtest-spi.h>

#include <algorithm>

#include "chip_fixture.h"

namespace zm470_test {
namespace {

using Violation = Zm470::Violation;

// Everything a request may change on the chip, to show that a refused one changed nothing.
struct ChipState {
  Bytes registers;
  uint8_t outputs;
  uint32_t initializations, auxCommits;
  bool auxBusy;
  bool operator==(const ChipState&) const = default;
};
ChipState StateOf(Zm470& chip) {
  Bytes regs;
  for (uint8_t r : {0x05, 0x06, 0x07, 0x0F, 0x12, 0x13, 0x18, 0x25, 0x27, 0x2C})
    regs.push_back(chip.Register(r));
  const auto o = chip.Outputs();
  return {regs, static_cast<uint8_t>(o.dtr | o.rts << 1 | o.out1 << 2), chip.Initializations(),
          chip.AuxCommits(), chip.AuxBusy()};
}

TEST_F(ChipTest, EachKindOfRequestOutsideTheMapStallsWithoutEffectAndFailsTheFixtureCheck) {
  struct {
    uint8_t revision;
    SetupPacket setup;
    const char* fault;
  } const cases[] = {
      // not requests of this chip
      {0x30, {0x40, 0x77, 0, 0, 0}, "not a request of this chip"},
      {0x30, {0x21, 0x20, 0, 0, 7}, "not a request of this chip"},       // class request
      {0x30, {0x41, 0x9A, 0x1312, 0, 0}, "not a request of this chip"},  // vendor, to the interface
      // the wrong direction
      {0x30, {0x40, 0x95, 0x0706, 0, 0}, "the request is device-to-host"},
      {0x30, {0x40, 0x5F, 0, 0, 7}, "the request is device-to-host; an OUT data stage of 7 bytes"},
      {0x30, {0xC0, 0x9A, 0x1312, 0xF383, 2}, "the request is host-to-device"},
      // a request of another revision
      {0x1F, {0x40, 0xA4, 0x9F, 0, 0}, "not defined on revision 0x1F"},
      {0x20, {0x40, 0x53, 0x00, 0x0342, 0}, "not defined on revision 0x20"},
      {0x10, {0xC0, 0x54, 0x1000, 0x0201, 1}, "not defined on revision 0x10"},
      // wValue and wIndex bits the map does not define
      {0x30, {0xC0, 0x95, 0x0706, 0x0001, 2}, "wIndex must be 0x0000"},
      {0x30, {0xC0, 0x5F, 0x0001, 0, 7}, "wValue must be 0x0000"},
      {0x30, {0xC0, 0x5F, 0, 0x0100, 7}, "wIndex must be 0x0000"},
      {0x10, {0xC0, 0x52, 0x0001, 0, 8}, "wValue must be 0x0000"},
      {0x10, {0xC0, 0x52, 0, 0x0001, 8}, "wIndex must be 0x0000"},
      {0x30, {0x40, 0xA4, 0x019F, 0, 0}, "wValue bits 0xFF00 must be 0x0000"},
      {0x30, {0x40, 0xA4, 0x009F, 0x0001, 0}, "wIndex must be 0x0000"},
      {0x10, {0x40, 0x53, 0x0100, 0x0342, 0}, "wValue bits 0xFF00 must be 0x0000"},
      {0x20, {0xC0, 0x54, 0x1000, 0x0200, 1}, "wIndex bits 0x01FF must be 0x0001"},
      {0x20, {0xC0, 0x54, 0x1000, 0x0301, 1}, "wIndex bits 0x01FF must be 0x0001"},  // command bit 0 set
      {0x20, {0xC0, 0x54, 0x10AB, 0x0201, 1}, "wValue bits 0x00FF must be 0x0000"},
      {0x20, {0x40, 0x5E, 0x0B, 0, 0}, "wValue must be 0x000A"},
      // initialisation fields no flag carries
      {0x30, {0x40, 0xA1, 0x0020, 0, 0}, "initialisation flags 0x20 are not defined on revision 0x30"},
      {0x2F, {0x40, 0xA1, 0xC380, 0, 0}, "initialisation flags 0x80 are not defined on revision 0x2F"},
      {0x2F, {0x40, 0xA1, 0x4302, 0, 0}, "wValue bits 0x4000 belong to no flag of 0x02"},
      {0x30, {0x40, 0xA1, 0x0004, 0xD982, 0}, "wIndex bits 0xD900 belong to no flag of 0x04"},
      {0x2F, {0x40, 0xA1, 0x0004, 0x0083, 0}, "wIndex bits 0x0080 belong to no flag of 0x04"},
      // unmapped and read-only registers
      {0x30, {0x40, 0x9A, 0x4012, 0x0101, 0}, "register 0x40 is not mapped on revision 0x30"},
      {0x30, {0xC0, 0x95, 0x0640, 0, 2}, "register 0x40 is not mapped on revision 0x30"},
      {0x2F, {0x40, 0x9A, 0x2727, 0x0101, 0}, "register 0x27 is not mapped on revision 0x2F"},
      {0x30, {0x40, 0x9A, 0x0712, 0x0101, 0}, "register 0x07 is read-only on revision 0x30"},
      {0x20, {0x40, 0x9A, 0x0606, 0x9F9F, 0}, "register 0x06 is read-only on revision 0x20"},
      // data stages
      {0x30, {0x40, 0x9A, 0x1312, 0xF383, 2}, "an OUT data stage of 2 bytes where the request has none"},
      {0x30, {0xC0, 0x95, 0x0706, 0, 1}, "a data stage of 1 bytes cannot hold the 2-byte answer"},
      {0x30, {0xC0, 0x5F, 0, 0, 0}, "a data stage of 0 bytes cannot hold the 1-byte answer"},
      // several faults in one request are named together
      {0x30, {0xC0, 0x95, 0x4040, 0x0001, 2}, "wIndex must be 0x0000; register 0x40 is not mapped"},
  };
  for (const auto& c : cases) {
    const std::string name =
        emu::zm470::DescribeRequest(c.setup) + " on revision " + std::to_string(c.revision);
    SCOPED_TRACE(name);
    Make(Rev(c.revision));
    const ChipState before = StateOf(*chip);
    const Bytes out(c.setup.bmRequestType & 0x80 ? 0 : c.setup.wLength, 0x5A);
    EXPECT_TRUE(chip->Control(c.setup, out).stall) << "a request outside the map must stall";
    EXPECT_TRUE(StateOf(*chip) == before) << "a stalled request changed the chip";
    ASSERT_EQ(chip->Violations().size(), 1u) << "the request must be recorded once";
    EXPECT_NE(chip->Violations()[0].fault.find(c.fault), std::string::npos) << chip->Violations()[0].fault;
    EXPECT_FALSE(chip->Violations()[0].expected);
    EXPECT_NONFATAL_FAILURE(CheckViolations(), c.fault);
  }
  Make();
  chip->Control({0xC0, 0x95, 0x0706, 0x0001, 2}, {});
  EXPECT_NONFATAL_FAILURE(CheckViolations(),
                          "request outside the ZM470's map: vendor request 0x95 (IN, to the device) wValue "
                          "0x0706 wIndex 0x0001 wLength 2: wIndex must be 0x0000");
}

TEST_F(ChipTest, DeclaredViolationsStallButPassTheCheckWhileUndeclaredOnesAreReportedOnce) {
  Make();
  {
    auto unknownRequests = chip->ExpectViolations([](const SetupPacket& s) { return s.bRequest == 0x77; });
    EXPECT_TRUE(VendorOut(0x77, 0, 0).stall) << "a declared violation still stalls";
    EXPECT_TRUE(VendorOut(0x9A, 0x4040, 0).stall);  // not matched by the declaration
    auto everything = chip->ExpectViolations();
    EXPECT_TRUE(VendorIn(0x95, 0x0706, 1, 2).stall);
  }
  EXPECT_TRUE(VendorOut(0x77, 0, 0).stall);  // the declarations have ended
  WritePair(0x12, 0x83, 0x13, 0xF3);         // defined requests are never recorded

  const std::vector<Violation>& v = chip->Violations();
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ((std::vector<bool>{v[0].expected, v[1].expected, v[2].expected, v[3].expected}),
            (std::vector<bool>{true, false, true, false}));
  EXPECT_NE(v[0].ToString().find("(expected)"), std::string::npos) << v[0].ToString();
  const std::string report = chip->TakeViolationReport();
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 2) << report;
  EXPECT_NE(report.find("0x9A"), std::string::npos) << report;
  EXPECT_EQ(report.find("wIndex must be"), std::string::npos) << "a declared violation was reported";
  EXPECT_EQ(chip->TakeViolationReport(), "") << "a violation must be reported once";

  // A control hook replaces the answer, not the check of the request.
  chip->SetControlHook([](const SetupPacket& s, std::span<const uint8_t>) -> std::optional<ControlReply> {
    if (s.bRequest == 0x9A) return ControlReply{true, {}};
    return ControlReply{false, {0x42}};
  });
  EXPECT_TRUE(VendorOut(0x9A, 0x1312, 0x0101).stall);
  EXPECT_NE(chip->Register(0x12), 0x01) << "a hooked request must not reach the registers";
  EXPECT_EQ(VendorIn(0x95, 0x0740, 0, 2).data, Bytes{0x42}) << "the hook answers even outside the map";
  EXPECT_EQ(chip->Violations().size(), 5u) << "the hooked request outside the map must be recorded";
  EXPECT_NONFATAL_FAILURE(CheckViolations(), "register 0x40 is not mapped");
  EXPECT_EQ(chip->VendorRequests(0x9A).size(), 3u) << "every control transfer must be logged";
}

}  // namespace
}  // namespace zm470_test
