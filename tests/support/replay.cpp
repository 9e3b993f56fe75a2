#include "support/replay.h"

#include <algorithm>
#include <cstdio>

#include "support/current_schedule.h"

namespace test_support {

std::string ReplayCommand(const std::string& program, const std::string& test, const Schedule* schedule) {
  std::string command = schedule != nullptr ? schedule->Environment() + " " : "";
  return command + program + " --gtest_filter='" + test + "'";
}

void ReplayPrinter::OnTestStart(const ::testing::TestInfo&) { printed_.clear(); }

void ReplayPrinter::OnTestPartResult(const ::testing::TestPartResult& result) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!result.failed() || test == nullptr) return;
  std::string command = ReplayCommand(program_, std::string(test->test_suite_name()) + "." + test->name(),
                                      TestUsedSchedule() ? &CurrentSchedule() : nullptr);
  if (std::find(printed_.begin(), printed_.end(), command) != printed_.end()) return;
  printed_.push_back(command);
  std::printf("Replay: %s\n", command.c_str());
  std::fflush(stdout);
}

}  // namespace test_support
