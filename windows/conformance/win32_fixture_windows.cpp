#include "win32_fixture_windows.h"

#include <cstdio>
#include <cstdlib>

#include "testbus_control.h"

namespace tarnwire::win32_testing {
namespace {

std::string Environment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

constexpr ULONG kPortABridge = 0;
constexpr DWORD kPlugWaitMs = 60 * 1000;

bool ControlTestBus(DWORD code, ULONG bridge, void* out = nullptr, DWORD room = 0) {
  HANDLE bus = CreateFileA(TESTBUS_DOS_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (bus == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "opening the test bus failed with error " << GetLastError();
    return false;
  }
  DWORD returned = 0;
  const bool done = DeviceIoControl(bus, code, &bridge, sizeof bridge, out, room, &returned, nullptr);
  if (!done) ADD_FAILURE() << "the test bus refused control code 0x" << std::hex << code << ": error " << GetLastError();
  CloseHandle(bus);
  return done;
}

// Real time: Plug and Play removes and starts devices in a thread of its own. True once the port
// opens and answers (Present) or is gone (!Present) within kPlugWaitMs.
bool AwaitPort(const std::string& port, bool present) {
  const std::string path = "\\\\.\\" + port;
  const DWORD start = GetTickCount();
  for (;;) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD error = GetLastError();
    // A port present opens and answers: its link comes before Plug and Play has started the device.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    const bool answers = h != INVALID_HANDLE_VALUE && GetCommState(h, &dcb);
    if (h != INVALID_HANDLE_VALUE) {
      if (!answers) error = GetLastError();
      CloseHandle(h);
    }
    if (present ? answers : error == ERROR_FILE_NOT_FOUND) return true;
    if (GetTickCount() - start > kPlugWaitMs) {
      ADD_FAILURE() << port << (present ? " did not open" : " was not gone") << " within " << kPlugWaitMs
                    << " ms (error " << error << ")";
      return false;
    }
    Sleep(50);
  }
}

DWORD WINAPI RunBody(void* body) {
  (*static_cast<const std::function<void()>*>(body))();
  return 0;
}

}  // namespace

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool WineDiffers(const char* why) {
  if (!RunningUnderWine()) return false;
  std::printf("[   WINE   ] %s: %s\n", ::testing::UnitTest::GetInstance()->current_test_info()->name(), why);
  return true;
}

Win32Test::Win32Test() {
  QueryPerformanceFrequency(&frequency_);
  QueryPerformanceCounter(&start_);
}

std::string Win32Test::PortA() const { return Environment("TARNWIRE_PORT", "COM8"); }

emu::VirtualTime Win32Test::Now() const {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return Since(now.QuadPart);
}

emu::VirtualTime Win32Test::Since(std::int64_t counter) const {
  const std::int64_t ticks = counter - start_.QuadPart;
  return ticks / frequency_.QuadPart * emu::kSecond +
         ticks % frequency_.QuadPart * emu::kSecond / frequency_.QuadPart;
}

HANDLE Win32Test::Open(const std::string& name, DWORD flags) {
  HANDLE h = CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         flags, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, h) << "opening " << name << " failed with error " << GetLastError();
  return h;
}

bool Win32Test::UnplugPortA() { return ControlTestBus(IOCTL_TESTBUS_UNPLUG, kPortABridge); }

std::vector<std::pair<emu::VirtualTime, bool>> Win32Test::PortABreaks() {
  TESTBUS_LINE_RECORD record{};
  std::vector<std::pair<emu::VirtualTime, bool>> breaks;
  if (!ControlTestBus(IOCTL_TESTBUS_LINE_RECORD, kPortABridge, &record, sizeof record)) return breaks;
  if (record.Frequency != frequency_.QuadPart) {
    ADD_FAILURE() << "the test bus's performance counter runs at " << record.Frequency << " Hz, this program's at "
                  << frequency_.QuadPart << " Hz";
    return breaks;
  }
  for (ULONG i = 0; i < record.Count && i < TESTBUS_LINE_EVENTS; ++i) {
    if (record.Events[i].Counter >= start_.QuadPart) {
      breaks.emplace_back(Since(record.Events[i].Counter), record.Events[i].BreakOn != 0);
    }
  }
  return breaks;
}

bool Win32Test::PlugPortABackIn() {
  // The unplugged port goes once its last handle is closed; the bridge comes back as a new device.
  return AwaitPort(PortA(), false) && ControlTestBus(IOCTL_TESTBUS_PLUG, kPortABridge) && AwaitPort(PortA(), true);
}

void Win32Test::RunTogether(const std::vector<std::function<void()>>& bodies) {
  std::vector<HANDLE> threads;
  for (const auto& body : bodies) {
    HANDLE t = CreateThread(nullptr, 0, RunBody, const_cast<std::function<void()>*>(&body), 0, nullptr);
    if (t == nullptr) {
      ADD_FAILURE() << "CreateThread failed with error " << GetLastError();
      break;
    }
    threads.push_back(t);
  }
  const DWORD waited =
      WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 120 * 1000);
  for (HANDLE t : threads) CloseHandle(t);
  // A thread still running uses the bodies' captures: it cannot be left behind.
  if (waited >= WAIT_OBJECT_0 + threads.size()) {
    ADD_FAILURE() << (waited == WAIT_TIMEOUT ? "a thread never returned within two minutes"
                                             : "waiting for the threads failed");
    std::abort();
  }
}

void NullModemTest::SetUp() {
  if (PortA().empty() || PortB().empty()) {
    GTEST_SKIP() << "no two ports joined by a null-modem cable (TARNWIRE_CABLE_A and TARNWIRE_CABLE_B name them)";
  }
}

std::string NullModemTest::PortA() const { return Environment("TARNWIRE_CABLE_A", ""); }
std::string NullModemTest::PortB() const { return Environment("TARNWIRE_CABLE_B", ""); }

}  // namespace tarnwire::win32_testing
