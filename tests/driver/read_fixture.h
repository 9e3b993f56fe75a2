// A started, open port whose reader thread streams from the bridge's bulk-in pipe, with a scripted
// peer sending on the line, for the receive path: read requests through the driver's IRP_MJ_READ
// dispatch and the bytes the reader thread stores.
#pragma once

#include <deque>
#include <string_view>
#include <vector>

#include "status_fixture.h"

namespace drvusb_test {

class ReadPort : public StatusPort {
 public:
  explicit ReadPort(emu::zm470::Config chipConfig = {},
                    emu::KernelConfig kernelConfig = test_support::CurrentConfig());
  explicit ReadPort(emu::KernelConfig kernelConfig) : ReadPort(emu::zm470::Config{}, kernelConfig) {}
  ~ReadPort();

  // A read request started on the open file.
  struct Read {
    IO_STATUS_BLOCK iosb{};
    std::vector<UCHAR> buffer;
    NTSTATUS returned = STATUS_PENDING;  // what the dispatch routine returned
    PIRP irp = nullptr;                  // the request, when it became current at once
    emu::VirtualTime started = 0;
    emu::VirtualTime completed = 0;  // set by RunUntilDone
    bool Done() const { return iosb.Status != STATUS_PENDING; }
    std::string Data() const {
      return std::string(buffer.begin(), buffer.begin() + (ptrdiff_t)iosb.Information);
    }
  };

  // IRP_MJ_READ of `length` bytes from an application thread, without waiting.
  Read& StartRead(ULONG length);
  // Runs until the read completes or `limit` of virtual time has passed; records the time.
  bool RunUntilDone(Read& read, emu::VirtualTime limit = 20 * emu::kSecond);
  // IoCancelIrp on the read from an application thread.
  void Cancel(Read& read);
  // Sets the read time-outs as the time-out control code does (under ControlLock).
  void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant);
  // Changes settings the receive filters read, under ControlLock, from a system thread.
  void Configure(const std::function<void(PPORT_EXTENSION)>& change);
  // The peer sends the bytes; runs until the last has left the wire and a few USB frames after.
  void Feed(std::string_view bytes);
  // Interrupt time at which a timer of the port is due, or -1 when it is not armed.
  static emu::VirtualTime Due(const KTIMER& timer);

  std::deque<Read> reads;

 private:
  void FinishReads();
};

// The port as a test fixture, for Scheduled<>.
struct ReadPortTest : ::testing::Test, ReadPort {
  explicit ReadPortTest(emu::KernelConfig kernelConfig = test_support::CurrentConfig())
      : ReadPort(kernelConfig) {}
  ReadPortTest(emu::zm470::Config chipConfig, emu::KernelConfig kernelConfig)
      : ReadPort(std::move(chipConfig), kernelConfig) {}
};

}  // namespace drvusb_test
