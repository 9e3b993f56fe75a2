// Control-code fuzzing of an open port on a loopback plug while a writer and a reader move data
// through it: random serial, internal serial, pass-through and other codes with random lengths
// and contents. Requests left pending are cancelled after a random bounded time; settings that
// would hold the test's own traffic forever are put back every few calls, and a request that may
// have reprogrammed or reset the chip is followed by a re-open and re-initialisation. Afterwards
// the port must carry 1000 bytes unchanged and keep every setting it is given. No bug check may
// stop the run. TARNWIRE_FUZZ_CALLS sets the number of calls per schedule (100000 by default);
// TARNWIRE_FUZZ_TRACE prints every request as it is issued.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "driver_fixture.h"
#include "ioctl_fuzz_requests.h"
#include "serial_rig.h"

namespace tarnwire::testing {
namespace {

using serial_rig::Bridge;
using serial_rig::SerialRig;

uint64_t CallsPerSchedule() {
  const char* calls = std::getenv("TARNWIRE_FUZZ_CALLS");
  return calls != nullptr && std::atoll(calls) > 0 ? static_cast<uint64_t>(std::atoll(calls)) : 100000;
}

constexpr ULONG kIoctl(ULONG function) {
  return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}

void Delay(emu::VirtualTime duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  (VOID) KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Waits for `event` at most `timeout`; true when it was signalled.
bool WaitFor(KEVENT& event, emu::VirtualTime timeout) {
  LARGE_INTEGER t;
  t.QuadPart = -timeout;
  return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
}

SERIAL_TIMEOUTS TrafficTimeouts() {
  SERIAL_TIMEOUTS t = serial_rig::ReturnOnFirstByte(50);
  t.WriteTotalTimeoutConstant = 200;
  return t;
}

// The machine, the port and the contexts of one fuzzing run.
class FuzzRun {
 public:
  explicit FuzzRun(const emu::KernelConfig& config)
      : rig_(SerialRig::FarEnd::Loopback, config),
        generator_(config.seed * 2 + (config.processors != emu::ProcessorModel::Uniprocessor)) {
    KeInitializeEvent(&callStarted_, SynchronizationEvent, FALSE);
    KeInitializeEvent(&callEnded_, SynchronizationEvent, FALSE);
    KeInitializeEvent(&internalGo_, SynchronizationEvent, FALSE);
    KeInitializeEvent(&internalDone_, SynchronizationEvent, FALSE);
  }

  SerialRig& rig() { return rig_; }
  const FuzzLog& log() const { return log_; }
  const std::string& hang() const { return hang_; }
  uint64_t trafficBytes() const { return bytesRead_; }
  uint64_t reopens() const { return reopens_; }
  // The traffic's failed reads and writes by status.
  std::string TrafficFailures() const {
    std::string text;
    for (const auto* m : {&readFailures_, &writeFailures_}) {
      text += m == &readFailures_ ? "failed reads" : ", failed writes";
      for (const auto& [status, n] : *m) text += " " + FuzzLog::StatusText(status) + "=" + std::to_string(n);
    }
    return text;
  }

  // Fuzzes with `calls` requests beside the traffic; false when the run did not end.
  bool Fuzz(uint64_t calls) {
    emu::Kernel& k = rig_.kernel();
    std::vector<emu::Kernel::ContextId> ids;
    ids.push_back(k.StartApplicationThread("traffic writer", [this] { Writer(); }));
    ids.push_back(k.StartApplicationThread("traffic reader", [this] { Reader(); }));
    ids.push_back(k.StartApplicationThread("watchdog", [this] { Watchdog(); }));
    ids.push_back(k.StartSystemThread("kernel client", [this] { KernelClient(); }));
    ids.push_back(k.StartApplicationThread("fuzzer", [this, calls] { Fuzzer(calls); }));
    return k.RunUntil([&] {
      return std::all_of(ids.begin(), ids.end(),
                         [&](emu::Kernel::ContextId id) { return k.ContextFinished(id); });
    });
  }

  // A control request from an application thread of the machine.
  NTSTATUS Control(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                   ULONG_PTR* info = nullptr) {
    emu::IoRequest request;
    request.ioControlCode = code;
    request.inputBuffer = in;
    request.inputLength = inLength;
    request.outputBuffer = out;
    request.outputLength = outLength;
    return rig_.machine().io().SendRequest(file(), request, info);
  }
  template <class T>
  NTSTATUS Set(ULONG function, const T& value) {
    return Control(kIoctl(function), &value, sizeof(T), nullptr, 0);
  }
  template <class T>
  NTSTATUS Get(ULONG function, T* value) {
    return Control(kIoctl(function), nullptr, 0, value, sizeof(T));
  }

  // Settings under which the traffic cannot stop for good: no break, no XOFF hold, no handshake,
  // no escapes, time-outs on reads and writes, and the rate the traffic started at.
  void PutBackTrafficSettings() {
    SERIAL_STATUS comm;
    (void)Get(27, &comm);                               // GET_COMMSTATUS ends an error abort
    (void)Control(kIoctl(5), nullptr, 0, nullptr, 0);   // SET_BREAK_OFF
    (void)Control(kIoctl(15), nullptr, 0, nullptr, 0);  // SET_XON
    (void)Set<UCHAR>(31, 0);                            // LSRMST_INSERT off
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 1024, 1024};
    (void)Set(25, flow);
    (void)Set(7, TrafficTimeouts());
    (void)Set<ULONG>(1, 115200);
  }

  PFILE_OBJECT file() { return rig_.A().file; }

 private:
  Bridge& bridge() { return rig_.A(); }

  void Fuzzer(uint64_t calls) {
    std::vector<uint8_t> in(kFuzzBufferSize);
    std::vector<uint8_t> out(kFuzzBufferSize);
    uint64_t nextPutBack = 1;
    for (uint64_t n = 0; n < calls && hang_.empty(); ++n) {
      current_ = generator_.Next();
      std::copy(current_.input.begin(), current_.input.end(), in.begin());
      ULONG_PTR info = 0;
      NTSTATUS status;
      log_.Issue(current_);
      ++callsStarted_;
      if (trace_)
        std::fprintf(stderr, "%lld %s\n", static_cast<long long>(rig_.kernel().Now()), log_.Last().c_str());
      KeSetEvent(&callStarted_, IO_NO_INCREMENT, FALSE);
      if (current_.family == Family::Internal) {
        status = Internal(in.data(), static_cast<ULONG>(current_.input.size()), out.data(),
                          current_.outputLength, &info);
      } else {
        status = Control(current_.code, in.data(), static_cast<ULONG>(current_.input.size()), out.data(),
                         current_.outputLength, &info);
      }
      callsEnded_ = callsStarted_;
      KeSetEvent(&callEnded_, IO_NO_INCREMENT, FALSE);
      log_.Record(current_, status, info);
      if (current_.touchesChip && NT_SUCCESS(status)) Reopen();
      // An application does other work between its requests; the traffic moves meanwhile.
      if (rng_() % 10 == 0) Delay(static_cast<emu::VirtualTime>(rng_() % 1000) * emu::kMillisecond / 1000);
      if (n + 1 == nextPutBack) {
        PutBackTrafficSettings();
        nextPutBack += 1 + rng_() % 32;
      }
    }
    stop_ = true;
    internalQuit_ = true;
    KeSetEvent(&internalGo_, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&callStarted_, IO_NO_INCREMENT, FALSE);
    PutBackTrafficSettings();
    // Reads and writes still waiting end now.
    while (trafficRunning_ > 0) {
      (void)rig_.machine().io().CancelFileRequests(file());
      Delay(emu::kMillisecond);
    }
  }

  // An internal control request, sent by the kernel client's system thread.
  NTSTATUS Internal(void* in, ULONG inLength, void* out, ULONG outLength, ULONG_PTR* info) {
    internal_ = {in, inLength, out, outLength, STATUS_PENDING, 0};
    KeSetEvent(&internalGo_, IO_NO_INCREMENT, FALSE);
    (void)KeWaitForSingleObject(&internalDone_, Executive, KernelMode, FALSE, nullptr);
    *info = internal_.information;
    return internal_.status;
  }

  void KernelClient() {
    for (;;) {
      (void)KeWaitForSingleObject(&internalGo_, Executive, KernelMode, FALSE, nullptr);
      if (internalQuit_) return;
      KEVENT done;
      IO_STATUS_BLOCK iosb{};
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      PIRP irp = IoBuildDeviceIoControlRequest(current_.code, bridge().port, internal_.in, internal_.inLength,
                                               internal_.out, internal_.outLength, TRUE, &done, &iosb);
      NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
      if (irp != nullptr) {
        status = IoCallDriver(bridge().port, irp);
        if (status == STATUS_PENDING) {
          (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
          status = iosb.Status;
        }
        internal_.information = iosb.Information;
      }
      internal_.status = status;
      KeSetEvent(&internalDone_, IO_NO_INCREMENT, FALSE);
    }
  }

  // The transmit side of the port, for a report of a request that did not end.
  std::string DescribeWriteSide() {
    PPORT_EXTENSION ext = bridge().ext();
    auto irp = [](PIRP i) {
      if (i == nullptr) return std::string("none");
      return "major " + std::to_string(IoGetCurrentIrpStackLocation(i)->MajorFunction) + " cancel " +
             std::to_string(i->Cancel) + " routine " + (i->CancelRoutine ? "set" : "none");
    };
    size_t queued = 0;
    for (PLIST_ENTRY e = ext->WriteQueue.Flink; e != &ext->WriteQueue; e = e->Flink) ++queued;
    return "current write " + irp(ext->CurrentWrite) + ", parked " + irp(ext->WriteParked) + ", counting " +
           irp(ext->XoffCounterIrp) + ", " + std::to_string(queued) + " queued, holds tx " +
           std::to_string(ext->TxHoldFlags) + " rx " + std::to_string(ext->RxHoldFlags);
  }

  // Cancels the fuzzer's request once its time is up; a request that does not end after that
  // gets its USB pipes aborted, and one that still does not end stops the run as hung.
  void Watchdog() {
    for (;;) {
      (void)KeWaitForSingleObject(&callStarted_, Executive, KernelMode, FALSE, nullptr);
      if (stop_) return;
      const uint64_t call = callsStarted_;
      if (Ended(call, current_.cancelAfter)) continue;
      // The request may reach the driver only after a cancel: cancelling again until it ends is
      // what an application's CancelIo loop does.
      bool ended = false;
      for (int i = 0; i < 20 && !ended; ++i) {
        (void)rig_.machine().io().CancelFileRequests(file());
        ended = Ended(call, 100 * emu::kMillisecond);
      }
      if (ended) continue;
      // A request that transmits (an internal settings change sending XON) waits while a break
      // holds the transmitter, and an error abort refuses the pipe aborts: an application ends
      // both before it aborts.
      SERIAL_STATUS comm;
      (void)Get(27, &comm);                              // GET_COMMSTATUS
      (void)Control(kIoctl(5), nullptr, 0, nullptr, 0);  // SET_BREAK_OFF
      if (Ended(call, emu::kSecond)) continue;
      std::string aborts;
      for (ULONG pipe : {5u, 6u, 7u}) {
        ULONG header[3] = {14, 4, pipe};
        const NTSTATUS status = Control(kPassThroughCode, header, sizeof(header), header, sizeof(header));
        aborts += " " + FuzzLog::StatusText(status);
      }
      if (Ended(call, 60 * emu::kSecond)) continue;
      hang_ = "the request did not end 62 s after it was cancelled and its pipes aborted (abort statuses" +
              aborts + "); " + DescribeWriteSide() + "; the contexts:\n" + rig_.kernel().DescribeContexts();
      stop_ = true;
      return;
    }
  }

  // Whether the fuzzer's call number `call` ends within `timeout`.
  bool Ended(uint64_t call, emu::VirtualTime timeout) {
    const emu::VirtualTime deadline = rig_.kernel().Now() + timeout;
    while (callsEnded_ < call) {
      const emu::VirtualTime now = rig_.kernel().Now();
      if (now >= deadline) return false;
      (void)WaitFor(callEnded_, deadline - now);
    }
    return true;
  }

  // Closes the port, opens it again and re-initialises the chip (RESET_DEVICE), with the
  // traffic paused meanwhile.
  void Reopen() {
    pause_ = true;
    while (paused_ < 2) {
      (void)rig_.machine().io().CancelFileRequests(file());
      Delay(emu::kMillisecond);
    }
    EXPECT_EQ(STATUS_SUCCESS, rig_.machine().Close(bridge().file));
    const UNICODE_STRING& link = bridge().ext()->DosLinkName;
    const NTSTATUS open =
        rig_.machine().Open(std::u16string(link.Buffer, link.Length / sizeof(WCHAR)), &bridge().file);
    if (open != STATUS_SUCCESS) {
      hang_ = "re-opening the port failed with status " + std::to_string(open);
      stop_ = true;
    } else {
      ++reopens_;
      (void)Control(kIoctl(11), nullptr, 0, nullptr, 0);  // RESET_DEVICE
      PutBackTrafficSettings();
    }
    pause_ = false;
  }

  // Traffic: each thread waits while the port is re-opened and ends at stop_.
  template <class Step>
  void Traffic(Step step) {
    ++trafficRunning_;
    while (!stop_) {
      if (pause_) {
        ++paused_;
        while (pause_) Delay(emu::kMillisecond);
        --paused_;
        continue;
      }
      step();
    }
    --trafficRunning_;
  }

  // A request refused or ended at once lets a millisecond pass before the next, so that a port
  // refusing the traffic does not stop virtual time.
  void Settle(NTSTATUS status, ULONG_PTR moved, std::map<NTSTATUS, uint64_t>& failures) {
    if (!NT_SUCCESS(status)) ++failures[status];
    if (trace_ && ++trafficSteps_ % 100000 == 0) {
      std::fprintf(stderr, "%lld traffic: %llu requests, %llu bytes read; %s\n",
                   static_cast<long long>(rig_.kernel().Now()),
                   static_cast<unsigned long long>(trafficSteps_),
                   static_cast<unsigned long long>(bytesRead_), TrafficFailures().c_str());
    }
    if (!NT_SUCCESS(status) || moved == 0) Delay(emu::kMillisecond);
  }

  void Writer() {
    const std::vector<uint8_t> data = serial_rig::Payload(4096, 1);
    size_t offset = 0;
    Traffic([&] {
      const ULONG n = 64 + static_cast<ULONG>(offset % 449);
      ULONG_PTR done = 0;
      const NTSTATUS status =
          rig_.machine().Write(file(), data.data() + offset % (data.size() - 512), n, &done);
      offset += n;
      Settle(status, done, writeFailures_);
    });
  }

  void Reader() {
    std::vector<uint8_t> buffer(512);
    Traffic([&] {
      ULONG_PTR got = 0;
      const NTSTATUS status =
          rig_.machine().Read(file(), buffer.data(), static_cast<ULONG>(buffer.size()), &got);
      bytesRead_ += got;
      Settle(status, got, readFailures_);
    });
  }

  struct InternalCall {
    void* in;
    ULONG inLength;
    void* out;
    ULONG outLength;
    NTSTATUS status;
    ULONG_PTR information;
  };

  SerialRig rig_;
  RequestGenerator generator_;
  std::mt19937 rng_{7};
  FuzzLog log_;
  FuzzRequest current_;
  InternalCall internal_{};
  KEVENT callStarted_;
  KEVENT callEnded_;
  KEVENT internalGo_;
  KEVENT internalDone_;
  uint64_t callsStarted_ = 0;  // the fuzzer's calls sent, and ended
  uint64_t callsEnded_ = 0;
  bool stop_ = false;
  bool internalQuit_ = false;
  bool pause_ = false;
  int paused_ = 0;
  int trafficRunning_ = 0;
  uint64_t bytesRead_ = 0;
  uint64_t trafficSteps_ = 0;
  std::map<NTSTATUS, uint64_t> readFailures_;
  std::map<NTSTATUS, uint64_t> writeFailures_;
  uint64_t reopens_ = 0;
  std::string hang_;
  // TARNWIRE_FUZZ_TRACE set: every request is printed with the virtual time as it is issued.
  const bool trace_ = std::getenv("TARNWIRE_FUZZ_TRACE") != nullptr;
};

class IoctlFuzz : public ::testing::Test {
 protected:
  explicit IoctlFuzz(emu::KernelConfig config = test_support::CurrentConfig()) : config_(config) {}

  // 1000 bytes through the loopback plug arrive unchanged.
  static void ExpectLoopbackTransfer(FuzzRun& run) {
    SerialRig& rig = run.rig();
    // An error abort the fuzzing left refuses every request until the errors are read, as an
    // application's ClearCommError does.
    SERIAL_STATUS comm{};
    ASSERT_EQ(STATUS_SUCCESS, rig.machine().DeviceIoControl(rig.A().file, IOCTL_SERIAL_GET_COMMSTATUS,
                                                            nullptr, 0, &comm, sizeof(comm)));
    ASSERT_EQ(STATUS_SUCCESS, rig.Apply(rig.A(), {115200, serial_rig::Flow::None, TrafficTimeouts()}));
    // What the fuzzing left on the way is read away first.
    std::vector<uint8_t> drain(4096);
    ULONG_PTR got = 1;
    for (int i = 0; i < 100 && got > 0; ++i) {
      const NTSTATUS status = rig.machine().Read(rig.A().file, drain.data(), 4096, &got);
      ASSERT_TRUE(NT_SUCCESS(status))
          << "reading what the fuzzing left failed with 0x" << std::hex << status << ", handshake 0x"
          << rig.A().ext()->HandFlow.ControlHandShake << ", errors 0x" << rig.A().ext()->CommErrors;
    }
    ASSERT_EQ(0u, got) << "the port kept receiving after the traffic stopped";
    std::vector<serial_rig::Stream> streams;
    streams.push_back({&rig.A(), &rig.A(), serial_rig::Payload(1000, 9), 250, 256, 0});
    const auto results = rig.Run(streams, 10 * emu::kSecond);
    EXPECT_EQ(STATUS_SUCCESS, results[0].writeStatus);
    const serial_rig::Delivery d = serial_rig::CompareDelivery(streams[0].data, results[0].received);
    EXPECT_TRUE(results[0].received == streams[0].data)
        << results[0].received.size() << " bytes arrived: " << d.matched << " in order, " << d.lost
        << " lost, " << d.garbled << " not sent";
  }

  // Each setting given through its control code comes back equal.
  static void ExpectSettingsRoundTrip(FuzzRun& run) {
    const bool done = run.rig().machine().RunInApplicationThread("settings", [&] {
      const ULONG baud = 57600;
      const SERIAL_LINE_CONTROL line{STOP_BITS_2, EVEN_PARITY, 7};
      const SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE,
                                 SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, 2048,
                                 1024};
      const SERIAL_TIMEOUTS timeouts{1, 2, 3, 4, 5};
      const SERIAL_CHARS chars{0x1A, 0x3F, 0x00, 0x7E, 0x11, 0x13};
      EXPECT_EQ(STATUS_SUCCESS, run.Set(1, baud));
      EXPECT_EQ(STATUS_SUCCESS, run.Set(3, line));
      EXPECT_EQ(STATUS_SUCCESS, run.Set(25, flow));
      EXPECT_EQ(STATUS_SUCCESS, run.Set(7, timeouts));
      EXPECT_EQ(STATUS_SUCCESS, run.Set(23, chars));
      ULONG baudBack = 0;
      SERIAL_LINE_CONTROL lineBack{};
      SERIAL_HANDFLOW flowBack{};
      SERIAL_TIMEOUTS timeoutsBack{};
      SERIAL_CHARS charsBack{};
      EXPECT_EQ(STATUS_SUCCESS, run.Get(20, &baudBack));
      EXPECT_EQ(STATUS_SUCCESS, run.Get(21, &lineBack));
      EXPECT_EQ(STATUS_SUCCESS, run.Get(24, &flowBack));
      EXPECT_EQ(STATUS_SUCCESS, run.Get(8, &timeoutsBack));
      EXPECT_EQ(STATUS_SUCCESS, run.Get(22, &charsBack));
      EXPECT_EQ(baud, baudBack);
      EXPECT_EQ(0, std::memcmp(&line, &lineBack, sizeof(line))) << "line control differs";
      EXPECT_EQ(0, std::memcmp(&flow, &flowBack, sizeof(flow))) << "handflow differs";
      EXPECT_EQ(0, std::memcmp(&timeouts, &timeoutsBack, sizeof(timeouts))) << "time-outs differ";
      EXPECT_EQ(0, std::memcmp(&chars, &charsBack, sizeof(chars))) << "special characters differ";
    });
    EXPECT_TRUE(done) << "the settings requests did not finish";
  }

  void FuzzAndCheck() {
    const uint64_t calls = CallsPerSchedule();
    FuzzRun run(config_);
    ASSERT_EQ("", run.rig().Error());
    ASSERT_EQ(STATUS_SUCCESS,
              run.rig().Apply(run.rig().A(), {115200, serial_rig::Flow::None, TrafficTimeouts()}));
    const std::string schedule = test_support::CurrentSchedule().Text();
    try {
      const bool ended = run.Fuzz(calls);
      std::printf("[ fuzz     ] %s: %s; %llu bytes of traffic (%s), %llu re-opens, %.1f s\n",
                  schedule.c_str(), run.log().Summary().c_str(),
                  static_cast<unsigned long long>(run.trafficBytes()), run.TrafficFailures().c_str(),
                  static_cast<unsigned long long>(run.reopens()),
                  static_cast<double>(run.rig().kernel().Now()) / emu::kSecond);
      EXPECT_TRUE(ended) << "the fuzzing run did not end: " << run.rig().kernel().DescribeContexts();
      EXPECT_EQ("", run.hang());
      EXPECT_EQ(calls, run.log().Calls());
      EXPECT_LT(0u, run.trafficBytes()) << "no data went round the loopback plug";
      if (!HasFailure()) ExpectLoopbackTransfer(run);
      if (!HasFailure()) ExpectSettingsRoundTrip(run);
      if (!HasFailure()) {
        EXPECT_EQ("", run.rig().Shutdown());
      }
    } catch (const emu::BugCheckError& e) {
      ADD_FAILURE() << "bug check: " << e.report;
    } catch (const std::exception& e) {
      ADD_FAILURE() << "exception: " << e.what();
    }
    if (HasFailure()) {
      ADD_FAILURE() << "under " << schedule << " (" << test_support::CurrentSchedule().Environment()
                    << "), the last requests:\n"
                    << run.log().Recent();
    }
  }

  emu::KernelConfig config_;
};

using IoctlFuzzTest = Scheduled<IoctlFuzz>;

TEST_P(IoctlFuzzTest, RandomControlRequestsBesideTrafficLeaveAWorkingPort) { FuzzAndCheck(); }

INSTANTIATE_TEST_SUITE_P(Schedules, IoctlFuzzTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace tarnwire::testing
