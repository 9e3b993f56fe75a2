#include "rig.h"

#include <cstdio>
#include <cstdlib>

#include "driver/driver_globals.h"
#include "line/far_ends.h"
#include "nt/machine.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace tarnwire_fundamentals {
namespace {

constexpr std::u16string_view kServiceName = u"tarnwire";
constexpr std::u16string_view kBridgeHardwareId = u"USB\\VID_0A5D&PID_0023";
constexpr ULONG kVerifierViolation = 0xC4;
constexpr ULONG_PTR kPoolLeftAtUnload = 0x62;

std::u16string ComName(unsigned com) {
  std::u16string name = u"COM";
  for (char c : std::to_string(com)) name += static_cast<char16_t>(c);
  return name;
}

// The first lines of a bug-check report: the code, its parameters and the context.
std::string Headline(const std::string& report) {
  size_t end = 0;
  for (int line = 0; line < 3 && end != std::string::npos; ++line) end = report.find('\n', end + 1);
  return report.substr(0, end);
}

}  // namespace

void DelayMs(unsigned ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(static_cast<uint32_t>(status)));
  return text;
}

Rig::Rig(const RunSettings& settings, unsigned ports, Result& result)
    : settings_(settings), ports_(ports), result_(result), disturbances_(ports), current_(ports, nullptr) {
  emu::KernelConfig config;
  config.seed = settings.seed;
  config.realTime = false;
  config.processors =
      settings.multiprocessor ? emu::ProcessorModel::Multiprocessor : emu::ProcessorModel::Uniprocessor;
  machine_ = std::make_unique<emu::Machine>(config);
  machine_->kernel().SetTraceEnabled(std::getenv("TARNWIRE_BUGCHECK_REPORT") != nullptr);
  machine_->pnp().RegisterDriver(kBridgeHardwareId, kServiceName, DriverEntry);
  host_ = std::make_unique<emu::usb::UsbHost>(*machine_);
  try {
    for (unsigned com = 1; com <= ports; ++com) PlugBridge(com);
    if (!machine_->pnp().RunUntilIdle()) {
      Fail("the bridges' arrival did not finish");
      return;
    }
  } catch (const emu::BugCheckError& e) {
    NoteBugCheck(e.report, e.code, e.params[0]);
    return;
  }
  for (unsigned com = 1; com <= ports; ++com) {
    if (Pdo(com)->AttachedDevice == nullptr) {
      Fail("the driver did not start on COM" + std::to_string(com));
      return;
    }
  }
  alive_ = true;
}

Rig::~Rig() {
  // A machine stopped by a bug check is left as it is; its contexts are discarded with it.
  plugs_.clear();
  host_.reset();
  chips_.clear();
  machine_.reset();
}

void Rig::PlugBridge(unsigned com) {
  emu::zm470::Config chip;
  chip.serialNumber = "TW" + std::to_string(com) + "-" + std::to_string(chips_.size());
  chips_.push_back(std::make_unique<emu::zm470::Zm470>(chip));
  emu::usb::UsbPort& port = host_->Plug(*chips_.back());
  machine_->registry().SetString(machine_->io().DeviceParametersKeyPath(port.Pdo()), u"PortName",
                                 ComName(com));
  plugs_.push_back(std::make_unique<emu::line::LoopbackPlug>(emu::line::Clock::Kernel(), false));
  chips_.back()->AttachLine(plugs_.back().get());
  current_[com - 1] = &port;
}

void Rig::Fail(const std::string& reason) {
  if (result_.failures.size() < 8) result_.failures.push_back(reason);
}

PDEVICE_OBJECT Rig::Pdo(unsigned com) const {
  emu::usb::UsbPort* port = Bus(com);
  return port != nullptr ? port->Pdo() : nullptr;
}

emu::usb::UsbPort* Rig::Bus(unsigned com) const {
  return com >= 1 && com <= ports_ ? current_[com - 1] : nullptr;
}

void Rig::NoteBugCheck(const std::string& report, unsigned long code, uintptr_t param1) {
  alive_ = false;
  // The whole report (trace tail included) for whoever replays the run.
  if (std::getenv("TARNWIRE_BUGCHECK_REPORT") != nullptr) std::fprintf(stderr, "%s\n", report.c_str());
  if (code == kVerifierViolation && param1 == kPoolLeftAtUnload) {
    ++result_.counters.leaks;
    Fail("the driver left pool behind at its unload: " + Headline(report));
  } else {
    ++result_.counters.bugChecks;
    Fail("bug check: " + Headline(report));
  }
}

bool Rig::Together(const std::vector<std::function<void()>>& bodies) {
  if (!alive_) return false;
  emu::Kernel& k = machine_->kernel();
  try {
    std::vector<emu::Kernel::ContextId> ids;
    for (const auto& body : bodies) ids.push_back(k.StartApplicationThread("fundamentals", body));
    const bool done = k.RunUntil([&] {
      for (emu::Kernel::ContextId id : ids)
        if (!k.ContextFinished(id)) return false;
      return true;
    });
    if (!done) {
      Fail("the machine ran out of work with application threads still waiting:\n" + k.DescribeContexts());
      alive_ = false;
    }
    return done;
  } catch (const emu::BugCheckError& e) {
    NoteBugCheck(e.report, e.code, e.params[0]);
    return false;
  }
}

void Rig::PullOut(unsigned com) {
  emu::usb::UsbPort* port = Bus(com);
  if (port == nullptr) return;
  current_[com - 1] = nullptr;
  machine_->kernel().ScheduleDeviceEvent(machine_->kernel().Now(), [port] { port->Unplug(); });
  // Let the event happen before the caller goes on.
  DelayMs(1);
}

bool Rig::PlugFresh(unsigned com, unsigned limitMs) {
  bool plugged = false;
  machine_->kernel().ScheduleDeviceEvent(machine_->kernel().Now(), [this, com, &plugged] {
    PlugBridge(com);
    plugged = true;
  });
  while (!plugged) DelayMs(1);
  if (WaitForState(com, static_cast<int>(emu::PnpManager::State::Started), limitMs)) return true;
  Fail("COM" + std::to_string(com) + ": a fresh bridge did not start within " + std::to_string(limitMs) +
       " ms");
  return false;
}

bool Rig::WaitForState(unsigned com, int state, unsigned limitMs) {
  for (unsigned waited = 0;; ++waited) {
    PDEVICE_OBJECT pdo = Pdo(com);
    if (pdo != nullptr && static_cast<int>(machine_->pnp().StateOf(pdo)) == state) return true;
    if (waited >= limitMs) return false;
    DelayMs(1);
  }
}

void Rig::Finish() {
  if (finished_) return;
  finished_ = true;
  if (machine_ == nullptr) return;
  emu::Kernel& k = machine_->kernel();
  if (alive_) {
    try {
      for (unsigned com = 1; com <= ports_; ++com) {
        if (current_[com - 1] == nullptr) continue;
        current_[com - 1]->Unplug();
        current_[com - 1] = nullptr;
      }
      if (!machine_->pnp().RunUntilIdle()) Fail("the removal of the bridges did not finish");
      if (machine_->pnp().LoadedDriver(kServiceName) != nullptr)
        Fail("the driver stayed loaded after every bridge was pulled out");
      size_t blocks = 0;
      for (const auto& b : k.LivePoolBlocks()) blocks += b.tag == TARNWIRE_POOL_TAG;
      if (blocks != 0) {
        result_.counters.leaks += blocks;
        Fail("the driver left " + std::to_string(blocks) + " pool blocks behind");
      }
      size_t pending = 0;
      for (const auto& port : host_->Ports()) pending += port->PendingTransfers();
      if (pending != 0) Fail(std::to_string(pending) + " USB requests were never completed");
    } catch (const emu::BugCheckError& e) {
      NoteBugCheck(e.report, e.code, e.params[0]);
    }
  }
  // The clock counts 100 ns units.
  result_.counters.virtualNs += static_cast<uint64_t>(k.Now()) * (1000000000 / emu::kSecond);
}

}  // namespace tarnwire_fundamentals
