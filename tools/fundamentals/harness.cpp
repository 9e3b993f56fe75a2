#include "harness.h"

#include <windows.h>

#include "nt/machine.h"

namespace tarnwire_fundamentals {

void PauseMs(std::mt19937_64& random, unsigned min, unsigned max) {
  Sleep(min + static_cast<DWORD>(random() % (max - min + 1)));
}

void StreamAround(Rig& rig, const Controller& controller) {
  const RunSettings& settings = rig.settings();
  Streams streams(rig.Ports());
  std::vector<std::function<void()>> bodies;
  for (unsigned com = 1; com <= rig.Ports(); ++com) {
    StreamOptions options;
    options.com = com;
    options.seed = settings.seed;
    options.injectLoss = settings.inject == Inject::LostBytes && com == 1;
    bodies.push_back([&rig, options, &streams] { StreamPort(rig, options, streams[options.com - 1]); });
  }
  bodies.push_back([&rig, &streams, &controller, &settings] {
    std::mt19937_64 random(settings.seed ^ 0xC3A5C85C97CB3127ull);
    bool ok = true;
    for (unsigned com = 1; com <= rig.Ports() && ok; ++com)
      ok = AwaitCleanChunks(rig, com, streams[com - 1], 1, "before the first operation");
    if (ok && settings.inject == Inject::BugCheck)
      rig.machine().kernel().BugCheck(0xE2);  // MANUALLY_INITIATED_CRASH
    if (ok) controller(rig, streams, random);
    for (StreamControl& s : streams) s.pause = s.release = false;
    for (unsigned com = 1; com <= rig.Ports() && rig.Alive(); ++com)
      AwaitCleanChunks(rig, com, streams[com - 1], 1, "after the last operation");
    // Bursty traffic up to the virtual duration: every port idle for seconds, then a burst.
    const emu::VirtualTime until = static_cast<emu::VirtualTime>(settings.virtualSeconds * emu::kSecond);
    while (rig.Alive() && !rig.Failed() && rig.machine().kernel().Now() < until) {
      for (StreamControl& s : streams) s.pause = true;
      for (StreamControl& s : streams) AwaitIdle(s);
      PauseMs(random, 2000, 20000);
      for (StreamControl& s : streams) s.pause = false;
      for (unsigned com = 1; com <= rig.Ports() && rig.Alive(); ++com)
        AwaitCleanChunks(rig, com, streams[com - 1], 2, "in a burst after an idle gap");
    }
    for (StreamControl& s : streams) s.stop = true;
  });
  rig.Together(bodies);
}

Result RunOnRig(const char* name, const RunSettings& settings, unsigned ports,
                const std::function<void(Rig&)>& body) {
  Result result;
  result.scenario = name;
  result.settings = settings;
  {
    Rig rig(settings, ports, result);
    if (rig.Alive()) body(rig);
    rig.Finish();
  }
  return result;
}

}  // namespace tarnwire_fundamentals
