// The test bus's kernel build of the bridge (windows/testbus/bridge_chip.cpp), which serves the real
// image under Wine, against the chip model: the same requests are accepted or stalled alike and
// leave the same registers, the same character time on the line, and the same modem loop and
// status report.
#include "bridge_chip.h"
#include "chip_fixture.h"
#include "line/far_ends.h"

namespace zm470_test {
namespace {

struct Setting {
  uint8_t prescaler, divisor, lineControl;
};

// 9600 8N1, 115200 7E2, 921600 8O1, 307200 5N1.5: rate clocks 2, 3 and 7, and several frames.
constexpr Setting kSettings[] = {
    {0x82, 0xB2, 0xC3}, {0x83, 0xCC, 0xDE}, {0x87, 0xF3, 0xCB}, {0x87, 0xD9, 0xC4}};

class KernelBridgeTest : public ChipTest {
 protected:
  BridgeChip kernel;
  emu::line::LoopbackPlug plug{clock};

  void SetUp() override {
    BridgePowerOn(&kernel);
    MakeConfigured(Rev(BRIDGE_REVISION));
    chip->AttachLine(&plug);
    clock.RunUntilIdle();
    ReadReport();
    UCHAR report[BRIDGE_REPORT_LENGTH];
    BridgeTakeReport(&kernel, report);
  }
  void TearDown() override {
    chip->AttachLine(nullptr);
    ChipTest::TearDown();
  }

  // An OUT vendor request to both; they must agree on stalling it.
  void Out(uint8_t request, uint16_t value, uint16_t index) {
    BridgeSetup setup{FALSE, request, value, index};
    ULONG length = 0;
    const bool kernelTook = BridgeVendorRequest(&kernel, &setup, nullptr, &length);
    const bool modelTook = !VendorOut(request, value, index).stall;
    EXPECT_EQ(kernelTook, modelTook) << "request 0x" << std::hex << int(request) << " wValue 0x" << value
                                     << ": kernel bridge " << (kernelTook ? "took" : "stalled") << " it";
    clock.RunUntilIdle();
  }
  // An IN vendor request to both; returns the kernel bridge's answer after checking the model's.
  Bytes In(uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    BridgeSetup setup{TRUE, request, value, index};
    UCHAR data[8] = {};
    ULONG got = length;
    const bool kernelTook = BridgeVendorRequest(&kernel, &setup, data, &got);
    ControlReply model = VendorIn(request, value, index, length);
    Bytes answer = kernelTook ? Bytes(data, data + got) : Bytes{};
    EXPECT_EQ(kernelTook, !model.stall) << "request 0x" << std::hex << int(request) << " wValue 0x" << value;
    EXPECT_EQ(answer, model.data) << "request 0x" << std::hex << int(request) << " wValue 0x" << value;
    return answer;
  }
  void ExpectSameRegisters() {
    for (uint16_t pair : {0x0605, 0x1207, 0x1813, 0x2725, 0x0F2C}) In(0x95, pair, 0, 2);
  }
  // Initialisation as the driver sends it: format, rate and character timing in one request.
  void Initialize(const Setting& s) {
    Out(0xA1, static_cast<uint16_t>(0x9C | s.lineControl << 8), static_cast<uint16_t>(s.prescaler | 0x08 | s.divisor << 8));
  }
};

TEST_F(KernelBridgeTest, InitialisationRegisterWritesAndRevisionAgree) {
  In(0x5F, 0, 0, 2);
  ExpectSameRegisters();
  for (const Setting& s : kSettings) {
    Initialize(s);
    ExpectSameRegisters();
    Out(0x9A, 0x1812, static_cast<uint16_t>(s.prescaler | (s.lineControl & ~0x40) << 8));  // break on
    Out(0x9A, 0x2705, 0x0B00);
    ExpectSameRegisters();
  }
  Out(0x54, 0x2A5C, 0x0001);
  In(0x54, 0x2A00, 0x0001, 1);
  Out(0x5E, 0x000A, 0);
}

TEST_F(KernelBridgeTest, RequestsOutsideTheMapStallOnBoth) {
  auto expected = chip->ExpectViolations();
  Out(0x9A, 0x0606, 0x0000);  // register 6 is read-only from 0x20 on
  In(0x95, 0x4040, 0, 2);     // register 0x40 is not mapped
  Out(0x53, 0x0001, 0x0000);  // polled auxiliary access: below 0x20 only
  Out(0xA4, 0x0100, 0x0000);  // modem control has no high byte
  Out(0x77, 0, 0);            // no such request
}

TEST_F(KernelBridgeTest, ACharacterTakesTheSameTimeOnTheLine) {
  for (const Setting& s : kSettings) {
    Initialize(s);
    const emu::VirtualTime character = chip->LineFrame().CharacterTime();
    const UCHAR bytes[20] = {};
    BridgeWrite(&kernel, bytes, sizeof bytes);
    const ULONGLONG before = kernel.BytesLooped;
    // Ten and a half characters' time (virtual time is in 100 ns units) moves ten characters, not eleven.
    BridgeAdvance(&kernel, static_cast<ULONGLONG>(character) * 21 / 2, 10000000ull);
    EXPECT_EQ(kernel.BytesLooped - before, 10u) << chip->LineFrame().ToString() << ": one character takes "
                                                << character * 100 << " ns on the model's line";
    Out(0xA1, 0x0000, 0x0000);  // empties the FIFOs for the next setting
  }
}

TEST_F(KernelBridgeTest, ModemOutputsComeBackAsInputsWithAReportOnBoth) {
  // Modem-control bytes (active low): RTS and DTR on, RTS only, DTR only, both off.
  for (uint16_t byte : {0x0F, 0x2F, 0x4F, 0x6F}) {
    Out(0xA4, byte, 0);
    const Bytes modem = In(0x95, 0x0606, 0, 2);
    UCHAR report[BRIDGE_REPORT_LENGTH];
    const bool kernelReported = BridgeTakeReport(&kernel, report);
    const Bytes model = ReadReport();
    ASSERT_TRUE(kernelReported) << "modem-control byte 0x" << std::hex << byte << " raised no report";
    EXPECT_EQ(Bytes(report, report + BRIDGE_REPORT_LENGTH), model) << "modem-control byte 0x" << std::hex << byte;
    ASSERT_EQ(modem.size(), 2u);
  }
}

}  // namespace
}  // namespace zm470_test
