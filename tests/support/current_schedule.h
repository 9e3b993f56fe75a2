// The schedule the running test is under. Each test starts under the plain schedule of the
// program's current repetition (--gtest_repeat advances it); sweeps and parameterised tests enter
// their own. Fixtures build their machines from CurrentConfig() unless given a configuration.
#pragma once

#include <gtest/gtest.h>

#include "support/schedule.h"

namespace test_support {

const Schedule& CurrentSchedule();
// The current schedule's kernel configuration; the test counts as run under that schedule.
emu::KernelConfig CurrentConfig();
// Makes `schedule` the current one and returns its kernel configuration.
emu::KernelConfig EnterSchedule(const Schedule& schedule);
// Whether the running test asked for a configuration or entered a schedule.
bool TestUsedSchedule();

// Sets every test's plain schedule; registered once by the test program's main.
class PlainScheduleListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestIterationStart(const ::testing::UnitTest& unitTest, int iteration) override;
  void OnTestStart(const ::testing::TestInfo& test) override;

 private:
  int iteration_ = 0;
};

}  // namespace test_support
