// The main of every test program: checks the schedule settings of the environment before any
// test is registered, and adds the listeners that set each test's schedule and print the command
// that replays a failure.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/current_schedule.h"
#include "support/replay.h"
#include "support/run_config.h"

int main(int argc, char** argv) {
  test_support::Environment();  // a bad setting ends the program here, naming the variable
  const std::string program = argv[0];
  ::testing::InitGoogleMock(&argc, argv);
  ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
  listeners.Append(new test_support::PlainScheduleListener);
  listeners.Append(new test_support::ReplayPrinter(program));
  int status = RUN_ALL_TESTS();
  // A filter that matches nothing would otherwise pass silently (for instance a parameterised
  // test's name from another schedule setting).
  if (status == 0 && !GTEST_FLAG_GET(list_tests) &&
      ::testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
    std::fprintf(stderr, "no test matches --gtest_filter=%s\n", GTEST_FLAG_GET(filter).c_str());
    return 1;
  }
  return status;
}
