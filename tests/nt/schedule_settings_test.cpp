// The schedule settings of the environment: TARNWIRE_SEEDS, TARNWIRE_MODEL and
// TARNWIRE_SCHEDULER, the sweeps and plain schedules they select, schedule names and the replay
// command.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/current_schedule.h"
#include "support/replay.h"
#include "support/run_config.h"

namespace {

using emu::ProcessorModel;
using emu::SchedulerKind;
using test_support::Processors;
using test_support::RunConfig;
using test_support::Schedule;
using test_support::Scheduling;

const Processors kUp{};
const Processors kMp{ProcessorModel::Multiprocessor};
const Scheduling kRandom{};
const Scheduling kPct{SchedulerKind::Pct};

// The message a bad value is refused with ("" when it is accepted).
std::string Refusal(const char* seeds, const char* models, const char* schedulers) {
  try {
    RunConfig::Parse(seeds, models, schedulers);
    return "";
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
}

TEST(ScheduleSettings, SeedsAreASeedARangeOrAListInOrderWithoutRepeats) {
  using test_support::ParseSeeds;
  EXPECT_EQ(ParseSeeds("17"), (std::vector<uint64_t>{17}));
  EXPECT_EQ(ParseSeeds("0"), (std::vector<uint64_t>{0}));
  EXPECT_EQ(ParseSeeds("1-4"), (std::vector<uint64_t>{1, 2, 3, 4}));
  EXPECT_EQ(ParseSeeds("5-5"), (std::vector<uint64_t>{5}));
  EXPECT_EQ(ParseSeeds("3,17,40-42"), (std::vector<uint64_t>{3, 17, 40, 41, 42}));
  EXPECT_EQ(ParseSeeds(" 9 , 2 - 3 "), (std::vector<uint64_t>{9, 2, 3})) << "spaces around items";
  EXPECT_EQ(ParseSeeds("4-6,5,1,4-7"), (std::vector<uint64_t>{4, 5, 6, 1, 7})) << "overlaps count once";
  EXPECT_EQ(ParseSeeds("18446744073709551615"), (std::vector<uint64_t>{UINT64_MAX}));
  EXPECT_EQ(ParseSeeds("1-1000000").size(), test_support::kMaxSeeds);
}

TEST(ScheduleSettings, ModelsAndSchedulersAreNamedWithOptionalCountOrDepth) {
  using test_support::ParseModels;
  using test_support::ParseSchedulers;
  EXPECT_EQ(ParseModels("up"), (std::vector<Processors>{kUp}));
  EXPECT_EQ(ParseModels("mp"), (std::vector<Processors>{kMp}));
  EXPECT_EQ(ParseModels("mp").front().count, emu::KernelConfig{}.processorCount);
  EXPECT_EQ(ParseModels("MP8,up, mp4,mp8"),
            (std::vector<Processors>{
                {ProcessorModel::Multiprocessor, 8}, kUp, {ProcessorModel::Multiprocessor, 4}}));
  EXPECT_EQ(ParseSchedulers("random"), (std::vector<Scheduling>{kRandom}));
  EXPECT_EQ(ParseSchedulers("pct").front().pctDepth, emu::KernelConfig{}.pctDepth);
  EXPECT_EQ(ParseSchedulers("pct1,random,pct"),
            (std::vector<Scheduling>{{SchedulerKind::Pct, 1}, kRandom, kPct}));
}

TEST(ScheduleSettings, BadValuesAreRefusedNamingTheVariableTheItemAndTheAcceptedForms) {
  struct Case {
    const char* seeds;
    const char* models;
    const char* schedulers;
    const char* variable;
    const char* item;
  };
  const Case cases[] = {
      {"abc", nullptr, nullptr, "TARNWIRE_SEEDS=\"abc\"", "1-1000"},
      {"-3", nullptr, nullptr, "TARNWIRE_SEEDS", "\"-3\""},
      {"5-3", nullptr, nullptr, "TARNWIRE_SEEDS", "\"5-3\""},
      {"1-", nullptr, nullptr, "TARNWIRE_SEEDS", "\"1-\""},
      {"3,,4", nullptr, nullptr, "TARNWIRE_SEEDS", "3,17,40-50"},
      {"1,x2", nullptr, nullptr, "TARNWIRE_SEEDS", "\"x2\" is not valid"},
      {"18446744073709551616", nullptr, nullptr, "TARNWIRE_SEEDS", "a seed, a range"},
      {"0-1000000", nullptr, nullptr, "TARNWIRE_SEEDS", "more than 1000000 seeds"},
      {"1-600000,700000-1100000", nullptr, nullptr, "TARNWIRE_SEEDS", "more than 1000000 seeds"},
      {nullptr, "quad", nullptr, "TARNWIRE_MODEL=\"quad\"", "up, mp, mp<N>"},
      {nullptr, "mp1", nullptr, "TARNWIRE_MODEL", "2 to 64"},
      {nullptr, "up,mp65", nullptr, "TARNWIRE_MODEL", "\"mp65\" is not valid"},
      {nullptr, "up4", nullptr, "TARNWIRE_MODEL", "\"up4\""},
      {nullptr, nullptr, "fifo", "TARNWIRE_SCHEDULER=\"fifo\"", "random, pct, pct<D>"},
      {nullptr, nullptr, "pct0", "TARNWIRE_SCHEDULER", "1 to 100"},
      {nullptr, nullptr, "random,", "TARNWIRE_SCHEDULER", "a list such as random,pct5"},
  };
  for (const Case& c : cases) {
    std::string refusal = Refusal(c.seeds, c.models, c.schedulers);
    SCOPED_TRACE(refusal);
    EXPECT_NE(refusal.find(c.variable), std::string::npos) << "the message names the variable and value";
    EXPECT_NE(refusal.find(c.item), std::string::npos) << "the message names the item or the forms";
  }
  EXPECT_EQ(Refusal("", "", ""), "") << "empty variables are not given";
}

TEST(ScheduleSettings, SweepCoversBothModelsAndSchedulersOverTwentySeedsUnlessGiven) {
  std::vector<Schedule> sweep = RunConfig{}.Sweep();
  ASSERT_EQ(sweep.size(), 80u);
  std::set<std::string> names;
  for (const Schedule& s : sweep) names.insert(s.Name());
  EXPECT_EQ(names.size(), sweep.size()) << "every schedule has a name of its own";
  EXPECT_EQ(sweep.front(), (Schedule{kUp, kRandom, 1}));
  EXPECT_EQ(sweep[20], (Schedule{kUp, kPct, 1})) << "ordered by model, scheduler, then seed";
  EXPECT_EQ(sweep.back(), (Schedule{kMp, kPct, 20}));

  RunConfig given = RunConfig::Parse("3,9", "mp4", nullptr);
  std::vector<Schedule> narrowed = given.Sweep();
  ASSERT_EQ(narrowed.size(), 4u) << "the model is given; schedulers keep their default pair";
  EXPECT_EQ(narrowed[1], (Schedule{{ProcessorModel::Multiprocessor, 4}, kRandom, 9}));
  EXPECT_EQ(narrowed[2].scheduling, kPct);
}

TEST(ScheduleSettings, PlainTestsTakeTheGivenCombinationsOrUniprocessorRandomSeedOne) {
  EXPECT_EQ(RunConfig{}.Plain(), (std::vector<Schedule>{Schedule{kUp, kRandom, 1}}));
  std::vector<Schedule> plain = RunConfig::Parse("5-6", nullptr, "pct").Plain();
  EXPECT_EQ(plain, (std::vector<Schedule>{{kUp, kPct, 5}, {kUp, kPct, 6}}));

  // Each repetition of the program takes the next one, and wraps around.
  const std::vector<Schedule> fromEnvironment = test_support::Environment().Plain();
  const Schedule before = test_support::CurrentSchedule();
  test_support::PlainScheduleListener listener;
  for (int iteration : {0, 1, 7}) {
    listener.OnTestIterationStart(*::testing::UnitTest::GetInstance(), iteration);
    listener.OnTestStart(*::testing::UnitTest::GetInstance()->current_test_info());
    EXPECT_EQ(test_support::CurrentSchedule(), fromEnvironment[iteration % fromEnvironment.size()]);
    EXPECT_FALSE(test_support::TestUsedSchedule()) << "a test starts without having used its schedule";
  }
  test_support::EnterSchedule(before);
}

TEST(ScheduleSettings, NamesTextAndEnvironmentSelectTheSameSchedule) {
  const Schedule mp4pct{{ProcessorModel::Multiprocessor, 4}, kPct, 12};
  EXPECT_EQ((Schedule{kUp, kRandom, 3}).Name(), "UP_seed3");
  EXPECT_EQ(mp4pct.Name(), "MP4_pct_seed12");
  EXPECT_EQ((Schedule{kMp, {SchedulerKind::Pct, 5}, 1}).Name(), "MP_pct5_seed1");
  EXPECT_EQ(mp4pct.Text(), "MP4 pct seed 12");
  EXPECT_EQ(::testing::PrintToString(Schedule{kMp, kPct, 12}), "MP pct seed 12") << "gtest prints the text";
  EXPECT_EQ(mp4pct.Environment(), "TARNWIRE_SEEDS=12 TARNWIRE_MODEL=mp4 TARNWIRE_SCHEDULER=pct");

  for (const Schedule& s : {mp4pct, Schedule{kUp, {SchedulerKind::Pct, 7}, 99}, Schedule{kMp, kRandom, 0}}) {
    SCOPED_TRACE(s.Text());
    RunConfig replay =
        RunConfig::Parse(std::to_string(s.seed).c_str(), test_support::Token(s.processors).c_str(),
                         test_support::Token(s.scheduling).c_str());
    EXPECT_EQ(replay.Sweep(), std::vector<Schedule>{s})
        << "the printed settings select exactly this schedule";
    emu::KernelConfig config = s.Config();
    EXPECT_EQ(config.seed, s.seed);
    EXPECT_EQ(config.processors, s.processors.model);
    EXPECT_EQ(config.scheduler, s.scheduling.kind);
  }
  EXPECT_EQ(mp4pct.Config().processorCount, 4u);
  EXPECT_EQ(mp4pct.Config().pctDepth, emu::KernelConfig{}.pctDepth);
}

TEST(ScheduleSettings, ReplayCommandSetsTheScheduleAndSelectsTheTest) {
  const Schedule s{kMp, kPct, 17};
  EXPECT_EQ(test_support::ReplayCommand("build/host/tests/test_driver", "Schedules/A.B/MP_pct_seed17", &s),
            "TARNWIRE_SEEDS=17 TARNWIRE_MODEL=mp TARNWIRE_SCHEDULER=pct build/host/tests/test_driver "
            "--gtest_filter='Schedules/A.B/MP_pct_seed17'");
  EXPECT_EQ(test_support::ReplayCommand("./test_nt", "A.B", nullptr), "./test_nt --gtest_filter='A.B'");
}

}  // namespace
