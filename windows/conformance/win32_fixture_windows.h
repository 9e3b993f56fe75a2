// The Win32 test fixture of a Windows program: the tests of this directory called on a real system's
// ports (under Wine, the test bus's bridges: one with a loopback plug, COM8 unless TARNWIRE_PORT names
// another, and two joined by a null-modem cable, TARNWIRE_CABLE_A and TARNWIRE_CABLE_B). Run() and RunTogether() give each body an OS thread of its own, as the emulated
// fixture gives each an application thread (each thread has its own last error); times are read from the
// performance counter in the emulated kernel's units (100 ns), counted from the fixture's start.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "plain_dcb.h"

namespace emu {
using VirtualTime = std::int64_t;
inline constexpr VirtualTime kMillisecond = 10000;
inline constexpr VirtualTime kSecond = 1000 * kMillisecond;
}  // namespace emu

namespace tarnwire::win32_testing {

inline constexpr emu::VirtualTime ms = emu::kMillisecond;
// How late the real system may be beyond a due time: a thread woken by a timer or an event runs
// when Wine's scheduler gets to it, on a machine shared with other work.
inline constexpr emu::VirtualTime kSchedulingSlack = 250 * ms;

// Whether the program runs under Wine (its ntdll exports wine_get_version).
bool RunningUnderWine();
// Under Wine: prints "[   WINE   ] TEST: why" (why the check it guards is left out) and returns true.
bool WineDiffers(const char* why);

class Win32Test : public ::testing::Test {
 protected:
  Win32Test();

  std::string PortA() const;
  emu::VirtualTime Now() const;
  // A performance counter reading in the fixture's time.
  emu::VirtualTime Since(std::int64_t counter) const;
  static constexpr emu::VirtualTime Late(emu::VirtualTime t) { return t + kSchedulingSlack; }

  HANDLE Open(const std::string& name, DWORD flags = 0);
  // Pulls PortA's bridge (the test bus's bridge 0) off the bus, then plugs it in again and waits until
  // PortA opens once more (Plug and Play restarts its function driver). False, with a failure, if not.
  bool UnplugPortA();
  bool PlugPortABackIn();
  // The breaks PortA's bridge began (true) and ended (false) since the fixture's start, in its time,
  // from the test bus's record of the line.
  std::vector<std::pair<emu::VirtualTime, bool>> PortABreaks();
  void Run(const std::function<void()>& body) { RunTogether({body}); }
  // Runs the bodies in threads of their own at once; each must return within two minutes.
  void RunTogether(const std::vector<std::function<void()>>& bodies);

 private:
  LARGE_INTEGER start_{};
  LARGE_INTEGER frequency_{};
};

// Two ports joined by a null-modem cable: TARNWIRE_CABLE_A and TARNWIRE_CABLE_B. Skipped without them.
class NullModemTest : public Win32Test {
 protected:
  void SetUp() override;
  std::string PortA() const;
  std::string PortB() const;
};

}  // namespace tarnwire::win32_testing

#define SKIP_UNDER_WINE(reason)                          \
  do {                                                   \
    if (::tarnwire::win32_testing::RunningUnderWine()) { \
      GTEST_SKIP() << "Wine: " << reason;                \
    }                                                    \
  } while (0)
