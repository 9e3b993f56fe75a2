#include "support/schedule_sweep.h"

#include "support/run_config.h"

namespace test_support {

namespace {

// Runs fn under each schedule, then returns to the schedule the test was under.
void RunUnder(const std::vector<Schedule>& schedules, const std::function<void(const emu::KernelConfig&)>& fn) {
  const Schedule outer = CurrentSchedule();
  for (const Schedule& schedule : schedules) {
    SCOPED_TRACE(schedule.Text());
    fn(EnterSchedule(schedule));
    if (::testing::Test::HasFatalFailure()) break;
  }
  EnterSchedule(outer);
}

}  // namespace

void ForEachMachine(const std::function<void(const emu::KernelConfig&)>& fn) {
  static const std::vector<Schedule> sweep = Environment().Sweep();
  RunUnder(sweep, fn);
}

void ForEachModel(const std::function<void(const emu::KernelConfig&)>& fn) {
  std::vector<Schedule> schedules;
  for (const Processors& processors : Environment().SweepModels()) {
    schedules.push_back(CurrentSchedule());
    schedules.back().processors = processors;
  }
  RunUnder(schedules, fn);
}

::testing::internal::ParamGenerator<Schedule> AllSchedules() { return ::testing::ValuesIn(Environment().Sweep()); }

std::string ScheduleName(const ::testing::TestParamInfo<Schedule>& info) { return info.param.Name(); }

}  // namespace test_support
