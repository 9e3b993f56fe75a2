// The machine of one fundamentals run: ZM470 bridges on one USB bus, each with a loopback plug at
// its connector and named COM1, COM2, ..., the driver loaded for them by Plug and Play, in virtual
// time with the run's seed and processor model. Bridges can be pulled out and fresh ones plugged
// in their place (as hardware events); a bug check ends the machine and is recorded; Finish pulls
// every bridge out and checks that the driver unloaded and left no pool behind.
#pragma once

#include <wdm.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fundamentals.h"

namespace emu {
class Machine;
namespace usb {
class UsbHost;
class UsbPort;
}  // namespace usb
namespace zm470 {
class Zm470;
}
namespace line {
class SerialLine;
}
}  // namespace emu

namespace tarnwire_fundamentals {

// What disturbs the ports: a Plug and Play operation on one of them, or a power transition of all.
// A stream chunk that overlapped a disturbance may lose its bytes; one that did not must not.
class Disturbances {
 public:
  explicit Disturbances(unsigned ports) : epochs_(ports + 1, 0), active_(ports + 1, 0) {}
  struct Mark {
    uint64_t port = 0;
    uint64_t all = 0;
    bool active = false;
    bool allActive = false;
  };
  // com 0: every port.
  void Begin(unsigned com) { ++epochs_[com], ++active_[com]; }
  void End(unsigned com) { ++epochs_[com], --active_[com]; }
  Mark Now(unsigned com) const {
    return {epochs_[com], epochs_[0], active_[com] > 0 || active_[0] > 0, active_[0] > 0};
  }
  bool Since(const Mark& m, unsigned com) const {
    return m.active || active_[com] > 0 || active_[0] > 0 || epochs_[com] != m.port || epochs_[0] != m.all;
  }
  // Whether a disturbance of every port (a power transition) overlapped the time since the mark.
  bool AllSince(const Mark& m) const { return m.allActive || active_[0] > 0 || epochs_[0] != m.all; }

 private:
  std::vector<uint64_t> epochs_;
  std::vector<int> active_;
};

class Rig {
 public:
  Rig(const RunSettings& settings, unsigned ports, Result& result);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // False when the machine did not boot or stopped with a bug check.
  bool Alive() const { return alive_; }
  emu::Machine& machine() { return *machine_; }
  unsigned Ports() const { return ports_; }
  const RunSettings& settings() const { return settings_; }
  Counters& counters() { return result_.counters; }
  Disturbances& disturbances() { return disturbances_; }

  void Fail(const std::string& reason);
  bool Failed() const { return !result_.failures.empty(); }

  // The physical device object of COMn's current bridge.
  PDEVICE_OBJECT Pdo(unsigned com) const;
  emu::usb::UsbPort* Bus(unsigned com) const;

  // Runs every body in an application thread of its own until all have returned. A bug check is
  // recorded and ends the machine; false then, or when a body never returned.
  bool Together(const std::vector<std::function<void()>>& bodies);

  // From an application thread: pulls COMn's bridge out at once (a hardware event).
  void PullOut(unsigned com);
  // From an application thread: plugs a fresh bridge as COMn (a hardware event) and waits until
  // Plug and Play started it; false (and a failure) when it did not start within `limitMs`.
  bool PlugFresh(unsigned com, unsigned limitMs = 2000);
  // From an application thread: waits until COMn's device reaches `state`; false after limitMs.
  bool WaitForState(unsigned com, int state, unsigned limitMs);

  // Pulls out every bridge still plugged in, lets Plug and Play finish, and checks that the
  // driver unloaded and that none of its pool is left. Records the virtual time.
  void Finish();

 private:
  void PlugBridge(unsigned com);
  void NoteBugCheck(const std::string& report, unsigned long code, uintptr_t param1);

  RunSettings settings_;
  unsigned ports_;
  Result& result_;
  Disturbances disturbances_;
  bool alive_ = false;
  bool finished_ = false;
  std::unique_ptr<emu::Machine> machine_;
  std::vector<std::unique_ptr<emu::zm470::Zm470>> chips_;
  std::unique_ptr<emu::usb::UsbHost> host_;
  std::vector<std::unique_ptr<emu::line::SerialLine>> plugs_;
  std::vector<emu::usb::UsbPort*> current_;  // by COM number - 1; nullptr once pulled out
};

// From an application or system thread: waits `ms` of virtual time.
void DelayMs(unsigned ms);

// Text of an NTSTATUS for failure messages ("0xC0000010").
std::string StatusText(NTSTATUS status);

}  // namespace tarnwire_fundamentals
