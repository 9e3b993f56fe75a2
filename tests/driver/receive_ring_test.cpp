// The receive ring: copies into the current read (partial, wrapping, lazily wrapped pointer),
// the reader wake-up threshold, a full ring, the RXCLEAR reset, and producers racing each other,
// the consumer and the reset. The ring is a port extension of the test's own whose storage is
// fenced by guard bytes, so that a copy or store outside the storage shows; no thread waits on its
// ReaderEvent, so the event's state shows whether a copy set it.
#include "rx/receive_ring.h"

#include <cstdint>
#include <functional>
#include <vector>

#include "driver_fixture.h"
#include "serial/request_queue.h"

namespace tarnwire::testing {
namespace {

constexpr size_t kGuard = 64;
constexpr UCHAR kGuardByte = 0xEE;
UCHAR Pattern(size_t k) { return static_cast<UCHAR>(k * 7 + 1); }

class RingTest : public DriverTest {
 protected:
  using DriverTest::DriverTest;
  void SetUp() override {
    storage_.assign(RING_BUFFER_SIZE + 2 * kGuard, kGuardByte);
    ext_.RingBase = storage_.data() + kGuard;
    ext_.RingSize = RING_BUFFER_SIZE;
    ext_.RingHighWater = RING_BUFFER_SIZE * 4 / 5;
    ext_.RingWritePtr = ext_.RingReadPtr = ext_.RingBase;
    InThread([&] {
      KeInitializeSpinLock(&ext_.ControlLock);
      KeInitializeEvent(&ext_.ReaderEvent, SynchronizationEvent, FALSE);
    });
  }

  void InThread(std::function<void()> body) { ASSERT_TRUE(machine().RunInSystemThread("test", body)); }
  ULONG Size() const { return ext_.RingSize; }
  size_t ReadOffset() const { return ext_.RingReadPtr - ext_.RingBase; }

  // Makes the ring hold `count` pattern bytes starting `offset` bytes into the storage.
  void Place(size_t offset, ULONG count) {
    for (size_t k = 0; k < count; ++k) ext_.RingBase[(offset + k) % Size()] = Pattern(k);
    ext_.RingReadPtr = ext_.RingBase + offset;
    size_t end = offset + count;
    ext_.RingWritePtr = ext_.RingBase + (end > Size() ? end - Size() : end);
    ext_.RingCount = static_cast<LONG>(count);
  }

  // A current read wanting `want` bytes, served by one copy under ControlLock; returns what it got.
  std::vector<UCHAR> Copy(ULONG want, ULONG* remaining = nullptr) {
    std::vector<UCHAR> buffer(want);
    ULONG left = 0;
    ULONG_PTR got = 0;
    InThread([&] {
      PIRP irp = IoAllocateIrp(1, FALSE);
      ASSERT_NE(nullptr, irp);
      IoSetNextIrpStackLocation(irp);
      IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
      IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length = want;
      RequestBufferPosition(irp) = buffer.data();
      irp->IoStatus.Information = 0;
      KIRQL irql;
      KeAcquireSpinLock(&ext_.ControlLock, &irql);
      ext_.CurrentRead = irp;
      left = CopyRingToRead(&ext_);
      ext_.CurrentRead = nullptr;
      KeReleaseSpinLock(&ext_.ControlLock, irql);
      got = irp->IoStatus.Information;
      EXPECT_EQ(buffer.data() + got, RequestBufferPosition(irp)) << "buffer position not advanced";
      IoFreeIrp(irp);
    });
    EXPECT_EQ(want - got, left) << "the remaining length does not match the bytes moved";
    if (remaining != nullptr) *remaining = left;
    buffer.resize(got);
    return buffer;
  }

  void Put(UCHAR byte) {
    InThread([&] { RingPutByte(&ext_, byte); });
  }

  bool ReaderEventSet() {
    LONG state = 0;
    InThread([&] { state = KeReadStateEvent(&ext_.ReaderEvent); });
    return state != 0;
  }

  void ExpectGuardsIntact() {
    for (size_t i = 0; i < kGuard; ++i) {
      ASSERT_EQ(kGuardByte, storage_[i]) << "written before the storage at " << i;
      ASSERT_EQ(kGuardByte, storage_[kGuard + Size() + i]) << "written past the storage at " << i;
    }
  }

  PORT_EXTENSION ext_{};
  std::vector<UCHAR> storage_;
};

TEST_F(RingTest, CopiesWhatIsHeldUpToWhatIsWantedAcrossTheEndOfTheStorage) {
  // clang-format off
  const struct { const char* what; size_t offset; ULONG count, want, delivered; size_t readOffset; } cases[] = {
      {"less held than wanted",      100,       3,  10, 3,  103},
      {"more held than wanted",      0,         50, 20, 20, 20},
      {"5 tail bytes then 7 from the base", RING_BUFFER_SIZE - 5, 12, 12, 12, 7},
      {"read pointer at the very end", RING_BUFFER_SIZE, 4, 4, 4, 4},
      {"ends exactly at the end",    RING_BUFFER_SIZE - 6, 6, 6, 6, RING_BUFFER_SIZE},
      {"nothing held",               40,        0,  8,  0,  40},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Place(c.offset, c.count);
    std::vector<UCHAR> got = Copy(c.want);
    ASSERT_EQ(c.delivered, got.size());
    for (size_t k = 0; k < got.size(); ++k) ASSERT_EQ(Pattern(k), got[k]) << "byte " << k << " out of order";
    EXPECT_EQ(c.count - c.delivered, static_cast<ULONG>(ext_.RingCount));
    EXPECT_EQ(c.readOffset, ReadOffset());
    ExpectGuardsIntact();
  }
}

TEST_F(RingTest, AnIdleReaderIsWokenOnceMoreThan64BytesAreFree) {
  // clang-format off
  const struct { const char* what; ULONG freeAfter; LONG bulkInBusy; bool woken; } cases[] = {
      {"64 bytes free",                         64, 0, false},
      {"65 bytes free",                         65, 0, true},
      {"65 bytes free, a transfer in flight",   65, 1, false},
      {"plenty free, a transfer in flight",     Size(), 1, false},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Place(0, Size() - c.freeAfter + 1);
    ext_.BulkInBusy = c.bulkInBusy;
    InThread([&] { KeClearEvent(&ext_.ReaderEvent); });
    ASSERT_EQ(1u, Copy(1).size());
    EXPECT_EQ(c.woken, ReaderEventSet());
  }
}

TEST_F(RingTest, AByteArrivingAtAFullRingIsDroppedAndCountedAsAnOverrun) {
  Place(0, Size());
  ASSERT_EQ(ext_.RingBase + Size(), ext_.RingWritePtr);
  Put(0x5A);
  EXPECT_EQ(static_cast<LONG>(Size()), ext_.RingCount) << "RingCount exceeded RingSize";
  EXPECT_EQ(Pattern(0), ext_.RingBase[0]) << "the store overwrote an unread byte";
  EXPECT_EQ(1u, ext_.PerfStats.BufferOverrunErrorCount);
  EXPECT_EQ(ULONG{SERIAL_ERROR_QUEUEOVERRUN}, ext_.CommErrors);
  ExpectGuardsIntact();

  ASSERT_EQ(std::vector<UCHAR>{Pattern(0)}, Copy(1));
  Put(0x5A);  // one byte free: stored at the base, where the lazily wrapped pointer goes
  EXPECT_EQ(static_cast<LONG>(Size()), ext_.RingCount);
  std::vector<UCHAR> all = Copy(Size());
  ASSERT_EQ(Size(), all.size());
  EXPECT_EQ(Pattern(1), all.front());
  EXPECT_EQ(0x5A, all.back()) << "the byte stored after the overrun is not the last delivered";
  EXPECT_EQ(1u, ext_.PerfStats.BufferOverrunErrorCount);
  ExpectGuardsIntact();
}

TEST_F(RingTest, AfterTheReceiveClearTheNextByteStoredIsTheNextDelivered) {
  Place(Size() - 10, 20);
  InThread([&] { ClearReceiveRing(&ext_); });
  EXPECT_EQ(0, ext_.RingCount);
  EXPECT_TRUE(Copy(4).empty());
  Put('x');
  EXPECT_EQ(std::vector<UCHAR>{'x'}, Copy(4));
}

// Two producers (a dispatch thread at PASSIVE_LEVEL and a higher-priority reader) store their own
// numbered streams while a consumer drains the ring and, in the second round, the receive clear
// resets it mid-stream. Every stored byte is delivered once, in its producer's order, and what
// follows the reset is each producer's stream from some point on to its end.
using RingRaceTest = Scheduled<RingTest>;

TEST_P(RingRaceTest, ProducersRacingTheConsumerAndTheResetLoseNothingAndDeliverNothingStale) {
  constexpr int kPerProducer = 48;
  for (bool withReset : {false, true}) {
    SCOPED_TRACE(withReset ? "with a receive clear" : "without a receive clear");
    Place(Size() - 20, 0);  // the streams wrap around the end of the storage
    std::vector<UCHAR> delivered;
    size_t resetAt = SIZE_MAX;  // bytes delivered before the reset
    bool producersDone[2] = {false, false};
    for (int p = 0; p < 2; ++p) {
      kernel().StartSystemThread("producer " + std::to_string(p), [&, p] {
        if (p == 1) KeSetPriorityThread(KeGetCurrentThread(), 18);
        for (int i = 0; i < kPerProducer; ++i) RingPutByte(&ext_, static_cast<UCHAR>(p * 128 + i));
        producersDone[p] = true;
      });
    }
    kernel().StartSystemThread("consumer", [&] {
      for (int round = 0; round < 8; ++round) {
        std::vector<UCHAR> got = Copy(16);
        delivered.insert(delivered.end(), got.begin(), got.end());
        if (withReset && round == 2) {
          ClearReceiveRing(&ext_);
          resetAt = delivered.size();
        }
      }
    });
    kernel().Run();
    ASSERT_TRUE(producersDone[0] && producersDone[1]);
    size_t held = static_cast<size_t>(ext_.RingCount);
    size_t between = (ext_.RingWritePtr - ext_.RingReadPtr + Size()) % Size();
    EXPECT_EQ(held, between) << "RingCount disagrees with the pointers";
    std::vector<UCHAR> rest = Copy(Size());
    delivered.insert(delivered.end(), rest.begin(), rest.end());
    // Each producer's bytes before and after the reset: consecutive runs, the first from its
    // first byte, the last to its last byte.
    for (int p = 0; p < 2; ++p) {
      std::vector<int> before, after;
      for (size_t i = 0; i < delivered.size(); ++i)
        if (delivered[i] / 128 == p) (i < resetAt ? before : after).push_back(delivered[i] % 128);
      for (const std::vector<int>* run : {&before, &after})
        for (size_t k = 1; k < run->size(); ++k)
          ASSERT_EQ((*run)[k - 1] + 1, (*run)[k]) << "producer " << p << ": a byte lost or delivered stale";
      if (!before.empty()) {
        EXPECT_EQ(0, before.front()) << "producer " << p << "'s first byte lost";
      }
      if (!before.empty() && !after.empty()) {
        EXPECT_LT(before.back(), after.front()) << "producer " << p << ": a byte delivered twice";
      }
      if (!withReset) {
        EXPECT_EQ(static_cast<size_t>(kPerProducer), before.size()) << "producer " << p << " lost bytes";
      }
      if (!after.empty()) {
        EXPECT_EQ(kPerProducer - 1, after.back()) << "producer " << p << "'s last byte lost";
      }
    }
    EXPECT_EQ(0u, ext_.PerfStats.BufferOverrunErrorCount);
    ExpectGuardsIntact();
  }
}

INSTANTIATE_TEST_SUITE_P(Schedules, RingRaceTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
