#include "support/schedule_sweep.h"

#include "support/run_config.h"

namespace test_support {

namespace {

// Runs fn under each schedule, then returns to the schedule the test was under.
size_t RunUnder(const std::vector<Schedule>& schedules,
                const std::function<void(const emu::KernelConfig&)>& fn) {
  const Schedule outer = CurrentSchedule();
  size_t runs = 0;
  for (const Schedule& schedule : schedules) {
    SCOPED_TRACE(schedule.Text());
    fn(EnterSchedule(schedule));
    ++runs;
    if (::testing::Test::HasFatalFailure()) break;
  }
  EnterSchedule(outer);
  return runs;
}

}  // namespace

size_t ForEachMachine(const std::function<void(const emu::KernelConfig&)>& fn) {
  static const std::vector<Schedule> sweep = Environment().Sweep();
  return RunUnder(sweep, fn);
}

size_t ForEachModel(const std::function<void(const emu::KernelConfig&)>& fn) {
  std::vector<Schedule> schedules;
  for (const Processors& processors : Environment().SweepModels()) {
    schedules.push_back(CurrentSchedule());
    schedules.back().processors = processors;
  }
  return RunUnder(schedules, fn);
}

::testing::internal::ParamGenerator<Schedule> AllSchedules() {
  return ::testing::ValuesIn(Environment().Sweep());
}

std::string ScheduleName(const ::testing::TestParamInfo<Schedule>& info) { return info.param.Name(); }

}  // namespace test_support
