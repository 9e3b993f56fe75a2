#include "session.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "nt/machine.h"
#include "port_facts.h"
#include "usbhost/usb_capture.h"
#include "usbhost/usb_host.h"

namespace tarnwire_tool {
namespace {

double Seconds(uint64_t ns) { return static_cast<double>(ns) / emu::kSecond; }

std::string ComList(const std::vector<const Port*>& ports) {
  std::string text;
  for (size_t i = 0; i < ports.size(); ++i)
    text += (i == 0 ? "" : i + 1 == ports.size() ? " and " : ", ") + ("COM" + std::to_string(ports[i]->com));
  return text;
}

// Progress of a long transfer on a terminal: a line rewritten in place, cleared at the end.
void ShowProgress(uint64_t done, uint64_t all) {
  if (!isatty(STDERR_FILENO)) return;
  if (done >= all)
    std::fprintf(stderr, "\r%40s\r", "");
  else
    std::fprintf(stderr, "\r  moving data: %3u%% of %llu bytes", static_cast<unsigned>(done * 100 / all),
                 static_cast<unsigned long long>(all));
}

}  // namespace

Session::Session(const CommonOptions& options) : options_(options), wallStart_(std::chrono::steady_clock::now()) {}

Session::~Session() = default;

bool Session::Boot(emu::win32::MachineDescription description) {
  description.realTime = false;
  description.seed = options_.seed;
  description.multiprocessor = options_.multiprocessor;
  for (const auto& b : description.bridges) coms_.push_back(b.com);
  emu::win32::BootOptions boot;
  boot.capturePath = options_.capturePath;
  boot.trace = options_.trace;
  booted_ = std::make_unique<emu::win32::BootedMachine>(description, boot);
  if (!booted_->Error().empty()) {
    Fail("the machine did not boot: " + booted_->Error());
    booted_.reset();
    return false;
  }
  return true;
}

void Session::Fail(const std::string& reason) {
  std::printf("  FAILED: %s\n", reason.c_str());
  failures_.push_back(reason);
}

void Session::ReportPorts() {
  std::printf("\nPorts the driver created\n");
  for (unsigned com : coms_) {
    PortFacts f;
    const std::string name = "COM" + std::to_string(com);
    if (!ReadPortFacts(*booted_, com, &f)) {
      Fail(name + " has no port device");
      continue;
    }
    PrintPortFacts(f, "  ");
    if (f.portName != name) Fail(name + " was named " + f.portName);
    if (f.serialComm != name) Fail(name + " is missing from SERIALCOMM");
    if (!f.interfaceEnabled) Fail(name + "'s device interface is not enabled");
  }
}

bool Session::TransferAndReport(const std::string& title, const LineSettings& settings, std::vector<Leg>& legs) {
  const size_t failuresBefore = failures_.size();
  std::printf("\n%s: %s\n", title.c_str(), Describe(settings).c_str());
  bool configured = true;
  std::vector<const Port*> ports;
  for (const Leg& leg : legs)
    for (const Port* p : {leg.from, leg.to})
      if (std::find(ports.begin(), ports.end(), p) == ports.end()) ports.push_back(p);
  for (const Port* p : ports) {
    std::string error;
    bool ok = false;
    booted_->RunTogether({[&] { ok = Configure(*p, settings, &error); }});
    if (!ok) {
      Fail(error);
      configured = false;
    }
  }
  if (!configured) return false;
  auto reports = Transfer(*booted_, settings, legs, ShowProgress);
  ShowProgress(1, 1);
  for (const Leg& leg : legs) {
    bytesMoved_ += leg.received;
    const double seconds = Seconds(leg.virtualNs);
    const double lineBytes = static_cast<double>(settings.baud) / BitsPerCharacter(settings);
    std::printf("  COM%u -> COM%u  %zu bytes sent, %llu received", leg.from->com, leg.to->com, leg.data.size(),
                static_cast<unsigned long long>(leg.received));
    if (leg.failure.empty())
      std::printf(", every byte as sent; %.3f s virtual, %.0f%% of the line\n", seconds,
                  seconds > 0 ? 100.0 * static_cast<double>(leg.received) / (lineBytes * seconds) : 0.0);
    else
      std::printf("\n");
    if (!leg.failure.empty())
      Fail("COM" + std::to_string(leg.from->com) + " -> COM" + std::to_string(leg.to->com) + ": " + leg.failure);
  }
  std::string events;
  std::string errors;
  for (const auto& [com, r] : reports) {
    events += (events.empty() ? "" : "; ") + ("COM" + std::to_string(com) + ":");
    if (r.events.empty()) events += " none";
    for (const auto& [name, count] : r.events) events += " " + name + " x" + std::to_string(count);
    if (!r.failure.empty()) Fail("COM" + std::to_string(com) + ": " + r.failure);
    if (r.errors != 0) {
      char text[64];
      std::snprintf(text, sizeof text, "COM%u: ClearCommError reports errors 0x%04X", com, r.errors);
      Fail(text);
    }
    if (r.inQueue != 0 || r.outQueue != 0)
      Fail("COM" + std::to_string(com) + ": " + std::to_string(r.inQueue) + " bytes left to read and " +
           std::to_string(r.outQueue) + " to send" + (r.holds.empty() ? "" : " (" + r.holds + ")"));
    else if (!r.holds.empty())
      Fail("COM" + std::to_string(com) + " is still held at the end: " + r.holds);
  }
  std::printf("  events        %s (WaitCommEvent)\n", events.c_str());
  if (failures_.size() == failuresBefore)
    std::printf("  errors        none: ClearCommError reports no error and empty queues on %s\n",
                ComList(ports).c_str());
  return failures_.size() == failuresBefore;
}

bool Session::Unplug(unsigned com) {
  const std::string name = "COM" + std::to_string(com);
  if (!booted_->Unplug(com)) {
    Fail(name + ": the removal did not finish");
    return false;
  }
  return CheckGone(com);
}

bool Session::CheckGone(unsigned com) {
  const std::string name = "COM" + std::to_string(com);
  unplugged_.push_back(com);
  bool opened = false;
  unsigned long error = 0;
  booted_->RunTogether({[&] { opened = PortOpens(com, &error); }});
  if (opened) {
    Fail(name + " still opens after the unplug");
    return false;
  }
  std::printf("  %s is gone: CreateFile fails with error %lu\n", name.c_str(), error);
  return true;
}

void Session::UnplugAll() {
  std::vector<unsigned> left;
  for (unsigned com : coms_)
    if (std::find(unplugged_.begin(), unplugged_.end(), com) == unplugged_.end()) left.push_back(com);
  if (left.empty()) return;
  std::printf("\nUnplugging the bridges\n");
  for (unsigned com : left)
    if (!Unplug(com)) return;
  size_t pending = 0;
  for (const auto& port : booted_->Host()->Ports()) pending += port->PendingTransfers();
  if (pending != 0)
    Fail(std::to_string(pending) + " USB requests were never completed");
  else
    std::printf("  every USB request the driver made has completed\n");
}

int Session::Finish() {
  if (booted_) UnplugAll();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart_).count();
  std::printf("\n");
  if (booted_) {
    emu::Machine& m = *booted_->machine();
    const double virtualSeconds = Seconds(m.kernel().Now());
    std::printf("Time          %.3f s virtual, %.2f s wall", virtualSeconds, wall);
    if (bytesMoved_ > 0 && wall > 0)
      std::printf(" (%.1f MB of serial data per wall second)", static_cast<double>(bytesMoved_) / 1e6 / wall);
    std::printf("\n");
    if (emu::usb::UsbHost* host = booted_->Host(); host != nullptr && host->Capture() != nullptr) {
      const unsigned long long packets = host->Capture()->PacketCount();
      host->StopCapture();
      std::printf("USB capture   %llu packets in %s (open it with: tshark -r %s)\n", packets,
                  options_.capturePath.c_str(), options_.capturePath.c_str());
    }
    if (options_.trace) std::fprintf(stderr, "%s", m.kernel().FormatTrace().c_str());
  }
  if (failures_.empty()) {
    std::printf("Result        every check passed\n");
    return 0;
  }
  std::printf("Result        %zu check%s failed:\n", failures_.size(), failures_.size() == 1 ? "" : "s");
  for (const std::string& f : failures_) std::printf("  - %s\n", f.c_str());
  return 1;
}

}  // namespace tarnwire_tool
