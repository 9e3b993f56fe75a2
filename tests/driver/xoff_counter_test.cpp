// The XOFF-counter request: its character leaves through the write queue, then it counts the bytes
// the reader stores and ends in exactly one of four ways. The reader's per-byte step is played
// by calling CountXoffCounterBytes as the reader thread does, from a system thread.
#include "tx/xoff_counter.h"

#include "write_fixture.h"

namespace drvusb_test {
namespace {

using emu::kMillisecond;
using emu::kSecond;

const UCHAR kXoff = 0x13;

void CountBytes(WritePort& m, int n) {
  m.Call([&] {
    for (int i = 0; i < n; ++i) CountXoffCounterBytes(m.ext(), 1);
    return STATUS_SUCCESS;
  });
}

// Runs until the counter's character has left and the request counts.
void UntilCounting(WritePort& m) {
  ASSERT_TRUE(
      m.kernel().RunUntil([&] { return m.ext()->XoffCounterIrp != nullptr; }, m.kernel().Now() + kSecond))
      << "the request never started counting";
}

// After any ending nothing counts any more and further bytes are harmless.
void ExpectNothingCounting(WritePort& m) {
  EXPECT_EQ(m.ext()->XoffCounterIrp, nullptr);
  EXPECT_EQ(m.ext()->XoffCountdown, 0u) << "the countdown outlived its request";
  CountBytes(m, 5);
  EXPECT_EQ(m.ext()->XoffCountdown, 0u);
  EXPECT_EQ(m.TxPending(), 0u);
}

TEST(XoffCounter, TheCharacterIsSentAndTheThirdByteCompletesTheRequest) {
  WritePort m;
  auto& x = m.StartXoffCounter(0, 3, kXoff);
  ASSERT_NO_FATAL_FAILURE(UntilCounting(m));
  m.Settle(20 * kMillisecond);
  EXPECT_EQ(m.peer.ReceivedBytes(), std::vector<uint8_t>{kXoff});
  EXPECT_EQ(m.TxPending(), 0u) << "the sent character still counts as output";
  CountBytes(m, 2);
  m.Settle();
  EXPECT_FALSE(x.Done()) << "completed before the third byte";
  EXPECT_EQ(m.ext()->XoffCountdown, 1u);
  CountBytes(m, 1);
  ASSERT_TRUE(m.RunUntilDone(x, 100 * kMillisecond));
  EXPECT_EQ(x.iosb.Status, STATUS_SUCCESS);
  ExpectNothingCounting(m);
}

// The bytes that count are those the reader thread stores from the line: a stripped null does not.
TEST(XoffCounter, BytesArrivingOnTheLineCountOnceTheyPassTheReceiveFilters) {
  WritePort m;
  m.ext()->HandFlow.FlowReplace |= SERIAL_NULL_STRIPPING;
  m.Call([&] {  // an open port's reader thread streams
    KeSetEvent(&m.ext()->ReaderEvent, 1, FALSE);
    return STATUS_SUCCESS;
  });
  auto& x = m.StartXoffCounter(0, 3, kXoff);
  ASSERT_NO_FATAL_FAILURE(UntilCounting(m));
  const uint8_t first[] = {0x41, 0x00, 0x42};
  m.peer.Send(first);
  m.Settle(50 * kMillisecond);
  EXPECT_FALSE(x.Done()) << "the stripped null counted";
  EXPECT_EQ(m.ext()->XoffCountdown, 1u);
  const uint8_t last[] = {0x43, 0x44};
  m.peer.Send(last);
  ASSERT_TRUE(m.RunUntilDone(x, kSecond));
  EXPECT_EQ(x.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(m.ext()->XoffCountdown, 0u) << "the byte after the last one counted";
  m.ext()->Started = FALSE;  // the reader thread goes back to idle once its transfers are aborted
}

TEST(XoffCounter, ATimeOutEndsItThatLongAfterTheCharacterWasSent) {
  WritePort m;
  auto& x = m.StartXoffCounter(50, 3, kXoff);
  ASSERT_NO_FATAL_FAILURE(UntilCounting(m));
  const emu::VirtualTime counting = m.kernel().Now();
  CountBytes(m, 1);
  ASSERT_TRUE(m.RunUntilDone(x, kSecond));
  EXPECT_EQ(x.iosb.Status, STATUS_SERIAL_COUNTER_TIMEOUT);
  EXPECT_GE(m.kernel().Now() - counting, 50 * kMillisecond);
  EXPECT_LT(m.kernel().Now() - counting, 50 * kMillisecond + 156250)
      << "later than the tick after its due time";
  ExpectNothingCounting(m);
}

TEST(XoffCounter, AFollowingWriteEndsItWithMoreWrites) {
  WritePort m;
  auto& x = m.StartXoffCounter(0, 100, kXoff);
  ASSERT_NO_FATAL_FAILURE(UntilCounting(m));
  auto& w = m.StartWrite(Pattern(5));
  ASSERT_TRUE(m.RunUntilDone(x, 100 * kMillisecond));
  EXPECT_EQ(x.iosb.Status, STATUS_SERIAL_MORE_WRITES);
  ASSERT_TRUE(m.RunUntilDone(w, kSecond));
  EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
  ExpectNothingCounting(m);
}

TEST(XoffCounter, CancellingItWhileCountingEndsItAndStopsItsTimer) {
  WritePort m;
  auto& x = m.StartXoffCounter(500, 100, kXoff);
  ASSERT_NO_FATAL_FAILURE(UntilCounting(m));
  EXPECT_TRUE(m.Cancel(x));
  ASSERT_TRUE(m.RunUntilDone(x, 100 * kMillisecond));
  EXPECT_EQ(x.iosb.Status, STATUS_CANCELLED);
  EXPECT_FALSE(m.ext()->XoffCounterTimerSet);
  m.Settle(600 * kMillisecond);  // the time-out would have come by now
  ExpectNothingCounting(m);
}

TEST(XoffCounter, ASecondCounterEndsTheFirstAndIsCancelled) {
  WritePort m;
  auto& first = m.StartXoffCounter(0, 10, kXoff);
  ASSERT_NO_FATAL_FAILURE(UntilCounting(m));
  auto& second = m.StartXoffCounter(0, 10, 0x11);
  ASSERT_TRUE(m.RunUntilDone(second, 100 * kMillisecond));
  EXPECT_EQ(first.iosb.Status, STATUS_SERIAL_MORE_WRITES);
  EXPECT_EQ(second.iosb.Status, STATUS_CANCELLED);
  m.Settle(50 * kMillisecond);
  EXPECT_EQ(m.peer.ReceivedBytes(), std::vector<uint8_t>{kXoff})
      << "the cancelled counter's character was sent";
  ExpectNothingCounting(m);
}

TEST(XoffCounter, ACounterCancelledWhileItsCharacterIsSentEndsAtOnceWithoutCounting) {
  WritePort m;
  m.usb().DelayCompletions(50 * kMillisecond, 1, UrbFilter::Endpoint(0x02));
  auto& x = m.StartXoffCounter(0, 3, kXoff);
  ASSERT_TRUE(m.kernel().RunUntil([&] { return !m.BulkOut().empty(); }, m.kernel().Now() + kSecond));
  EXPECT_TRUE(m.Cancel(x)) << "the character's transfer carried no cancel routine";
  ASSERT_TRUE(m.RunUntilDone(x, 200 * kMillisecond));
  EXPECT_EQ(x.iosb.Status, STATUS_CANCELLED);
  ExpectNothingCounting(m);
}

TEST(XoffCounter, ACounterBelowOneIsRefused) {
  WritePort m;
  auto& x = m.StartXoffCounter(0, 0, kXoff);
  EXPECT_EQ(x.iosb.Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(m.TxPending(), 0u);
}

// Under every schedule: bytes counted while the time-out expires end the request once, with one
// of the two statuses, and leave nothing counting.
class XoffCounterRace : public test_support::Scheduled<WritePortTest> {};

TEST_P(XoffCounterRace, CountingAndTheTimeOutRaceToOneEnding) {
  auto& x = StartXoffCounter(20, 3, kXoff);
  ASSERT_NO_FATAL_FAILURE(UntilCounting(*this));
  kernel().RunFor(19 * kMillisecond);
  bool counted = false;
  machine.RunInSystemThread("reader", [&] {
    CountXoffCounterBytes(ext(), 3);
    counted = true;
  });
  ASSERT_TRUE(RunUntilDone(x, kSecond));
  EXPECT_TRUE(counted);
  EXPECT_TRUE(x.iosb.Status == STATUS_SUCCESS || x.iosb.Status == STATUS_SERIAL_COUNTER_TIMEOUT)
      << Hex((uint32_t)x.iosb.Status);
  // A second counter after the first: a stale expiry must not end it early.
  auto& y = StartXoffCounter(0, 2, kXoff);
  ASSERT_NO_FATAL_FAILURE(UntilCounting(*this));
  kernel().RunFor(100 * kMillisecond);
  EXPECT_FALSE(y.Done()) << "a stale expiry ended the next counter";
  CountBytes(*this, 2);
  ASSERT_TRUE(RunUntilDone(y, 100 * kMillisecond));
  EXPECT_EQ(y.iosb.Status, STATUS_SUCCESS);
  ExpectNothingCounting(*this);
}

INSTANTIATE_TEST_SUITE_P(Schedules, XoffCounterRace, test_support::AllSchedules(),
                         test_support::ScheduleName);

}  // namespace
}  // namespace drvusb_test
