// One run of the tool on a booted virtual-time machine: boots it as described, moves data and
// reports each transfer, collects what failed, and ends with the times, the capture and the
// verdict. The demo and the scenarios share it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transfer.h"
#include "win32/booted_machine.h"

namespace tarnwire_tool {

// The options every subcommand takes.
struct CommonOptions {
  uint64_t seed = 1;
  bool multiprocessor = false;
  std::string capturePath;  // empty: no capture
  bool trace = false;       // print the kernel's trace at the end
};

class Session {
 public:
  explicit Session(const CommonOptions& options);
  ~Session();

  // Boots the machine (virtual time, with the options' seed and model); false after a failure.
  bool Boot(emu::win32::MachineDescription description);
  emu::win32::BootedMachine& booted() { return *booted_; }
  const std::vector<unsigned>& Coms() const { return coms_; }

  // Records a failure (printed at once and again in the verdict).
  void Fail(const std::string& reason);
  bool Failed() const { return !failures_.empty(); }

  // Prints the ports with what the driver made of each; a port that is missing, unnamed or not
  // published fails.
  void ReportPorts();
  // Runs the legs at once on ports configured as `settings` and prints each leg, the events and
  // the errors. False when anything failed.
  bool TransferAndReport(const std::string& title, const LineSettings& settings, std::vector<Leg>& legs);

  // Pulls COMn's bridge out and checks that its name no longer opens; false after a failure.
  bool Unplug(unsigned com);
  // Checks that the name of COMn, pulled out already, no longer opens; false after a failure.
  bool CheckGone(unsigned com);
  // Pulls out every bridge still plugged in and checks that no USB request is left without its
  // completion, so that the capture pairs every request with its completion.
  void UnplugAll();

  // Prints the times, the capture and the verdict; returns the exit code (0 when nothing failed).
  int Finish();

 private:
  CommonOptions options_;
  std::unique_ptr<emu::win32::BootedMachine> booted_;
  std::vector<unsigned> coms_;
  std::vector<unsigned> unplugged_;
  std::vector<std::string> failures_;
  std::chrono::steady_clock::time_point wallStart_;
  uint64_t bytesMoved_ = 0;
};

}  // namespace tarnwire_tool
