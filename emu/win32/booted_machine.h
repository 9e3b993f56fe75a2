// A machine booted from a description (machine_description.h): ZM470 bridges on one USB bus with the
// driver loaded for them, each port named as described and with its far end plugged in.
//
// In real time the machine runs on an OS thread of its own, and a call from any other OS thread
// (Run) is handed to a new application thread of the machine while the caller blocks until it
// ends, so several of a program's threads may call at once. In virtual time the machine is the
// calling thread's, and each call runs the machine until it ends, as for any machine.
//
// A program that looks inside (the tarnwire command) reaches each port's device object, the USB
// bus (for a capture started before the bridges arrive) and, in virtual time, pulls bridges out.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nt/machine.h"
#include "win32/machine_description.h"

namespace emu::usb {
class UsbHost;
}

namespace emu::win32 {

struct BootedRig;

struct BootOptions {
  std::string capturePath;  // the bus's pcap capture from the first transfer on; empty: none
  bool trace = false;       // the kernel's trace (off otherwise)
};

class BootedMachine {
 public:
  explicit BootedMachine(const MachineDescription& description, const BootOptions& options = {});
  // Stops the machine's thread and takes the machine down (unless a call is still outstanding,
  // when it is left as it is).
  ~BootedMachine();
  BootedMachine(const BootedMachine&) = delete;
  BootedMachine& operator=(const BootedMachine&) = delete;

  // Empty when every bridge came up; otherwise what failed (and there is no machine).
  const std::string& Error() const { return error_; }
  Machine* machine();
  // The path of the pty at the far end of COMn, or "" when it has none.
  std::string PtyPath(unsigned com) const;
  // The driver's device object of COMn (nullptr when there is no such bridge or it was unplugged).
  PDEVICE_OBJECT PortDevice(unsigned com) const;
  // The chip revision of COMn's bridge (-1 when there is no such bridge).
  int ChipRevision(unsigned com) const;
  usb::UsbHost* Host();

  // Virtual time: runs every body in an application thread of its own, all at once, until each
  // has returned; false when one never did (the machine then has nothing left to run).
  bool RunTogether(const std::vector<std::function<void()>>& bodies);
  // Virtual time: pulls COMn's bridge out of the bus and lets Plug and Play finish with it; false
  // when there is no such bridge or the removal did not finish.
  bool Unplug(unsigned com);

  // Runs fn in an application thread of the machine and waits until it ends; false when the
  // machine stopped first (a bug check, or the machine shutting down).
  bool Run(const std::function<void()>& fn);
  // Ends the machine's thread (real time); every call still waiting fails. When `keep`, the
  // machine is left in memory as it is (for process exit).
  void Stop(bool keep = false);

  // The real-time machine that serves calls from other OS threads, if one runs.
  static BootedMachine* Serving();
  // Whether the calling OS thread is that machine's own.
  static bool OnMachineThread();

 private:
  struct Call {
    bool done = false;
    bool ok = false;
  };
  void Serve(const MachineDescription& description, const BootOptions& options);
  void Finish(const std::shared_ptr<Call>& call, bool ok);
  void FailCalls();

  bool realTime_;
  bool keep_ = false;
  std::unique_ptr<BootedRig> rig_;
  std::string error_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool booted_ = false;
  bool stopped_ = false;
  bool stopRequested_ = false;  // read and written on the machine's thread only
  std::set<std::shared_ptr<Call>> calls_;
};

// The process's machine booted on first use from TARNWIRE_MACHINE (kDefaultMachine when unset),
// or nullptr after printing on stderr why it could not be booted. A real-time machine stops at
// process exit.
BootedMachine* ProcessMachine();

// Boots the process's machine from `description` (nullptr: as on first use) unless one was booted,
// or tried, before; a failure is printed on stderr when `report`. 1 when this call booted it, 0
// when it ran already, -1 when there is none; *text is then the running machine's description in
// full form, or why there is none.
int BootProcessMachine(const char* description, bool report, std::string* text);

}  // namespace emu::win32
