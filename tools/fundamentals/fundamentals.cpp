#include "fundamentals.h"

#include <cstdio>
#include <exception>

#include "concurrent_scenario.h"
#include "file_fuzz_scenario.h"
#include "handle_scenarios.h"
#include "pnp_scenarios.h"
#include "power_scenario.h"

namespace tarnwire_fundamentals {

Counters& Counters::operator+=(const Counters& o) {
  requests += o.requests;
  bytesMoved += o.bytesMoved;
  bytesVerified += o.bytesVerified;
  bytesLost += o.bytesLost;
  pnpCycles += o.pnpCycles;
  powerCycles += o.powerCycles;
  bugChecks += o.bugChecks;
  leaks += o.leaks;
  virtualNs += o.virtualNs;
  return *this;
}

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      {"disable-enable", "disable and enable a port whose program let its handle go", RunDisableEnable},
      {"remove", "orderly removal, then the bridge pulled out and a fresh one plugged in", RunRemove},
      {"cancel-remove", "removal queried with a handle open and I/O running: refused and cancelled",
       RunCancelRemove},
      {"surprise-remove", "the bridge pulled out with I/O running, then a fresh one", RunSurpriseRemove},
      {"rebalance", "stop and restart with an idle handle open, I/O on it afterwards", RunRebalance},
      {"cancel-stop", "stop queried with a read outstanding: refused and cancelled", RunCancelStop},
      {"fail-restart", "a restart whose start fails: removed, then enabled again", RunFailRestart},
      {"sleep-resume", "sleep in S1 to S4 and resume, I/O before, during and after", RunSleepResume},
      {"open-close-storm", "four threads opening and closing the ports", RunOpenCloseStorm},
      {"close-pending", "handles closed with reads, writes, waits and XOFF counters pending",
       RunClosePending},
      {"file-fuzz", "zero-length reads and writes, query and set information of every class and length",
       RunFileFuzz},
      {"concurrent", "Plug and Play, sleep, fuzzing and streams on four ports at once, in rounds",
       RunConcurrent},
  };
  return scenarios;
}

const Scenario* FindScenario(const std::string& name) {
  for (const Scenario& s : Scenarios())
    if (name == s.name) return &s;
  return nullptr;
}

const char* InjectName(Inject inject) {
  switch (inject) {
    case Inject::None:
      return "none";
    case Inject::LostBytes:
      return "lost-bytes";
    case Inject::BugCheck:
      return "bug-check";
  }
  return "?";
}

bool ParseInject(const std::string& text, Inject* inject) {
  for (Inject i : {Inject::None, Inject::LostBytes, Inject::BugCheck}) {
    if (text == InjectName(i)) {
      *inject = i;
      return true;
    }
  }
  return false;
}

std::string ReplayCommand(const std::string& scenario, const RunSettings& settings) {
  std::string command = "tarnwire fundamentals --scenario " + scenario + " --seed " +
                        std::to_string(settings.seed) + " --cycles " + std::to_string(settings.cycles);
  if (settings.virtualSeconds > 0) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", settings.virtualSeconds);
    command += std::string(" --virtual-seconds ") + seconds;
  }
  if (settings.multiprocessor) command += " --mp";
  if (settings.inject != Inject::None) command += std::string(" --inject ") + InjectName(settings.inject);
  return command;
}

Result RunOne(const Scenario& scenario, const RunSettings& settings) {
  try {
    return scenario.run(settings);
  } catch (const std::exception& e) {
    Result result;
    result.scenario = scenario.name;
    result.settings = settings;
    result.failures.push_back(std::string("the run stopped: ") + e.what());
    return result;
  }
}

}  // namespace tarnwire_fundamentals
