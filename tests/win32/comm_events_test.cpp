// Event masks, WaitCommEvent and the modem lines: the plug turns RTS into CTS and DTR into DSR
// and DCD, a null-modem cable carries each side's outputs to the other's inputs.
#include "win32_fixture.h"

namespace tarnwire::win32_testing {
namespace {

using CommEventsTest = Win32Test;

// Starts an overlapped WaitCommEvent that must stay pending.
void StartWait(HANDLE h, DWORD* events, OVERLAPPED* ov) {
  *ov = OVERLAPPED{};
  ov->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(WaitCommEvent(h, events, ov)) << "the wait finished at once with events " << *events;
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
}

// Waits at most `milliseconds` for the wait to finish; the events it reported.
DWORD Finish(HANDLE h, DWORD* events, OVERLAPPED* ov, DWORD milliseconds = 1000) {
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ov->hEvent, milliseconds)) << "the wait did not finish";
  DWORD n = 0;
  EXPECT_TRUE(GetOverlappedResult(h, ov, &n, TRUE)) << GetLastError();
  EXPECT_EQ(sizeof(DWORD), n);
  EXPECT_TRUE(CloseHandle(ov->hEvent));
  return *events;
}

TEST_F(CommEventsTest, MaskComesBackAndAPendingWaitIsUnique) {
  Run([&] {
    HANDLE h = Open(PortA(), FILE_FLAG_OVERLAPPED);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_CTS | EV_BREAK));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_CTS | EV_BREAK), mask);

    DWORD first = 0xFFFF;
    OVERLAPPED ov1;
    StartWait(h, &first, &ov1);
    DWORD second = 0;
    OVERLAPPED ov2{};
    ov2.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(WaitCommEvent(h, &second, &ov2));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << "a second wait was accepted";
    EXPECT_TRUE(CloseHandle(ov2.hEvent));

    // A new mask ends the pending wait with no events, before SetCommMask returns. Under Wine the
    // wineserver passes the wait's completion on to its OVERLAPPED, at times only after SetCommMask
    // has returned.
    ASSERT_TRUE(SetCommMask(h, EV_DSR));
    EXPECT_EQ(0u, Finish(h, &first, &ov1, static_cast<DWORD>(Late(0) / ms)));
    EXPECT_TRUE(CloseHandle(h));
  });
}

TEST_F(CommEventsTest, WaitsEndWhenTheLinesChange) {
  Run([&] {
    HANDLE h = Open(PortA(), FILE_FLAG_OVERLAPPED);
    DCB dcb = PlainDcb(CBR_38400);
    ASSERT_TRUE(SetCommState(h, &dcb));
    Sleep(20);
    DWORD modem = 0xFF;
    ASSERT_TRUE(GetCommModemStatus(h, &modem));
    EXPECT_EQ(0u, modem & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)) << "inputs on with DTR and RTS off";

    DWORD events = 0;
    OVERLAPPED ov;
    ASSERT_TRUE(SetCommMask(h, EV_CTS));
    StartWait(h, &events, &ov);
    ASSERT_TRUE(EscapeCommFunction(h, SETRTS));
    EXPECT_EQ(static_cast<DWORD>(EV_CTS), Finish(h, &events, &ov));
    Sleep(20);
    ASSERT_TRUE(GetCommModemStatus(h, &modem));
    EXPECT_EQ(MS_CTS_ON, modem & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));

    ASSERT_TRUE(SetCommMask(h, EV_DSR | EV_RLSD));
    StartWait(h, &events, &ov);
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    const DWORD seen = Finish(h, &events, &ov);
    EXPECT_NE(0u, seen & EV_DSR);
    Sleep(20);
    ASSERT_TRUE(GetCommModemStatus(h, &modem));
    EXPECT_EQ(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, modem & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));

    ASSERT_TRUE(SetCommMask(h, EV_RLSD));
    StartWait(h, &events, &ov);
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));
    EXPECT_EQ(static_cast<DWORD>(EV_RLSD), Finish(h, &events, &ov));
    ASSERT_TRUE(EscapeCommFunction(h, CLRRTS));
    Sleep(20);
    ASSERT_TRUE(GetCommModemStatus(h, &modem));
    EXPECT_EQ(0u, modem & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));

    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    StartWait(h, &events, &ov);
    ASSERT_TRUE(TransmitCommChar(h, 'A'));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR), Finish(h, &events, &ov));
    char c = 0;
    DWORD n = 0;
    OVERLAPPED read{};
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};  // return what is there
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    if (!ReadFile(h, &c, 1, &n, &read)) {
      EXPECT_TRUE(GetOverlappedResult(h, &read, &n, TRUE));
    }
    EXPECT_EQ(1u, n);
    EXPECT_EQ('A', c);
    EXPECT_TRUE(CloseHandle(h));
  });
}

TEST_F(CommEventsTest, BreakHoldsTheLineBetweenSetAndClear) {
  emu::VirtualTime on = 0;
  emu::VirtualTime off = 0;
  Run([&] {
    HANDLE h = Open(PortA());
    DCB dcb = PlainDcb(CBR_9600);
    ASSERT_TRUE(SetCommState(h, &dcb));
    Sleep(10);
    on = Now();
    ASSERT_TRUE(SetCommBreak(h));
    Sleep(50);
    off = Now();
    ASSERT_TRUE(EscapeCommFunction(h, CLRBREAK));
    Sleep(10);
    ASSERT_TRUE(EscapeCommFunction(h, SETBREAK));
    ASSERT_TRUE(ClearCommBreak(h));
    EXPECT_TRUE(CloseHandle(h));
  });
#if TARNWIRE_REAL_WIN32
  const std::vector<std::pair<emu::VirtualTime, bool>> breaks = PortABreaks();
#else
  std::vector<std::pair<emu::VirtualTime, bool>> breaks;
  for (const auto& e : rig().LineEvents())
    if (e.kind == emu::line::LineEvent::Kind::Break) breaks.emplace_back(e.time, e.on);
#endif
  ASSERT_EQ(4u, breaks.size()) << "the line did not see two breaks begin and end";
  EXPECT_TRUE(breaks[0].second);
  EXPECT_GE(breaks[0].first, on);
  EXPECT_FALSE(breaks[1].second);
  EXPECT_GE(breaks[1].first, off);
  EXPECT_GE(breaks[1].first - breaks[0].first, 50 * ms);
  EXPECT_TRUE(breaks[2].second);
  EXPECT_FALSE(breaks[3].second);
}

using CommEventsNullModemTest = NullModemTest;

TEST_F(CommEventsNullModemTest, SynchronousWaitEndsWhenTheOtherSideActs) {
  HANDLE a = Open(PortA());
  HANDLE b = Open(PortB());
  DWORD events = 0;
  emu::VirtualTime waited = 0;
  emu::VirtualTime acted = 0;
  // Both ends are set up first: B's settings drop the lines its open raised, and A sees them off
  // before it waits, so that those changes are no event of the wait.
  Run([&] {
    DCB dcb = PlainDcb(CBR_19200);
    ASSERT_TRUE(SetCommState(a, &dcb));
    ASSERT_TRUE(SetCommState(b, &dcb));
    Sleep(100);
    DWORD status = ~0u;
    ASSERT_TRUE(GetCommModemStatus(a, &status));
    EXPECT_EQ(0u, status & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)) << "B's lines are still on at A";
  });
  RunTogether({[&] {
                 ASSERT_TRUE(SetCommMask(a, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD));
                 for (DWORD want : {EV_CTS, EV_DSR, EV_RXCHAR}) {
                   events = 0;
                   ASSERT_TRUE(WaitCommEvent(a, &events, nullptr)) << GetLastError();
                   waited = Now();
                   EXPECT_NE(0u, events & want) << "waiting for " << want << " gave " << events;
                 }
               },
               [&] {
                 Sleep(100);
                 ASSERT_TRUE(EscapeCommFunction(b, SETRTS));
                 Sleep(100);
                 ASSERT_TRUE(EscapeCommFunction(b, SETDTR));
                 Sleep(100);
                 acted = Now();
                 DWORD n = 0;
                 ASSERT_TRUE(WriteFile(b, "z", 1, &n, nullptr));
               }});
  EXPECT_GE(waited, acted) << "the wait ended before the other side wrote";
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_TRUE(CloseHandle(b));
}

}  // namespace
}  // namespace tarnwire::win32_testing
