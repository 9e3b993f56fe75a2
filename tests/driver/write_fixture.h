// A started, open port on a configured bridge with a scripted peer on its line, for the send side:
// writes, flushes and XOFF-counter requests go to the driver's own routines from application
// threads, and what the writer sends arrives at the peer. Time-outs and handshake are set on the
// port extension under ControlLock, as the control codes will set them.
#pragma once

#include <deque>
#include <vector>

#include "status_fixture.h"

namespace drvusb_test {

class WritePort : public StatusPort {
 public:
  explicit WritePort(emu::zm470::Config chipConfig = {},
                     emu::KernelConfig kernelConfig = test_support::CurrentConfig());
  explicit WritePort(emu::KernelConfig kernelConfig) : WritePort(emu::zm470::Config{}, kernelConfig) {}

  // A request sent from an application thread and not waited for.
  struct Request {
    IO_STATUS_BLOCK iosb{};
    std::vector<uint8_t> data;
    SERIAL_XOFF_COUNTER counter{};
    PIRP irp = nullptr;
    bool Done() const { return iosb.Status != STATUS_PENDING; }
  };

  Request& StartWrite(std::vector<uint8_t> data);
  Request& StartFlush();
  Request& StartXoffCounter(ULONG timeoutMs, LONG count, UCHAR xoffChar);
  // Cancels a pending request (IoCancelIrp from an application thread); whether it had a cancel
  // routine.
  bool Cancel(const Request& r);
  // Programs the line rate (8N1) on the chip and the peer.
  void SetRate(ULONG baudRate);

  void SetWriteTimeouts(ULONG multiplier, ULONG constant);
  // Runs the machine until the request has completed or `limit` of virtual time has passed.
  bool RunUntilDone(const Request& r, emu::VirtualTime limit = 60 * emu::kSecond);
  // The bulk-out transfers the bridge saw, oldest first.
  std::vector<emu::usb::UrbRecord> BulkOut() const;
  ULONG TxPending() const { return ext()->TxPending; }

  std::deque<Request> requests;

 private:
  Request& Start(Request& r, const emu::IoRequest& io);
  static NTSTATUS NTAPI Control(PDEVICE_OBJECT device, PIRP irp);
};

// The port as a test fixture, for tests run under every schedule (Scheduled<WritePortTest>).
struct WritePortTest : ::testing::Test, WritePort {
  explicit WritePortTest(emu::KernelConfig kernelConfig) : WritePort(kernelConfig) {}
};

// A repeating byte pattern, so that a lost, repeated or reordered byte shows.
std::vector<uint8_t> Pattern(size_t length);

}  // namespace drvusb_test
