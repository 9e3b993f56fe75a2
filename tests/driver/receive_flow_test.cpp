// Receive flow control against the chip and a far end: the DTR, RTS and XOFF holds at the hold
// threshold, their release by ResumeReceive, by ApplyHandFlow and by the drain release's work
// item, and the hold rule racing both. The far end sees the DTR and RTS levels and every byte.
#include "rx/receive_flow.h"

#include <algorithm>

#include "line/far_ends.h"
#include "nt/io_manager.h"
#include "rx/receive_ring.h"
#include "serial/request_queue.h"
#include "usb/modem_lines.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

using emu::line::ScriptedPeer;
using test_support::AllSchedules;
using test_support::Scheduled;
using test_support::ScheduleName;

// Copies what the ring holds, up to the buffer's size, into the buffer through a read request
// made current under ControlLock, as the read path does. Runs inside the machine.
void CopyOut(PPORT_EXTENSION ext, std::vector<UCHAR>& buffer) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length = (ULONG)buffer.size();
  RequestBufferPosition(irp) = buffer.data();
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  ext->CurrentRead = irp;
  CopyRingToRead(ext);
  ext->CurrentRead = NULL;
  KeReleaseSpinLock(&ext->ControlLock, irql);
  IoFreeIrp(irp);
}

constexpr UCHAR kXon = 0x11, kXoff = 0x13;
constexpr LONG kHoldAt = RING_BUFFER_SIZE - RING_BUFFER_SIZE / 8;  // 60368
constexpr LONG kXonLimit = RING_BUFFER_SIZE / 2;                   // 34496
const UrbFilter kBulkOut = UrbFilter::Function(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).AndEndpoint(0x02);

SERIAL_HANDFLOW Flow(ULONG controlHandShake, ULONG flowReplace) {
  return SERIAL_HANDFLOW{controlHandShake, flowReplace, kXonLimit, RING_BUFFER_SIZE / 8};
}

// A bridge at 9600 8N1 with a scripted peer on its line, DTR and RTS raised, the open-time
// limits and `flow` in force.
struct FlowPort : ConfiguredPort {
  explicit FlowPort(emu::KernelConfig config = test_support::CurrentConfig())
      : ConfiguredPort({}, config), peer(PlugFarEnd<ScriptedPeer>(emu::line::Clock::Kernel())) {
    EXPECT_EQ(ProgramLine(9600, 0xFF, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
    Call([&] {
      SetDtr(device, TRUE);
      return SetRts(device, TRUE);
    });
  }
  void Use(const SERIAL_HANDFLOW& flow) { ext()->HandFlow = flow; }
  void Apply(const SERIAL_HANDFLOW& flow) {
    Call([&] {
      ApplyHandFlow(device, &flow);
      return STATUS_SUCCESS;
    });
  }
  void Hold() {
    Call([&] {
      ApplyReceiveHolds(device);
      return STATUS_SUCCESS;
    });
  }
  // A read-like copy of `n` bytes out of the ring.
  void Drain(ULONG n) {
    std::vector<UCHAR> buffer(n);
    Call([&] {
      CopyOut(ext(), buffer);
      return STATUS_SUCCESS;
    });
  }
  // Everything the chip was given has reached the far end.
  std::vector<uint8_t> Line() {
    kernel().RunUntil([&] { return peer.ReceivedCharacters().size() >= chip->BytesFromHost(); },
                      kernel().Now() + emu::kSecond);
    return peer.ReceivedBytes();
  }
  // Times the far end saw DTR (or RTS) fall since the start.
  size_t Drops(bool rts) {
    size_t n = 0;
    bool up = false;
    for (const auto& e : peer.Events()) {
      if (e.kind != emu::line::LineEvent::Kind::Outputs) continue;
      const bool level = rts ? e.outputs.rts : e.outputs.dtr;
      n += up && !level;
      up = level;
    }
    return n;
  }
  size_t Sent(UCHAR c) {
    const auto line = Line();
    return static_cast<size_t>(std::count(line.begin(), line.end(), c));
  }
  ScriptedPeer& peer;
};

TEST(ReceiveHolds, EachHoldActsOnceWhenTheRingReachesRingSizeMinusXoffLimit) {
  const struct {
    const char* what;
    SERIAL_HANDFLOW flow;
    bool dtrDrops, rtsDrops, xoff;
  } cases[] = {
      {"DTR handshake", Flow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL), true, false, false},
      {"RTS handshake", Flow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE), false, true, false},
      {"auto-receive", Flow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE), false, false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FlowPort m;
    m.Use(c.flow);
    m.ext()->RingCount = kHoldAt - 1;
    m.Hold();
    EXPECT_EQ(m.ext()->RxHoldFlags, 0u) << "one byte below the threshold nothing is held";
    for (LONG count : {kHoldAt, kHoldAt, kHoldAt + 500}) {
      m.ext()->RingCount = count;
      m.Hold();
    }
    EXPECT_EQ(m.Drops(false), c.dtrDrops ? 1u : 0u);
    EXPECT_EQ(m.Drops(true), c.rtsDrops ? 1u : 0u);
    EXPECT_EQ(m.peer.EndOutputs().dtr, !c.dtrDrops);
    EXPECT_EQ(m.peer.EndOutputs().rts, !c.rtsDrops);
    EXPECT_EQ(m.Line(), c.xoff ? std::vector<uint8_t>{kXoff} : std::vector<uint8_t>{}) << "one XOFF, once";
  }
}

TEST(ResumeReceive, ReleasesEveryHoldAtXonLimitAndReturnsTheLastTransmissionsStatus) {
  FlowPort m;
  m.Use(Flow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE));
  m.ext()->RingCount = kHoldAt;
  m.Hold();
  ASSERT_EQ(m.ext()->RxHoldFlags, (ULONG)(RX_HOLD_DTR | RX_HOLD_RTS | RX_HOLD_XOFF));

  m.ext()->RingCount = kXonLimit + 1;
  const size_t urbs = m.usb().Urbs().size();
  EXPECT_EQ(m.Call([&] { return ResumeReceive(m.device); }), STATUS_SUCCESS);
  EXPECT_EQ(m.usb().Urbs().size(), urbs) << "above XonLimit nothing may change";
  EXPECT_EQ(m.ext()->RxHoldFlags, (ULONG)(RX_HOLD_DTR | RX_HOLD_RTS | RX_HOLD_XOFF));

  // The RXCLEAR purge: the ring emptied, then ResumeReceive; the XON transfer fails.
  m.Call([&] {
    ClearReceiveRing(m.ext());
    return STATUS_SUCCESS;
  });
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, kBulkOut);
  EXPECT_EQ(m.Call([&] { return ResumeReceive(m.device); }), STATUS_DEVICE_DATA_ERROR)
      << "the status is the XON transmission's";
  EXPECT_EQ(m.ext()->RxHoldFlags, 0u);
  EXPECT_TRUE(m.peer.EndOutputs().dtr && m.peer.EndOutputs().rts);

  // Again with the transfer going through: XON on the line, success.
  m.ext()->RxHoldFlags = RX_HOLD_XOFF | RX_HOLD_DSR;
  EXPECT_EQ(m.Call([&] { return ResumeReceive(m.device); }), STATUS_SUCCESS);
  EXPECT_EQ(m.Line(), (std::vector<uint8_t>{kXoff, kXon}));
  EXPECT_EQ(m.ext()->RxHoldFlags, (ULONG)RX_HOLD_DSR) << "the DSR hold is not ResumeReceive's";
  const size_t after = m.usb().Urbs().size();
  EXPECT_EQ(m.Call([&] { return ResumeReceive(m.device); }), STATUS_SUCCESS);
  EXPECT_EQ(m.usb().Urbs().size(), after) << "only the DSR hold set: nothing to send";
}

TEST(ApplyHandFlow, SwitchingAutoReceiveOrAutoTransmitOffReleasesTheirHoldsAtOnce) {
  FlowPort m;
  const std::string writer = EventName(m, &m.ext()->WriterEvent);
  m.Use(Flow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE));
  m.ext()->RingCount = kHoldAt;
  m.Hold();
  m.Apply(Flow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL));
  EXPECT_EQ(m.Line(), (std::vector<uint8_t>{kXoff, kXon})) << "XON at once, the ring still full";
  EXPECT_EQ(m.ext()->RxHoldFlags, 0u);

  // Auto-transmit off while a received XOFF holds transmission.
  IRP write{};
  const struct {
    const char* what;
    ULONG otherHolds;
    bool writing;
    size_t wakes;
  } cases[] = {{"a current write", 0, true, 1},
               {"no write", 0, false, 0},
               {"a write held by CTS", TX_HOLD_CTS, true, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m.Use(Flow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT));
    m.ext()->TxHoldFlags = TX_HOLD_XOFF | c.otherHolds;
    m.ext()->CurrentWrite = c.writing ? &write : NULL;
    const size_t xons = m.Sent(kXon), wakes = Wakes(m, writer);
    m.Apply(Flow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL));
    EXPECT_EQ(m.ext()->TxHoldFlags, c.otherHolds);
    EXPECT_EQ(m.Sent(kXon), xons + 1);
    EXPECT_EQ(Wakes(m, writer) - wakes, c.wakes);
  }
  m.ext()->CurrentWrite = NULL;
}

TEST(ApplyHandFlow, TransmitToggleRaisesRtsOnlyWithSomethingToSendAndHandshakesHoldAtTheThreshold) {
  FlowPort m;
  const std::string status = EventName(m, &m.ext()->StatusEvent);
  m.Call([&] { return SetRts(m.device, FALSE); });
  size_t wakes = Wakes(m, status);
  m.Apply(Flow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE));
  EXPECT_FALSE(m.peer.EndOutputs().rts) << "nothing to send: RTS stays down";
  EXPECT_EQ(Wakes(m, status) - wakes, 1u) << "the status thread is asked instead";
  EXPECT_EQ(m.ext()->HandFlow.FlowReplace & SERIAL_RTS_MASK, (ULONG)SERIAL_TRANSMIT_TOGGLE);

  IRP queued{};
  InsertTailList(&m.ext()->WriteQueue, &queued.Tail.Overlay.ListEntry);
  m.Apply(Flow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL));
  m.Call([&] { return SetRts(m.device, FALSE); });
  wakes = Wakes(m, status);
  m.Apply(Flow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE));
  EXPECT_TRUE(m.peer.EndOutputs().rts) << "a queued write and no transmit hold: RTS up";
  EXPECT_EQ(Wakes(m, status), wakes);
  RemoveEntryList(&queued.Tail.Overlay.ListEntry);

  // Switching to DTR handshake with the threshold reached holds at once; a later switch with
  // the ring at XonLimit releases.
  m.ext()->RingCount = kHoldAt;
  m.Apply(Flow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL));
  EXPECT_FALSE(m.peer.EndOutputs().dtr);
  EXPECT_EQ(m.ext()->RxHoldFlags, (ULONG)RX_HOLD_DTR);
  m.ext()->RingCount = kXonLimit;
  m.Apply(Flow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL));
  m.Apply(Flow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL));
  EXPECT_TRUE(m.peer.EndOutputs().dtr);
  EXPECT_EQ(m.ext()->RxHoldFlags, 0u);
  EXPECT_EQ(m.Drops(false), 1u);
}

TEST(DrainRelease, AReadTakingTheRingToXonLimitReleasesTheHoldsThroughTheWorkItem) {
  FlowPort m;
  m.Use(Flow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE));
  m.ext()->RingCount = kHoldAt;
  m.Hold();
  const auto queued = [&m] {
    size_t n = 0;
    for (const auto& e : m.kernel().TraceEvents()) n += e.category == "work" && e.text.starts_with("queue ");
    return n;
  };
  m.Drain(kHoldAt - kXonLimit - 1);
  m.kernel().Run();
  EXPECT_EQ(queued(), 0u) << "one byte above XonLimit: no release queued";
  EXPECT_EQ(m.ext()->RxHoldFlags, (ULONG)(RX_HOLD_DTR | RX_HOLD_RTS | RX_HOLD_XOFF));
  EXPECT_FALSE(m.peer.EndOutputs().dtr || m.peer.EndOutputs().rts);

  // Two copies before the item runs: queued once (a second queueing would bug-check).
  m.Drain(1);
  m.Drain(1);
  EXPECT_EQ(m.ext()->RingCount, kXonLimit - 1);
  m.kernel().Run();
  EXPECT_EQ(queued(), 1u);
  EXPECT_EQ(m.ext()->RxHoldFlags, 0u);
  EXPECT_TRUE(m.peer.EndOutputs().dtr && m.peer.EndOutputs().rts);
  EXPECT_EQ(m.Line(), (std::vector<uint8_t>{kXoff, kXon}));
  EXPECT_EQ(m.ext()->FlowWorkQueued, 0);
  bool ranInWorker = false;
  for (const auto& e : m.kernel().TraceEvents())
    ranInWorker |= e.category == "urb" && e.context.rfind("worker", 0) == 0;
  EXPECT_TRUE(ranInWorker) << "the release's USB requests were not made by the work item";
}

// The hold rule (reader thread), a read draining the ring to XonLimit and ApplyHandFlow switching
// auto-receive off, all at once: each hold and each release acts exactly once, and after one more
// read nothing is held.
struct FlowPortTest : ::testing::Test, FlowPort {
  explicit FlowPortTest(emu::KernelConfig config) : FlowPort(config) {}
};
using HoldRace = Scheduled<FlowPortTest>;

TEST_P(HoldRace, EveryHoldAndReleaseActsOnceAndTheNextReadLeavesNothingHeld) {
  Use(Flow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE));
  ext()->RingCount = kHoldAt;
  const SERIAL_HANDFLOW autoReceiveOff = Flow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE);
  std::vector<UCHAR> buffer(kHoldAt - kXonLimit);
  kernel().StartSystemThread("reader", [&] {  // the hold rule after two transfers
    ApplyReceiveHolds(device);
    ApplyReceiveHolds(device);
  });
  kernel().StartSystemThread("dispatch", [&] { ApplyHandFlow(device, &autoReceiveOff); });
  kernel().StartSystemThread("read", [&] { CopyOut(ext(), buffer); });
  kernel().Run();
  Drain(1);
  kernel().Run();

  EXPECT_EQ(ext()->RxHoldFlags, 0u) << "a hold outlived the read that took the ring below XonLimit";
  EXPECT_TRUE(peer.EndOutputs().dtr && peer.EndOutputs().rts);
  EXPECT_LE(Drops(false), 1u);
  EXPECT_EQ(Drops(false), Drops(true)) << "DTR and RTS hold together";
  const auto line = Line();
  const size_t xoffs = std::count(line.begin(), line.end(), kXoff);
  EXPECT_LE(xoffs, 1u);
  EXPECT_EQ(std::count(line.begin(), line.end(), kXon), (long)xoffs) << "one XON per XOFF";
  if (xoffs == 1) {
    EXPECT_LT(std::find(line.begin(), line.end(), kXoff), std::find(line.begin(), line.end(), kXon))
        << "the XON went out before the XOFF it releases: the far end stays held";
  }
  EXPECT_EQ(machine.io().WorkInProgress(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Schedules, HoldRace, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace drvusb_test
