// Sleep and resume through S1 to S4 with checked I/O on every port before, during and after.
#include "power_scenario.h"

#include <windows.h>

#include "harness.h"
#include "nt/machine.h"

namespace tarnwire_fundamentals {

void SleepCycle(Rig& rig, Streams& streams, std::mt19937_64& random, SYSTEM_POWER_STATE state) {
  PauseMs(random, 5, 40);
  rig.disturbances().Begin(0);
  NTSTATUS status = rig.machine().Sleep(state);
  ++rig.counters().powerCycles;
  if (status != STATUS_SUCCESS) {
    rig.Fail(std::string("sleep in ") + emu::SystemPowerStateName(state) + " failed with " +
             StatusText(status));
  } else {
    // The streams keep trying while the machine sleeps.
    PauseMs(random, 10, 200);
    status = rig.machine().Wake();
    if (status != STATUS_SUCCESS)
      rig.Fail(std::string("resume from ") + emu::SystemPowerStateName(state) + " failed with " +
               StatusText(status));
  }
  rig.disturbances().End(0);
  // Every port in use comes back (a port another thread holds closed is that thread's business).
  for (unsigned com = 1; com <= rig.Ports() && rig.Alive(); ++com)
    if (!streams[com - 1].release)
      AwaitCleanChunks(rig, com, streams[com - 1], 1,
                       std::string("after resume from ") + emu::SystemPowerStateName(state));
}

SYSTEM_POWER_STATE SleepStateOfCycle(uint64_t seed, unsigned cycle) {
  return static_cast<SYSTEM_POWER_STATE>(PowerSystemSleeping1 + (seed + cycle) % 4);
}

Result RunSleepResume(const RunSettings& settings) {
  return RunOnRig("sleep-resume", settings, 2, [&](Rig& rig) {
    StreamAround(rig, [&](Rig& r, Streams& streams, std::mt19937_64& random) {
      // At least one cycle through each of S1 to S4.
      const unsigned cycles = settings.cycles < 4 ? 4 : settings.cycles;
      for (unsigned i = 0; i < cycles && r.Alive() && !r.Failed(); ++i)
        SleepCycle(r, streams, random, SleepStateOfCycle(settings.seed, i));
    });
  });
}

}  // namespace tarnwire_fundamentals
