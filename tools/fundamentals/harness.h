// What the scenarios share: checked streams on every port of a rig while a controller runs the
// scenario's operations, checks of data before and after them, and the bursty idle traffic that
// pads a run to its virtual duration.
#pragma once

#include <functional>
#include <random>
#include <vector>

#include "rig.h"
#include "stream.h"

namespace tarnwire_fundamentals {

using Streams = std::vector<StreamControl>;
using Controller = std::function<void(Rig& rig, Streams& streams, std::mt19937_64& random)>;

// Streams on every port of the rig while `controller` runs in an application thread of its own.
// Before the controller each port must bring data back intact; after it, too (the controller's
// last operation must not have broken a port). With settings.virtualSeconds, bursts of traffic with
// idle gaps of seconds follow until the machine's clock reaches it.
void StreamAround(Rig& rig, const Controller& controller);

// A pause of min..max ms of virtual time, drawn from `random`.
void PauseMs(std::mt19937_64& random, unsigned min, unsigned max);

// Runs `body` on a fresh rig of `ports` bridges and finishes it (unplug, unload, pool check).
Result RunOnRig(const char* name, const RunSettings& settings, unsigned ports,
                const std::function<void(Rig&)>& body);

}  // namespace tarnwire_fundamentals
