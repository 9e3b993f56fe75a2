// Read requests: the read time-out rule row by row with the timers it arms, cancellation of the
// parked read, the read queue behind a timed-out read and stale wake-ups of an earlier read.
#include <gtest/gtest.h>

#include "read_fixture.h"
#include "support/schedule_sweep.h"

namespace drvusb_test {
namespace {

using emu::kMillisecond;
using test_support::AllSchedules;
using test_support::Scheduled;
using test_support::ScheduleName;

// A timer armed for V ms is due V + 1 ms after the call that arms it; the kernel calls made
// between the start of the request and the arming cost a few microseconds of virtual time.
constexpr emu::VirtualTime kArmSlack = kMillisecond / 20;

void ExpectDueAfter(const KTIMER& timer, emu::VirtualTime from, emu::VirtualTime ms, const char* what) {
  const emu::VirtualTime due = ReadPort::Due(timer);
  ASSERT_NE(due, -1) << what << " is not armed";
  EXPECT_GE(due - from, ms * kMillisecond) << what;
  EXPECT_LT(due - from, ms * kMillisecond + kArmSlack) << what;
}

class ReadRequestTest : public Scheduled<ReadPortTest> {
 protected:
  // A read that ends with the first data returns what had arrived by then (at least one byte);
  // the rest of `sent` stays in the ring.
  void ExpectFirstDataThenRing(const Read& r, std::string_view sent) {
    EXPECT_FALSE(r.Data().empty()) << "completed without data";
    const std::vector<UCHAR> ring = RingBytes();
    EXPECT_EQ(r.Data() + std::string(ring.begin(), ring.end()), sent);
  }
};

TEST_P(ReadRequestTest, DefaultTimeoutsWaitForTheWholeLengthWithoutATimer) {
  SetTimeouts(0, 0, 0);
  Read& r = StartRead(10);
  EXPECT_EQ(r.returned, STATUS_PENDING);
  EXPECT_EQ(Due(ext()->ReadTotalTimer), -1) << "no total timer with all-zero time-outs";
  Feed("123456");
  EXPECT_FALSE(RunUntilDone(r, 2 * emu::kSecond)) << "completed with 6 of 10 bytes";
  EXPECT_EQ(Due(ext()->ReadIntervalTimer), -1) << "no interval timer with all-zero time-outs";
  Feed("7890");
  ASSERT_TRUE(RunUntilDone(r));
  EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(r.Data(), "1234567890");
}

TEST_P(ReadRequestTest, MaxIntervalWithoutTotalsReturnsWhatTheRingHoldsAtOnce) {
  SetTimeouts(MAXULONG, 0, 0);
  Read& empty = StartRead(10);
  EXPECT_EQ(empty.returned, STATUS_SUCCESS);
  EXPECT_EQ(empty.iosb.Information, 0u);
  Feed("abc");
  Read& some = StartRead(10);
  EXPECT_EQ(some.returned, STATUS_SUCCESS);
  EXPECT_EQ(some.Data(), "abc");
}

TEST_P(ReadRequestTest, MaxIntervalAndMultiplierWaitForOneByteOrTheConstant) {
  SetTimeouts(MAXULONG, MAXULONG, 500);
  Read& first = StartRead(10);
  ASSERT_EQ(first.returned, STATUS_PENDING);
  ExpectDueAfter(ext()->ReadTotalTimer, first.started, 501, "total timer");
  EXPECT_EQ(Due(ext()->ReadIntervalTimer), -1);
  Feed("xyz");
  ASSERT_TRUE(RunUntilDone(first));
  EXPECT_EQ(first.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(first.Data(), "x") << "the first byte to arrive finishes the read";

  // Bytes already in the ring return at once, up to the length.
  Read& held = StartRead(10);
  EXPECT_EQ(held.returned, STATUS_SUCCESS);
  EXPECT_EQ(held.Data(), "yz");

  Read& none = StartRead(10);
  ASSERT_EQ(none.returned, STATUS_PENDING);
  EXPECT_FALSE(RunUntilDone(none, 500 * kMillisecond)) << "timed out before 501 ms";
  ASSERT_TRUE(RunUntilDone(none));
  EXPECT_EQ(none.iosb.Status, STATUS_TIMEOUT);
  EXPECT_EQ(none.iosb.Information, 0u);
  EXPECT_GE(none.completed - none.started, 501 * kMillisecond);
}

TEST_P(ReadRequestTest, MaxIntervalWithTotalsReturnsTheFirstDataBeforeTheTotal) {
  SetTimeouts(MAXULONG, 10, 100);
  Read& r = StartRead(20);
  ASSERT_EQ(r.returned, STATUS_PENDING);
  ExpectDueAfter(ext()->ReadTotalTimer, r.started, 301, "total timer of 10 x 20 + 100 ms");
  Feed("ab");
  ASSERT_TRUE(RunUntilDone(r));
  EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
  ExpectFirstDataThenRing(r, "ab");
  EXPECT_LT(r.completed - r.started, 100 * kMillisecond);
  EXPECT_EQ(Due(ext()->ReadTotalTimer), -1) << "the finished read left its timer armed";
}

TEST_P(ReadRequestTest, MaxIntervalAndMaxConstantWaitWithoutATimerForTheFirstData) {
  SetTimeouts(MAXULONG, 0, MAXULONG);
  Read& r = StartRead(20);
  ASSERT_EQ(r.returned, STATUS_PENDING);
  EXPECT_EQ(Due(ext()->ReadTotalTimer), -1);
  EXPECT_FALSE(RunUntilDone(r, 5 * emu::kSecond));
  Feed("abc");
  ASSERT_TRUE(RunUntilDone(r));
  EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
  ExpectFirstDataThenRing(r, "abc");
}

TEST_P(ReadRequestTest, IntervalAloneStartsWithTheFirstByteAndEndsAGap) {
  SetTimeouts(50, 0, 0);
  Read& r = StartRead(10);
  ASSERT_EQ(r.returned, STATUS_PENDING);
  EXPECT_FALSE(RunUntilDone(r, 200 * kMillisecond)) << "timed out without data";
  EXPECT_EQ(Due(ext()->ReadIntervalTimer), -1) << "interval timer armed before the first byte";
  EXPECT_EQ(Due(ext()->ReadTotalTimer), -1);
  Feed("abc");
  const emu::VirtualTime fed = kernel().Now();
  const emu::VirtualTime due = Due(ext()->ReadIntervalTimer);
  ASSERT_NE(due, -1) << "no interval timer once the read holds data";
  EXPECT_GT(due - fed, 45 * kMillisecond);
  EXPECT_LE(due - fed, 51 * kMillisecond);
  ASSERT_TRUE(RunUntilDone(r));
  EXPECT_EQ(r.iosb.Status, STATUS_TIMEOUT);
  EXPECT_EQ(r.Data(), "abc");
  EXPECT_GE(r.completed, due);
}

TEST_P(ReadRequestTest, TotalConstantTimesOutWithThePartialData) {
  SetTimeouts(0, 0, 1000);
  Read& r = StartRead(100);
  ASSERT_EQ(r.returned, STATUS_PENDING);
  ExpectDueAfter(ext()->ReadTotalTimer, r.started, 1001, "total timer");
  Feed(std::string(40, 'q'));
  EXPECT_FALSE(RunUntilDone(r, r.started + 1000 * kMillisecond - kernel().Now()));
  ASSERT_TRUE(RunUntilDone(r));
  EXPECT_EQ(r.iosb.Status, STATUS_TIMEOUT);
  EXPECT_EQ(r.iosb.Information, 40u);
  EXPECT_EQ(r.Data(), std::string(40, 'q'));
  EXPECT_GE(r.completed - r.started, 1001 * kMillisecond);
}

TEST_P(ReadRequestTest, ATotalBeyond32BitsArmsNoTimerInsteadOfAWrappedOne) {
  // 0x40000000 x 4 is 2^32: wrapped it would be 0 ms and time the read out at once.
  SetTimeouts(0, 0x40000000, 0);
  Read& wrapped = StartRead(4);
  EXPECT_EQ(Due(ext()->ReadTotalTimer), -1);
  EXPECT_FALSE(RunUntilDone(wrapped, 10 * emu::kSecond));
  Feed("abcd");
  ASSERT_TRUE(RunUntilDone(wrapped));
  EXPECT_EQ(wrapped.iosb.Status, STATUS_SUCCESS);

  // 1000000 x 4000 + 7 ms still fits: the timer is armed for exactly that.
  SetTimeouts(0, 1000000, 7);
  Read& large = StartRead(4000);
  ExpectDueAfter(ext()->ReadTotalTimer, large.started, 4000000008LL, "total timer");
}

TEST_P(ReadRequestTest, CancellingAParkedReadReportsNoBytes) {
  SetTimeouts(0, 0, 0);
  Read& r = StartRead(10);
  Feed("12345");
  ASSERT_FALSE(r.Done());
  Cancel(r);
  ASSERT_TRUE(RunUntilDone(r, 10 * kMillisecond));
  EXPECT_EQ(r.iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(r.iosb.Information, 0u);
  EXPECT_EQ(ext()->ReadParked, nullptr) << "the cancelled read is still marked parked";
  EXPECT_EQ(ext()->CurrentRead, nullptr);
  // Bytes arriving afterwards go to the next read, not to the cancelled one.
  Feed("678");
  Read& next = StartRead(3);
  EXPECT_EQ(next.returned, STATUS_SUCCESS);
  EXPECT_EQ(next.Data(), "678");
}

TEST_P(ReadRequestTest, ReadsQueuedBehindATimedOutReadStartInOrder) {
  SetTimeouts(0, 0, 200);
  Read& a = StartRead(10);
  Read& b = StartRead(3);
  Read& c = StartRead(3);
  EXPECT_EQ(b.returned, STATUS_PENDING);
  EXPECT_EQ(c.returned, STATUS_PENDING);
  ASSERT_TRUE(RunUntilDone(a));
  EXPECT_EQ(a.iosb.Status, STATUS_TIMEOUT);
  EXPECT_FALSE(b.Done()) << "the second read finished with the first";
  // The second read is current and parked with a fresh total timer, started by the same DPC.
  ASSERT_NE(ext()->CurrentRead, nullptr);
  EXPECT_EQ(ext()->ReadParked, ext()->CurrentRead);
  const emu::VirtualTime due = Due(ext()->ReadTotalTimer);
  EXPECT_NEAR((double)(due - a.completed), (double)(201 * kMillisecond), (double)kArmSlack)
      << "the second read's total timer is not 201 ms from the first read's time-out";
  Feed("xyz");
  ASSERT_TRUE(RunUntilDone(b));
  EXPECT_EQ(b.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(b.Data(), "xyz");
  EXPECT_FALSE(c.Done());
  ASSERT_TRUE(RunUntilDone(c));
  EXPECT_EQ(c.iosb.Status, STATUS_TIMEOUT);
  EXPECT_GE(c.completed - b.completed, 201 * kMillisecond);
}

TEST_P(ReadRequestTest, WakeUpsLeftOverFromAnEarlierReadLeaveTheParkedReadAlone) {
  SetTimeouts(0, 0, 0);
  Read& r = StartRead(4);
  ASSERT_EQ(r.returned, STATUS_PENDING);
  // A timer DPC and a continue DPC that fired for an earlier read run now.
  Call([&] {
    KeInsertQueueDpc(&ext()->ReadTotalDpc, NULL, NULL);
    KeInsertQueueDpc(&ext()->ReadIntervalDpc, NULL, NULL);
    KeInsertQueueDpc(&ext()->ReadContinueDpc, NULL, NULL);
    return STATUS_SUCCESS;
  });
  Settle();
  EXPECT_FALSE(r.Done()) << "a stale wake-up finished the read with status " << Hex((ULONG)r.iosb.Status);
  EXPECT_EQ(ext()->ReadParked, ext()->CurrentRead);
  Feed("abcd");
  ASSERT_TRUE(RunUntilDone(r));
  EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(r.Data(), "abcd");
}

TEST_P(ReadRequestTest, AZeroLengthReadSucceedsAtOnce) {
  Read& r = StartRead(0);
  EXPECT_EQ(r.returned, STATUS_SUCCESS);
  EXPECT_EQ(r.iosb.Information, 0u);
}

INSTANTIATE_TEST_SUITE_P(Schedules, ReadRequestTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace drvusb_test
