// After a test fails, the one command that replays it: the settings of the schedule the failure
// happened under, the test program and a filter naming the test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/schedule.h"

namespace test_support {

// "TARNWIRE_SEEDS=17 TARNWIRE_MODEL=mp TARNWIRE_SCHEDULER=pct <program> --gtest_filter='<test>'";
// without a schedule, the program and the filter only.
std::string ReplayCommand(const std::string& program, const std::string& test, const Schedule* schedule);

// Prints the replay command after a failure, once per test and schedule.
class ReplayPrinter : public ::testing::EmptyTestEventListener {
 public:
  explicit ReplayPrinter(std::string program) : program_(std::move(program)) {}
  void OnTestStart(const ::testing::TestInfo& test) override;
  void OnTestPartResult(const ::testing::TestPartResult& result) override;
  void OnTestEnd(const ::testing::TestInfo& test) override;

 private:
  std::string program_;
  std::string test_;                  // the running test's full name
  std::vector<std::string> printed_;  // for the running test
};

}  // namespace test_support
