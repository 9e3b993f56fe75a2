#include "win32_fixture_windows.h"

#include <cstdio>
#include <cstdlib>

namespace tarnwire::win32_testing {
namespace {

std::string Environment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
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
  const std::int64_t ticks = now.QuadPart - start_.QuadPart;
  return ticks / frequency_.QuadPart * emu::kSecond +
         ticks % frequency_.QuadPart * emu::kSecond / frequency_.QuadPart;
}

HANDLE Win32Test::Open(const std::string& name, DWORD flags) {
  HANDLE h = CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         flags, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, h) << "opening " << name << " failed with error " << GetLastError();
  return h;
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
  if (PortB().empty()) {
    GTEST_SKIP() << (RunningUnderWine() ? "Wine: " : "")
                 << "the test bus has one bridge, with a loopback plug;"
                 << " no second port joined by a null-modem cable (TARNWIRE_PORT_B names one)";
  }
}

std::string NullModemTest::PortB() const { return Environment("TARNWIRE_PORT_B", ""); }

}  // namespace tarnwire::win32_testing
