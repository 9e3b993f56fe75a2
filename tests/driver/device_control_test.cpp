// The standard serial control codes through the driver's device control dispatcher, sent by
// applications through the I/O manager to an open port with the chip and a scripted peer
// underneath: settings and their refusals, modem outputs, holds, status, purges, the wait mask,
// buffers one byte short, and the races of control codes with cancellation and the status
// monitor under every schedule of the sweep.
#include <cstring>

#include "control_fixture.h"
#include "tx/status_monitor.h"
#include "usb/line_format.h"

namespace drvusb_test {
namespace {

using emu::kMillisecond;
using test_support::AllSchedules;
using test_support::Scheduled;
using test_support::ScheduleName;

constexpr ULONG kGetCommConfig = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kSetCommConfig = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS);

template <class T>
bool SameBytes(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

SERIAL_HANDFLOW HandFlow(ULONG controlHandShake, ULONG flowReplace, LONG xonLimit = 1024,
                         LONG xoffLimit = 1024) {
  return SERIAL_HANDFLOW{controlHandShake, flowReplace, xonLimit, xoffLimit};
}

// The peer holds its transmit wire in a break long enough for the chip to report it; the status
// monitor reads the reports while a wait mask selects modem events.
void PeerBreak(ControlPort& m) {
  ASSERT_EQ(m.Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_CTS | SERIAL_EV_ERR}), STATUS_SUCCESS);
  m.peer.DriveBreak(true);
  m.Settle(3 * kMillisecond);
  m.peer.DriveBreak(false);
  m.Settle(5 * kMillisecond);
}

// --- Settings ------------------------------------------------------------------------------------

TEST(ControlSettings, EachSettingReadsBackAsSetAndReachesTheChipAndWmi) {
  ControlPort m;
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{57600}), STATUS_SUCCESS);
  EXPECT_EQ(m.Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 57600u);
  EXPECT_NEAR(m.chip->LineFrame().baud, 57600.0, 57600.0 * 0.03) << "the rate did not reach the chip";
  EXPECT_EQ(m.ext()->WmiCommData.BaudRate, 57600u);

  const struct {
    SERIAL_LINE_CONTROL line;
    ULONG wmiParity;
  } lines[] = {{{STOP_BIT_1, EVEN_PARITY, 7}, 2},
               {{STOP_BITS_2, MARK_PARITY, 8}, 4},
               {{STOP_BITS_2, SPACE_PARITY, 5}, 3},  // no combination is refused
               {{STOP_BITS_1_5, ODD_PARITY, 6}, 1},
               {{STOP_BIT_1, NO_PARITY, 8}, 0}};
  for (const auto& c : lines) {
    SCOPED_TRACE("word length " + std::to_string(c.line.WordLength));
    EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_LINE_CONTROL, c.line), STATUS_SUCCESS);
    EXPECT_TRUE(SameBytes(m.Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL), c.line));
    EXPECT_EQ(m.chip->LineFrame().dataBits, c.line.WordLength) << "the format did not reach the chip";
    EXPECT_EQ(m.ext()->WmiCommData.Parity, c.wmiParity) << "WMI numbers mark and space the other way round";
    EXPECT_EQ(m.ext()->WmiCommData.BitsPerByte, c.line.WordLength);
    EXPECT_EQ(m.ext()->WmiCommData.StopBits, c.line.StopBits);
  }

  const SERIAL_CHARS chars{0x1A, 0x3F, 0x21, 0x0D, 0x05, 0x06};
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
  EXPECT_TRUE(SameBytes(m.Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS), chars));
  EXPECT_EQ(m.ext()->WmiCommData.XonCharacter, 0x05u);
  EXPECT_EQ(m.ext()->WmiCommData.XoffCharacter, 0x06u);

  const SERIAL_TIMEOUTS timeouts{10, 20, 30, 40, 50};
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
  EXPECT_TRUE(SameBytes(m.Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS), timeouts));

  // DTR and RTS follow the handshake's control modes as they change.
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0, 0)), STATUS_SUCCESS);
  EXPECT_FALSE(m.PeerDtr() || m.PeerRts());
  const SERIAL_HANDFLOW flow = HandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE,
                                        SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, 100, 200);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_SUCCESS);
  EXPECT_TRUE(SameBytes(m.Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW), flow));
  EXPECT_TRUE(m.PeerDtr() && m.PeerRts()) << "the handshake's DTR and RTS control were not applied";
}

TEST(ControlSettings, RefusedSettingsLeaveTheSettingsAsTheyWere) {
  ControlPort m;
  // A rate the chip cannot run is refused but stays stored; the chip keeps its rate.
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{45}), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(m.Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 45u);
  EXPECT_EQ(m.ext()->WmiCommData.BaudRate, 45u);
  EXPECT_NEAR(m.chip->LineFrame().baud, 9600.0, 9600.0 * 0.03);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{0}), STATUS_UNSUCCESSFUL);
  EXPECT_GT(CharacterTime(m.ext()), 0u) << "the character time of a stored rate of 0";

  // Word length 9: refused, the format unchanged, but WMI has the valid parts and the length.
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BITS_2, ODD_PARITY, 9}),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(m.ext()->DataMask, 0xFF);
  EXPECT_EQ(m.ext()->Parity, NO_PARITY);
  EXPECT_EQ(m.ext()->WmiCommData.BitsPerByte, 9u);
  EXPECT_EQ(m.ext()->WmiCommData.Parity, 1u);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, 5, 8}),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{3, NO_PARITY, 8}),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(m.ext()->StopBits, STOP_BIT_1);

  const ULONG ring = m.ext()->RingSize;
  const struct {
    const char* what;
    SERIAL_HANDFLOW flow;
    NTSTATUS status;
  } flows[] = {
      {"XonLimit at the ring size", HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, (LONG)ring, 0),
       STATUS_SUCCESS},
      {"XonLimit above the ring size", HandFlow(0, 0, (LONG)ring + 1, 0), STATUS_BUFFER_TOO_SMALL},
      {"XoffLimit below 0", HandFlow(0, 0, 0, -1), STATUS_BUFFER_TOO_SMALL},
      {"DTR control and handshake", HandFlow(SERIAL_DTR_MASK, 0), STATUS_BUFFER_TOO_SMALL},
      {"undefined handshake bit", HandFlow(0x04, 0), STATUS_BUFFER_TOO_SMALL},
      {"undefined flow bit", HandFlow(0, 0x20), STATUS_BUFFER_TOO_SMALL},
  };
  for (const auto& c : flows) {
    SCOPED_TRACE(c.what);
    const SERIAL_HANDFLOW before = m.Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_HANDFLOW, c.flow), c.status);
    EXPECT_TRUE(SameBytes(m.Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW),
                          c.status == STATUS_SUCCESS ? c.flow : before));
  }

  // Status insertion and the error character exclude each other; the insertion character is
  // neither XON nor XOFF.
  const SERIAL_HANDFLOW errorChar = HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_LSRMST_INSERT, UCHAR{0x13}), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_LSRMST_INSERT, UCHAR{0xFE}), STATUS_SUCCESS);
  EXPECT_EQ(m.ext()->EscapeChar, 0xFE);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_HANDFLOW, errorChar), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_LSRMST_INSERT, UCHAR{0}), STATUS_SUCCESS);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_HANDFLOW, errorChar), STATUS_SUCCESS);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_LSRMST_INSERT, UCHAR{0xFE}), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(m.ext()->EscapeChar, 0);
}

// --- Modem outputs and transmission holds -------------------------------------------------------

TEST(ControlModemLines, OutputsReachThePeerAndReadBackAndHandshakesKeepThem) {
  ControlPort m;
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_MODEM_CONTROL, ULONG{7 | 0x18}), STATUS_SUCCESS)
      << "other bits are ignored";
  const auto writes = m.chip->VendorRequests(0xA4);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back().setup.wValue, 0x8F) << "DTR, RTS and OUT1 asserted (active low)";
  EXPECT_TRUE(m.PeerDtr() && m.PeerRts());
  EXPECT_EQ(m.Get<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), 7u);
  EXPECT_EQ(m.Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE));
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
  EXPECT_FALSE(m.PeerDtr() || m.PeerRts());
  EXPECT_EQ(m.Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), 0u);

  // SET_DTR succeeds when the chip misses the change; the read-back then shows the chip's state.
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, UrbFilter::Request(0xA4));
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
  EXPECT_FALSE(m.PeerDtr());
  EXPECT_NE(m.ext()->ModemControl & MODEM_CONTROL_DTR, 0) << "the shadow keeps the requested state";
  EXPECT_EQ(m.Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), 0u);
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, UrbFilter::Request(0x95));
  ULONG state = 0xFFFFFFFF;
  ULONG_PTR information = 99;
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &state, sizeof state, &information),
            STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(information, 0u);

  // Lines that serve as handshakes refuse manual changes.
  ASSERT_EQ(m.Set(IOCTL_SERIAL_SET_HANDFLOW, HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE)),
            STATUS_SUCCESS);
  for (ULONG code : {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS})
    EXPECT_EQ(m.Ioctl(code), STATUS_BUFFER_TOO_SMALL) << "code " << Hex(code);
  ASSERT_EQ(m.Set(IOCTL_SERIAL_SET_HANDFLOW, HandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE)),
            STATUS_SUCCESS);
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_SET_RTS), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
  EXPECT_FALSE(m.PeerDtr());
  ASSERT_EQ(m.Set(IOCTL_SERIAL_SET_HANDFLOW, HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL)),
            STATUS_SUCCESS);
}

// --- Status ----------------------------------------------------------------------------------------

TEST(ControlStatus, CommStatusClearsTheErrorsOnceAndNamesEachHold) {
  ControlPort m;
  PeerBreak(m);
  EXPECT_EQ(m.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, (ULONG)SERIAL_ERROR_BREAK);
  EXPECT_EQ(m.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u) << "the errors were not cleared";
  m.Feed("xyz");
  EXPECT_EQ(m.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 3u);

  // XOFF and break hold a write; each is named until it ends.
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
  WritePort::Request& held = m.StartWrite(Pattern(4));
  m.Settle();
  SERIAL_STATUS status = m.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.HoldReasons, (ULONG)SERIAL_TX_WAITING_FOR_XON);
  EXPECT_EQ(status.AmountInOutQueue, 4u);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_IMMEDIATE_CHAR, UCHAR{'Z'}), STATUS_SUCCESS);
  m.Settle();
  EXPECT_EQ(m.peer.ReceivedBytes(), std::vector<uint8_t>{'Z'}) << "the immediate byte goes out past the hold";
  EXPECT_FALSE(held.Done());
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
  m.Settle();
  EXPECT_TRUE(m.peer.EndBreak()) << "no break on the line";
  EXPECT_EQ(m.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons,
            (ULONG)(SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_ON_BREAK));
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
  ASSERT_TRUE(m.RunUntilDone(held)) << "SET_XON did not resume the held write";
  EXPECT_EQ(held.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(m.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, 0u);

  // The output handshake the chip applies itself, with CTS low and data waiting.
  ASSERT_EQ(m.Set(IOCTL_SERIAL_SET_HANDFLOW,
                  HandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL)),
            STATUS_SUCCESS);
  WritePort::Request& waiting = m.StartWrite(Pattern(2048));  // more than the chip's FIFO holds
  m.Settle();
  // While an output handshake is on, every one of the three inputs that is low is named.
  EXPECT_EQ(m.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons,
            (ULONG)(SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_DCD));
  m.peer.DriveInputs({.cts = false, .dsr = true, .dcd = true});
  m.Settle();
  EXPECT_EQ(m.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, (ULONG)SERIAL_TX_WAITING_FOR_CTS);
  m.peer.DriveCts(true);
  ASSERT_TRUE(m.RunUntilDone(waiting));

  // Under the error abort only the status query gets through, and it ends the abort.
  ASSERT_EQ(
      m.Set(IOCTL_SERIAL_SET_HANDFLOW, HandFlow(SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL)),
      STATUS_SUCCESS);
  PeerBreak(m);
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_SET_XON), STATUS_CANCELLED);
  EXPECT_EQ(m.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, (ULONG)SERIAL_ERROR_BREAK);
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
}

TEST(ControlStatus, PropertiesStatisticsAndTheCodesThatDoNothing) {
  ControlPort m;
  SERIAL_COMMPROP props[2]{};
  ULONG_PTR information = 99;
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, props, 63, &information),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, props, 64, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 64u);
  EXPECT_EQ(props[0].PacketLength, 64);
  EXPECT_EQ(props[0].CurrentRxQueue, 68992u);
  EXPECT_EQ(m.Get<ULONG>(IOCTL_SERIAL_CONFIG_SIZE), 0u);

  m.Feed("hello");
  WritePort::Request& w = m.StartWrite(Pattern(3));
  ASSERT_TRUE(m.RunUntilDone(w));
  const SERIALPERF_STATS stats = m.Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
  EXPECT_EQ(stats.ReceivedCount, 5u);
  EXPECT_EQ(stats.TransmittedCount, 3u);
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_CLEAR_STATS), STATUS_SUCCESS);
  EXPECT_TRUE(SameBytes(m.Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS), SERIALPERF_STATS{}));
  EXPECT_TRUE(SameBytes(m.ext()->WmiPerfStats, SERIALPERF_STATS{})) << "the WMI statistics were not cleared";

  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{4096, 4096}), STATUS_SUCCESS);
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_SET_FIFO_CONTROL), STATUS_SUCCESS);
  const size_t initializations = m.chip->VendorRequests(0xA1).size();
  EXPECT_EQ(m.Ioctl(IOCTL_SERIAL_RESET_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(m.chip->VendorRequests(0xA1).size(), initializations + 1) << "the chip was not initialised again";
  for (ULONG code : {kGetCommConfig, kSetCommConfig, 0x1B00A0u})
    EXPECT_EQ(m.Ioctl(code), STATUS_INVALID_PARAMETER) << "code " << Hex(code);
}

// --- Purge -----------------------------------------------------------------------------------------

TEST(ControlPurge, EachPurgeBitEndsOrDiscardsOnlyWhatItNames) {
  ControlPort m;
  EXPECT_EQ(m.Set(IOCTL_SERIAL_PURGE, ULONG{0x10}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_PURGE, ULONG{0}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_XOFF_COUNTER, SERIAL_XOFF_COUNTER{0, 0, 0x13}), STATUS_BUFFER_TOO_SMALL)
      << "an XOFF counter that counts nothing";

  m.Feed("abc");
  ASSERT_EQ(m.Ioctl(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
  WritePort::Request& write = m.StartWrite(Pattern(16));
  WritePort::Request& queued = m.StartXoffCounter(0, 5, 0x13);
  m.Settle();
  EXPECT_EQ(m.Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXCLEAR}), STATUS_SUCCESS);
  m.Settle();
  EXPECT_FALSE(write.Done() || queued.Done()) << "TXCLEAR ended a request";
  EXPECT_EQ(m.RingBytes(), (std::vector<UCHAR>{'a', 'b', 'c'})) << "TXCLEAR touched the receive ring";

  EXPECT_EQ(m.Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXABORT}), STATUS_SUCCESS);
  ASSERT_TRUE(m.RunUntilDone(write) && m.RunUntilDone(queued));
  EXPECT_EQ(write.iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(queued.iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(m.TxPending(), 0u);
  EXPECT_TRUE(m.peer.ReceivedBytes().empty());

  // A counting XOFF-counter request has left the queue; TXABORT ends it all the same.
  ASSERT_EQ(m.Ioctl(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
  WritePort::Request& counting = m.StartXoffCounter(0, 100, 0x13);
  ASSERT_TRUE(m.kernel().RunUntil([&] { return m.ext()->XoffCounterIrp != nullptr; },
                                  m.kernel().Now() + emu::kSecond));
  EXPECT_EQ(m.Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXABORT}), STATUS_SUCCESS);
  ASSERT_TRUE(m.RunUntilDone(counting)) << "TXABORT left the counting request";
  EXPECT_EQ(counting.iosb.Status, STATUS_CANCELLED);

  EXPECT_EQ(m.Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}), STATUS_SUCCESS);
  EXPECT_EQ(m.ext()->RingCount, 0);
  m.Feed("de");
  EXPECT_EQ(m.RingBytes(), (std::vector<UCHAR>{'d', 'e'})) << "the ring does not fill again";

  IO_STATUS_BLOCK read{};
  read.Status = STATUS_PENDING;
  UCHAR buffer[10];
  emu::IoRequest request;
  request.majorFunction = IRP_MJ_READ;
  request.outputBuffer = buffer;
  request.outputLength = sizeof buffer;
  ASSERT_TRUE(m.machine.RunInApplicationThread(
      "read", [&] { m.machine.io().StartRequest(m.file, request, nullptr, &read); }));
  m.Settle();
  ASSERT_EQ(read.Status, STATUS_PENDING);
  EXPECT_EQ(m.Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXABORT}), STATUS_SUCCESS);
  m.Settle();
  EXPECT_EQ(read.Status, STATUS_CANCELLED);
}

// --- Wait mask -------------------------------------------------------------------------------------

TEST(ControlWaitMask, RefusalsANewMaskEndingTheWaitAndAnEventCompletingIt) {
  ControlPort m;
  EXPECT_EQ(m.StartWait().iosb.Status, STATUS_INVALID_PARAMETER) << "a wait without a mask";
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{0x1000}), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(m.Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_CTS | SERIAL_EV_DSR}), STATUS_SUCCESS);
  EXPECT_EQ(m.Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), (ULONG)(SERIAL_EV_CTS | SERIAL_EV_DSR));

  StatusPort::Wait& parked = m.StartWait();
  EXPECT_EQ(parked.iosb.Status, STATUS_PENDING);
  EXPECT_EQ(m.StartWait().iosb.Status, STATUS_INVALID_PARAMETER) << "a second wait while one is pending";
  EXPECT_EQ(m.Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_CTS}), STATUS_SUCCESS);
  m.Settle();
  ASSERT_TRUE(parked.Done()) << "a new mask did not end the pending wait";
  EXPECT_EQ(parked.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(parked.iosb.Information, sizeof(ULONG));
  EXPECT_EQ(parked.result, 0u);

  StatusPort::Wait& w = m.StartWait();
  m.peer.DriveCts(true);
  m.Settle();
  ASSERT_TRUE(w.Done());
  EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(w.result, (ULONG)SERIAL_EV_CTS);
}

// --- Buffers one byte short ------------------------------------------------------------------------

// What a control code could change: the settings, the holds, the ring and the counters.
std::vector<uint8_t> PortState(ControlPort& m) {
  std::vector<uint8_t> bytes;
  auto add = [&](const auto& field) {
    const auto* p = reinterpret_cast<const uint8_t*>(&field);
    bytes.insert(bytes.end(), p, p + sizeof field);
  };
  PPORT_EXTENSION e = m.ext();
  add(e->BaudRate), add(e->DataMask), add(e->Parity), add(e->StopBits), add(e->Timeouts),
      add(e->SpecialChars);
  add(e->HandFlow), add(e->WaitMask), add(e->EventHistory), add(e->WaitIrp), add(e->EscapeChar);
  add(e->ModemControl), add(e->TxHoldFlags), add(e->RxHoldFlags), add(e->CommErrors), add(e->RingCount);
  add(e->TxPending), add(e->PerfStats), add(e->WmiPerfStats), add(e->WmiCommData), add(e->CurrentWrite);
  add(e->XoffCounterIrp);
  return bytes;
}

size_t ControlTransfers(ControlPort& m) {
  size_t n = 0;
  for (const auto& u : m.usb().Urbs()) n += u.hasSetup;
  return n;
}

TEST(ControlLengths, EveryCodeWithABufferOneByteShortIsRefusedAndChangesNothing) {
  ControlPort m;
  m.Feed("abc");
  PeerBreak(m);  // errors a status query would clear
  ASSERT_NE(m.ext()->CommErrors, 0u);
  // Inputs that each code would act on if it accepted them.
  const SERIAL_HANDFLOW flow = HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_AUTO_RECEIVE, 10, 10);
  const SERIAL_XOFF_COUNTER counter{0, 5, 0x13};
  const struct {
    ULONG code;
    std::vector<uint8_t> input;
    ULONG output;
  } cases[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, {0xB0, 0x04, 0, 0}, 0},
      {IOCTL_SERIAL_SET_QUEUE_SIZE, std::vector<uint8_t>(8, 0x10), 0},
      {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, ODD_PARITY, 7}, 0},
      {IOCTL_SERIAL_IMMEDIATE_CHAR, {'x'}, 0},
      {IOCTL_SERIAL_SET_TIMEOUTS, std::vector<uint8_t>(20, 7), 0},
      {IOCTL_SERIAL_GET_TIMEOUTS, {}, 20},
      {IOCTL_SERIAL_GET_WAIT_MASK, {}, 4},
      {IOCTL_SERIAL_SET_WAIT_MASK, {SERIAL_EV_CTS, 0, 0, 0}, 0},
      {IOCTL_SERIAL_WAIT_ON_MASK, {}, 4},
      {IOCTL_SERIAL_PURGE, {SERIAL_PURGE_RXCLEAR, 0, 0, 0}, 0},
      {IOCTL_SERIAL_GET_BAUD_RATE, {}, 4},
      {IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3},
      {IOCTL_SERIAL_GET_CHARS, {}, 6},
      {IOCTL_SERIAL_SET_CHARS, {1, 2, 3, 4, 5, 6}, 0},
      {IOCTL_SERIAL_GET_HANDFLOW, {}, 16},
      {IOCTL_SERIAL_SET_HANDFLOW, std::vector<uint8_t>((const uint8_t*)&flow, (const uint8_t*)(&flow + 1)),
       0},
      {IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4},
      {IOCTL_SERIAL_GET_COMMSTATUS, {}, 20},
      {IOCTL_SERIAL_XOFF_COUNTER,
       std::vector<uint8_t>((const uint8_t*)&counter, (const uint8_t*)&counter + 12), 0},
      {IOCTL_SERIAL_GET_PROPERTIES, {}, 64},
      {IOCTL_SERIAL_GET_DTRRTS, {}, 4},
      {IOCTL_SERIAL_LSRMST_INSERT, {0xFE}, 0},
      {IOCTL_SERIAL_CONFIG_SIZE, {}, 4},
      {IOCTL_SERIAL_GET_STATS, {}, 24},
      {IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4},
      {IOCTL_SERIAL_SET_MODEM_CONTROL, {7, 0, 0, 0}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("code " + Hex(c.code));
    const bool shortInput = !c.input.empty();
    const std::vector<uint8_t> before = PortState(m);
    const size_t transfers = ControlTransfers(m);
    std::vector<uint8_t> output(c.output + 1, 0xEE);
    ULONG_PTR information = 99;
    const ULONG inputLength = (ULONG)c.input.size() - (shortInput ? 1 : 0);
    const ULONG outputLength = c.output - (shortInput ? 0 : 1);
    EXPECT_EQ(m.Ioctl(c.code, c.input.data(), inputLength, output.data(), outputLength, &information),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(information, 0u);
    m.Settle();
    EXPECT_EQ(PortState(m), before) << "the refused request changed the port";
    EXPECT_EQ(ControlTransfers(m), transfers) << "the refused request reached the chip";
  }
  EXPECT_TRUE(m.peer.ReceivedBytes().empty());
}

// --- Races, under every schedule --------------------------------------------------------------------

class ControlRace : public ::testing::Test {
 protected:
  explicit ControlRace(emu::KernelConfig config) : m(config) {}
  ControlPort m;
};
using ControlRaceTest = Scheduled<ControlRace>;

// The application cancels its file's requests (CancelIo) while the wait is on its way into the
// driver, in whatever window of its admission and parking the schedule gives.
TEST_P(ControlRaceTest, AWaitCancelledInAnyWindowOfItsParkingEndsCancelledOnce) {
  ASSERT_EQ(m.Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RING}), STATUS_SUCCESS);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    StatusPort::Wait& w = m.waits.emplace_back();
    w.iosb.Status = STATUS_PENDING;
    emu::IoRequest request;
    request.ioControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    request.outputBuffer = &w.result;
    request.outputLength = sizeof w.result;
    size_t outstanding = 0;
    m.kernel().StartApplicationThread(
        "wait", [&] { m.machine.io().StartRequest(m.file, request, nullptr, &w.iosb); });
    m.kernel().StartApplicationThread("canceller", [&] {
      outstanding = m.machine.io().PendingRequestCount(m.file);
      m.machine.io().CancelFileRequests(m.file);
    });
    m.Settle(5 * kMillisecond);
    if (outstanding != 0) {
      ASSERT_TRUE(w.Done()) << "the cancel reached the wait before it was parked and was lost";
    } else {
      ASSERT_FALSE(w.Done()) << "a wait nobody cancelled ended";
      EXPECT_NE(m.ext()->WaitIrp, nullptr);
      EXPECT_TRUE(
          m.machine.RunInApplicationThread("cancel", [&] { m.machine.io().CancelFileRequests(m.file); }));
      m.Settle();
    }
    EXPECT_EQ(w.iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(m.ext()->WaitIrp, nullptr);
  }
  EXPECT_EQ(m.ext()->PendingRequests, 0);
}

// A new mask from the application while the status monitor delivers a CTS change to the wait:
// the mask request starts at a USB frame boundary, where the chip's status report arrives, a
// different number of frames after the change in each round.
TEST_P(ControlRaceTest, ANewMaskRacingTheStatusMonitorsDeliveryCompletesTheWaitOnce) {
  bool cts = false;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(m.Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_CTS}), STATUS_SUCCESS);
    StatusPort::Wait& w = m.StartWait();
    ASSERT_EQ(w.iosb.Status, STATUS_PENDING);
    cts = !cts;
    const emu::VirtualTime frame = (m.kernel().Now() / kMillisecond + 1) * kMillisecond;
    m.kernel().ScheduleDeviceEvent(frame, [&, cts] { m.peer.DriveCts(cts); });
    NTSTATUS maskStatus = STATUS_PENDING;
    m.kernel().ScheduleDeviceEvent(frame + round * kMillisecond, [&] {
      m.kernel().StartApplicationThread("mask", [&] {
        ULONG mask = SERIAL_EV_DSR;
        maskStatus =
            m.machine.DeviceIoControl(m.file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
      });
    });
    m.Settle(10 * kMillisecond);
    EXPECT_EQ(maskStatus, STATUS_SUCCESS);
    ASSERT_TRUE(w.Done()) << "the wait was never completed";
    EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.iosb.Information, sizeof(ULONG));
    EXPECT_TRUE(w.result == 0 || w.result == SERIAL_EV_CTS) << "result " << Hex(w.result);
    EXPECT_EQ(m.ext()->WaitIrp, nullptr);
    EXPECT_EQ(m.ext()->EventHistory & ~(ULONG)SERIAL_EV_DSR, 0u) << "an event the new mask does not select";
  }
  EXPECT_EQ(m.ext()->PendingRequests, 0);
}

// The application switches the CTS handshake on and off and reads the modem status while CTS
// toggles under a held write; the last setting is in force at the end and the write goes out
// whole.
TEST_P(ControlRaceTest, HandshakeChangesRacingTheStatusMonitorLeaveTheLastSettingInForce) {
  const SERIAL_HANDFLOW ctsFlow = HandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL);
  const SERIAL_HANDFLOW noFlow = HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
  ASSERT_EQ(m.Set(IOCTL_SERIAL_SET_HANDFLOW, ctsFlow), STATUS_SUCCESS);
  WritePort::Request& write = m.StartWrite(Pattern(32));
  m.Settle(2 * kMillisecond);
  const emu::VirtualTime now = m.kernel().Now();
  for (int i = 0; i < 6; ++i)
    m.kernel().ScheduleDeviceEvent(now + (i + 1) * kMillisecond / 2, [&, i] { m.peer.DriveCts(i % 2 == 0); });
  int done = 0;
  std::vector<NTSTATUS> statuses;
  m.kernel().StartApplicationThread("handshake", [&] {
    for (int i = 0; i < 6; ++i) {
      const SERIAL_HANDFLOW& flow = i % 2 == 0 ? noFlow : ctsFlow;
      statuses.push_back(
          m.machine.DeviceIoControl(m.file, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow, nullptr, 0));
      ULONG status = 0;
      statuses.push_back(m.machine.DeviceIoControl(m.file, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status,
                                                   sizeof status));
      done++;
    }
  });
  ASSERT_TRUE(m.kernel().RunUntil([&] { return done == 6; }, now + emu::kSecond))
      << "the control codes did not finish";
  for (NTSTATUS s : statuses) EXPECT_EQ(s, STATUS_SUCCESS);
  EXPECT_TRUE(SameBytes(m.Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW), ctsFlow));
  m.Settle();
  EXPECT_EQ(m.Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS) & SERIAL_MSR_CTS, 0u) << "CTS ends low";
  m.peer.DriveCts(true);
  ASSERT_TRUE(m.RunUntilDone(write)) << "the write stayed held";
  EXPECT_EQ(write.iosb.Status, STATUS_SUCCESS);
  m.kernel().RunUntil([&] { return m.peer.ReceivedBytes().size() >= 32; }, m.kernel().Now() + emu::kSecond);
  EXPECT_EQ(m.peer.ReceivedBytes(), Pattern(32));
}

INSTANTIATE_TEST_SUITE_P(Schedules, ControlRaceTest, AllSchedules(), ScheduleName);

}  // namespace
}  // namespace drvusb_test
