// Two of the test bus's kernel bridges (windows/testbus/bridge_chip.cpp) joined by a null-modem cable,
// wired as the emulator's NullModemCable: each one's TX reaches the other's RX, RTS the other's CTS,
// DTR the other's DSR and DCD.
#include <gtest/gtest.h>

#include <string>

#include "bridge_chip.h"

namespace zm470_test {
namespace {

constexpr ULONGLONG kFrequency = 10000000;  // 100 ns ticks, as the emulator's clock
constexpr ULONGLONG kSecond = kFrequency;
constexpr UCHAR kLineStatusOverrun = 0x02;

class KernelBridgeCableTest : public ::testing::Test {
 protected:
  BridgeChip a{}, b{};

  void SetUp() override {
    BridgePowerOn(&a);
    BridgePowerOn(&b);
    BridgeJoinByNullModem(&a, &b);
    for (BridgeChip* chip : {&a, &b}) {
      // 9600 8N1, as the driver initialises the chip; the UART restart raises a report.
      Request(chip, FALSE, VENDOR_INITIALIZE, 0xC39C, 0xB28A);
      TakeReport(chip);
    }
  }

  static void Request(BridgeChip* chip, BOOLEAN in, UCHAR request, USHORT value, USHORT index, PUCHAR data = nullptr,
                      ULONG length = 0) {
    BridgeSetup setup{in, request, value, index};
    ASSERT_TRUE(BridgeVendorRequest(chip, &setup, data, &length)) << "request 0x" << std::hex << int(request);
  }
  static void ModemControl(BridgeChip* chip, UCHAR byte) { Request(chip, FALSE, VENDOR_MODEM_CONTROL, byte, 0); }
  // Bits 0-3 of the modem register: CTS, DSR, RI, DCD, each 0 while asserted.
  static UCHAR Inputs(BridgeChip* chip) {
    UCHAR data[2] = {};
    Request(chip, TRUE, VENDOR_READ_REGISTERS, REG_MODEM | REG_MODEM << 8, 0, data, sizeof data);
    return data[0] & 0x0F;
  }
  static bool TakeReport(BridgeChip* chip, UCHAR* lineStatus = nullptr) {
    UCHAR report[BRIDGE_REPORT_LENGTH] = {};
    const bool taken = BridgeTakeReport(chip, report);
    if (lineStatus) *lineStatus = report[0];
    return taken;
  }
  void Advance(ULONGLONG ticks) {
    BridgeAdvance(&a, ticks, kFrequency);
    BridgeAdvance(&b, ticks, kFrequency);
  }
  static std::string Received(BridgeChip* chip) {
    UCHAR data[BRIDGE_RX_FIFO];
    return std::string(reinterpret_cast<char*>(data), BridgeRead(chip, data, sizeof data));
  }
};

TEST_F(KernelBridgeCableTest, EachSidesOutputsAreTheOtherSidesInputsWithAReport) {
  // Modem-control bytes (active low) on A: RTS only, DTR only, both, none. B sees CTS for RTS and
  // DSR with DCD for DTR; A's own inputs follow B's outputs, which stay off.
  struct Case {
    UCHAR byte, inputsOfB;
  };
  for (const Case& c : {Case{0x2F, 0x0E}, Case{0x4F, 0x05}, Case{0x0F, 0x04}, Case{0x6F, 0x0F}}) {
    ModemControl(&a, c.byte);
    EXPECT_EQ(c.inputsOfB, Inputs(&b)) << "modem-control byte 0x" << std::hex << int(c.byte) << " on A";
    EXPECT_TRUE(TakeReport(&b)) << "B's inputs changed without a report";
    EXPECT_EQ(0x0F, Inputs(&a)) << "A's outputs came back to A";
    EXPECT_FALSE(TakeReport(&a));
  }
  ModemControl(&b, 0x0F);
  EXPECT_EQ(0x04, Inputs(&a));
  EXPECT_TRUE(TakeReport(&a));
  ModemControl(&b, 0x0F);
  EXPECT_FALSE(TakeReport(&a)) << "the same outputs again are no change";
}

TEST_F(KernelBridgeCableTest, CharactersCrossBothWaysAndNoneComesBack) {
  BridgeWrite(&a, reinterpret_cast<const UCHAR*>("ping"), 4);
  BridgeWrite(&b, reinterpret_cast<const UCHAR*>("pong!"), 5);
  Advance(kSecond);
  EXPECT_EQ("ping", Received(&b));
  EXPECT_EQ("pong!", Received(&a));
  EXPECT_EQ(4u, a.BytesLooped);
  EXPECT_EQ(5u, b.BytesLooped);
}

TEST_F(KernelBridgeCableTest, AFullReceiverAtTheOtherEndHoldsTheLineInsteadOfOverrunning) {
  UCHAR block[BRIDGE_TX_FIFO];
  for (ULONG i = 0; i < sizeof block; ++i) block[i] = static_cast<UCHAR>(i);
  // Three FIFOs' worth from A, of which B's receiver holds two.
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(static_cast<ULONG>(BRIDGE_TX_FIFO), BridgeWrite(&a, block, sizeof block));
    Advance(kSecond);
  }
  EXPECT_EQ(static_cast<ULONG>(BRIDGE_RX_FIFO), b.RxCount);
  EXPECT_EQ(static_cast<ULONG>(BRIDGE_TX_FIFO), a.TxCount) << "A sent into a full receiver";
  UCHAR lineStatus = 0;
  TakeReport(&b, &lineStatus);
  EXPECT_EQ(0, lineStatus & kLineStatusOverrun) << "B's receiver overran";
  EXPECT_EQ(2u * BRIDGE_TX_FIFO, Received(&b).size());
  Advance(kSecond);
  EXPECT_EQ(0u, a.TxCount) << "A did not go on once B's host read";
  EXPECT_EQ(static_cast<size_t>(BRIDGE_TX_FIFO), Received(&b).size());
}

TEST_F(KernelBridgeCableTest, TheOtherEndLeavingDropsTheInputsAndLosesWhatIsSent) {
  ModemControl(&a, 0x0F);
  ASSERT_EQ(0x04, Inputs(&b));
  TakeReport(&b);
  BridgeLeaveCable(&a);
  EXPECT_EQ(0x0F, Inputs(&b)) << "B still sees the outputs of a bridge that left";
  EXPECT_TRUE(TakeReport(&b));
  BridgeWrite(&b, reinterpret_cast<const UCHAR*>("lost"), 4);
  BridgeAdvance(&b, kSecond, kFrequency);
  EXPECT_EQ(0u, b.TxCount) << "an open cable end must not hold B's transmitter";
  EXPECT_EQ("", Received(&b)) << "B's characters came back to B";

  // A new bridge joined to B's end works as the first did.
  BridgeChip c{};
  BridgePowerOn(&c);
  BridgeJoinByNullModem(&b, &c);
  ModemControl(&c, 0x2F);
  EXPECT_EQ(0x0E, Inputs(&b));
}

}  // namespace
}  // namespace zm470_test
