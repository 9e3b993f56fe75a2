// Win32 events and waits are kernel events and kernel waits of the machine: time-outs pass in
// virtual time, auto-reset events wake one wait, and every thread keeps its own last error.
#include "win32_fixture.h"

namespace tarnwire::win32_testing {
namespace {

using EventsTest = Win32Test;

TEST_F(EventsTest, WaitsTimeOutInVirtualTimeAndWakeOnSetEvent) {
  HANDLE manual = nullptr;
  HANDLE automatic = nullptr;
  Run([&] {
    manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(nullptr, manual);
    ASSERT_NE(nullptr, automatic);
  });
  emu::VirtualTime timedOut = 0;
  emu::VirtualTime woken = 0;
  emu::VirtualTime set = 0;
  RunTogether({[&] {
                 // The auto-reset event starts signalled: one wait takes it, the next times out.
                 EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0));
                 const emu::VirtualTime start = Now();
                 EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(automatic, 250));
                 timedOut = Now() - start;
                 HANDLE both[] = {automatic, manual};
                 EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, FALSE, INFINITE));
                 woken = Now();
                 // A manual-reset event stays signalled until it is reset.
                 EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, FALSE, 0));
                 EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(2, both, TRUE, 10));
                 EXPECT_TRUE(SetEvent(automatic));
                 EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, 0));
                 EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(automatic, 0))
                     << "a wait for all did not take the auto-reset event";
                 EXPECT_TRUE(ResetEvent(manual));
                 EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(manual, 0));
               },
               [&] {
                 Sleep(1000);
                 set = Now();
                 EXPECT_TRUE(SetEvent(manual));
               }});
  EXPECT_GE(timedOut, 250 * ms);
  // Timers expire at the clock interrupt (every 15.625 ms) after their due time.
  EXPECT_LE(timedOut, Late(250 * ms + 156250)) << "more than one clock tick late";
  EXPECT_GE(woken, set);
  EXPECT_LT(woken - set, Late(5 * ms)) << "the waiting thread woke late";
  Run([&] {
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_TRUE(CloseHandle(automatic));
  });
}

TEST_F(EventsTest, EveryThreadKeepsItsOwnLastError) {
  DWORD first = 0;
  DWORD second = 0;
  RunTogether({[&] {
                 SetLastError(0);
                 EXPECT_FALSE(PurgeComm(nullptr, PURGE_RXCLEAR));
                 Sleep(20);
                 first = GetLastError();
               },
               [&] {
                 Sleep(10);
                 DCB dcb{};
                 EXPECT_FALSE(BuildCommDCBA("baud=none", &dcb));
                 Sleep(20);
                 second = GetLastError();
               }});
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), first);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), second);
  // The test's own thread has one too, apart from the machine's threads.
  SetLastError(1234);
  Run([] { SetLastError(0); });
  EXPECT_EQ(1234u, GetLastError());
}

}  // namespace
}  // namespace tarnwire::win32_testing
