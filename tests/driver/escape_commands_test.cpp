// In-band escape commands: writes of a command's form at 300 baud executed by the driver (the
// identification query, the rate command and the chip location access on both chip
// generations), the reply announced to a wait and a parked read by its own thread, and that
// thread's end before the port is released.
#include <string_view>

#include "driver/request_accounting.h"
#include "driver_fixture.h"
#include "read_fixture.h"
#include "usbhost/usb_host.h"

namespace drvusb_test {
namespace {

using emu::kMillisecond;
using emu::kSecond;

constexpr std::string_view kQuery = "$ZM470Ser?";

// A started, open port with its reader streaming, whose writes go to the driver's own routine.
class EscapePort : public ReadPort {
 public:
  using ReadPort::ReadPort;

  struct Result {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR written = 0;
  };

  // Sets the rate (8N1) on the chip and on the peer.
  void SetRate(ULONG baudRate) {
    EXPECT_EQ(ProgramLine(baudRate, 0xFF, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
    peer.SetFrame(chip->LineFrame());
  }
  // Writes the bytes from an application thread and waits for the write to complete.
  Result Write(std::string_view bytes) {
    Result r;
    chip->ClearControlLog();
    EXPECT_TRUE(machine.RunInApplicationThread(
        "write", [&] { r.status = machine.Write(file, bytes.data(), (ULONG)bytes.size(), &r.written); }));
    return r;
  }
  // What reached the far end, once the line has had time to carry ten 300-baud characters.
  std::string Sent() {
    Settle(500 * kMillisecond);
    std::vector<uint8_t> bytes = peer.ReceivedBytes();
    peer.ClearReceived();
    return std::string(bytes.begin(), bytes.end());
  }
  // Threads the driver has created so far.
  size_t ThreadsCreated() {
    size_t n = 0;
    for (const auto& e : kernel().TraceEvents())
      n += e.category == "thread" && e.text.rfind("create thread", 0) == 0;
    return n;
  }
  std::vector<emu::zm470::Zm470::ControlRecord> Requests(uint8_t request) const {
    return chip->VendorRequests(request);
  }
};

// The port as a test fixture, for Scheduled<>.
struct EscapePortTest : ::testing::Test, EscapePort {
  explicit EscapePortTest(emu::KernelConfig kernelConfig) : EscapePort(kernelConfig) {}
};

// wValue in the high and wIndex in the low half, for comparisons.
uint32_t ValueIndex(const emu::zm470::Zm470::ControlRecord& r) {
  return (uint32_t)r.setup.wValue << 16 | r.setup.wIndex;
}

std::string Bytes(std::initializer_list<uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(EscapeCommands, TheQueryIsAnsweredWithWAt300BaudAndSentAsDataAtAnyOtherRate) {
  EscapePort m;
  m.SetRate(300);
  EscapePort::Result r = m.Write(kQuery);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.written, 0u) << "the query counted as written data";
  EXPECT_EQ(m.Sent(), "") << "the query went out on the line";
  m.SetTimeouts(MAXULONG, 0, 0);  // a read returns what the ring holds at once
  EscapePort::Read& read = m.StartRead(4);
  ASSERT_TRUE(m.RunUntilDone(read, kSecond));
  EXPECT_EQ(read.Data(), "W");

  m.SetRate(9600);
  r = m.Write(kQuery);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.written, kQuery.size());
  EXPECT_EQ(m.Sent(), kQuery) << "at 9600 baud the query is data";
  EXPECT_TRUE(m.RingBytes().empty()) << "a reply came at 9600 baud";
}

TEST(EscapeCommands, TheRateCommandProgramsTheRateAndLeavesEscapeMode) {
  EscapePort m;
  m.SetRate(300);
  EscapePort::Result r = m.Write("#9600_");
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.written, 0u);
  EXPECT_EQ(m.ext()->BaudRate, 9600u);
  EXPECT_EQ(m.ext()->WmiCommData.BaudRate, 9600u);
  EXPECT_NEAR(m.chip->LineFrame().baud, 9600.0, 96.0) << "the chip was not programmed";
  EXPECT_EQ(m.Sent(), "");
  m.peer.SetFrame(m.chip->LineFrame());
  r = m.Write(kQuery);
  EXPECT_EQ(r.written, kQuery.size());
  EXPECT_EQ(m.Sent(), kQuery) << "the port stayed in escape mode";
  EXPECT_TRUE(m.RingBytes().empty());
}

TEST(EscapeCommands, RatesOutsideOneToThreeMillionAndOtherFormsAreSentAsData) {
  struct Case {
    std::string_view bytes;
    ULONG rate;  // of a command; 0: data
    NTSTATUS status;
  } const cases[] = {
      {"#000_", 0, STATUS_SUCCESS},
      {"#4000000_", 0, STATUS_SUCCESS},
      {"#1x0_", 0, STATUS_SUCCESS},
      {"#96_", 0, STATUS_SUCCESS},
      {"#9600-", 0, STATUS_SUCCESS},
      {"$ZM470Ser!", 0, STATUS_SUCCESS},
      {std::string_view("!\x11\x42\x00", 4), 0, STATUS_SUCCESS},
      {"#3000000_", 3000000, STATUS_SUCCESS},
      {"#0009600_", 9600, STATUS_SUCCESS},
      // Below the slowest rate the chip's dividers make: stored all the same.
      {"#045_", 45, STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bytes));
    EscapePort m;
    m.SetRate(300);
    EscapePort::Result r = m.Write(c.bytes);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.written, c.rate != 0 ? 0 : c.bytes.size());
    EXPECT_EQ(m.ext()->BaudRate, c.rate != 0 ? c.rate : 300u);
    EXPECT_EQ(m.ext()->WmiCommData.BaudRate, c.rate != 0 ? c.rate : 0u);
    EXPECT_EQ(m.Sent(), c.rate != 0 ? "" : c.bytes) << "a command went out or data did not";
    EXPECT_TRUE(m.RingBytes().empty());
  }
}

TEST(EscapeCommands, NewerChipsAreReachedThrough54AndAWriteIsCommittedWith5E) {
  EscapePort m;  // revision 0x30
  m.SetRate(300);
  const size_t threads = m.ThreadsCreated();
  EscapePort::Result r = m.Write(Bytes({'@', 0x10, 0x42, 0x7E}));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.written, 0u);
  EXPECT_EQ(m.chip->AuxByte(0x42), 0x7E);
  auto writes = m.Requests(0x54);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].setup.bmRequestType, 0x40);
  EXPECT_EQ(ValueIndex(writes[0]), 0x427E1001u);
  auto commits = m.Requests(0x5E);
  ASSERT_EQ(commits.size(), 1u);
  EXPECT_EQ(ValueIndex(commits[0]), 0x000A0000u);
  m.Settle();
  EXPECT_TRUE(m.RingBytes().empty()) << "a write put a reply into the ring";
  EXPECT_EQ(m.ThreadsCreated(), threads) << "a write started the reply thread";
  EXPECT_EQ(m.Sent(), "");

  // Bit 0 of the command byte selects a read; the chip gets it cleared.
  m.chip->SetAuxByte(0x42, 0xA5);
  r = m.Write(Bytes({'@', 0x11, 0x42, 0x99}));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  auto reads = m.Requests(0x54);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].setup.bmRequestType, 0xC0);
  EXPECT_EQ(ValueIndex(reads[0]), 0x42001001u);
  EXPECT_TRUE(m.Requests(0x5E).empty());
  m.Settle();
  EXPECT_EQ(m.RingBytes(), std::vector<UCHAR>{0xA5});
  EXPECT_EQ(m.ThreadsCreated(), threads + 1);
  EXPECT_EQ(m.chip->AuxByte(0x42), 0xA5) << "a read changed the location";
}

TEST(EscapeCommands, OlderChipsStartWith53AndPoll52UntilTheAccessIsDone) {
  EscapePort m(ChipRevision(0x10));
  ASSERT_LT(m.ext()->ChipVersion, 0x20u);
  m.SetRate(300);
  const size_t threads = m.ThreadsCreated();
  EscapePort::Result r = m.Write(Bytes({'@', 0x10, 0x42, 0x7E}));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  auto starts = m.Requests(0x53);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(ValueIndex(starts[0]), 0x007E1042u);
  EXPECT_EQ(m.Requests(0x52).size(), 3u) << "two busy polls, then done";
  EXPECT_EQ(m.chip->AuxByte(0x42), 0x7E);
  EXPECT_TRUE(m.Requests(0x54).empty() && m.Requests(0x5E).empty());
  m.Settle();
  EXPECT_TRUE(m.RingBytes().empty());
  EXPECT_EQ(m.ThreadsCreated(), threads);

  m.chip->SetAuxByte(0x43, 0x3C);
  r = m.Write(Bytes({'@', 0x11, 0x43, 0x00}));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  starts = m.Requests(0x53);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(ValueIndex(starts[0]), 0x00001143u) << "bit 0 is kept";
  EXPECT_EQ(m.Requests(0x52).size(), 3u);
  m.Settle();
  EXPECT_EQ(m.RingBytes(), std::vector<UCHAR>{0x3C});
}

TEST(EscapeCommands, AReadWithoutAnAnswerFailsAndPutsNothingIntoTheRing) {
  {
    SCOPED_TRACE("newer chip, empty answer to 0x54");
    EscapePort m;
    m.chip->SetControlHook([](const emu::usb::SetupPacket& s,
                              std::span<const uint8_t>) -> std::optional<emu::usb::ControlReply> {
      if (s.bRequest != 0x54) return std::nullopt;
      return emu::usb::ControlReply{};
    });
    m.SetRate(300);
    EXPECT_EQ(m.Write(Bytes({'@', 0x11, 0x42, 0x00})).status, STATUS_UNSUCCESSFUL);
    m.Settle();
    EXPECT_TRUE(m.RingBytes().empty());
  }
  struct Case {
    const char* name;
    uint32_t busyPolls;
    size_t statusLength;
    size_t polls;
  } const cases[] = {
      {"older chip, never done", UINT32_MAX, 8, 100},
      {"older chip, short status blocks", 2, 5, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    emu::zm470::Config config = ChipRevision(0x10);
    config.auxBusyPolls = c.busyPolls;
    config.statusBlockLength = c.statusLength;
    EscapePort m(config);
    m.SetRate(300);
    EXPECT_EQ(m.Write(Bytes({'@', 0x11, 0x42, 0x00})).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m.Requests(0x52).size(), c.polls);
    m.Settle();
    EXPECT_TRUE(m.RingBytes().empty());
  }
}

// The announcement races the read's own path and the wait's completion: under every schedule.
class EscapeReplyTest : public test_support::Scheduled<EscapePortTest> {};

TEST_P(EscapeReplyTest, AReplyCompletesAWaitForRxcharAndAParkedRead) {
  EscapePort& m = *this;
  m.SetRate(300);
  ASSERT_EQ(m.SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG), STATUS_SUCCESS);
  StatusPort::Wait& wait = m.StartWait();
  EscapePort::Read& read = m.StartRead(1);
  m.Settle();
  ASSERT_FALSE(wait.Done() || read.Done());
  EXPECT_EQ(m.Write(kQuery).status, STATUS_SUCCESS);
  ASSERT_TRUE(m.RunUntilDone(read, kSecond)) << "the parked read was not served";
  EXPECT_EQ(read.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(read.Data(), "W");
  ASSERT_TRUE(m.kernel().RunUntil([&] { return wait.Done(); }, m.kernel().Now() + kSecond));
  EXPECT_EQ(wait.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(wait.result, (ULONG)SERIAL_EV_RXCHAR);
}

INSTANTIATE_TEST_SUITE_P(Schedules, EscapeReplyTest, test_support::AllSchedules(),
                         test_support::ScheduleName);

TEST(EscapeCommands, WithoutItsThreadTheReplyStaysInTheRingForALaterRead) {
  EscapePort m;
  m.SetRate(300);
  const LONG threads = m.ext()->ThreadCount;
  m.kernel().FailThreadCreations(1);
  EXPECT_EQ(m.Write(kQuery).status, STATUS_SUCCESS);
  m.Settle();
  EXPECT_EQ(m.ext()->ThreadCount, threads) << "the failed thread stayed counted";
  EXPECT_EQ(m.RingBytes(), std::vector<UCHAR>{'W'});
  EscapePort::Read& read = m.StartRead(1);
  ASSERT_TRUE(m.RunUntilDone(read, kSecond));
  EXPECT_EQ(read.Data(), "W");
}

}  // namespace
}  // namespace drvusb_test

namespace tarnwire::testing {
namespace {

// Removal right after a query: the reply thread may not even have started when the port's
// teardown begins, and the port must not be released under it. The port's own threads are
// stopped beforehand, so that only the reply thread's count can hold the teardown back.
class EscapeRemovalTest : public Scheduled<LoadedDriverTest> {};

TEST_P(EscapeRemovalTest, RemovalRightAfterAQueryWaitsForTheReplyThread) {
  PDEVICE_OBJECT port = AddBridge();
  ASSERT_NE(nullptr, port);
  PPORT_EXTENSION ext = Ext(port);
  ASSERT_TRUE(machine().RunInSystemThread("stop port threads", [&] {
    PWSTR interfaceBuffer = ext->InterfaceName.Buffer;
    ext->InterfaceName.Buffer = NULL;
    StopPortThreads(port);
    ext->InterfaceName.Buffer = interfaceBuffer;
  }));
  ASSERT_EQ(0, ext->ThreadCount);
  ext->Started = TRUE;
  ext->OpenState = PORT_OPEN;
  ext->BaudRate = 300;
  const size_t threads = DriverThreadsCreated();
  NTSTATUS status = STATUS_PENDING;
  size_t endedAtRemoval = 0;
  ASSERT_TRUE(machine().RunInSystemThread("query and remove", [&] {
    char query[] = "$ZM470Ser?";
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, port, query, sizeof query - 1, nullptr, &done, &iosb);
    if (IoCallDriver(port, irp) == STATUS_PENDING)
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = iosb.Status;
    ext->OpenState = PORT_CLOSED;
    TearDownPort(port);  // what removal does once no request is left
    endedAtRemoval = DriverThreadsEnded();
  }));
  EXPECT_EQ(STATUS_SUCCESS, status);
  EXPECT_EQ(threads + 1, DriverThreadsCreated()) << "no reply thread was started";
  EXPECT_EQ(DriverThreadsCreated(), endedAtRemoval) << "the port was released under a running thread";
}

INSTANTIATE_TEST_SUITE_P(Schedules, EscapeRemovalTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
