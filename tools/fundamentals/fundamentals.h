// The device fundamentals scenarios: Plug and Play operations, sleep and resume, concurrent
// everything, open/close storms, handles closed with requests pending and a fuzz of file requests,
// each run in a virtual-time machine of its own from a seed and a processor model, with checked
// data streaming on the ports throughout. Every scenario ends by pulling the bridges out so that
// the driver unloads and its pool is checked. The `fundamentals` and `soak` commands and the tests
// share these runners.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwire_fundamentals {

// A failure planted on purpose, to show that the checks catch it and that the run is reported
// with its replay command.
enum class Inject {
  None,
  LostBytes,  // a stream worker purges its receive queue once while nothing disturbs the port
  BugCheck,   // a system thread bug-checks the machine (MANUALLY_INITIATED_CRASH)
};

struct RunSettings {
  uint64_t seed = 1;
  bool multiprocessor = false;
  unsigned cycles = 3;        // Plug and Play or power cycles (operations of the scenario)
  double virtualSeconds = 0;  // the concurrent scenario: virtual time to run (0: from cycles)
  Inject inject = Inject::None;
};

// What a run did; the soak adds these up.
struct Counters {
  uint64_t requests = 0;       // Win32 calls that reached the driver (I/O, control, open, close)
  uint64_t bytesMoved = 0;     // bytes written that the driver accepted
  uint64_t bytesVerified = 0;  // bytes read back and found as written
  uint64_t bytesLost = 0;      // bytes written and not read back while nothing disturbed the port
  uint64_t pnpCycles = 0;      // Plug and Play operations run (including refused ones)
  uint64_t powerCycles = 0;    // sleep and resume cycles
  uint64_t bugChecks = 0;
  uint64_t leaks = 0;      // pool blocks of the driver left at its unload
  uint64_t virtualNs = 0;  // virtual time the machine ran

  Counters& operator+=(const Counters& o);
};

struct Result {
  std::string scenario;
  RunSettings settings;
  Counters counters;
  std::vector<std::string> failures;  // empty when the run passed
  bool Passed() const { return failures.empty(); }
};

using Runner = Result (*)(const RunSettings& settings);

struct Scenario {
  const char* name;
  const char* description;
  Runner run;
};

// Every scenario, in the order the suite runs them.
const std::vector<Scenario>& Scenarios();
const Scenario* FindScenario(const std::string& name);

const char* InjectName(Inject inject);
bool ParseInject(const std::string& text, Inject* inject);

// The command that replays one run: "tarnwire fundamentals --scenario X --seed N ...".
std::string ReplayCommand(const std::string& scenario, const RunSettings& settings);

// Runs one scenario, turning anything that escapes it (a bug check, an exception) into a failure.
Result RunOne(const Scenario& scenario, const RunSettings& settings);

}  // namespace tarnwire_fundamentals
