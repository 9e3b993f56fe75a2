// The port's file handle as an application sees it, opened by its DOS name: the refusals of
// open, the resets of a new handle, close on a live and an unplugged bridge (transmit drain,
// character-time wait, XON, dropped DTR and RTS), cleanup of queued requests, the file
// information classes, and the races of open with close and of cleanup with a completing
// request under every schedule of the sweep.
#include "driver/open_close.h"

#include "open_close_fixture.h"
#include "support/schedule_sweep.h"
#include "usb/modem_lines.h"

namespace drvusb_test {
namespace {

using emu::kMillisecond;
using test_support::AllSchedules;
using test_support::Scheduled;
using test_support::ScheduleName;

constexpr emu::VirtualTime kMicrosecond = emu::kMillisecond / 1000;
constexpr UCHAR kReadRegisters = 0x95;
constexpr UCHAR kModemControlRequest = 0xA4;
constexpr UCHAR kInitialize = 0xA1;

// Control transfers of one vendor request, oldest first.
std::vector<emu::usb::UrbRecord> Requests(OpenClosePort& m, UCHAR bRequest) {
  return m.usb().UrbsMatching(UrbFilter::Request(bRequest));
}

TEST(OpenRefusals, ByPortStateAndHubReport) {
  const struct {
    const char* name;
    std::function<void(OpenClosePort&)> setup;
    NTSTATUS expected;
  } cases[] = {
      {"not started", [](OpenClosePort& m) { m.ext()->Started = FALSE; }, STATUS_INVALID_DEVICE_REQUEST},
      {"removal pending", [](OpenClosePort& m) { m.ext()->RemovePending = TRUE; }, STATUS_INVALID_DEVICE_REQUEST},
      {"removed", [](OpenClosePort& m) { m.ext()->Removed = TRUE; }, STATUS_INVALID_DEVICE_REQUEST},
      {"bridge reported disconnected", [](OpenClosePort& m) { m.usb().Unplug(); }, STATUS_INVALID_DEVICE_REQUEST},
      {"port status query fails", [](OpenClosePort& m) { m.usb().FailPortStatus(1, STATUS_UNSUCCESSFUL); },
       STATUS_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OpenClosePort m;
    c.setup(m);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(m.Open(&file), c.expected);
    EXPECT_EQ(m.ext()->PendingRequests, 0) << "the open was not completed through the accounting";
    const bool opened = c.expected == STATUS_SUCCESS;
    EXPECT_EQ(m.ext()->OpenState, opened ? PORT_OPEN : PORT_CLOSED);
    EXPECT_EQ(m.chip->Initializations(), opened ? 1u : 0u) << "the chip is initialised by an open only";
    if (opened) {
      EXPECT_EQ(m.Close(file), STATUS_SUCCESS);
    }
  }
}

TEST(OpenRefusals, ASecondOpenIsRefusedAndLeavesTheFirstHandleAlone) {
  OpenClosePort m;
  PFILE_OBJECT first = nullptr, second = nullptr;
  ASSERT_EQ(m.Open(&first), STATUS_SUCCESS);
  EXPECT_EQ(m.Open(&second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(m.ext()->OpenState, PORT_OPEN);
  EXPECT_EQ(m.chip->Initializations(), 1u);
  EXPECT_TRUE(m.ext()->WmiCommData.IsBusy);
  EXPECT_EQ(m.Close(first), STATUS_SUCCESS);
  EXPECT_EQ(m.ext()->OpenState, PORT_CLOSED);
  EXPECT_FALSE(m.ext()->WmiCommData.IsBusy);
}

TEST(OpenAndClose, ANewHandleStartsFromCleanCountersMaskAndLimits) {
  OpenClosePort m;
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(&file), STATUS_SUCCESS);
  EXPECT_TRUE(m.PeerDtr()) << "the default handshake raises DTR at open";
  PPORT_EXTENSION ext = m.ext();
  ext->PerfStats.ReceivedCount = 7;
  ext->WmiPerfStats.TransmittedCount = 9;
  ext->PerfStats.FrameErrorCount = 1;
  ext->WaitMask = SERIAL_EV_RXCHAR;
  ext->EventHistory = SERIAL_EV_RXCHAR;
  ext->EscapeChar = 0x1B;
  ext->HandFlow.XonLimit = 10;
  ext->HandFlow.XoffLimit = 20;
  ext->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
  ext->HandFlow.FlowReplace = SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE;
  ASSERT_EQ(m.Close(file), STATUS_SUCCESS);
  EXPECT_FALSE(m.PeerDtr() || m.PeerRts()) << "DTR and RTS drop at close";
  EXPECT_EQ(ext->ModemControl & (MODEM_CONTROL_DTR | MODEM_CONTROL_RTS), 0);

  ASSERT_EQ(m.Open(&file), STATUS_SUCCESS);
  EXPECT_EQ(m.chip->Initializations(), 2u) << "every open initialises the chip";
  EXPECT_EQ(ext->PerfStats.ReceivedCount + ext->PerfStats.FrameErrorCount + ext->WmiPerfStats.TransmittedCount, 0u);
  EXPECT_EQ(ext->WaitMask, 0u);
  EXPECT_EQ(ext->EventHistory, 0u);
  EXPECT_EQ(ext->EscapeChar, 0);
  EXPECT_EQ(ext->HandFlow.XoffLimit, 8624u);
  EXPECT_EQ(ext->HandFlow.XonLimit, 34496u);
  EXPECT_EQ(ext->WmiCommData.XoffXmitThreshold, 8624u);
  EXPECT_EQ(ext->WmiCommData.XonXmitThreshold, 34496u);
  EXPECT_EQ(ext->HandFlow.ControlHandShake, (ULONG)(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE))
      << "the handshake survives a new handle";
  EXPECT_EQ(ext->HandFlow.FlowReplace, (ULONG)(SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE));
  EXPECT_TRUE(m.PeerDtr() && m.PeerRts()) << "the kept handshake raises DTR and RTS again";
  EXPECT_TRUE(ext->WmiCommData.IsBusy);
  EXPECT_EQ(m.Close(file), STATUS_SUCCESS);
}

TEST(Close, OfAnUnpluggedBridgeSendsNothingAndDoesNotWait) {
  for (bool queryFails : {false, true}) {
    SCOPED_TRACE(queryFails ? "port status query fails" : "hub reports the bridge gone");
    OpenClosePort m;
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(m.Open(&file), STATUS_SUCCESS);
    m.Call([&] { return SetBreak(m.device, TRUE); });
    m.Call([&] {
      (VOID) InterlockedOr((LONG volatile*)&m.ext()->RxHoldFlags, RX_HOLD_XOFF);
      return STATUS_SUCCESS;
    });
    if (queryFails) m.usb().FailPortStatusWhenUnplugged(STATUS_UNSUCCESSFUL);
    m.usb().Unplug();
    m.usb().ClearUrbLog();
    NTSTATUS status = STATUS_PENDING;
    emu::VirtualTime elapsed = m.Timed([&] { status = m.machine.io().CloseFile(file); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(m.usb().Urbs().empty()) << m.usb().Urbs().size() << " transfers to a bridge that is gone";
    EXPECT_LT(elapsed, kMillisecond) << "close waited for a bridge that is gone";
    EXPECT_EQ(m.ext()->OpenState, PORT_CLOSED);
    EXPECT_EQ(m.ext()->TxHoldFlags | m.ext()->RxHoldFlags, 0u);
    EXPECT_EQ(m.ext()->ModemControl & (MODEM_CONTROL_DTR | MODEM_CONTROL_RTS), 0);
    EXPECT_FALSE(m.ext()->WmiCommData.IsBusy);
  }
}

TEST(Close, WaitsTenCharacterTimesAfterTheDrainBeforeDtrAndRtsDrop) {
  const struct {
    ULONG baud;
    emu::VirtualTime wait;
  } cases[] = {{19200, 5729 * kMicrosecond}, {300, 366666 * kMicrosecond}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    OpenClosePort m;
    m.Call([] {
      (VOID) ExSetTimerResolution(kMillisecond, TRUE);
      return STATUS_SUCCESS;
    });
    ASSERT_EQ(m.ProgramLine(c.baud, 0xFF, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(m.Open(&file), STATUS_SUCCESS);
    m.usb().ClearUrbLog();
    ASSERT_EQ(m.Close(file), STATUS_SUCCESS);
    auto polls = Requests(m, kReadRegisters);
    auto writes = Requests(m, kModemControlRequest);
    ASSERT_EQ(polls.size(), 1u) << "an idle transmitter is polled once";
    EXPECT_EQ(polls[0].setup.wValue, 0x0706) << SetupText(polls[0]);
    ASSERT_EQ(writes.size(), 1u) << "one modem-control write drops DTR and RTS";
    // Timers expire on clock ticks (1 ms here) and a transfer starts on a frame: at most 2 ms late.
    const emu::VirtualTime waited = writes[0].submitted - polls[0].completed;
    EXPECT_GE(waited, c.wait);
    EXPECT_LT(waited, c.wait + 2 * kMillisecond);
    EXPECT_FALSE(m.PeerDtr() || m.PeerRts());
  }
}

TEST(Close, SendsXonBeforeDtrDropsWhenTheReceiveSideHadSentXoff) {
  OpenClosePort m;
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(&file), STATUS_SUCCESS);
  m.Call([&] {
    (VOID) InterlockedOr((LONG volatile*)&m.ext()->RxHoldFlags, RX_HOLD_XOFF);
    return STATUS_SUCCESS;
  });
  ASSERT_EQ(m.Close(file), STATUS_SUCCESS);
  EXPECT_EQ(m.peer.ReceivedBytes(), std::vector<uint8_t>{0x11});
  emu::VirtualTime xonAt = -1, dtrDropAt = -1;
  bool dtr = false;
  for (const auto& e : m.peer.Events()) {
    if (e.kind == emu::line::LineEvent::Kind::Character && xonAt < 0) xonAt = e.time;
    if (e.kind == emu::line::LineEvent::Kind::Outputs) {
      if (dtr && !e.outputs.dtr) dtrDropAt = e.time;
      dtr = e.outputs.dtr;
    }
  }
  ASSERT_GE(xonAt, 0);
  ASSERT_GE(dtrDropAt, 0) << "DTR never dropped";
  EXPECT_LT(xonAt, dtrDropAt) << "XON reached the far end after DTR dropped";
  EXPECT_EQ(m.ext()->RxHoldFlags, 0u);

  // Without the XOFF hold nothing is sent.
  m.peer.ClearReceived();
  ASSERT_EQ(m.Open(&file), STATUS_SUCCESS);
  ASSERT_EQ(m.Close(file), STATUS_SUCCESS);
  EXPECT_TRUE(m.peer.ReceivedBytes().empty());
}

TEST(Close, GivesUpOnABusyTransmitterAfterFiftyPollsAndInitialisesTheChip) {
  OpenClosePort m;
  // CTS output handshake with CTS low at the far end: the chip holds what it was given.
  m.ext()->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
  m.ext()->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(&file), STATUS_SUCCESS);
  ASSERT_EQ(m.Call([&] { return TransmitImmediate(m.device, 'x'); }), STATUS_SUCCESS);
  ASSERT_TRUE(m.chip->TransmitterHoldsData());
  m.usb().ClearUrbLog();
  emu::VirtualTime elapsed = m.Timed([&] { EXPECT_EQ(m.machine.io().CloseFile(file), STATUS_SUCCESS); });
  // Polls of registers 6 and 7 before the initialisation (which reads them once more itself).
  auto init = Requests(m, kInitialize);
  ASSERT_EQ(init.size(), 1u);
  size_t polls = 0;
  for (const auto& u : Requests(m, kReadRegisters)) polls += u.setup.wValue == 0x0706 && u.id < init[0].id;
  EXPECT_EQ(polls, 50u) << "transmitter polls";
  EXPECT_GE(elapsed, 49 * 20 * kMillisecond) << "about a second of polling";
  EXPECT_LT(elapsed, 2000 * kMillisecond);
  EXPECT_EQ(m.chip->Initializations(), 2u) << "the chip is initialised again";
  EXPECT_FALSE(m.PeerDtr() || m.PeerRts()) << "the initialisation left DTR or RTS raised after close";
  EXPECT_EQ(m.ext()->ModemControl & (MODEM_CONTROL_DTR | MODEM_CONTROL_RTS), 0);
  EXPECT_EQ(m.ext()->TxPending, 0u);
}

TEST(Cleanup, CancelsQueuedRequestsAndTheParkedWaitExactlyOnce) {
  OpenClosePort m;
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(&file), STATUS_SUCCESS);
  IO_STATUS_BLOCK reads[2], writes[2], mask, wait;
  for (auto& r : reads) m.Start(file, IRP_MJ_READ, 4, &r);
  for (auto& w : writes) m.Start(file, IRP_MJ_WRITE, 4, &w);
  *(PULONG)m.buffer.data() = SERIAL_EV_RXCHAR;
  m.Start(file, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK, &mask);
  ASSERT_EQ(mask.Status, STATUS_SUCCESS);
  m.Start(file, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, &wait);
  ASSERT_EQ(wait.Status, STATUS_PENDING);
  ASSERT_EQ(m.ext()->PendingRequests, 5);

  EXPECT_EQ(m.Close(file), STATUS_SUCCESS);
  for (const auto* r : {&reads[0], &reads[1], &writes[0], &writes[1], &wait})
    EXPECT_EQ(r->Status, STATUS_CANCELLED);
  EXPECT_EQ(m.ext()->PendingRequests, 0) << "a request was not completed once";
  EXPECT_EQ(m.ext()->CurrentRead, nullptr);
  EXPECT_EQ(m.ext()->WaitIrp, nullptr);
}

TEST(Cleanup, OfAPortNoLongerStartedStillCancelsTheHandlesRequests) {
  OpenClosePort m;
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(&file), STATUS_SUCCESS);
  IO_STATUS_BLOCK read, write;
  m.Start(file, IRP_MJ_READ, 4, &read);
  m.Start(file, IRP_MJ_WRITE, 4, &write);
  m.ext()->Started = FALSE;  // powered down with the requests still queued
  EXPECT_EQ(m.Close(file), STATUS_INVALID_DEVICE_REQUEST) << "cleanup of a port not started";
  m.kernel().Run();
  EXPECT_EQ(read.Status, STATUS_CANCELLED) << "the read kept the handle from closing";
  EXPECT_EQ(write.Status, STATUS_CANCELLED);
  EXPECT_EQ(m.ext()->OpenState, PORT_CLOSED) << "the close never came";
  EXPECT_EQ(m.ext()->PendingRequests, 0);
}

TEST(Cleanup, AndCloseOfAPortNotOpenAreRefused) {
  OpenClosePort m;
  for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
    SCOPED_TRACE(major == IRP_MJ_CLEANUP ? "cleanup" : "close");
    NTSTATUS status = STATUS_PENDING;
    EXPECT_TRUE(m.machine.RunInSystemThread("direct", [&] {
      emu::IoRequest request;
      request.majorFunction = major;
      status = m.machine.io().SendToStack(m.device, request);
    }));
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(m.ext()->PendingRequests, 0);
  }
  EXPECT_TRUE(m.usb().Urbs().empty());
}

TEST(FileInformation, StandardAndPositionReadZeroEndOfFileAndAllocationAreAccepted) {
  OpenClosePort m;
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(&file), STATUS_SUCCESS);
  const struct {
    ULONG informationClass;
    bool set;
    NTSTATUS expected;
    ULONG_PTR information;
  } cases[] = {
      {FileStandardInformation, false, STATUS_SUCCESS, 24},
      {FilePositionInformation, false, STATUS_SUCCESS, 8},
      {FileBasicInformation, false, STATUS_INVALID_PARAMETER, 0},
      {FileEndOfFileInformation, true, STATUS_SUCCESS, 0},
      {FileAllocationInformation, true, STATUS_SUCCESS, 0},
      {FilePositionInformation, true, STATUS_INVALID_PARAMETER, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.set ? "set " : "query ") << c.informationClass);
    std::vector<uint8_t> data(24, 0xCC);
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 99;
    EXPECT_TRUE(m.machine.RunInApplicationThread("information", [&] {
      emu::IoRequest request;
      request.majorFunction = c.set ? IRP_MJ_SET_INFORMATION : IRP_MJ_QUERY_INFORMATION;
      request.informationClass = c.informationClass;
      if (c.set) {
        request.inputBuffer = data.data();
        request.inputLength = 8;
      } else {
        request.outputBuffer = data.data();
        request.outputLength = (ULONG)data.size();
      }
      status = m.machine.io().SendRequest(file, request, &information);
    }));
    EXPECT_EQ(status, c.expected);
    EXPECT_EQ(information, c.information);
    if (!c.set && c.expected == STATUS_SUCCESS) {
      for (size_t i = 0; i < c.information; ++i) EXPECT_EQ(data[i], 0) << "byte " << i;
    }
  }
  EXPECT_EQ(m.ext()->PendingRequests, 0);
  EXPECT_EQ(m.Close(file), STATUS_SUCCESS);
}

class OpenCloseRaceBase : public ::testing::Test {
 protected:
  explicit OpenCloseRaceBase(emu::KernelConfig config) : m(config) {}
  ~OpenCloseRaceBase() override { EXPECT_EQ(m.ext()->PendingRequests, 0) << "a request was never completed"; }
  OpenClosePort m;
};
using OpenCloseRace = Scheduled<OpenCloseRaceBase>;

TEST_P(OpenCloseRace, AnOpenDuringCloseIsRefusedOrFindsAFullyOpenedPort) {
  PFILE_OBJECT first = nullptr, second = nullptr;
  ASSERT_EQ(m.Open(&first), STATUS_SUCCESS);
  NTSTATUS closed = STATUS_PENDING, reopened = STATUS_PENDING;
  m.kernel().StartApplicationThread("closer", [&] { closed = m.machine.io().CloseFile(first); });
  m.kernel().StartApplicationThread("opener",
                                  [&] { reopened = m.machine.io().OpenFile(m.DosName(), GENERIC_READ, &second); });
  m.kernel().Run();
  EXPECT_EQ(closed, STATUS_SUCCESS);
  ASSERT_TRUE(reopened == STATUS_SUCCESS || reopened == STATUS_ACCESS_DENIED) << Hex((ULONG)reopened);
  if (reopened == STATUS_SUCCESS) {
    EXPECT_EQ(m.ext()->OpenState, PORT_OPEN);
    EXPECT_TRUE(m.ext()->WmiCommData.IsBusy) << "the old handle's close marked the new one idle";
    EXPECT_TRUE(m.PeerDtr()) << "the old handle's close dropped the new handle's DTR";
    EXPECT_EQ(m.chip->Initializations(), 2u);
    EXPECT_EQ(m.Close(second), STATUS_SUCCESS);
  } else {
    EXPECT_EQ(m.ext()->OpenState, PORT_CLOSED);
    EXPECT_FALSE(m.PeerDtr());
  }
  EXPECT_FALSE(m.ext()->WmiCommData.IsBusy);
}

TEST_P(OpenCloseRace, CleanupRacingACompletingReadCompletesItOnce) {
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(&file), STATUS_SUCCESS);
  IO_STATUS_BLOCK read, queued;
  m.Start(file, IRP_MJ_READ, 4, &read);
  const PIRP current = m.ext()->CurrentRead;
  m.Start(file, IRP_MJ_READ, 4, &queued);
  ASSERT_EQ(read.Status, STATUS_PENDING);
  ASSERT_NE(current, nullptr);
  NTSTATUS closed = STATUS_PENDING;
  bool finished = false;
  m.kernel().StartSystemThread("read path", [&] { finished = m.FinishRead(current); });
  m.kernel().StartApplicationThread("closer", [&] { closed = m.machine.io().CloseFile(file); });
  m.kernel().Run();
  EXPECT_EQ(closed, STATUS_SUCCESS);
  EXPECT_EQ(read.Status, finished ? STATUS_SUCCESS : STATUS_CANCELLED);
  EXPECT_EQ(queued.Status, STATUS_CANCELLED) << "the queued read outlived cleanup";
  EXPECT_EQ(m.ext()->CurrentRead, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Schedules, OpenCloseRace, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace drvusb_test
