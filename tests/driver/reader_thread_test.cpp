// The reader thread: bytes from the bridge's bulk-in pipe through the receive filters into the
// ring, the receive events, and the thread's end when the bridge is unplugged while streaming.
#include <gtest/gtest.h>

#include "read_fixture.h"
#include "rx/bulk_in.h"
#include "support/schedule_sweep.h"

namespace drvusb_test {
namespace {

using test_support::AllSchedules;
using test_support::Scheduled;
using test_support::ScheduleName;

std::vector<UCHAR> Bytes(std::string_view s) { return std::vector<UCHAR>(s.begin(), s.end()); }

class ReaderThreadTest : public Scheduled<ReadPortTest> {
 protected:
  void SetFlowReplace(ULONG flowReplace) {
    Configure([&](PPORT_EXTENSION p) { p->HandFlow.FlowReplace = flowReplace; });
  }
};

TEST_P(ReaderThreadTest, ManyTransfersArriveInOrder) {
  std::string text;
  for (int i = 0; i < 400; ++i) text.push_back((char)('A' + i % 26));
  Feed(text);
  EXPECT_EQ(RingBytes(), Bytes(text));
  EXPECT_EQ(ext()->PerfStats.ReceivedCount, 400u);
  EXPECT_EQ(ext()->BulkInBusy, BULK_IN_RECORDS) << "an idle line does not keep every transfer in flight";
}

TEST_P(ReaderThreadTest, XonXoffAreTakenOnlyWithAutoTransmit) {
  SetFlowReplace(SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT);
  Feed(
      "A\x13"
      "B");
  EXPECT_EQ(RingBytes(), Bytes("AB")) << "the XOFF character was stored";
  EXPECT_EQ(ext()->TxHoldFlags & TX_HOLD_XOFF, (ULONG)TX_HOLD_XOFF) << "XOFF did not hold transmission";
  Feed("\x11");
  EXPECT_EQ(ext()->TxHoldFlags & TX_HOLD_XOFF, 0u) << "XON did not release transmission";
  EXPECT_EQ(RingBytes(), Bytes("AB"));

  SetFlowReplace(SERIAL_RTS_CONTROL);
  Feed(
      "\x13"
      "C\x11");
  EXPECT_EQ(RingBytes(), Bytes("AB\x13"
                               "C\x11"))
      << "flow characters not stored without auto-transmit";
  EXPECT_EQ(ext()->TxHoldFlags, 0u);
}

TEST_P(ReaderThreadTest, NullStrippingDropsZeroBytesBeforeTheFlowCharacterTest) {
  Configure([](PPORT_EXTENSION p) {
    p->HandFlow.FlowReplace = SERIAL_RTS_CONTROL | SERIAL_NULL_STRIPPING | SERIAL_AUTO_TRANSMIT;
    p->SpecialChars.XoffChar = 0;
  });
  Feed(std::string_view("\0A\0", 3));
  EXPECT_EQ(RingBytes(), Bytes("A"));
  EXPECT_EQ(ext()->TxHoldFlags, 0u) << "a stripped zero byte acted as XOFF";
  SetFlowReplace(SERIAL_RTS_CONTROL);
  Feed(std::string_view("\0B", 2));
  EXPECT_EQ(RingBytes(), Bytes(std::string_view("A\0B", 3)));
}

TEST_P(ReaderThreadTest, TheEscapeCharacterIsDoubledWithAZero) {
  Configure([](PPORT_EXTENSION p) { p->EscapeChar = 0xFF; });
  Feed(
      "a\xFF"
      "b");
  EXPECT_EQ(RingBytes(), (std::vector<UCHAR>{'a', 0xFF, 0x00, 'b'}));
}

TEST_P(ReaderThreadTest, EventCharacterCompletesAWaitWithRxFlag) {
  Configure([](PPORT_EXTENSION p) { p->SpecialChars.EventChar = 0x0D; });
  ASSERT_EQ(SetMask(SERIAL_EV_RXFLAG), STATUS_SUCCESS);
  Wait& w = StartWait();
  Feed("ab");
  EXPECT_FALSE(w.Done()) << "ordinary bytes satisfied an EV_RXFLAG wait";
  Feed("\r");
  ASSERT_TRUE(w.Done());
  EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(w.result, (ULONG)SERIAL_EV_RXFLAG);
  EXPECT_EQ(w.iosb.Information, sizeof(ULONG));

  ASSERT_EQ(SetMask(SERIAL_EV_RXFLAG | SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  Wait& both = StartWait();
  Feed("\r");
  ASSERT_TRUE(both.Done());
  EXPECT_EQ(both.result, (ULONG)(SERIAL_EV_RXFLAG | SERIAL_EV_RXCHAR));
}

// A chip that leaves parity to the driver when fewer than 8 data bits are used.
struct OldChipPort : ReadPortTest {
  explicit OldChipPort(emu::KernelConfig config) : ReadPortTest(ChipRevision(0x20), config) {}
};
class SoftwareParityTest : public Scheduled<OldChipPort> {};

// Seven data bits with even parity: the line carries 8-bit frames whose top bit is the parity bit.
TEST_P(SoftwareParityTest, ABadParityBitStoresTheErrorCharacterBeforeTheDataBits) {
  ASSERT_EQ(ProgramLine(9600, 0x7F, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  peer.SetFrame(chip->LineFrame());
  Configure([](PPORT_EXTENSION p) {
    p->HandFlow.FlowReplace = SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR;
    p->SpecialChars.ErrorChar = '?';
  });
  ASSERT_EQ(SetMask(SERIAL_EV_ERR), STATUS_SUCCESS);
  Feed("\x03");
  EXPECT_EQ(RingBytes(), (std::vector<UCHAR>{0x03}));
  EXPECT_EQ(ext()->CommErrors & SERIAL_ERROR_PARITY, 0u) << "a byte with even parity was refused";
  Feed("\x83\x81");
  EXPECT_EQ(RingBytes(), (std::vector<UCHAR>{0x03, '?', 0x03, 0x01}));
  EXPECT_NE(ext()->CommErrors & SERIAL_ERROR_PARITY, 0u);
  EXPECT_NE(ext()->EventHistory & SERIAL_EV_ERR, 0u);
}

INSTANTIATE_TEST_SUITE_P(Schedules, SoftwareParityTest, AllSchedules(), ScheduleName);

TEST_P(ReaderThreadTest, UnplugWhileStreamingEndsTheThreadCleanly) {
  const LONG threads = ext()->ThreadCount;
  ASSERT_NE(ext()->BulkInBlock, nullptr);
  ASSERT_EQ(DriverPoolBlocksOfSize(BULK_IN_BLOCK_SIZE), 1u);
  peer.Send(std::string(2000, 'z'));
  Settle(50 * emu::kMillisecond);
  ASSERT_GT(ext()->RingCount, 0) << "nothing was streaming";
  usb().Unplug();
  EXPECT_TRUE(
      kernel().RunUntil([&] { return ext()->ThreadCount == threads - 1; }, kernel().Now() + 2 * emu::kSecond))
      << "the reader thread did not end";
  Settle();
  EXPECT_EQ(ext()->ThreadCount, threads - 1);
  EXPECT_EQ(ext()->BulkInBlock, nullptr);
  EXPECT_EQ(ext()->BulkInBusy, 0);
  EXPECT_EQ(DriverPoolBlocksOfSize(BULK_IN_BLOCK_SIZE), 0u) << "the bulk-in block was not freed";
}

INSTANTIATE_TEST_SUITE_P(Schedules, ReaderThreadTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace drvusb_test
