// The process's machine of an application linked with the shared library: booted once, on the
// API's first call from TARNWIRE_MACHINE or earlier by TarnwireBootMachine, and kept until exit.
#include <tarnwire_win32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "win32/booted_machine.h"

namespace emu::win32 {
namespace {

struct ProcessState {
  std::mutex lock;
  std::atomic<bool> tried{false};
  BootedMachine* machine = nullptr;  // lives until the process ends
  std::string description;           // the machine's, in full form
  std::string error;                 // why there is no machine
};

ProcessState& Process() {
  static ProcessState* const state = new ProcessState;  // outlives static destructors
  return *state;
}

// Boots from `text`, or from TARNWIRE_MACHINE when it is nullptr. A failure is reported on stderr
// when `report`: a program that never asked for the machine has no other way to learn of it.
void Boot(ProcessState& s, const char* text, bool report) {
  const bool fromEnvironment = text == nullptr;
  const char* env = fromEnvironment ? std::getenv("TARNWIRE_MACHINE") : nullptr;
  const std::string_view wanted = !fromEnvironment ? std::string_view(text)
                                  : env != nullptr ? std::string_view(env)
                                                   : kDefaultMachine;
  const auto fail = [&](const std::string& error) {
    s.error = error;
    if (report) std::fprintf(stderr, "tarnwire-win32: %s\n", error.c_str());
  };
  MachineDescription description;
  std::string error;
  if (!ParseMachineDescription(wanted, &description, &error)) {
    const std::string name = fromEnvironment ? "TARNWIRE_MACHINE" : "machine";
    return fail(name + "=\"" + std::string(wanted) + "\": " + error);
  }
  auto booted = std::make_unique<BootedMachine>(description);
  if (!booted->Error().empty()) return fail("the machine did not boot: " + booted->Error());
  for (const BridgeDescription& b : description.bridges)
    if (b.farEnd == FarEnd::Pty)
      std::fprintf(stderr, "tarnwire-win32: COM%u is at the pty %s\n", b.com, booted->PtyPath(b.com).c_str());
  s.machine = booted.release();
  s.description = FormatMachineDescription(description);
  std::atexit([] { Process().machine->Stop(true); });
}

}  // namespace

int BootProcessMachine(const char* description, bool report, std::string* text) {
  ProcessState& s = Process();
  std::lock_guard guard(s.lock);
  int result = 0;
  if (!s.tried.load(std::memory_order_relaxed)) {
    Boot(s, description, report);
    s.tried.store(true, std::memory_order_release);
    result = 1;
  }
  if (s.machine == nullptr) {
    *text = s.error;
    return -1;
  }
  *text = s.description;
  return result;
}

BootedMachine* ProcessMachine() {
  ProcessState& s = Process();
  if (!s.tried.load(std::memory_order_acquire)) {
    std::string text;
    BootProcessMachine(nullptr, true, &text);
  }
  return s.machine;
}

}  // namespace emu::win32

extern "C" int TarnwireBootMachine(const char* description, char* text, size_t size) {
  std::string message;
  const int result = emu::win32::BootProcessMachine(description, false, &message);
  if (text != nullptr && size > 0) {
    const size_t n = std::min(message.size(), size - 1);
    std::memcpy(text, message.data(), n);
    text[n] = '\0';
  }
  return result;
}
