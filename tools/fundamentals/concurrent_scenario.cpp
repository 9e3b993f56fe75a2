// Everything at once, as Windows' CHAOS test does: on four ports, checked streams on three, Plug
// and Play operations on them, sleep cycles, and a fuzz of file requests with open/close storms on
// the fourth, in rounds; between rounds every port is idle for seconds of virtual time, so a run
// covers virtual hours at little cost.
#include "concurrent_scenario.h"

#include <windows.h>

#include "file_fuzz_scenario.h"
#include "handle_scenarios.h"
#include "harness.h"
#include "nt/machine.h"
#include "pnp_scenarios.h"
#include "power_scenario.h"

namespace tarnwire_fundamentals {
namespace {

constexpr unsigned kPorts = 4;
constexpr unsigned kFuzzCom = 4;

// Plug and Play operations and sleep cycles exclude each other, as the Plug and Play manager and
// the power manager of Windows keep them apart; everything else overlaps them.
class SystemTurn {
 public:
  void Take() {
    while (taken_) Sleep(1);
    taken_ = true;
  }
  void Give() { taken_ = false; }

 private:
  bool taken_ = false;
};

void Round(Rig& rig, uint64_t round) {
  const RunSettings& settings = rig.settings();
  Streams streams(kPorts);
  SystemTurn turn;
  unsigned opsLeft = 3;
  std::vector<std::function<void()>> bodies;
  for (unsigned com = 1; com <= kPorts; ++com) {
    StreamOptions options;
    options.com = com;
    options.seed = settings.seed * 1000003 + round;
    options.injectLoss = settings.inject == Inject::LostBytes && com == 1 && round == 0;
    bodies.push_back([&rig, options, &streams] { StreamPort(rig, options, streams[options.com - 1]); });
  }
  auto opDone = [&] {
    if (--opsLeft != 0) return;
    for (StreamControl& s : streams) s.pause = s.release = false;
    for (unsigned com = 1; com <= kPorts && rig.Alive(); ++com)
      AwaitCleanChunks(rig, com, streams[com - 1], 1, "after a round of concurrent operations");
    for (StreamControl& s : streams) s.stop = true;
  };
  auto before = [&](unsigned com) {
    return AwaitCleanChunks(rig, com, streams[com - 1], 1, "before a round's operations");
  };
  // Plug and Play.
  bodies.push_back([&, round] {
    std::mt19937_64 random(settings.seed * 7919 + round);
    const unsigned com = 1 + static_cast<unsigned>(random() % (kPorts - 1));
    if (before(com)) {
      const unsigned operations = 1 + static_cast<unsigned>(random() % 2);
      for (unsigned i = 0; i < operations && rig.Alive(); ++i) {
        turn.Take();
        RandomPnpOperation(rig, streams, random, com);
        turn.Give();
      }
    }
    opDone();
  });
  // Power.
  bodies.push_back([&, round] {
    std::mt19937_64 random(settings.seed * 104729 + round);
    if (before(1) && random() % 2 == 0) {
      turn.Take();
      SleepCycle(rig, streams, random, SleepStateOfCycle(settings.seed, static_cast<unsigned>(round)));
      turn.Give();
    }
    opDone();
  });
  // File-request fuzz and an open/close storm on the fourth port.
  bodies.push_back([&, round] {
    std::mt19937_64 random(settings.seed * 1299709 + round);
    StreamControl& s = streams[kFuzzCom - 1];
    if (before(kFuzzCom)) {
      s.release = true;
      AwaitIdle(s);
      rig.disturbances().Begin(kFuzzCom);
      FuzzFileRequests(rig, kFuzzCom, random, 40, false);
      Storm(rig, static_cast<unsigned>(round), 10, kFuzzCom);
      rig.disturbances().End(kFuzzCom);
      s.release = false;
    }
    opDone();
  });
  rig.Together(bodies);
}

}  // namespace

Result RunConcurrent(const RunSettings& settings) {
  return RunOnRig("concurrent", settings, kPorts, [&](Rig& rig) {
    const emu::VirtualTime until = static_cast<emu::VirtualTime>(settings.virtualSeconds * emu::kSecond);
    std::mt19937_64 random(settings.seed ^ 0x5DEECE66Dull);
    for (uint64_t round = 0; rig.Alive() && !rig.Failed(); ++round) {
      if (until == 0 ? round >= settings.cycles : rig.machine().kernel().Now() >= until) break;
      Round(rig, round);
      // Idle: every handle closed, seconds of virtual time.
      if (until != 0 && rig.Alive()) {
        const DWORD gap = 2000 + static_cast<DWORD>(random() % 18000);
        rig.Together({[gap] { Sleep(gap); }});
      }
    }
  });
}

}  // namespace tarnwire_fundamentals
