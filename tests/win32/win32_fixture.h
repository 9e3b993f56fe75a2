// Test fixture for the Win32 comm API: the driver serving emulated bridges (one with a loopback
// plug, or two joined by a null-modem cable), the ports reached by their COM names through
// CreateFile as an application does, and application threads of the machine to call from.
// Built as a Windows program (TARNWIRE_REAL_WIN32), the same tests run on a real system's ports
// with the fixture of win32_fixture_windows.h instead.
#pragma once

#if TARNWIRE_REAL_WIN32
#include "win32_fixture_windows.h"
#else

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "plain_dcb.h"
#include "serial_rig.h"

namespace tarnwire::win32_testing {

inline constexpr emu::VirtualTime ms = emu::kMillisecond;

class Win32Test : public ::testing::Test {
 protected:
  explicit Win32Test(serial_rig::SerialRig::FarEnd farEnd = serial_rig::SerialRig::FarEnd::Loopback);
  ~Win32Test() override;

  emu::Machine& machine() { return rig_.machine(); }
  emu::Kernel& kernel() { return rig_.kernel(); }
  serial_rig::SerialRig& rig() { return rig_; }
  // "COM3": the port name of bridge A or B.
  std::string PortName(serial_rig::Bridge& bridge) const;
  std::string PortA() { return PortName(rig_.A()); }
  std::string PortB() { return PortName(rig_.B()); }
  emu::VirtualTime Now() { return kernel().Now(); }
  // The latest moment something due at `t` may happen: exactly `t`, as virtual time has no
  // scheduling delays (the real-time fixture adds its slack here).
  static constexpr emu::VirtualTime Late(emu::VirtualTime t) { return t; }

  // Opens a port ("\\.\COM3") for reading and writing, expecting success.
  HANDLE Open(const std::string& name, DWORD flags = 0);
  // Runs body in an application thread of the machine until it returns.
  void Run(const std::function<void()>& body);
  // Runs bodies in application threads of their own at once until every one has returned.
  void RunTogether(const std::vector<std::function<void()>>& bodies);

 private:
  serial_rig::SerialRig rig_;
};

class NullModemTest : public Win32Test {
 protected:
  NullModemTest() : Win32Test(serial_rig::SerialRig::FarEnd::NullModem) {}
};

}  // namespace tarnwire::win32_testing

// Under Wine, the real-time fixture skips the rest of a test for the reason given, and WineDiffers()
// says why the check it guards is left out and returns true; neither does anything here.
#define SKIP_UNDER_WINE(reason) static_cast<void>(0)
namespace tarnwire::win32_testing {
inline bool WineDiffers(const char*) { return false; }
}  // namespace tarnwire::win32_testing
#endif
