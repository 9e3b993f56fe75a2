// Internal device control as a kernel-mode client uses it, through requests built with
// IoBuildDeviceIoControlRequest in a system thread: basic settings and their restoration (with
// DTR and RTS seen on the line), the wait-wake codes, and the refusals.
#include <array>

#include "open_close_fixture.h"

namespace drvusb_test {
namespace {

struct Reply {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
};

// Sends an internal control request to the port from a system thread and waits for it.
Reply SendInternal(OpenClosePort& m, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                   ULONG outputLength) {
  Reply reply;
  EXPECT_TRUE(m.machine.RunInSystemThread("kernel client", [&] {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, m.device, input, inputLength, output, outputLength, TRUE,
                                             &done, &iosb);
    ASSERT_NE(irp, nullptr);
    if (IoCallDriver(m.device, irp) == STATUS_PENDING)
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    reply = {iosb.Status, iosb.Information};
  }));
  return reply;
}

std::array<ULONG, 5> Values(const SERIAL_TIMEOUTS& t) {
  return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
          t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
}
std::array<ULONG, 4> Values(const SERIAL_HANDFLOW& h) {
  return {h.ControlHandShake, h.FlowReplace, (ULONG)h.XonLimit, (ULONG)h.XoffLimit};
}

// An open port (DTR and RTS raised by the default handshake) with time-outs of its own.
class InternalControlPort : public OpenClosePort {
 public:
  InternalControlPort() {
    EXPECT_EQ(Open(&file), STATUS_SUCCESS);
    Call([&] {
      KIRQL irql;
      KeAcquireSpinLock(&ext()->ControlLock, &irql);
      ext()->Timeouts = SERIAL_TIMEOUTS{10, 20, 30, 40, 50};
      KeReleaseSpinLock(&ext()->ControlLock, irql);
      return STATUS_SUCCESS;
    });
    timeouts = Values(ext()->Timeouts);
    handFlow = Values(ext()->HandFlow);
    EXPECT_TRUE(PeerDtr() && PeerRts());
  }
  ~InternalControlPort() {
    EXPECT_EQ(ext()->PendingRequests, 0) << "a request stayed counted";
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
  }
  void ExpectUnchanged() {
    EXPECT_EQ(Values(ext()->Timeouts), timeouts);
    EXPECT_EQ(Values(ext()->HandFlow), handFlow);
    EXPECT_TRUE(PeerDtr() && PeerRts()) << "the modem outputs changed";
  }

  PFILE_OBJECT file = nullptr;
  std::array<ULONG, 5> timeouts;
  std::array<ULONG, 4> handFlow;
};

TEST(InternalControl, BasicSettingsReportTheOwnAndRestoringThemBringsBackTimeoutsHandshakeDtrAndRts) {
  InternalControlPort m;
  SERIAL_BASIC_SETTINGS own;
  memset(&own, 0xEE, sizeof own);
  Reply r = SendInternal(m, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, nullptr, 0, &own, sizeof own);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, sizeof(SERIAL_BASIC_SETTINGS));
  EXPECT_EQ(Values(own.Timeouts), m.timeouts);
  EXPECT_EQ(Values(own.HandFlow), m.handFlow);
  EXPECT_EQ(own.RxFifo, 1u);
  EXPECT_EQ(own.TxFifo, 1u);
  EXPECT_EQ(Values(m.ext()->Timeouts), (std::array<ULONG, 5>{}));
  EXPECT_EQ(Values(m.ext()->HandFlow), (std::array<ULONG, 4>{}));
  EXPECT_FALSE(m.PeerDtr() || m.PeerRts()) << "basic settings left DTR or RTS raised";

  r = SendInternal(m, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, &own, sizeof own, nullptr, 0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
  m.ExpectUnchanged();
}

TEST(InternalControl, RefusalsAndTheWaitWakeCodesChangeNothing) {
  const struct {
    const char* name;
    ULONG code;
    ULONG inputLength, outputLength;
    std::function<void(PPORT_EXTENSION, UCHAR)> state;  // sets (1) and clears (0) a port state
    NTSTATUS expected;
  } cases[] = {
      {"basic settings into 40 bytes",
       IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS,
       0,
       40,
       {},
       STATUS_BUFFER_TOO_SMALL},
      {"restore from 40 bytes", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, 40, 0, {}, STATUS_BUFFER_TOO_SMALL},
      {"do wait-wake", IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, 0, 0, {}, STATUS_SUCCESS},
      {"cancel wait-wake", IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0, 0, {}, STATUS_SUCCESS},
      {"a serial control code sent as internal",
       IOCTL_SERIAL_GET_BAUD_RATE,
       0,
       sizeof(SERIAL_BAUD_RATE),
       {},
       STATUS_INVALID_PARAMETER},
      {"not started", IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0, sizeof(SERIAL_BASIC_SETTINGS),
       [](PPORT_EXTENSION e, UCHAR on) { e->Started = !on; }, STATUS_INVALID_DEVICE_REQUEST},
      {"removed", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, sizeof(SERIAL_BASIC_SETTINGS), 0,
       [](PPORT_EXTENSION e, UCHAR on) { e->Removed = on; }, STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InternalControlPort m;
    // Zeros: applied, they would be the basic settings.
    std::array<UCHAR, sizeof(SERIAL_BASIC_SETTINGS)> input{}, output{};
    if (c.state) c.state(m.ext(), 1);
    Reply r = SendInternal(m, c.code, c.inputLength ? input.data() : nullptr, c.inputLength,
                           c.outputLength ? output.data() : nullptr, c.outputLength);
    if (c.state) c.state(m.ext(), 0);
    EXPECT_EQ(r.status, c.expected);
    EXPECT_EQ(r.information, 0u);
    m.ExpectUnchanged();
  }
}

}  // namespace
}  // namespace drvusb_test
