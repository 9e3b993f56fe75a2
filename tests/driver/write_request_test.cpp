// Write requests on a started, open port: how a request is cut into bulk-out transfers, the write
// time-out, cancellation at each stage, flushes, the output count and SERIAL_EV_TXEMPTY.
#include "write_fixture.h"

namespace drvusb_test {
namespace {

using emu::kMillisecond;
using emu::kSecond;
using emu::usb::UrbRecord;

std::vector<uint32_t> Requested(const std::vector<UrbRecord>& urbs) {
  std::vector<uint32_t> v;
  for (const UrbRecord& u : urbs) v.push_back(u.requestedLength);
  return v;
}
std::vector<uint32_t> Sent(const std::vector<UrbRecord>& urbs) {
  std::vector<uint32_t> v;
  for (const UrbRecord& u : urbs) v.push_back(u.actualLength);
  return v;
}

// The last URB of a function the bridge saw, or nullptr.
const UrbRecord* LastOf(WritePort& m, uint16_t function) {
  const UrbRecord* last = nullptr;
  for (const UrbRecord& u : m.usb().Urbs())
    if (u.function == function) last = &u;
  return last;
}

TEST(WriteRequest, LongWritesLeaveInPiecesOfAtMost4096BytesAndArriveWhole) {
  struct Case {
    size_t length;
    std::vector<uint32_t> pieces;
  } const cases[] = {{4096, {4096}}, {4097, {4096, 1}}, {8192, {4096, 4096}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " bytes");
    WritePort m;
    m.SetRate(921600);
    auto& w = m.StartWrite(Pattern(c.length));
    ASSERT_TRUE(m.RunUntilDone(w)) << "the write never completed";
    EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.iosb.Information, c.length);
    EXPECT_EQ(Requested(m.BulkOut()), c.pieces);
    m.Settle(100 * kMillisecond);  // the last bytes leave the chip's FIFO
    EXPECT_EQ(m.peer.ReceivedBytes(), Pattern(c.length)) << "the line did not carry the data as written";
    EXPECT_EQ(m.TxPending(), 0u);
    EXPECT_EQ(m.ext()->PerfStats.TransmittedCount, c.length);
  }
}

TEST(WriteRequest, APartlySentPieceIsContinuedFromItsFirstUnsentByte) {
  WritePort m;
  m.SetRate(921600);
  m.usb().EndOutEarly(1, 100, UrbFilter::Endpoint(0x02));
  auto& w = m.StartWrite(Pattern(5000));
  ASSERT_TRUE(m.RunUntilDone(w));
  EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(w.iosb.Information, 5000u);
  EXPECT_EQ(Requested(m.BulkOut()), (std::vector<uint32_t>{4096, 4096, 804}));
  EXPECT_EQ(Sent(m.BulkOut()), (std::vector<uint32_t>{100, 4096, 804}));
  m.Settle(100 * kMillisecond);
  EXPECT_EQ(m.peer.ReceivedBytes(), Pattern(5000)) << "bytes were lost or sent twice";
}

TEST(WriteRequest, EveryPieceGetsTheWholeTimeOutAndAnExpiryReportsWhatWasSent) {
  {
    SCOPED_TRACE("three slow pieces, each within its 10001 ms");
    WritePort m;
    m.SetRate(921600);
    m.SetWriteTimeouts(1, 0);
    m.usb().DelayCompletions(9 * kSecond, UINT32_MAX, UrbFilter::Endpoint(0x02));
    const emu::VirtualTime start = m.kernel().Now();
    auto& w = m.StartWrite(Pattern(10000));
    ASSERT_TRUE(m.RunUntilDone(w, 60 * kSecond));
    EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.iosb.Information, 10000u);
    EXPECT_GT(m.kernel().Now() - start, 27 * kSecond) << "the pieces were not each delayed";
    EXPECT_EQ(m.usb().CountUrbs(UrbFilter::Function(URB_FUNCTION_ABORT_PIPE)), 0u);
  }
  {
    SCOPED_TRACE("a piece that cannot finish in 10001 ms");
    WritePort m;
    m.SetRate(300);
    m.SetWriteTimeouts(1, 0);
    auto& w = m.StartWrite(Pattern(10000));
    ASSERT_TRUE(m.RunUntilDone(w, 30 * kSecond));
    EXPECT_EQ(w.iosb.Status, STATUS_TIMEOUT);
    ASSERT_EQ(m.BulkOut().size(), 1u);
    const UrbRecord piece = m.BulkOut()[0];
    const UrbRecord* abort = LastOf(m, URB_FUNCTION_ABORT_PIPE);
    ASSERT_NE(abort, nullptr) << "the transfer was not aborted";
    // The wait expires on the first clock tick (15.625 ms) at or after its due time.
    EXPECT_GE(abort->submitted - piece.submitted, 10001 * kMillisecond);
    EXPECT_LT(abort->submitted - piece.submitted, 10001 * kMillisecond + 156250);
    EXPECT_GT(piece.actualLength, 0u);
    EXPECT_EQ(w.iosb.Information, piece.actualLength) << "Information is not what the bus sent";
    EXPECT_EQ(m.TxPending(), 0u);
  }
}

TEST(WriteRequest, LargeTimeOutProductsDoNotWrap) {
  // 0x10000 x 0x10000 wraps to 0 in 32 bits, which with a constant of 0 would time out at once.
  WritePort m;
  m.SetRate(921600);
  m.SetWriteTimeouts(0x10000, 0);
  std::vector<uint8_t> data = Pattern(0x10000);
  auto& w = m.StartWrite(data);
  ASSERT_TRUE(m.RunUntilDone(w, 60 * kSecond));
  EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(w.iosb.Information, data.size());
  EXPECT_EQ(m.usb().CountUrbs(UrbFilter::Function(URB_FUNCTION_ABORT_PIPE)), 0u);
}

TEST(WriteRequest, ZeroLengthWritesCompleteAtOnceEvenUnderAHold) {
  WritePort m;
  m.ext()->TxHoldFlags = TX_HOLD_XOFF;
  auto& w = m.StartWrite({});
  EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(w.iosb.Information, 0u);
  EXPECT_TRUE(m.BulkOut().empty());
  m.ext()->TxHoldFlags = 0;
}

TEST(WriteRequest, CancelDuringTheTransferAbortsItAndReportsNothing) {
  WritePort m;  // 9600 baud: 4096 bytes take more than 4 s
  auto& w = m.StartWrite(Pattern(4096));
  m.Settle(200 * kMillisecond);
  ASSERT_FALSE(w.Done());
  ASSERT_EQ(m.BulkOut().size(), 1u);
  EXPECT_TRUE(m.Cancel(w)) << "the transfer in flight carried no cancel routine";
  ASSERT_TRUE(m.RunUntilDone(w, 100 * kMillisecond)) << "the cancel did not end the transfer";
  EXPECT_EQ(w.iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(w.iosb.Information, 0u);
  EXPECT_EQ(m.usb().CountUrbs(UrbFilter::Function(URB_FUNCTION_ABORT_PIPE)), 1u);
  EXPECT_EQ(m.TxPending(), 0u);
}

TEST(WriteRequest, AFlushCompletesOnlyAfterTheWritesAheadOfItAndLeavesTheCountAlone) {
  WritePort m;
  m.SetRate(115200);
  auto& a = m.StartWrite(Pattern(3000));
  auto& b = m.StartWrite(Pattern(2000));
  const ULONG pending = m.TxPending();
  auto& flush = m.StartFlush();
  EXPECT_EQ(m.TxPending(), pending) << "the flush changed the output count";
  ASSERT_TRUE(m.kernel().RunUntil([&] { return a.Done(); }, m.kernel().Now() + 10 * kSecond));
  EXPECT_FALSE(flush.Done()) << "the flush overtook the second write";
  ASSERT_TRUE(m.kernel().RunUntil([&] { return b.Done(); }, m.kernel().Now() + 10 * kSecond));
  ASSERT_TRUE(m.RunUntilDone(flush, kSecond));
  EXPECT_EQ(a.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(b.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(flush.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(m.TxPending(), 0u);
}

TEST(WriteRequest, TxEmptyIsRaisedWhenTheQueueRunsEmptyButNotByCancellingAWaitingWrite) {
  for (const char* ending : {"written", "cancelled while held", "cancelled during its transfer"}) {
    SCOPED_TRACE(ending);
    WritePort m;
    const std::string how = ending;
    ASSERT_EQ(m.SetMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    auto& wait = m.StartWait();
    if (how == "cancelled while held") m.ext()->TxHoldFlags = TX_HOLD_XOFF;
    auto& w = m.StartWrite(Pattern(how == "written" ? 10 : 4096));
    m.Settle(50 * kMillisecond);
    if (how != "written") {
      EXPECT_EQ(m.BulkOut().size(), how == "cancelled while held" ? 0u : 1u);
      EXPECT_FALSE(wait.Done()) << "TXEMPTY raised while a write was outstanding";
      EXPECT_TRUE(m.Cancel(w));
    }
    ASSERT_TRUE(m.RunUntilDone(w, kSecond));
    m.Settle(20 * kMillisecond);
    if (how == "cancelled while held") {
      EXPECT_FALSE(wait.Done()) << "cancelling a write that never left raised TXEMPTY";
      m.ext()->TxHoldFlags = 0;
      ASSERT_TRUE(m.machine.RunInApplicationThread("end the wait", [&] { IoCancelIrp(wait.irp); }));
    } else {
      ASSERT_TRUE(wait.Done()) << "the queue ran empty without TXEMPTY";
      EXPECT_EQ(wait.iosb.Status, STATUS_SUCCESS);
      EXPECT_EQ(wait.result, (ULONG)SERIAL_EV_TXEMPTY);
    }
    EXPECT_EQ(m.TxPending(), 0u);
  }
}

TEST(WriteRequest, CtsHoldsAWriteOnChipsWithoutStatusReportsUntilCtsReturns) {
  WritePort m(ChipRevision(0x10));
  m.peer.DriveCts(false);
  m.SetHandFlow(SERIAL_CTS_HANDSHAKE, 0);
  m.Settle(100 * kMillisecond);
  auto& w = m.StartWrite(Pattern(10));
  m.Settle(300 * kMillisecond);
  EXPECT_FALSE(w.Done());
  EXPECT_TRUE(m.BulkOut().empty()) << "sent while CTS was off";
  EXPECT_NE(m.ext()->TxHoldFlags & TX_HOLD_CTS, 0u);
  m.peer.DriveCts(true);
  ASSERT_TRUE(m.RunUntilDone(w, 2 * kSecond)) << "the write did not resume when CTS returned";
  EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
  m.Settle(50 * kMillisecond);
  EXPECT_EQ(m.peer.ReceivedBytes(), Pattern(10));
}

TEST(WriteRequest, TransmitToggleRaisesRtsForTheDataAndDropsItOnceSent) {
  WritePort m;
  m.SetHandFlow(0, SERIAL_TRANSMIT_TOGGLE);
  m.Settle(50 * kMillisecond);
  ASSERT_FALSE(m.peer.EndOutputs().rts);
  auto& w = m.StartWrite(Pattern(20));
  ASSERT_TRUE(m.RunUntilDone(w, kSecond));
  m.Settle(200 * kMillisecond);
  ASSERT_EQ(m.peer.ReceivedBytes(), Pattern(20));
  const auto& received = m.peer.ReceivedCharacters();
  emu::VirtualTime raised = -1, dropped = -1;
  for (const emu::line::LineEvent& e : m.peer.Events()) {
    if (e.side != 0 || e.kind != emu::line::LineEvent::Kind::Outputs) continue;
    if (e.outputs.rts && raised < 0) raised = e.time;
    if (!e.outputs.rts && raised >= 0) dropped = e.time;
  }
  ASSERT_GE(raised, 0) << "RTS was never raised";
  ASSERT_GE(dropped, 0) << "RTS was never dropped";
  EXPECT_LT(raised, received.front().raw.start) << "RTS came up after the data started";
  EXPECT_GE(dropped, received.back().raw.end) << "RTS dropped before the last byte left";
}

// Under every schedule: a write cancelled the moment it is issued ends as cancelled at once, in
// whichever stage the cancel finds it (queued, handed over, claimed, in flight).
class WriteCancelRace : public test_support::Scheduled<WritePortTest> {};

TEST_P(WriteCancelRace, ACancelIsNeverLostWhateverStageItMeets) {
  Request& w = requests.emplace_back();
  w.data = Pattern(4096);
  w.iosb.Status = STATUS_PENDING;
  ASSERT_TRUE(machine.RunInApplicationThread("write and cancel", [&] {
    emu::IoRequest io;
    io.majorFunction = IRP_MJ_WRITE;
    io.inputBuffer = w.data.data();
    io.inputLength = (ULONG)w.data.size();
    machine.io().StartRequest(file, io, nullptr, &w.iosb);
    machine.CancelIo(file);
  }));
  ASSERT_TRUE(RunUntilDone(w, 200 * kMillisecond)) << "the cancel was lost: the write ran on";
  EXPECT_EQ(w.iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(w.iosb.Information, 0u);
  EXPECT_EQ(TxPending(), 0u);
  EXPECT_EQ(ext()->WriteParked, nullptr);
  EXPECT_EQ(ext()->CurrentWrite, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Schedules, WriteCancelRace, test_support::AllSchedules(), test_support::ScheduleName);

}  // namespace
}  // namespace drvusb_test
