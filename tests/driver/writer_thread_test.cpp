// The writer thread's recovery and accounting: bus errors part-way through a long write, the
// output count across a start, and the thread's end at removal of the port.
#include "write_fixture.h"

namespace drvusb_test {
namespace {

using emu::kMillisecond;
using emu::kSecond;

TEST(WriterThread, ABusErrorAfterSomePiecesReportsTheBytesSentAndResetsThePipe) {
  WritePort m;
  m.SetRate(921600);
  auto& w = m.StartWrite(Pattern(10000));
  ASSERT_TRUE(m.kernel().RunUntil(
      [&] {
        auto out = m.BulkOut();
        return out.size() == 1 && out[0].completed >= 0;
      },
      m.kernel().Now() + 10 * kSecond));
  m.usb().FailNext(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, UrbFilter::Endpoint(0x02));
  ASSERT_TRUE(m.RunUntilDone(w));
  EXPECT_EQ(w.iosb.Status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(w.iosb.Information, 4096u) << "the first piece's bytes went out but were not reported";
  EXPECT_EQ(m.BulkOut().size(), 2u) << "the write went on after the failed piece";
  EXPECT_EQ(m.usb().CountUrbs(UrbFilter::Function(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)), 1u);
  EXPECT_EQ(m.TxPending(), 0u);
  auto& next = m.StartWrite(Pattern(10));
  ASSERT_TRUE(m.RunUntilDone(next));
  EXPECT_EQ(next.iosb.Status, STATUS_SUCCESS) << "the pipe did not recover";
}

// An XOFF received while a long write is on the bus stops it after the piece in flight; XON lets
// the rest go. A cancel while it is held ends it at once.
TEST(WriterThread, AnXoffDuringALongWriteStopsItAfterThePieceOnTheBus) {
  WritePort m;
  m.SetRate(921600);
  auto firstPieceOut = [&] { return !m.BulkOut().empty(); };
  auto& w = m.StartWrite(Pattern(10000));
  ASSERT_TRUE(m.kernel().RunUntil(firstPieceOut, m.kernel().Now() + kSecond));
  (void)InterlockedOr((LONG volatile*)&m.ext()->TxHoldFlags, TX_HOLD_XOFF);
  m.Settle(500 * kMillisecond);  // 10000 bytes would have left in about 110 ms
  EXPECT_FALSE(w.Done());
  EXPECT_EQ(m.BulkOut().size(), 1u) << "the held write went on past the piece on the bus";
  EXPECT_EQ(m.peer.ReceivedBytes().size(), 4096u);
  m.Call([&] {
    (void)InterlockedAnd((LONG volatile*)&m.ext()->TxHoldFlags, ~(LONG)TX_HOLD_XOFF);
    KeSetEvent(&m.ext()->WriterEvent, 1, FALSE);  // as a received XON does
    return STATUS_SUCCESS;
  });
  ASSERT_TRUE(m.RunUntilDone(w));
  EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(w.iosb.Information, 10000u);
  m.Settle(200 * kMillisecond);
  EXPECT_EQ(m.peer.ReceivedBytes(), Pattern(10000));

  auto& held = m.StartWrite(Pattern(10000));
  ASSERT_TRUE(m.kernel().RunUntil([&] { return m.BulkOut().size() == 4; }, m.kernel().Now() + kSecond));
  (void)InterlockedOr((LONG volatile*)&m.ext()->TxHoldFlags, TX_HOLD_XOFF);
  m.Settle(200 * kMillisecond);
  ASSERT_FALSE(held.Done());
  EXPECT_TRUE(m.Cancel(held)) << "the held write carried no cancel routine";
  ASSERT_TRUE(m.RunUntilDone(held, 100 * kMillisecond));
  EXPECT_EQ(held.iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(m.TxPending(), 0u);
  m.ext()->TxHoldFlags = 0;
}

// A start after a stop sets the output count to 0 while a write may still be in the writer's
// hands; that write's share leaving later must not wrap the count.
TEST(WriterThread, AWriteFinishingAfterTheCountWasResetLeavesItAtZero) {
  WritePort m;  // 9600 baud: 1000 bytes take about 1 s
  auto& w = m.StartWrite(Pattern(1000));
  m.Settle(100 * kMillisecond);
  ASSERT_FALSE(w.Done());
  EXPECT_EQ(m.TxPending(), 1000u);
  (void)InterlockedExchange((LONG volatile*)&m.ext()->TxPending, 0);
  auto& next = m.StartWrite(Pattern(10));
  EXPECT_EQ(m.TxPending(), 10u);
  ASSERT_TRUE(m.RunUntilDone(next, 5 * kSecond));
  EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(m.TxPending(), 0u) << "the count wrapped below zero";
}

TEST(WriterThread, SoftwareParityIsAppliedOnOldChipsOnly) {
  for (uint8_t revision : {uint8_t{0x20}, uint8_t{0x30}}) {
    SCOPED_TRACE("revision " + Hex(revision));
    WritePort m(ChipRevision(revision));
    // Seven data bits with even parity, formed in the byte's top bit by the driver on old chips.
    ASSERT_EQ(m.ProgramLine(9600, 0x7F, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
    emu::line::Frame sevenEven;
    sevenEven.dataBits = 7;
    sevenEven.parity = emu::line::Parity::Even;
    m.peer.SetFrame(sevenEven);
    auto& w = m.StartWrite({0x41, 0x43});
    ASSERT_TRUE(m.RunUntilDone(w));
    m.Settle(50 * kMillisecond);
    ASSERT_EQ(m.peer.ReceivedCharacters().size(), 2u);
    for (const auto& r : m.peer.ReceivedCharacters()) {
      EXPECT_FALSE(r.character.parityError) << "the character left with the wrong parity";
      EXPECT_FALSE(r.character.framingError);
    }
    EXPECT_EQ(m.peer.ReceivedBytes(), (std::vector<uint8_t>{0x41, 0x43}));
  }
}

// In transmit-toggle mode the writer raises RTS (a vendor request) after it has claimed the
// request and before the first transfer: a cancel then finds no cancel routine to call and must
// still end the transfer once it starts.
TEST(WriterThread, ACancelBetweenTheClaimAndTheTransferIsNotLost) {
  WritePort m;  // 9600 baud: 4096 bytes take more than 4 s
  m.SetHandFlow(0, SERIAL_TRANSMIT_TOGGLE);
  m.Settle(50 * kMillisecond);
  const auto vendor = UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE);
  m.usb().DelayCompletions(5 * kMillisecond, 1, vendor);
  const size_t before = m.usb().CountUrbs(vendor);
  auto& w = m.StartWrite(Pattern(4096));
  ASSERT_TRUE(
      m.kernel().RunUntil([&] { return m.usb().CountUrbs(vendor) > before; }, m.kernel().Now() + kSecond))
      << "RTS was not raised for the write";
  ASSERT_TRUE(m.BulkOut().empty());
  EXPECT_FALSE(m.Cancel(w)) << "the claimed request still carried a cancel routine";
  ASSERT_TRUE(m.RunUntilDone(w, 200 * kMillisecond)) << "the cancel was lost: the write ran on";
  EXPECT_EQ(w.iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(w.iosb.Information, 0u);
  EXPECT_EQ(m.TxPending(), 0u);
  m.Settle(500 * kMillisecond);
  EXPECT_FALSE(m.peer.EndOutputs().rts) << "RTS stayed up after the cancelled write";
}

}  // namespace
}  // namespace drvusb_test
