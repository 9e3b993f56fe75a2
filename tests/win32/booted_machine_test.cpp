// Machines booted from a description: the ports are there by the names described with their far
// ends, and in real time a program's own OS threads call at once, each call blocking only its
// caller, with time-outs in wall-clock time.
#include "win32/booted_machine.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "support/tshark.h"
#include "usbhost/usb_capture.h"
#include "usbhost/usb_host.h"

namespace {

using emu::win32::BootedMachine;
using emu::win32::MachineDescription;

MachineDescription Described(std::string_view text) {
  MachineDescription description;
  std::string error;
  EXPECT_TRUE(emu::win32::ParseMachineDescription(text, &description, &error)) << error;
  return description;
}

HANDLE Open(const char* name, DWORD flags = 0) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

// 9600 8N1 with DTR and RTS on, no handshake.
bool Configure(HANDLE h, DWORD readConstantMs) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return false;
  dcb.BaudRate = CBR_9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  COMMTIMEOUTS t{};
  t.ReadTotalTimeoutConstant = readConstantMs;
  return SetCommState(h, &dcb) && SetCommTimeouts(h, &t);
}

// A program's thread of its own runs body (which uses the API) and the test waits for it.
template <class Body>
void OnThread(Body body) {
  std::thread t(body);
  t.join();
}

TEST(BootedMachineTest, PortsAreNamedAsDescribedWithTheirFarEnds) {
  BootedMachine booted(Described("COM5=loopback+ri;COM6=null:COM7;COM7,rev=0x10;virtual"));
  ASSERT_EQ("", booted.Error());
  // Virtual time: the calling thread runs the machine.
  HANDLE com5 = Open("COM5");
  ASSERT_NE(INVALID_HANDLE_VALUE, com5) << GetLastError();
  DWORD status = 0;
  ASSERT_TRUE(EscapeCommFunction(com5, SETDTR));
  ASSERT_TRUE(GetCommModemStatus(com5, &status));
  EXPECT_EQ(MS_DSR_ON | MS_RLSD_ON | MS_RING_ON, status & (MS_DSR_ON | MS_RLSD_ON | MS_RING_ON))
      << "the plug wires RI to DTR";
  ASSERT_TRUE(EscapeCommFunction(com5, CLRDTR));
  ASSERT_TRUE(GetCommModemStatus(com5, &status));
  EXPECT_EQ(0u, status & (MS_DSR_ON | MS_RING_ON));

  HANDLE com6 = Open("\\\\.\\COM6");
  HANDLE com7 = Open("COM7");
  ASSERT_NE(INVALID_HANDLE_VALUE, com6);
  ASSERT_NE(INVALID_HANDLE_VALUE, com7);
  ASSERT_TRUE(Configure(com6, 1000) && Configure(com7, 1000));
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(com6, "cable", 5, &n, nullptr));
  char buffer[8] = {};
  ASSERT_TRUE(ReadFile(com7, buffer, 5, &n, nullptr));
  EXPECT_EQ("cable", std::string(buffer, n));
  ASSERT_TRUE(GetCommModemStatus(com7, &status));
  EXPECT_EQ(MS_DSR_ON | MS_CTS_ON, status & (MS_DSR_ON | MS_CTS_ON)) << "COM6's DTR and RTS reach COM7";

  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("COM8"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  for (HANDLE h : {com5, com6, com7}) EXPECT_TRUE(CloseHandle(h));
}

TEST(BootedMachineTest, ABlockedReadIsReleasedByAWriteFromAnotherThread) {
  BootedMachine booted(Described("COM8=null:COM9;COM9;realtime"));
  ASSERT_EQ("", booted.Error());
  HANDLE com8 = Open("COM8");
  HANDLE com9 = Open("COM9", FILE_FLAG_OVERLAPPED);
  ASSERT_NE(INVALID_HANDLE_VALUE, com8);
  ASSERT_NE(INVALID_HANDLE_VALUE, com9);
  ASSERT_TRUE(Configure(com8, 0));
  ASSERT_TRUE(Configure(com9, 0));  // no time-outs: a read waits for all its bytes

  // An overlapped read is pending until another thread writes; the reader waits on its result.
  char overlappedBuffer[5] = {};
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_FALSE(ReadFile(com9, overlappedBuffer, 5, nullptr, &ov));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  DWORD got = 0;
  BOOL waited = FALSE;
  std::thread reader([&] { waited = GetOverlappedResult(com9, &ov, &got, TRUE); });
  OnThread([&] {
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(com8, "first", 5, &n, nullptr));
  });
  reader.join();
  EXPECT_TRUE(waited);
  EXPECT_EQ("first", std::string(overlappedBuffer, got));

  // An overlapped read started and waited for on one thread, a write on another.
  std::string received;
  std::thread overlappedReader([&] {
    char buffer[6] = {};
    OVERLAPPED own{};
    own.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    if (!ReadFile(com9, buffer, 6, nullptr, &own) && GetLastError() == ERROR_IO_PENDING)
      GetOverlappedResult(com9, &own, &n, TRUE);
    received.assign(buffer, n);
    CloseHandle(own.hEvent);
  });
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(com8, "second", 6, &n, nullptr));
  overlappedReader.join();
  EXPECT_EQ("second", received);

  // A synchronous read on one thread released by a write on another.
  std::thread blockedReader([&] {
    char buffer[5] = {};
    DWORD r = 0;
    EXPECT_TRUE(ReadFile(com8, buffer, 5, &r, nullptr));
    received.assign(buffer, r);
  });
  OVERLAPPED wov{};
  wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!WriteFile(com9, "third", 5, nullptr, &wov)) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  }
  EXPECT_TRUE(GetOverlappedResult(com9, &wov, &n, TRUE));
  blockedReader.join();
  EXPECT_EQ("third", received);
  for (HANDLE h : {ov.hEvent, wov.hEvent, com8, com9}) EXPECT_TRUE(CloseHandle(h));
}

TEST(BootedMachineTest, CancelIoExFromAnotherThreadEndsABlockedRead) {
  BootedMachine booted(Described("COM8;realtime;mp"));
  ASSERT_EQ("", booted.Error());
  HANDLE com8 = Open("COM8");
  ASSERT_NE(INVALID_HANDLE_VALUE, com8);
  ASSERT_TRUE(Configure(com8, 0));  // nothing at the far end: the read waits forever
  BOOL read = TRUE;
  DWORD error = 0;
  std::atomic<bool> ended{false};
  std::thread reader([&] {
    char buffer[4];
    DWORD n = 0;
    read = ReadFile(com8, buffer, sizeof buffer, &n, nullptr);
    error = GetLastError();
    ended = true;
  });
  // Until the read has started there is nothing to cancel.
  BOOL cancelled = FALSE;
  while (!cancelled && !ended) {
    cancelled = CancelIoEx(com8, nullptr);
    if (!cancelled) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), GetLastError());
      std::this_thread::yield();
    }
  }
  reader.join();
  EXPECT_TRUE(cancelled);
  EXPECT_FALSE(read);
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), error);
  EXPECT_TRUE(CloseHandle(com8));
}

TEST(BootedMachineTest, TimeOutsPassInWallClockTime) {
  BootedMachine booted(Described("COM8;realtime"));
  ASSERT_EQ("", booted.Error());
  HANDLE com8 = Open("COM8");
  ASSERT_NE(INVALID_HANDLE_VALUE, com8);
  ASSERT_TRUE(Configure(com8, 200));
  const auto start = std::chrono::steady_clock::now();
  char buffer[4];
  DWORD n = 99;
  EXPECT_TRUE(ReadFile(com8, buffer, sizeof buffer, &n, nullptr));
  const auto read = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(0u, n);
  EXPECT_GE(read, std::chrono::milliseconds(150));
  EXPECT_LT(read, std::chrono::seconds(5));

  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  const auto waitStart = std::chrono::steady_clock::now();
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 100));
  const auto waited = std::chrono::steady_clock::now() - waitStart;
  EXPECT_GE(waited, std::chrono::milliseconds(75));
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(com8));
}

// What a program that looks inside gets in virtual time: the bridges' revisions and port devices,
// a capture from the first transfer on, threads that run at once, and bridges pulled out.
TEST(BootedMachineTest, VirtualTimeRunsThreadsTogetherCapturesAndUnplugs) {
  const std::string capture = test_support::TempPath("booted-machine", ".pcap");
  emu::win32::BootOptions options;
  options.capturePath = capture;
  BootedMachine booted(Described("COM5=null:COM6;COM6,rev=0x10;virtual"), options);
  ASSERT_EQ("", booted.Error());
  EXPECT_EQ(0x30, booted.ChipRevision(5));
  EXPECT_EQ(0x10, booted.ChipRevision(6));
  EXPECT_EQ(-1, booted.ChipRevision(7));
  EXPECT_NE(nullptr, booted.PortDevice(5));
  EXPECT_EQ(nullptr, booted.PortDevice(7));
  ASSERT_NE(nullptr, booted.Host());
  ASSERT_NE(nullptr, booted.Host()->Capture());
  EXPECT_GT(booted.Host()->Capture()->PacketCount(), 0u) << "the bridges' arrival is in the capture";

  HANDLE com5 = Open("COM5");
  HANDLE com6 = Open("COM6");
  ASSERT_NE(INVALID_HANDLE_VALUE, com5);
  ASSERT_NE(INVALID_HANDLE_VALUE, com6);
  ASSERT_TRUE(Configure(com5, 0) && Configure(com6, 0));  // a read waits for all its bytes
  // The read blocks until the other thread writes: one thread after the other would never end.
  std::string received;
  const bool together = booted.RunTogether({[&] {
                                              char buffer[8] = {};
                                              DWORD n = 0;
                                              EXPECT_TRUE(ReadFile(com6, buffer, 8, &n, nullptr));
                                              received.assign(buffer, n);
                                            },
                                            [&] {
                                              Sleep(20);
                                              DWORD n = 0;
                                              EXPECT_TRUE(WriteFile(com5, "together", 8, &n, nullptr));
                                            }});
  EXPECT_TRUE(together);
  EXPECT_EQ("together", received);

  EXPECT_TRUE(CloseHandle(com6));
  EXPECT_TRUE(booted.Unplug(6));
  EXPECT_EQ(nullptr, booted.PortDevice(6));
  EXPECT_FALSE(booted.Unplug(6)) << "it is gone already";
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("COM6"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_NE(nullptr, booted.PortDevice(5)) << "the other bridge stays";
  EXPECT_TRUE(CloseHandle(com5));
  booted.Host()->StopCapture();
  EXPECT_TRUE(std::remove(capture.c_str()) == 0) << "the capture was written to " << capture;
}

}  // namespace
