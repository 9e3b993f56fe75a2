// Running a test under many schedules: every schedule of the sweep (TARNWIRE_SEEDS,
// TARNWIRE_MODEL and TARNWIRE_SCHEDULER, by default {UP, MP} x {random, pct} x seeds 1 to 20),
// either as a loop inside one test or as one parameterised test per schedule.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>

#include "support/current_schedule.h"
#include "support/schedule.h"

namespace test_support {

// Runs fn under every schedule of the sweep, each failure naming its schedule; stops after a
// fatal failure. Returns how many schedules fn ran under.
size_t ForEachMachine(const std::function<void(const emu::KernelConfig&)>& fn);
// Runs fn under every processor model of the sweep, with the current seed and scheduler.
size_t ForEachModel(const std::function<void(const emu::KernelConfig&)>& fn);

// INSTANTIATE_TEST_SUITE_P(Schedules, SomeTest, AllSchedules(), ScheduleName) makes one test per
// schedule of the sweep, named "UP_seed3", "MP_pct_seed12", ...
::testing::internal::ParamGenerator<Schedule> AllSchedules();
std::string ScheduleName(const ::testing::TestParamInfo<Schedule>& info);

// A fixture (constructible from a kernel configuration) whose machine runs under the schedule
// of the test's parameter.
template <class Fixture>
class Scheduled : public Fixture, public ::testing::WithParamInterface<Schedule> {
 protected:
  Scheduled() : Fixture(EnterSchedule(::testing::WithParamInterface<Schedule>::GetParam())) {}
};

}  // namespace test_support
