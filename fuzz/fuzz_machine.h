// The machine every fuzz target runs: the driver registered with Plug and Play and a hostile
// bridge on the emulated USB bus, driven by the fuzz input. A target plugs the bridge, opens the
// port, sends requests drawn from its input and ends with Finish(), which closes the port, pulls
// the bridge out and checks that the removal finished, the driver unloaded and left no pool
// behind. A bug check, a leak or a request that never ends is a finding: the run stops with
// abort() and says what went wrong. With TARNWIRE_FUZZ_VERBOSE set, Finish prints a line on how
// far the run got (port opened, requests, hostile answers, script used).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "driver/platform.h"
#include "line/far_ends.h"
#include "nt/machine.h"
#include "usbhost/usb_host.h"
#include "zm470/byte_script.h"
#include "zm470/hostile_bridge.h"

namespace tarnwire::fuzz {

using emu::zm470::ByteScript;

// A fuzz input cut in two: the device's script, then the requests' script. The first two bytes
// (little endian) give the device part's length.
struct SplitInput {
  std::span<const uint8_t> device;
  std::span<const uint8_t> requests;
};
SplitInput Split(const uint8_t* data, size_t size);
// The inverse, for seed inputs.
std::vector<uint8_t> Join(std::span<const uint8_t> device, std::span<const uint8_t> requests);

// Stops the run with a finding.
[[noreturn]] void Fail(const std::string& what);

// Runs `body` and turns a bug check or any other exception out of the machine into a finding.
void Checked(const std::function<void()>& body);

class FuzzMachine {
 public:
  FuzzMachine(std::span<const uint8_t> deviceScript, uint32_t hostileChannels);
  ~FuzzMachine();
  FuzzMachine(const FuzzMachine&) = delete;
  FuzzMachine& operator=(const FuzzMachine&) = delete;

  // Plugs the bridge and lets Plug and Play start the driver on it; then opens the port. False
  // when the port did not come up or could not be opened (the device may refuse to work).
  bool Open();
  // A request on the open port, waited for up to `limit` of virtual time, then cancelled and
  // waited for once more; its buffers live until Finish. STATUS_PENDING if it has not ended.
  NTSTATUS Send(emu::IoRequest request, std::vector<uint8_t> input, ULONG outputLength,
                std::vector<uint8_t>* output = nullptr, emu::VirtualTime limit = 50 * emu::kMillisecond);
  NTSTATUS Ioctl(ULONG code, std::vector<uint8_t> input, ULONG outputLength,
                 std::vector<uint8_t>* output = nullptr, emu::VirtualTime limit = 50 * emu::kMillisecond);
  template <class T>
  NTSTATUS IoctlWith(ULONG code, const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    return Ioctl(code, std::vector<uint8_t>(p, p + sizeof value), 0);
  }
  NTSTATUS Write(std::vector<uint8_t> bytes, emu::VirtualTime limit = 50 * emu::kMillisecond);
  NTSTATUS Read(ULONG length, std::vector<uint8_t>* data, emu::VirtualTime limit = 50 * emu::kMillisecond);
  void Settle(emu::VirtualTime duration) { machine_.kernel().RunFor(duration); }
  // Closes the port, pulls the bridge out and checks what the driver left behind.
  void Finish();

  bool IsOpen() const { return file_ != nullptr; }
  emu::zm470::HostileBridge& Bridge() { return bridge_; }
  emu::Machine& machine() { return machine_; }

 private:
  struct Pending {
    emu::IoRequest request;
    std::vector<uint8_t> input, output;
    IO_STATUS_BLOCK iosb{};
    bool Done() const { return iosb.Status != STATUS_PENDING; }
  };
  bool RunUntilDone(const Pending& p, emu::VirtualTime limit);
  size_t Urbs(uint8_t endpoint) const;

  emu::Machine machine_;
  emu::zm470::HostileBridge bridge_;
  emu::line::ScriptedPeer peer_;  // after the chip: goes first
  emu::usb::UsbHost host_;
  emu::usb::UsbPort* usbPort_ = nullptr;
  PFILE_OBJECT file_ = nullptr;
  std::deque<Pending> pending_;
  std::vector<uint8_t> recording_;
  bool opened_ = false;
  bool finished_ = false;
};

// Seed recording (the replay program's --record): while set, every FuzzMachine records the
// script that makes a sound chip's answers, and `Recorded` receives it at Finish.
struct SeedRecorder {
  std::function<void(std::vector<uint8_t>)> Recorded;
};
extern SeedRecorder* g_seedRecorder;

}  // namespace tarnwire::fuzz
