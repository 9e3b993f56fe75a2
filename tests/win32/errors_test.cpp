// What every routine reports for a handle that is not an open port, for parameters it cannot
// use, for a port that was unplugged, and for structures shorter than the request needs: FALSE
// (or the routine's failure value) with Windows' error, and never a crash.
#include <functional>
#include <string>
#include <vector>

#include "win32_fixture.h"

namespace tarnwire::win32_testing {
namespace {

using ErrorsTest = Win32Test;

struct PortCall {
  const char* name;
  std::function<BOOL(HANDLE)> call;
};

// Every routine that takes a port handle, called with usable parameters.
std::vector<PortCall> PortCalls() {
  static char buffer[16];
  static DCB dcb = PlainDcb(CBR_9600);
  static COMMTIMEOUTS timeouts{0, 0, 10, 0, 0};
  static DWORD value;
  static COMSTAT stat;
  static COMMPROP prop;
  static OVERLAPPED ov;
  return {
      {"ReadFile", [](HANDLE h) { return ReadFile(h, buffer, 1, &value, nullptr); }},
      {"WriteFile", [](HANDLE h) { return WriteFile(h, buffer, 1, &value, nullptr); }},
      {"FlushFileBuffers", [](HANDLE h) { return FlushFileBuffers(h); }},
      {"DeviceIoControl",
       [](HANDLE h) { return DeviceIoControl(h, 0x1B006C, nullptr, 0, buffer, 16, &value, nullptr); }},
      {"GetOverlappedResult", [](HANDLE h) { return GetOverlappedResult(h, &ov, &value, FALSE); }},
      {"CancelIo", [](HANDLE h) { return CancelIo(h); }},
      {"GetCommState", [](HANDLE h) { return GetCommState(h, &dcb); }},
      {"SetCommState", [](HANDLE h) { return SetCommState(h, &dcb); }},
      {"GetCommTimeouts", [](HANDLE h) { return GetCommTimeouts(h, &timeouts); }},
      {"SetCommTimeouts", [](HANDLE h) { return SetCommTimeouts(h, &timeouts); }},
      {"SetCommMask", [](HANDLE h) { return SetCommMask(h, EV_RXCHAR); }},
      {"GetCommMask", [](HANDLE h) { return GetCommMask(h, &value); }},
      {"WaitCommEvent", [](HANDLE h) { return WaitCommEvent(h, &value, nullptr); }},
      {"ClearCommError", [](HANDLE h) { return ClearCommError(h, &value, &stat); }},
      {"PurgeComm", [](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR); }},
      {"EscapeCommFunction", [](HANDLE h) { return EscapeCommFunction(h, SETDTR); }},
      {"SetCommBreak", [](HANDLE h) { return SetCommBreak(h); }},
      {"ClearCommBreak", [](HANDLE h) { return ClearCommBreak(h); }},
      {"TransmitCommChar", [](HANDLE h) { return TransmitCommChar(h, 'x'); }},
      {"GetCommModemStatus", [](HANDLE h) { return GetCommModemStatus(h, &value); }},
      {"GetCommProperties", [](HANDLE h) { return GetCommProperties(h, &prop); }},
      {"SetupComm", [](HANDLE h) { return SetupComm(h, 4096, 4096); }},
  };
}

TEST_F(ErrorsTest, EveryRoutineRefusesAHandleThatIsNotAnOpenPort) {
  Run([&] {
    HANDLE closed = Open(PortA());
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const std::pair<const char*, HANDLE> handles[] = {
        {"INVALID_HANDLE_VALUE", INVALID_HANDLE_VALUE},
        {"NULL", nullptr},
        {"a closed port", closed},
        {"an event", event},
        {"a made-up value", reinterpret_cast<HANDLE>(0x12345678)},
    };
    const bool noHandleChecks = WineDiffers(
        "GetOverlappedResult with a finished OVERLAPPED returns its result (TRUE) without looking at the"
        " handle; CancelIo returns TRUE for INVALID_HANDLE_VALUE (the process's pseudo-handle), a closed"
        " port and an event");
    for (const PortCall& c : PortCalls()) {
      const std::string name = c.name;
      if (noHandleChecks && (name == "GetOverlappedResult" || name == "CancelIo")) continue;
      for (auto [what, h] : handles) {
        SetLastError(0);
        EXPECT_FALSE(c.call(h)) << c.name << " with " << what;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << c.name << " with " << what;
      }
    }
    const bool processHandle = WineDiffers(
        "INVALID_HANDLE_VALUE is the process's pseudo-handle: CloseHandle, SetEvent and ResetEvent on it"
        " return TRUE and a wait on it times out");
    for (auto [what, h] : handles) {
      if (h == event || (processHandle && h == INVALID_HANDLE_VALUE)) continue;
      SetLastError(0);
      EXPECT_FALSE(CloseHandle(h)) << what;
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << what;
      EXPECT_FALSE(SetEvent(h)) << what;
      EXPECT_FALSE(ResetEvent(h)) << what;
      EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(h, 0)) << what;
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << what;
    }
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event)) << "an event closed twice";
  });
}

TEST_F(ErrorsTest, UnusableParametersAreRefused) {
  Run([&] {
    HANDLE h = Open(PortA());
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    char buffer[4];
    DWORD n = 0;
    const std::pair<const char*, std::function<BOOL()>> calls[] = {
        {"GetCommState(NULL)", [&] { return GetCommState(h, nullptr); }},
        {"SetCommState(NULL)", [&] { return SetCommState(h, nullptr); }},
        {"GetCommTimeouts(NULL)", [&] { return GetCommTimeouts(h, nullptr); }},
        {"SetCommTimeouts(NULL)", [&] { return SetCommTimeouts(h, nullptr); }},
        {"GetCommMask(NULL)", [&] { return GetCommMask(h, nullptr); }},
        {"WaitCommEvent(NULL)", [&] { return WaitCommEvent(h, nullptr, nullptr); }},
        {"GetCommModemStatus(NULL)", [&] { return GetCommModemStatus(h, nullptr); }},
        {"GetCommProperties(NULL)", [&] { return GetCommProperties(h, nullptr); }},
        {"GetOverlappedResult(NULL)", [&] { return GetOverlappedResult(h, nullptr, &n, TRUE); }},
        {"ReadFile without a count or OVERLAPPED", [&] { return ReadFile(h, buffer, 1, nullptr, nullptr); }},
        {"EscapeCommFunction(0)", [&] { return EscapeCommFunction(h, 0); }},
        {"EscapeCommFunction(10)", [&] { return EscapeCommFunction(h, 10); }},
        {"PurgeComm(0x100)", [&] { return PurgeComm(h, 0x100); }},
        {"SetCommMask(0x8000)", [&] { return SetCommMask(h, 0x8000); }},
        {"BuildCommDCB(NULL string)",
         [&] {
           DCB d{};
           return BuildCommDCBA(nullptr, &d);
         }},
        {"BuildCommDCB(NULL DCB)", [&] { return BuildCommDCBA("baud=9600", nullptr); }},
        {"BuildCommDCBAndTimeouts(NULL time-outs)",
         [&] {
           DCB d{};
           return BuildCommDCBAndTimeoutsA("baud=9600", &d, nullptr);
         }},
    };
    const bool nullPointers = WineDiffers(
        "GetCommMask, WaitCommEvent, GetCommModemStatus and GetCommProperties given NULL fail with"
        " ERROR_INVALID_USER_BUFFER (1784); GetOverlappedResult(NULL) faults in kernelbase (file.c:3157"
        " reads the OVERLAPPED); ReadFile with neither a count nor an OVERLAPPED is not refused but reads,"
        " and with no time-outs set waits for a byte that never comes; BuildCommDCB given a NULL pointer"
        " faults in kernel32 (BuildCommDCBAndTimeoutsW, comm.c:475); DeviceIoControl with a NULL output"
        " buffer fails with ERROR_INVALID_USER_BUFFER (1784); WaitForMultipleObjects(1, NULL) faults in"
        " kernelbase (sync.c:339); CreateFile(NULL) fails with ERROR_PATH_NOT_FOUND (3)");
    for (const auto& [what, call] : calls) {
      const std::string name = what;
      if (nullPointers && (name.starts_with("GetCommMask") || name.starts_with("WaitCommEvent") ||
                           name.starts_with("GetCommModemStatus") || name.starts_with("GetCommProperties") ||
                           name.starts_with("GetOverlappedResult") || name.starts_with("ReadFile") ||
                           name.starts_with("BuildCommDCB"))) {
        continue;
      }
      SetLastError(0);
      EXPECT_FALSE(call()) << what;
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << what;
    }
    EXPECT_FALSE(ReadFile(h, nullptr, 4, &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS), GetLastError());
    EXPECT_FALSE(DeviceIoControl(h, 0x1B006C, nullptr, 0, nullptr, 20, &n, nullptr));
    if (!nullPointers) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS), GetLastError());
    }
    HANDLE none[1] = {event};
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, none, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(65, none, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    if (!nullPointers) {
      EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(1, nullptr, FALSE, 0));
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!nullPointers) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(CloseHandle(h));
  });
}

TEST_F(ErrorsTest, ShortBuffersAreRefusedAndFullOnesFilled) {
  Run([&] {
    HANDLE h = Open(PortA());
    unsigned char small[4] = {};
    DWORD n = 99;
    EXPECT_FALSE(
        DeviceIoControl(h, 0x1B006C /* GET_COMMSTATUS */, nullptr, 0, small, sizeof small, &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    if (!WineDiffers("a DeviceIoControl that fails leaves the byte count as it was (99), where the"
                     " request's count (0) is expected")) {
      EXPECT_EQ(0u, n);
    }
    const unsigned char line[2] = {0, 0};
    EXPECT_FALSE(DeviceIoControl(h, 0x1B000C /* SET_LINE_CONTROL */, const_cast<unsigned char*>(line),
                                 sizeof line, nullptr, 0, &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    // A structure marked as initialised with a length shorter than COMMPROP still gets a whole one.
    COMMPROP prop{};
    prop.dwProvSpec1 = COMMPROP_INITIALIZED;
    prop.wPacketLength = 8;
    ASSERT_TRUE(GetCommProperties(h, &prop)) << GetLastError();
    EXPECT_GE(prop.wPacketLength, 60);
    EXPECT_EQ(SP_SERIALCOMM, prop.dwServiceMask);
    EXPECT_NE(0u, prop.dwSettableBaud & BAUD_9600);
    EXPECT_NE(0u, prop.wSettableData & DATABITS_8);
    EXPECT_NE(0u, prop.dwProvCapabilities & PCF_RTSCTS);
    EXPECT_TRUE(SetupComm(h, 4096, 4096)) << GetLastError();
    EXPECT_TRUE(CloseHandle(h));
  });
}

TEST_F(ErrorsTest, OpeningReportsMissingAndBusyPorts) {
  Run([&] {
    const std::string port = PortA();
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("\\\\.\\COM99", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA("no-such-file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    HANDLE h = Open(port);
    if (!WineDiffers("CreateFile returns the handle without waiting for the driver's answer to the open"
                     " (wineserver's device_open_file queues IRP_MJ_CREATE and returns): a second open"
                     " succeeds though the driver refuses it with STATUS_ACCESS_DENIED, and closing that"
                     " handle sends the driver a close that ends the first handle's session")) {
      EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
      EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << "a second open of the port";
    }
    ASSERT_TRUE(CloseHandle(h));
    // The DOS device name alone reaches COM1 to COM9; the wide form is the same.
    if (port.size() == 4) {
      h = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      EXPECT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
      EXPECT_TRUE(CloseHandle(h));
    }
    const std::u16string wide = u"\\\\.\\" + std::u16string(port.begin(), port.end());
    h = CreateFileW(reinterpret_cast<LPCWSTR>(wide.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
    EXPECT_TRUE(CloseHandle(h));
  });
}

TEST_F(ErrorsTest, AnUnpluggedPortRefusesEveryRequest) {
  HANDLE h = Open(PortA());
#if TARNWIRE_REAL_WIN32
  ASSERT_TRUE(UnplugPortA());
#else
  rig().A().usb->Unplug();
  rig().A().usb = nullptr;
  kernel().Run();
#endif
  Run([&] {
    for (const PortCall& c : PortCalls()) {
      if (std::string(c.name) == "GetOverlappedResult" || std::string(c.name) == "CancelIo") continue;
      SetLastError(0);
      EXPECT_FALSE(c.call(h)) << c.name << " succeeded on an unplugged port";
      EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << c.name;
    }
    EXPECT_TRUE(CloseHandle(h));
  });
#if TARNWIRE_REAL_WIN32
  // The same bridge plugged in again is a new device: the port opens and works as before.
  ASSERT_TRUE(PlugPortABackIn());
  Run([&] {
    HANDLE again = Open(PortA());
    DCB dcb = PlainDcb(CBR_9600);
    EXPECT_TRUE(SetCommState(again, &dcb)) << GetLastError();
    EXPECT_TRUE(CloseHandle(again));
  });
#else
  rig().A().port = nullptr;
#endif
}

}  // namespace
}  // namespace tarnwire::win32_testing
