#include "support/current_schedule.h"

#include "support/run_config.h"

namespace test_support {

namespace {

struct State {
  Schedule schedule;
  bool used = false;
};

State& Current() {
  static State state;
  return state;
}

}  // namespace

const Schedule& CurrentSchedule() { return Current().schedule; }

emu::KernelConfig CurrentConfig() {
  Current().used = true;
  return Current().schedule.Config();
}

emu::KernelConfig EnterSchedule(const Schedule& schedule) {
  Current().schedule = schedule;
  return CurrentConfig();
}

bool TestUsedSchedule() { return Current().used; }

void PlainScheduleListener::OnTestIterationStart(const ::testing::UnitTest&, int iteration) {
  iteration_ = iteration;
}

void PlainScheduleListener::OnTestStart(const ::testing::TestInfo&) {
  static const std::vector<Schedule> plain = Environment().Plain();
  Current().schedule = plain[static_cast<size_t>(iteration_) % plain.size()];
  Current().used = false;
}

}  // namespace test_support
