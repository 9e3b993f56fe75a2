// The status monitor against the emulated chip and a peer driving the lines: status insertion,
// wait-on-mask events, line-error classification, output handshake holds, poll mode on old chips,
// the transmit-toggle RTS drop and the thread's end after an unplug.
#include "tx/status_monitor.h"

#include "driver/driver_globals.h"
#include "status_fixture.h"
#include "usb/modem_lines.h"

namespace drvusb_test {
namespace {

using emu::kMillisecond;
using emu::line::LineCharacter;

const UrbFilter kPolls = UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE).AndRequest(0x95);
const UrbFilter kHandshakeWrites = UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE).AndRequest(0x9A);

emu::zm470::Config Chip(uint8_t revision, size_t rxFifoDepth = 128) {
  emu::zm470::Config c = ChipRevision(revision);
  c.rxFifoDepth = rxFifoDepth;
  return c;
}

// How the trace names the writer's wake event: signalled once, its waiting thread wakes.
std::string WriterEventName(StatusPort& m) {
  const size_t before = m.kernel().TraceEvents().size();
  m.Call([&] {
    KeSetEvent(&m.ext()->WriterEvent, 0, FALSE);
    return STATUS_SUCCESS;
  });
  m.Settle();
  const auto& trace = m.kernel().TraceEvents();
  for (size_t i = before; i < trace.size(); ++i)
    if (trace[i].category == "wait" && trace[i].text.starts_with("wake: ")) return trace[i].text;
  ADD_FAILURE() << "no thread woke on the writer's event";
  return "?";
}

size_t Wakes(StatusPort& m, const std::string& wake) {
  size_t n = 0;
  for (const auto& e : m.kernel().TraceEvents()) n += e.category == "wait" && e.text == wake;
  return n;
}

TEST(StatusInsertion, ADcdChangeInsertsEscapeMstAndTheStatusOnlyWithAnEscapeChar) {
  for (UCHAR escape : {UCHAR{0xFF}, UCHAR{0}}) {
    SCOPED_TRACE("EscapeChar " + Hex(escape));
    StatusPort m;
    m.ext()->EscapeChar = escape;
    ASSERT_EQ(m.SetMask(SERIAL_EV_RLSD), STATUS_SUCCESS);
    m.Settle();
    m.peer.DriveDcd(true);
    m.Settle();
    m.peer.DriveDcd(false);
    m.Settle();
    const std::vector<UCHAR> expected =
        escape == 0 ? std::vector<UCHAR>{} : std::vector<UCHAR>{escape, 0x03, 0x88, escape, 0x03, 0x08};
    EXPECT_EQ(m.RingBytes(), expected) << "DCD rising reads 0x88, falling 0x08";
    EXPECT_EQ(m.ext()->EventHistory, (ULONG)SERIAL_EV_RLSD) << "both changes recorded, no wait parked";
  }
}

TEST(WaitOnMask, ACtsChangeCompletesTheWaitWith8AndCtsWithDsrWith18) {
  const struct {
    bool dsrToo;
    ULONG result;
  } cases[] = {{false, SERIAL_EV_CTS}, {true, SERIAL_EV_CTS | SERIAL_EV_DSR}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dsrToo ? "CTS and DSR" : "CTS");
    StatusPort m;
    ASSERT_EQ(m.SetMask(SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
    StatusPort::Wait& w = m.StartWait();
    m.Settle();
    ASSERT_FALSE(w.Done()) << "nothing changed yet";
    m.peer.DriveInputs({.cts = true, .dsr = c.dsrToo});
    m.Settle();
    ASSERT_TRUE(w.Done());
    EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.iosb.Information, sizeof(ULONG));
    EXPECT_EQ(w.result, c.result);
    EXPECT_EQ(m.ext()->WaitIrp, nullptr);
  }
}

TEST(GetModemStatus, SteadyLinesReadCurrentStatesWithoutChanges) {
  StatusPort m;
  m.peer.DriveInputs({.cts = true, .dsr = true, .ri = false, .dcd = true});
  m.Settle();
  EXPECT_EQ(m.GetModemStatus(), 0xB0u | 0x0Bu) << "the first reading sees every active line change";
  EXPECT_EQ(m.GetModemStatus(), 0xB0u);
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, UrbFilter::Request(0x95));
  m.peer.DriveCts(false);
  m.Settle();
  EXPECT_EQ(m.GetModemStatus(), 0xB0u) << "a failed read keeps the lines and reports no change";
}

// Line errors on a 0x30 chip, each with the error and break characters enabled or not.
class LineErrors : public ::testing::Test {
 public:
  // A chip with a 2-character receive FIFO, waiting for CTS and errors (errors alone are no
  // reason to read reports).
  void Start(ULONG mask = SERIAL_EV_ERR | SERIAL_EV_CTS) {
    m = std::make_unique<StatusPort>(Chip(0x30, 2));
    m->ext()->SpecialChars.ErrorChar = '?';
    m->ext()->SpecialChars.BreakChar = '!';
    ASSERT_EQ(m->SetMask(mask), STATUS_SUCCESS);
    m->Settle();
  }
  void Overrun() {
    m->peer.Send("abc");
    m->Settle(10 * kMillisecond);
  }
  void Framing() {
    LineCharacter bad = LineCharacter::Of('x', m->peer.GetFrame());
    bad.badStop = true;
    m->peer.SendCharacter(bad);
    m->Settle(5 * kMillisecond);
  }
  void Break() {
    m->peer.DriveBreak(true);
    m->Settle(3 * kMillisecond);
    m->peer.DriveBreak(false);
    m->Settle(5 * kMillisecond);
  }
  std::unique_ptr<StatusPort> m;
};

TEST_F(LineErrors, OverrunFramingAndBreakAreClassifiedAndAnsweredWithTheirCharacters) {
  const struct {
    const char* what;
    void (LineErrors::*act)();
    bool failRegister5;
    ULONG error;
    UCHAR character;  // stored when its flag is set
  } cases[] = {
      {"overrun", &LineErrors::Overrun, false, SERIAL_ERROR_OVERRUN, '?'},
      {"framing", &LineErrors::Framing, false, SERIAL_ERROR_FRAMING, '?'},
      {"break", &LineErrors::Break, false, SERIAL_ERROR_BREAK, '!'},
      {"break, register 5 unreadable", &LineErrors::Break, true, SERIAL_ERROR_FRAMING, '?'},
  };
  for (const auto& c : cases) {
    for (bool chars : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (chars ? ", characters on" : ", characters off"));
      Start();
      m->SetHandFlow(0, chars ? SERIAL_ERROR_CHAR | SERIAL_BREAK_CHAR : 0);
      StatusPort::Wait& w = m->StartWait();
      if (c.failRegister5)
        m->usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, UrbFilter::Request(0x95));
      (this->*c.act)();
      EXPECT_EQ(m->ext()->CommErrors, c.error);
      std::vector<UCHAR> stored = m->RingBytes();
      stored.erase(std::remove_if(stored.begin(), stored.end(), [](UCHAR b) { return b != '?' && b != '!'; }),
                   stored.end());
      EXPECT_EQ(stored, chars ? std::vector<UCHAR>{c.character} : std::vector<UCHAR>{});
      ASSERT_TRUE(w.Done());
      EXPECT_EQ(w.result, (ULONG)SERIAL_EV_ERR);
      m.reset();
    }
  }
}

TEST_F(LineErrors, WithoutAWaitMaskAnErrorIsNotRecordedUntilAMaskedEvaluation) {
  Start(0);
  m->SetHandFlow(SERIAL_CTS_HANDSHAKE, SERIAL_ERROR_CHAR);  // watched for the handshake only
  m->Settle();
  m->peer.DriveCts(true);  // reports are read: the overrun comes with a report
  m->Settle();
  Overrun();
  EXPECT_EQ(m->ext()->CommErrors, 0u);
  EXPECT_EQ(m->ext()->LineStatus & 0x02, 0x02u) << "the error stays in LineStatus";
  EXPECT_EQ(m->RingBytes().size(), 0u) << "no error character without a mask";

  // The next evaluation with errors in the mask (a modem status read) records the kept overrun.
  ASSERT_EQ(m->SetMask(SERIAL_EV_ERR | SERIAL_EV_CTS), STATUS_SUCCESS);
  m->GetModemStatus();
  EXPECT_EQ(m->ext()->CommErrors, (ULONG)SERIAL_ERROR_OVERRUN);
  EXPECT_EQ(m->ext()->EventHistory, (ULONG)SERIAL_EV_ERR);
  EXPECT_EQ(m->ext()->LineStatus & 0x46, 0u);
  EXPECT_EQ(m->RingBytes(), std::vector<UCHAR>{'?'});
}

TEST_F(LineErrors, ErrorsAloneAreNoReasonToReadReports) {
  Start(SERIAL_EV_ERR);
  Overrun();
  EXPECT_EQ(m->usb().CountUrbs(UrbFilter::Endpoint(0x81)), 0u);
  EXPECT_EQ(m->ext()->CommErrors, 0u);
}

TEST(DsrSensitivity, ReceptionIsHeldWhileDsrIsOffAndOnlyWithTheFlag) {
  StatusPort m;
  m.SetHandFlow(SERIAL_DSR_SENSITIVITY, 0);
  ASSERT_EQ(m.SetMask(SERIAL_EV_DSR), STATUS_SUCCESS);
  m.Settle();
  m.peer.DriveDsr(true);
  m.Settle();
  EXPECT_EQ(m.ext()->RxHoldFlags, 0u);
  m.peer.DriveDsr(false);
  m.Settle();
  EXPECT_EQ(m.ext()->RxHoldFlags, (ULONG)RX_HOLD_DSR);
  m.SetHandFlow(0, 0);
  m.peer.DriveDsr(true);
  m.peer.DriveDsr(false);
  m.Settle();
  EXPECT_EQ(m.ext()->RxHoldFlags, 0u) << "without the flag DSR off holds nothing";
}

TEST(OutputHandshake, CtsHoldsTransmissionInSoftwareBelow30AndThroughRegister27From30) {
  for (uint8_t revision : {uint8_t{0x20}, uint8_t{0x25}, uint8_t{0x30}}) {
    SCOPED_TRACE("revision " + Hex(revision));
    const bool chipEnforces = revision >= 0x30;
    StatusPort m(Chip(revision));
    IRP write{};
    m.ext()->CurrentWrite = &write;
    m.SetHandFlow(SERIAL_CTS_HANDSHAKE, 0);
    m.Settle();
    m.peer.DriveCts(true);
    m.Settle();
    EXPECT_EQ(m.ext()->TxHoldFlags, 0u);
    m.peer.DriveCts(false);
    m.Settle();
    EXPECT_EQ(m.ext()->TxHoldFlags, chipEnforces ? 0u : (ULONG)TX_HOLD_CTS) << "CTS dropped";
    EXPECT_EQ(m.chip->OutputHandshake(), chipEnforces ? 0x01 : 0x00);
    const std::string writer = WriterEventName(m);
    const size_t before = Wakes(m, writer);
    m.peer.DriveCts(true);
    m.Settle();
    EXPECT_EQ(m.ext()->TxHoldFlags, 0u) << "CTS returned";
    EXPECT_EQ(Wakes(m, writer) - before, 1u) << "the writer is woken for the current write";
    if (!chipEnforces) {
      EXPECT_EQ(m.usb().CountUrbs(kHandshakeWrites), 0u);
    }
    // The handshake off: register 0x27 cleared from 0x30.
    m.SetHandFlow(0, 0);
    m.peer.DriveCts(false);
    m.Settle();
    EXPECT_EQ(m.chip->OutputHandshake(), 0x00);
    EXPECT_EQ(m.ext()->TxHoldFlags, 0u);
    m.ext()->CurrentWrite = nullptr;
  }
}

TEST(PollMode, AnOldChipIsPolledEvery20MsWhileWatchedAndAHandshakeHoldIsLifted) {
  StatusPort m(Chip(0x10));
  m.Settle(3 * emu::kSecond);
  EXPECT_EQ(m.usb().CountUrbs(kPolls), 0u) << "nothing watched: no polls";

  ASSERT_EQ(m.SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
  StatusPort::Wait& w = m.StartWait();
  m.Settle(200 * kMillisecond);
  const auto polls = m.usb().UrbsMatching(kPolls);
  ASSERT_GE(polls.size(), 6u);
  EXPECT_EQ(SetupText(polls[0]), "C0 95 0706 0000 7");
  // 20 ms after each poll, rounded up to the next clock tick (15.625 ms). The first two polls
  // answer the wake-ups of the mask and the wait.
  for (size_t i = 2; i < polls.size(); ++i) {
    const emu::VirtualTime gap = polls[i].submitted - polls[i - 1].completed;
    EXPECT_TRUE(gap >= 20 * kMillisecond && gap < 36 * kMillisecond) << "poll " << i << " after " << gap;
  }
  m.peer.DriveCts(true);
  m.Settle(50 * kMillisecond);
  ASSERT_TRUE(w.Done());
  EXPECT_EQ(w.result, (ULONG)SERIAL_EV_CTS);

  // Only an output handshake: still polled, so that the hold follows CTS both ways.
  ASSERT_EQ(m.SetMask(0), STATUS_SUCCESS);
  m.SetHandFlow(SERIAL_CTS_HANDSHAKE, 0);
  m.peer.DriveCts(false);
  m.Settle(50 * kMillisecond);
  EXPECT_EQ(m.ext()->TxHoldFlags, (ULONG)TX_HOLD_CTS);
  m.peer.DriveCts(true);
  m.Settle(50 * kMillisecond);
  EXPECT_EQ(m.ext()->TxHoldFlags, 0u) << "the hold must be lifted when CTS returns";
}

TEST(TransmitToggle, RtsDropsOnlyOnceTheTransmitterIsIdle) {
  for (uint8_t revision : {uint8_t{0x10}, uint8_t{0x30}}) {
    SCOPED_TRACE("revision " + Hex(revision));
    StatusPort m(Chip(revision));
    m.SetHandFlow(0, SERIAL_TRANSMIT_TOGGLE);
    ASSERT_EQ(m.Call([&] {
      for (UCHAR b : {'a', 'b', 'c', 'd'}) {
        NTSTATUS status = TransmitImmediate(m.device, b);
        if (!NT_SUCCESS(status)) return status;
      }
      return STATUS_SUCCESS;
    }),
              STATUS_SUCCESS);
    bool busyWhenDropped = true;
    size_t receivedWhenDropped = 0;
    const bool dropped = m.kernel().RunUntil(
        [&] {
          if (m.chip->Outputs().rts) return false;
          busyWhenDropped = m.chip->TransmitterHoldsData();
          receivedWhenDropped = m.peer.ReceivedCharacters().size();
          return true;
        },
        m.kernel().Now() + emu::kSecond);
    ASSERT_TRUE(dropped) << "RTS never dropped";
    EXPECT_FALSE(busyWhenDropped) << "RTS dropped while the transmitter held data";
    EXPECT_EQ(receivedWhenDropped, 4u);
    m.Settle();
    EXPECT_EQ(m.ext()->RtsToggleCount, 0u);
  }
}

TEST(StatusThread, AFailedReportWhileConnectedResetsThePipeAndWatchingGoesOn) {
  StatusPort m;
  ASSERT_EQ(m.SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
  m.Settle();
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, UrbFilter::Endpoint(0x81));
  m.peer.DriveCts(true);
  m.Settle();
  EXPECT_EQ(
      m.usb().CountUrbs(UrbFilter::Function(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).AndEndpoint(0x81)),
      1u);
  m.peer.DriveCts(false);
  m.Settle();
  EXPECT_EQ(m.ext()->EventHistory, (ULONG)SERIAL_EV_CTS) << "reports are read again after the reset";
  EXPECT_EQ(m.ext()->ThreadCount, 3);
}

TEST(StatusThread, EndsAfterAnUnplugInInterruptAndPollMode) {
  for (uint8_t revision : {uint8_t{0x10}, uint8_t{0x30}}) {
    SCOPED_TRACE("revision " + Hex(revision));
    StatusPort m(Chip(revision));
    ASSERT_EQ(m.SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    m.Settle();
    const LONG before = m.ext()->ThreadCount;
    ASSERT_EQ(before, 3);
    m.usb().Unplug();
    m.Settle(100 * kMillisecond);
    EXPECT_EQ(m.ext()->ThreadCount, before - 1);
    EXPECT_EQ(m.ext()->InterruptBusy, 0);
  }
}

}  // namespace
}  // namespace drvusb_test
