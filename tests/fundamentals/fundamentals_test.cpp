// The device fundamentals scenarios under a few seeds of both processor models, the failures they
// must catch (bytes lost, a bug check) reported with a replay command, and soak reports that merge.
#include "fundamentals.h"

#include <gtest/gtest.h>

#include <set>

#include "soak.h"
#include "soak_report.h"

namespace tarnwire_fundamentals {
namespace {

std::string Describe(const Result& r) {
  std::string text;
  for (const std::string& f : r.failures) text += "\n  " + f;
  return text + "\n  replay: " + ReplayCommand(r.scenario, r.settings);
}

class EveryScenario : public ::testing::TestWithParam<const char*> {};

TEST_P(EveryScenario, PassesUnderThreeSeedsOfBothModels) {
  const Scenario* scenario = FindScenario(GetParam());
  ASSERT_NE(scenario, nullptr);
  for (bool mp : {false, true}) {
    for (uint64_t seed = 1; seed <= 3; ++seed) {
      RunSettings settings;
      settings.seed = seed;
      settings.multiprocessor = mp;
      settings.cycles = 2;
      const Result r = RunOne(*scenario, settings);
      EXPECT_TRUE(r.Passed()) << Describe(r);
      EXPECT_EQ(r.counters.bugChecks + r.counters.leaks + r.counters.bytesLost, 0u) << Describe(r);
      EXPECT_GT(r.counters.bytesVerified, 0u) << "no data came back checked" << Describe(r);
      EXPECT_GT(r.counters.requests, 10u) << Describe(r);
    }
  }
}

std::vector<const char*> ScenarioNames() {
  std::vector<const char*> names;
  for (const Scenario& s : Scenarios()) names.push_back(s.name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(Fundamentals, EveryScenario, ::testing::ValuesIn(ScenarioNames()),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name;
                           for (const char* c = info.param; *c; ++c) name += *c == '-' ? '_' : *c;
                           return name;
                         });

TEST(FundamentalsCounters, OperationsAreCountedWhereTheyHappen) {
  RunSettings settings;
  settings.cycles = 3;
  const Result pnp = RunOne(*FindScenario("disable-enable"), settings);
  EXPECT_GE(pnp.counters.pnpCycles, 6u) << "each cycle is a disable and an enable" << Describe(pnp);
  EXPECT_EQ(pnp.counters.powerCycles, 0u);
  const Result power = RunOne(*FindScenario("sleep-resume"), settings);
  EXPECT_EQ(power.counters.powerCycles, 4u)
      << "one cycle through each of S1 to S4 at least" << Describe(power);
}

// A run padded to a virtual duration covers it with bursts and idle gaps.
TEST(FundamentalsDuration, VirtualSecondsArePaddedWithBurstsOfTraffic) {
  RunSettings settings;
  settings.virtualSeconds = 60;
  const Result r = RunOne(*FindScenario("rebalance"), settings);
  EXPECT_TRUE(r.Passed()) << Describe(r);
  EXPECT_GE(r.counters.virtualNs, 60'000'000'000u);
  EXPECT_LT(r.counters.virtualNs, 90'000'000'000u) << "the padding overshot by more than an idle gap";
}

// A failure must replay from its seed: the same run twice does the same, request for request.
TEST(FundamentalsReplay, TheSameSeedAndModelRunTheSameAgain) {
  RunSettings settings;
  settings.seed = 11;
  settings.multiprocessor = true;
  settings.virtualSeconds = 30;
  const Result first = RunOne(*FindScenario("concurrent"), settings);
  const Result second = RunOne(*FindScenario("concurrent"), settings);
  ASSERT_TRUE(first.Passed()) << Describe(first);
  EXPECT_EQ(first.counters.requests, second.counters.requests);
  EXPECT_EQ(first.counters.bytesMoved, second.counters.bytesMoved);
  EXPECT_EQ(first.counters.pnpCycles, second.counters.pnpCycles);
  EXPECT_EQ(first.counters.powerCycles, second.counters.powerCycles);
  EXPECT_EQ(first.counters.virtualNs, second.counters.virtualNs);
}

TEST(FundamentalsInjected, LostBytesAreCaughtAndReportedWithTheirReplay) {
  RunSettings settings;
  settings.seed = 5;
  settings.inject = Inject::LostBytes;
  const Result r = RunOne(*FindScenario("rebalance"), settings);
  ASSERT_FALSE(r.Passed()) << "a receive queue purged behind the stream's back went unnoticed";
  EXPECT_GT(r.counters.bytesLost, 0u);
  EXPECT_NE(r.failures[0].find("came back"), std::string::npos) << r.failures[0];
  EXPECT_EQ(ReplayCommand(r.scenario, r.settings),
            "tarnwire fundamentals --scenario rebalance --seed 5 --cycles 3 --inject lost-bytes");
}

TEST(FundamentalsInjected, ABugCheckEndsTheRunAndIsCounted) {
  RunSettings settings;
  settings.multiprocessor = true;
  settings.inject = Inject::BugCheck;
  const Result r = RunOne(*FindScenario("cancel-remove"), settings);
  ASSERT_FALSE(r.Passed());
  EXPECT_EQ(r.counters.bugChecks, 1u);
  EXPECT_NE(r.failures[0].find("0x000000E2"), std::string::npos) << r.failures[0];
  EXPECT_NE(ReplayCommand(r.scenario, r.settings).find("--mp --inject bug-check"), std::string::npos);
}

TEST(SoakReport, ShardsCoverEverySeedOnceAndTheirReportsMergeThroughJson) {
  SoakSettings settings;
  settings.seeds = 6;
  settings.seedSeconds = 0;
  settings.cycles = 1;
  settings.shards = 2;
  SoakReport merged;
  for (unsigned shard = 0; shard < 2; ++shard) {
    settings.shard = shard;
    const SoakReport report = RunSoak(settings);
    EXPECT_EQ(report.seeds, 3u) << "shard " << shard;
    SoakReport read;
    std::string error;
    ASSERT_TRUE(FromJson(ToJson(report), &read, &error)) << error;
    EXPECT_EQ(read.counters.requests, report.counters.requests);
    EXPECT_EQ(read.counters.bytesVerified, report.counters.bytesVerified);
    merged.Merge(read);
  }
  EXPECT_EQ(merged.seeds, 6u);
  EXPECT_EQ(merged.passed, 6u) << FormatReport(merged);
  EXPECT_EQ(merged.shards, (std::vector<std::string>{"0/2", "1/2"}));
  // Seeds 1 to 6 are six different scenarios.
  std::set<std::string> scenarios;
  for (uint64_t s = 1; s <= 6; ++s) scenarios.insert(SoakScenarioOf(s).name);
  EXPECT_EQ(scenarios.size(), 6u);
}

// With a virtual duration, each shard runs seeds until it has covered its share of it.
TEST(SoakReport, AVirtualDurationIsSharedOutBetweenTheShards) {
  SoakSettings settings;
  settings.virtualHours = 0.05;  // 180 s: 90 s for each of two shards
  settings.seedSeconds = 40;
  settings.cycles = 1;
  settings.shards = 2;
  uint64_t seeds = 0;
  for (unsigned shard = 0; shard < 2; ++shard) {
    settings.shard = shard;
    const SoakReport report = RunSoak(settings);
    EXPECT_GE(report.counters.virtualNs, 90'000'000'000u) << "shard " << shard;
    EXPECT_LT(report.counters.virtualNs, 90'000'000'000u + 70'000'000'000u)
        << "a seed too many in shard " << shard;
    EXPECT_EQ(report.passed, report.seeds) << FormatReport(report);
    seeds += report.seeds;
  }
  EXPECT_GE(seeds, 4u);
}

TEST(SoakReport, AFailureKeepsItsReplayThroughJsonAndAReportThatDoesNotAddUpIsRefused) {
  SoakReport report;
  Result failed;
  failed.scenario = "surprise-remove";
  failed.settings.seed = 77;
  failed.settings.multiprocessor = true;
  failed.failures = {"COM1: \"quoted\"\nand a second line"};
  failed.counters.bugChecks = 1;
  report.Add(failed);
  SoakReport read;
  std::string error;
  ASSERT_TRUE(FromJson(ToJson(report), &read, &error)) << error;
  ASSERT_EQ(read.failures.size(), 1u);
  EXPECT_EQ(read.failures[0].reason, failed.failures[0]);
  EXPECT_EQ(read.failures[0].replay,
            "tarnwire fundamentals --scenario surprise-remove --seed 77 --cycles 3 --mp");
  EXPECT_EQ(read.counters.bugChecks, 1u);
  EXPECT_NE(FormatReport(read).find("replay: tarnwire fundamentals"), std::string::npos);

  std::string broken = ToJson(report);
  broken.replace(broken.find("\"seeds\": 1"), 10, "\"seeds\": 2");
  EXPECT_FALSE(FromJson(broken, &read, &error));
  EXPECT_NE(error.find("do not add up"), std::string::npos) << error;
  EXPECT_FALSE(FromJson("{\"seeds\": 1", &read, &error));
}

}  // namespace
}  // namespace tarnwire_fundamentals
