// The conformance program's entry: googletest over every test linked in. A fault that no test
// catches ends the program with status 3 after saying so, since Wine's debugger would otherwise let
// the process end with status 0 and the tests after the faulting one would pass unseen.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

namespace {

LONG WINAPI ReportFault(EXCEPTION_POINTERS* info) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::printf("\nwin32_conformance: exception 0x%08lx at %p in %s.%s; the remaining tests did not run\n",
              info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress,
              test != nullptr ? test->test_suite_name() : "(no test)", test != nullptr ? test->name() : "");
  std::fflush(stdout);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
  SetUnhandledExceptionFilter(ReportFault);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
