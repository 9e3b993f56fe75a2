// Events that the far end of the line causes, through WaitCommEvent and ClearCommError on machines
// booted in virtual time: the ring indicator of a plug that wires RI to DTR, a break sent by the
// bridge at the other end of a null-modem cable, and an event handle closed while a request that
// signals it is still pending.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "win32/booted_machine.h"

namespace {

using emu::win32::BootedMachine;

BootedMachine Booted(std::string_view text) {
  emu::win32::MachineDescription description;
  std::string error;
  EXPECT_TRUE(emu::win32::ParseMachineDescription(text, &description, &error)) << error;
  return BootedMachine(description);
}

HANDLE Open(const char* name, DWORD flags = 0) {
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, h) << "opening " << name << ": error " << GetLastError();
  return h;
}

bool Configure(HANDLE h, DWORD baud) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return false;
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  return SetCommState(h, &dcb);
}

// An overlapped WaitCommEvent that must stay pending until the test acts.
struct PendingWait {
  DWORD events = 0;
  OVERLAPPED ov{};
  explicit PendingWait(HANDLE h) {
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(WaitCommEvent(h, &events, &ov)) << "the wait ended at once with " << events;
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  }
  ~PendingWait() { CloseHandle(ov.hEvent); }
  bool Pending() { return WaitForSingleObject(ov.hEvent, 0) == WAIT_TIMEOUT; }
  // The events reported, once the wait ends within `ms` of virtual time.
  DWORD Finish(HANDLE h, DWORD ms = 500) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ov.hEvent, ms)) << "the wait did not end";
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE)) << GetLastError();
    return events;
  }
};

TEST(FarEndEventsTest, RingFollowsDtrThroughAPlugThatWiresRiToIt) {
  BootedMachine booted = Booted("COM5=loopback+ri;virtual");
  ASSERT_EQ("", booted.Error());
  HANDLE h = Open("COM5", FILE_FLAG_OVERLAPPED);
  ASSERT_TRUE(Configure(h, CBR_9600));
  ASSERT_TRUE(SetCommMask(h, EV_RING));
  {
    PendingWait wait(h);
    Sleep(50);
    EXPECT_TRUE(wait.Pending()) << "EV_RING without a change of RI";
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    EXPECT_EQ(static_cast<DWORD>(EV_RING), wait.Finish(h));
  }
  DWORD modem = 0;
  ASSERT_TRUE(GetCommModemStatus(h, &modem));
  EXPECT_NE(0u, modem & MS_RING_ON);

  // DSR moves with DTR as well, but only RING is asked for; and on a plug without the wire RI
  // never moves.
  ASSERT_TRUE(SetCommMask(h, EV_RING | EV_DSR));
  {
    PendingWait wait(h);
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));
    const DWORD seen = wait.Finish(h);
    EXPECT_NE(0u, seen & EV_DSR);
  }
  ASSERT_TRUE(GetCommModemStatus(h, &modem));
  EXPECT_EQ(0u, modem & (MS_RING_ON | MS_DSR_ON));
  EXPECT_TRUE(CloseHandle(h));
}

TEST(FarEndEventsTest, RingStaysQuietOnAPlugWithoutTheWire) {
  BootedMachine booted = Booted("COM5=loopback;virtual");
  ASSERT_EQ("", booted.Error());
  HANDLE h = Open("COM5", FILE_FLAG_OVERLAPPED);
  ASSERT_TRUE(Configure(h, CBR_9600));
  ASSERT_TRUE(SetCommMask(h, EV_RING));
  PendingWait wait(h);
  ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
  Sleep(100);
  EXPECT_TRUE(wait.Pending()) << "EV_RING with RI not wired";
  ASSERT_TRUE(SetCommMask(h, 0));
  EXPECT_EQ(0u, wait.Finish(h));
  EXPECT_TRUE(CloseHandle(h));
}

TEST(FarEndEventsTest, ABreakFromTheFarEndIsALineErrorOfItsOwnKind) {
  BootedMachine booted = Booted("COM5=null:COM6;COM6;rev=0x30;virtual");
  ASSERT_EQ("", booted.Error());
  HANDLE a = Open("COM5", FILE_FLAG_OVERLAPPED);
  HANDLE b = Open("COM6");
  ASSERT_TRUE(Configure(a, CBR_9600));
  ASSERT_TRUE(Configure(b, CBR_9600));
  DWORD errors = 0;
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(a, &errors, &stat));
  EXPECT_EQ(0u, errors);

  // Line errors are read from the chip's reports while a modem line is watched as well. The
  // first report still holds the CTS change of COM6 dropping RTS after its open; an empty mask
  // clears the event that it left.
  ASSERT_TRUE(SetCommMask(a, EV_ERR | EV_CTS));
  Sleep(20);
  ASSERT_TRUE(SetCommMask(a, 0));
  ASSERT_TRUE(SetCommMask(a, EV_ERR | EV_CTS));
  {
    PendingWait wait(a);
    ASSERT_TRUE(SetCommBreak(b));
    Sleep(50);
    ASSERT_TRUE(ClearCommBreak(b));
    EXPECT_EQ(static_cast<DWORD>(EV_ERR), wait.Finish(a)) << "a break is reported as EV_ERR alone";
  }
  ASSERT_TRUE(ClearCommError(a, &errors, &stat));
  EXPECT_EQ(static_cast<DWORD>(CE_BREAK), errors & (CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXPARITY));
  ASSERT_TRUE(ClearCommError(a, &errors, &stat));
  EXPECT_EQ(0u, errors) << "reading the errors clears them";

  // Characters after the break arrive as sent.
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(b, "ok", 2, &n, nullptr));
  Sleep(20);
  ASSERT_TRUE(ClearCommError(a, &errors, &stat));
  EXPECT_EQ(0u, errors);
  EXPECT_EQ(2u, stat.cbInQue);
  for (HANDLE h : {a, b}) EXPECT_TRUE(CloseHandle(h));
}

TEST(FarEndEventsTest, AnEventClosedUnderAPendingReadStaysUntilTheReadCompletes) {
  BootedMachine booted = Booted("COM5=loopback;virtual");
  ASSERT_EQ("", booted.Error());
  HANDLE h = Open("COM5", FILE_FLAG_OVERLAPPED);
  ASSERT_TRUE(Configure(h, CBR_9600));
  COMMTIMEOUTS t{};  // a read waits for all its bytes
  ASSERT_TRUE(SetCommTimeouts(h, &t));
  char buffer[3] = {};
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &ov));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  ASSERT_TRUE(CloseHandle(ov.hEvent));
  EXPECT_FALSE(SetEvent(ov.hEvent));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  // The completion still signals the event it was started with, and the result reaches the
  // OVERLAPPED.
  DWORD n = 0;
  OVERLAPPED wov{};
  wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!WriteFile(h, "abc", 3, nullptr, &wov)) {
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  }
  ASSERT_TRUE(GetOverlappedResult(h, &wov, &n, TRUE));
  Sleep(50);
  EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
  EXPECT_EQ(3u, ov.InternalHigh);
  EXPECT_EQ("abc", std::string(buffer, 3));
  EXPECT_TRUE(CloseHandle(wov.hEvent));
  EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
