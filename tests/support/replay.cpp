#include "support/replay.h"

#include <algorithm>
#include <cstdio>

#include "support/current_schedule.h"

namespace test_support {

std::string ReplayCommand(const std::string& program, const std::string& test, const Schedule* schedule) {
  std::string command = schedule != nullptr ? schedule->Environment() + " " : "";
  return command + program + " --gtest_filter='" + test + "'";
}

void ReplayPrinter::OnTestStart(const ::testing::TestInfo& test) {
  test_ = std::string(test.test_suite_name()) + "." + test.name();
  printed_.clear();
}

// Called with gtest's own lock held: UnitTest's accessors must not be used here.
void ReplayPrinter::OnTestPartResult(const ::testing::TestPartResult& result) {
  if (!result.failed() || test_.empty()) return;
  std::string command = ReplayCommand(program_, test_, TestUsedSchedule() ? &CurrentSchedule() : nullptr);
  if (std::find(printed_.begin(), printed_.end(), command) != printed_.end()) return;
  printed_.push_back(command);
  std::printf("Replay: %s\n", command.c_str());
  std::fflush(stdout);
}

void ReplayPrinter::OnTestEnd(const ::testing::TestInfo&) { test_.clear(); }

}  // namespace test_support
