#include "win32/booted_machine.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <vector>

#include "driver/driver_globals.h"
#include "line/far_ends.h"
#include "line/pty_bridge.h"
#include "usbhost/usb_host.h"
#include "zm470/zm470.h"

namespace emu::win32 {

constexpr std::u16string_view kServiceName = u"tarnwire";
constexpr std::u16string_view kBridgeHardwareId = u"USB\\VID_0A5D&PID_0023";

// Everything of a booted machine, torn down in reverse: far ends, bus, chips, machine.
struct BootedRig {
  std::unique_ptr<Machine> machine;
  std::vector<std::unique_ptr<zm470::Zm470>> chips;  // in the order of the description
  std::unique_ptr<usb::UsbHost> host;
  std::vector<std::pair<unsigned, usb::UsbPort*>> ports;  // COM number, bus port (nullptr once unplugged)
  std::vector<std::unique_ptr<line::SerialLine>> plugs;
  std::vector<std::unique_ptr<line::NullModemCable>> cables;
  std::vector<std::pair<unsigned, std::string>> ptys;  // COM number, slave path
};

namespace {

std::atomic<BootedMachine*> g_serving{nullptr};
thread_local bool t_machineThread = false;

std::u16string ComName(unsigned com) {
  std::u16string name = u"COM";
  for (char c : std::to_string(com)) name += static_cast<char16_t>(c);
  return name;
}

// Plugs the bridges, lets Plug and Play start the driver on each and joins their far ends.
std::unique_ptr<BootedRig> Boot(const MachineDescription& description, const BootOptions& options,
                                std::string* error) {
  KernelConfig config;
  config.seed = description.seed;
  config.realTime = description.realTime;
  config.processors =
      description.multiprocessor ? ProcessorModel::Multiprocessor : ProcessorModel::Uniprocessor;
  auto rig = std::make_unique<BootedRig>();
  rig->machine = std::make_unique<Machine>(config);
  Machine& m = *rig->machine;
  m.kernel().SetTraceEnabled(options.trace);
  m.pnp().RegisterDriver(kBridgeHardwareId, kServiceName, DriverEntry);
  rig->host = std::make_unique<usb::UsbHost>(m);
  if (!options.capturePath.empty() && !rig->host->StartCapture(options.capturePath, error)) {
    *error = "cannot write the capture: " + *error;
    return nullptr;
  }
  std::vector<usb::UsbPort*> ports;
  for (const BridgeDescription& b : description.bridges) {
    zm470::Config chip;
    chip.revision = static_cast<uint8_t>(b.revision < 0 ? description.revision : b.revision);
    chip.serialNumber = "TW" + std::to_string(b.com);
    rig->chips.push_back(std::make_unique<zm470::Zm470>(chip));
    usb::UsbPort& port = rig->host->Plug(*rig->chips.back());
    m.registry().SetString(m.io().DeviceParametersKeyPath(port.Pdo()), u"PortName", ComName(b.com));
    ports.push_back(&port);
    rig->ports.emplace_back(b.com, &port);
  }
  if (!m.pnp().RunUntilIdle()) {
    *error = "the bridges' arrival did not finish";
    return nullptr;
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    if (ports[i]->Pdo()->AttachedDevice == nullptr) {
      *error = "the driver did not start on COM" + std::to_string(description.bridges[i].com);
      return nullptr;
    }
  }
  for (size_t i = 0; i < description.bridges.size(); ++i) {
    const BridgeDescription& b = description.bridges[i];
    zm470::Zm470& chip = *rig->chips[i];
    switch (b.farEnd) {
      case FarEnd::Loopback:
      case FarEnd::LoopbackRi:
        rig->plugs.push_back(
            std::make_unique<line::LoopbackPlug>(line::Clock::Kernel(), b.farEnd == FarEnd::LoopbackRi));
        chip.AttachLine(rig->plugs.back().get());
        break;
      case FarEnd::Pty: {
        auto pty = std::make_unique<line::PtyBridge>(m.kernel());
        rig->ptys.emplace_back(b.com, pty->SlavePath());
        chip.AttachLine(pty.get());
        rig->plugs.push_back(std::move(pty));
        break;
      }
      case FarEnd::NullModem:
        if (b.peer < b.com) break;  // joined from the other side
        for (size_t j = 0; j < description.bridges.size(); ++j) {
          if (description.bridges[j].com != b.peer) continue;
          rig->cables.push_back(std::make_unique<line::NullModemCable>(line::Clock::Kernel()));
          chip.AttachLine(&rig->cables.back()->SideA());
          rig->chips[j]->AttachLine(&rig->cables.back()->SideB());
        }
        break;
      case FarEnd::None:
        break;
    }
  }
  return rig;
}

}  // namespace

BootedMachine::BootedMachine(const MachineDescription& description, const BootOptions& options)
    : realTime_(description.realTime) {
  if (!realTime_) {
    try {
      rig_ = Boot(description, options, &error_);
    } catch (const std::exception& e) {
      error_ = e.what();
    }
    return;
  }
  thread_ = std::thread([this, description, options] { Serve(description, options); });
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return booted_; });
  if (!error_.empty()) {
    lock.unlock();
    thread_.join();
    return;
  }
  g_serving = this;
}

BootedMachine::~BootedMachine() { Stop(); }

Machine* BootedMachine::machine() { return rig_ ? rig_->machine.get() : nullptr; }

std::string BootedMachine::PtyPath(unsigned com) const {
  if (!rig_) return "";
  for (const auto& [n, path] : rig_->ptys)
    if (n == com) return path;
  return "";
}

PDEVICE_OBJECT BootedMachine::PortDevice(unsigned com) const {
  if (!rig_) return nullptr;
  for (const auto& [n, port] : rig_->ports)
    if (n == com && port != nullptr) return port->Pdo()->AttachedDevice;
  return nullptr;
}

int BootedMachine::ChipRevision(unsigned com) const {
  if (!rig_) return -1;
  for (size_t i = 0; i < rig_->ports.size(); ++i)
    if (rig_->ports[i].first == com) return rig_->chips[i]->GetConfig().revision;
  return -1;
}

usb::UsbHost* BootedMachine::Host() { return rig_ ? rig_->host.get() : nullptr; }

bool BootedMachine::RunTogether(const std::vector<std::function<void()>>& bodies) {
  Machine* m = machine();
  if (m == nullptr || realTime_) return false;
  Kernel& k = m->kernel();
  std::vector<Kernel::ContextId> ids;
  for (const auto& body : bodies) ids.push_back(k.StartApplicationThread("application", body));
  return k.RunUntil([&] {
    for (Kernel::ContextId id : ids)
      if (!k.ContextFinished(id)) return false;
    return true;
  });
}

bool BootedMachine::Unplug(unsigned com) {
  if (!rig_ || realTime_) return false;
  for (auto& [n, port] : rig_->ports) {
    if (n != com || port == nullptr) continue;
    port->Unplug();
    port = nullptr;
    return rig_->machine->pnp().RunUntilIdle();
  }
  return false;
}

// The machine's thread: boots, serves posted calls until asked to stop, then takes the machine
// down on the thread that built it.
void BootedMachine::Serve(const MachineDescription& description, const BootOptions& options) {
  t_machineThread = true;
  std::unique_ptr<BootedRig> rig;
  std::string error;
  try {
    rig = Boot(description, options, &error);
  } catch (const std::exception& e) {
    error = e.what();
  }
  {
    std::lock_guard guard(mutex_);
    rig_ = std::move(rig);
    error_ = rig_ ? "" : error;
    booted_ = true;
  }
  changed_.notify_all();
  if (!rig_) return;
  try {
    rig_->machine->kernel().RunUntil([this] { return stopRequested_; });
  } catch (const BugCheckError& e) {
    std::fprintf(stderr, "tarnwire-win32: the machine stopped: %s\n", e.report.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarnwire-win32: the machine stopped: %s\n", e.what());
  }
  FailCalls();
  std::lock_guard guard(mutex_);
  if (!keep_) rig_.reset();
}

void BootedMachine::Finish(const std::shared_ptr<Call>& call, bool ok) {
  {
    std::lock_guard guard(mutex_);
    call->done = true;
    call->ok = ok;
    calls_.erase(call);
  }
  changed_.notify_all();
}

void BootedMachine::FailCalls() {
  {
    std::lock_guard guard(mutex_);
    stopped_ = true;
    // A call still in the machine keeps it: its thread holds the caller's state.
    if (!calls_.empty()) keep_ = true;
    for (const auto& call : calls_) call->done = true;
    calls_.clear();
  }
  changed_.notify_all();
}

bool BootedMachine::Run(const std::function<void()>& fn) {
  Machine* m = machine();
  if (m == nullptr) return false;
  if (!realTime_) return m->RunInApplicationThread("win32 call", fn);
  Kernel& k = m->kernel();
  if (t_machineThread) {
    if (!k.InContext()) return false;
    fn();
    return true;
  }
  auto call = std::make_shared<Call>();
  std::unique_lock lock(mutex_);
  if (stopped_) return false;
  calls_.insert(call);
  k.PostFromAnyThread([this, &k, call, &fn] {
    k.StartApplicationThread("win32 call", [this, call, &fn] {
      fn();
      Finish(call, true);
    });
  });
  changed_.wait(lock, [&] { return call->done; });
  return call->ok;
}

void BootedMachine::Stop(bool keep) {
  BootedMachine* self = this;
  g_serving.compare_exchange_strong(self, nullptr);
  if (!thread_.joinable()) {
    if (keep) (void)rig_.release();
    return;
  }
  {
    std::lock_guard guard(mutex_);
    keep_ = keep_ || keep;
    if (!stopped_) rig_->machine->kernel().PostFromAnyThread([this] { stopRequested_ = true; });
  }
  thread_.join();
  if (keep_) (void)rig_.release();
}

BootedMachine* BootedMachine::Serving() { return g_serving.load(); }

bool BootedMachine::OnMachineThread() { return t_machineThread; }

}  // namespace emu::win32
