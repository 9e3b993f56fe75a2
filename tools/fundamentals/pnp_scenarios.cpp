// The Plug and Play scenarios, each cycle with checked I/O before, during and after the operation:
// disable and enable, orderly removal, cancelled removal, surprise removal, rebalance, cancelled
// stop and a restart that fails.
#include "pnp_scenarios.h"

#include <windows.h>

#include "harness.h"
#include "nt/machine.h"
#include "usbhost/usb_host.h"

namespace tarnwire_fundamentals {
namespace {

using State = emu::PnpManager::State;

std::string Com(unsigned com) { return "COM" + std::to_string(com); }

unsigned PortOfCycle(const Rig& rig, unsigned cycle) { return 1 + cycle % rig.Ports(); }

bool ExpectState(Rig& rig, unsigned com, State state, const char* after) {
  if (rig.WaitForState(com, static_cast<int>(state), 2000)) return true;
  PDEVICE_OBJECT pdo = rig.Pdo(com);
  rig.Fail(Com(com) + " is " + (pdo ? emu::PnpStateName(rig.machine().pnp().StateOf(pdo)) : "gone") +
           " after " + after + ", not " + emu::PnpStateName(state));
  return false;
}

void ExpectNoOpen(Rig& rig, unsigned com, const char* when) {
  unsigned long error = 0;
  ++rig.counters().requests;
  if (HANDLE h = OpenStreamPort(com, &error)) {
    CloseHandle(h);
    rig.Fail(Com(com) + " still opens " + when);
  }
}

// Asks the port's worker to close its handle and keep it closed; false when it did not.
bool Release(Rig& rig, unsigned com, StreamControl& s) {
  s.release = true;
  if (AwaitIdle(s)) return true;
  rig.Fail(Com(com) + ": the stream did not let its handle go");
  return false;
}

// Disable (or an orderly removal) of an idle port: the query is retried while a probing open of
// the stream races it (each refusal is a cancelled removal).
NTSTATUS QueryRemoveRetrying(Rig& rig, unsigned com, bool disable) {
  NTSTATUS status = STATUS_DEVICE_BUSY;
  for (int attempt = 0; attempt < 50 && status == STATUS_DEVICE_BUSY; ++attempt) {
    if (attempt != 0) Sleep(1);
    status = disable ? rig.machine().pnp().Disable(rig.Pdo(com)) : rig.machine().pnp().Remove(rig.Pdo(com));
    ++rig.counters().pnpCycles;
  }
  return status;
}

void DisableEnableCycle(Rig& rig, Streams& streams, std::mt19937_64& random, unsigned cycle) {
  const unsigned com = PortOfCycle(rig, cycle);
  StreamControl& s = streams[com - 1];
  PauseMs(random, 5, 40);
  if (!Release(rig, com, s)) return;
  rig.disturbances().Begin(com);
  NTSTATUS status = QueryRemoveRetrying(rig, com, true);
  if (status != STATUS_SUCCESS) {
    rig.Fail(Com(com) + ": disable of the idle port failed with " + StatusText(status));
  } else if (ExpectState(rig, com, State::Disabled, "disable")) {
    ExpectNoOpen(rig, com, "while disabled");
    PauseMs(random, 5, 30);
    status = rig.machine().pnp().Enable(rig.Pdo(com));
    ++rig.counters().pnpCycles;
    if (status != STATUS_SUCCESS) rig.Fail(Com(com) + ": enable failed with " + StatusText(status));
    ExpectState(rig, com, State::Started, "enable");
  }
  rig.disturbances().End(com);
  s.release = false;
  AwaitCleanChunks(rig, com, s, 1, "after enable");
}

void RemoveCycle(Rig& rig, Streams& streams, std::mt19937_64& random, unsigned cycle) {
  const unsigned com = PortOfCycle(rig, cycle);
  StreamControl& s = streams[com - 1];
  PauseMs(random, 5, 40);
  if (!Release(rig, com, s)) return;
  rig.disturbances().Begin(com);
  PDEVICE_OBJECT old = rig.Pdo(com);
  NTSTATUS status = QueryRemoveRetrying(rig, com, false);
  if (status != STATUS_SUCCESS) {
    rig.Fail(Com(com) + ": removal of the idle port failed with " + StatusText(status));
  } else if (ExpectState(rig, com, State::Removed, "removal")) {
    ExpectNoOpen(rig, com, "after its removal");
    // The removed bridge is then pulled out and a fresh one plugged in its place.
    rig.PullOut(com);
    for (int i = 0; i < 100 && rig.machine().pnp().StateOf(old) != State::Deleted; ++i) Sleep(1);
    if (rig.machine().pnp().StateOf(old) != State::Deleted)
      rig.Fail(Com(com) + ": the removed bridge, pulled out, is " +
               emu::PnpStateName(rig.machine().pnp().StateOf(old)));
    rig.PlugFresh(com);
    ++rig.counters().pnpCycles;
  }
  rig.disturbances().End(com);
  s.release = false;
  AwaitCleanChunks(rig, com, s, 1, "after removal and a fresh bridge");
}

void CancelRemoveCycle(Rig& rig, Streams& streams, std::mt19937_64& random, unsigned cycle) {
  const unsigned com = PortOfCycle(rig, cycle);
  StreamControl& s = streams[com - 1];
  PauseMs(random, 5, 40);
  if (!s.open) AwaitCleanChunks(rig, com, s, 1, "before the removal query");
  rig.disturbances().Begin(com);
  const NTSTATUS status = rig.machine().pnp().Remove(rig.Pdo(com));
  ++rig.counters().pnpCycles;
  if (status != STATUS_DEVICE_BUSY)
    rig.Fail(Com(com) + ": a removal with a handle open and I/O running ended with " + StatusText(status) +
             ", not refused (STATUS_DEVICE_BUSY)");
  ExpectState(rig, com, State::Started, "a cancelled removal");
  rig.disturbances().End(com);
  AwaitCleanChunks(rig, com, s, 1, "after a cancelled removal");
}

void SurpriseRemoveCycle(Rig& rig, Streams& streams, std::mt19937_64& random, unsigned cycle) {
  const unsigned com = PortOfCycle(rig, cycle);
  StreamControl& s = streams[com - 1];
  PauseMs(random, 5, 40);
  rig.disturbances().Begin(com);
  PDEVICE_OBJECT old = rig.Pdo(com);
  rig.PullOut(com);
  ++rig.counters().pnpCycles;
  // The stream's requests fail, it closes its handle, and only then is the device removed.
  for (int i = 0; i < 3000 && rig.machine().pnp().StateOf(old) != State::Deleted; ++i) Sleep(1);
  if (rig.machine().pnp().StateOf(old) != State::Deleted)
    rig.Fail(Com(com) + ": surprise removal with I/O running left the device " +
             emu::PnpStateName(rig.machine().pnp().StateOf(old)) +
             (s.open ? " (the stream's handle is still open)" : ""));
  ExpectNoOpen(rig, com, "after its bridge was pulled out");
  PauseMs(random, 1, 20);
  rig.PlugFresh(com);
  rig.disturbances().End(com);
  AwaitCleanChunks(rig, com, s, 1, "on a fresh bridge after a surprise removal");
}

void RebalanceCycle(Rig& rig, Streams& streams, std::mt19937_64& random, unsigned cycle) {
  const unsigned com = PortOfCycle(rig, cycle);
  StreamControl& s = streams[com - 1];
  PauseMs(random, 5, 40);
  // The handle stays open; its requests are done, so the stop is not refused.
  s.pause = true;
  AwaitIdle(s);
  rig.disturbances().Begin(com);
  const NTSTATUS status = rig.machine().pnp().Rebalance(rig.Pdo(com));
  ++rig.counters().pnpCycles;
  if (status != STATUS_SUCCESS)
    rig.Fail(Com(com) + ": rebalance with an idle open handle failed with " + StatusText(status));
  ExpectState(rig, com, State::Started, "rebalance");
  rig.disturbances().End(com);
  s.pause = false;
  AwaitCleanChunks(rig, com, s, 1, "on the same handle after rebalance");
}

struct CancelStopTally {
  unsigned refused = 0;
};

void CancelStopCycle(Rig& rig, Streams& streams, std::mt19937_64& random, unsigned cycle,
                     CancelStopTally& tally) {
  const unsigned com = PortOfCycle(rig, cycle);
  StreamControl& s = streams[com - 1];
  PauseMs(random, 5, 40);
  // Query-stop while a read is outstanding.
  for (int i = 0; i < 1000 && !s.inChunk; ++i) Sleep(1);
  rig.disturbances().Begin(com);
  const NTSTATUS status = rig.machine().pnp().Rebalance(rig.Pdo(com));
  ++rig.counters().pnpCycles;
  if (status == STATUS_DEVICE_BUSY)
    ++tally.refused;
  else if (status != STATUS_SUCCESS)
    rig.Fail(Com(com) + ": rebalance with I/O running ended with " + StatusText(status));
  ExpectState(rig, com, State::Started, "a stop query with I/O running");
  rig.disturbances().End(com);
  AwaitCleanChunks(rig, com, s, 1, "after a cancelled stop");
}

void FailRestartCycle(Rig& rig, Streams& streams, std::mt19937_64& random, unsigned cycle) {
  const unsigned com = PortOfCycle(rig, cycle);
  StreamControl& s = streams[com - 1];
  PauseMs(random, 5, 40);
  s.pause = true;
  AwaitIdle(s);
  rig.disturbances().Begin(com);
  // The new start cannot read the device's descriptors (two requests in each of its two tries),
  // so it fails and Plug and Play removes the device.
  rig.Bus(com)->FailNext(4, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING,
                         emu::usb::UrbFilter::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE));
  NTSTATUS status = rig.machine().pnp().Rebalance(rig.Pdo(com));
  ++rig.counters().pnpCycles;
  rig.Bus(com)->ClearFaults();
  if (NT_SUCCESS(status)) {
    rig.Fail(Com(com) + ": a restart whose start failed was reported as " + StatusText(status));
  } else if (ExpectState(rig, com, State::SurpriseRemoved, "a failed restart with a handle open")) {
    // The handle opened before the stop no longer works; once the stream closes it the device
    // is removed, and it starts again when enabled.
    s.pause = false;
    Release(rig, com, s);
    if (ExpectState(rig, com, State::Failed, "the last handle closed after a failed restart")) {
      ExpectNoOpen(rig, com, "after its restart failed");
      status = rig.machine().pnp().Enable(rig.Pdo(com));
      ++rig.counters().pnpCycles;
      if (status != STATUS_SUCCESS)
        rig.Fail(Com(com) + ": enable after a failed restart failed with " + StatusText(status));
      ExpectState(rig, com, State::Started, "enable after a failed restart");
    }
  }
  rig.disturbances().End(com);
  s.pause = s.release = false;
  AwaitCleanChunks(rig, com, s, 1, "after a failed restart and enable");
}

template <class Cycle>
Result RunCycles(const char* name, const RunSettings& settings, Cycle cycle) {
  return RunOnRig(name, settings, 2, [&](Rig& rig) {
    StreamAround(rig, [&](Rig& r, Streams& streams, std::mt19937_64& random) {
      for (unsigned i = 0; i < settings.cycles && r.Alive() && !r.Failed(); ++i) cycle(r, streams, random, i);
    });
  });
}

}  // namespace

Result RunDisableEnable(const RunSettings& settings) {
  return RunCycles("disable-enable", settings, DisableEnableCycle);
}
Result RunRemove(const RunSettings& settings) { return RunCycles("remove", settings, RemoveCycle); }
Result RunCancelRemove(const RunSettings& settings) {
  return RunCycles("cancel-remove", settings, CancelRemoveCycle);
}
Result RunSurpriseRemove(const RunSettings& settings) {
  return RunCycles("surprise-remove", settings, SurpriseRemoveCycle);
}
Result RunRebalance(const RunSettings& settings) { return RunCycles("rebalance", settings, RebalanceCycle); }
Result RunFailRestart(const RunSettings& settings) {
  return RunCycles("fail-restart", settings, FailRestartCycle);
}

Result RunCancelStop(const RunSettings& settings) {
  CancelStopTally tally;
  Result result =
      RunCycles("cancel-stop", settings, [&tally](Rig& r, Streams& s, std::mt19937_64& random, unsigned i) {
        CancelStopCycle(r, s, random, i, tally);
      });
  if (result.Passed() && tally.refused == 0)
    result.failures.push_back(
        "no stop query was refused with reads outstanding: the cancelled stop never ran");
  return result;
}

// One Plug and Play operation picked at random, for the concurrent scenario.
void RandomPnpOperation(Rig& rig, Streams& streams, std::mt19937_64& random, unsigned com) {
  const unsigned cycle = com - 1;
  switch (random() % 6) {
    case 0:
      DisableEnableCycle(rig, streams, random, cycle);
      break;
    case 1:
      RemoveCycle(rig, streams, random, cycle);
      break;
    case 2:
      CancelRemoveCycle(rig, streams, random, cycle);
      break;
    case 3:
      SurpriseRemoveCycle(rig, streams, random, cycle);
      break;
    case 4:
      RebalanceCycle(rig, streams, random, cycle);
      break;
    default: {
      CancelStopTally tally;
      CancelStopCycle(rig, streams, random, cycle, tally);
      break;
    }
  }
}

}  // namespace tarnwire_fundamentals
