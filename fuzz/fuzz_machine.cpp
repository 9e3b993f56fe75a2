#include "fuzz_machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "driver/driver_globals.h"
#include "driver/port_device.h"
#include "driver/port_extension.h"
#include "nt/kernel.h"

namespace tarnwire::fuzz {

namespace {
constexpr std::u16string_view kServiceName = u"tarnwire";
constexpr std::u16string_view kBridgeHardwareId = u"USB\\VID_0A5D&PID_0023";

emu::KernelConfig FuzzKernel() {
  emu::KernelConfig config;
  // Touching paged pool at DISPATCH_LEVEL faults, as on Windows.
  config.pagedPoolFaultsAtDispatch = true;
  return config;
}

PDEVICE_OBJECT PortOf(PDEVICE_OBJECT pdo) {
  for (PDEVICE_OBJECT d : DeviceTable) {
    if (d != nullptr && PortExtension(d)->PhysicalDeviceObject == pdo) return d;
  }
  return nullptr;
}
}  // namespace

SeedRecorder* g_seedRecorder = nullptr;

SplitInput Split(const uint8_t* data, size_t size) {
  ByteScript script(std::span<const uint8_t>(data, size));
  const size_t deviceLength = script.U16();
  const size_t header = script.Consumed();
  const size_t device = std::min(deviceLength, size - header);
  return {std::span<const uint8_t>(data + header, device),
          std::span<const uint8_t>(data + header + device, size - header - device)};
}

std::vector<uint8_t> Join(std::span<const uint8_t> device, std::span<const uint8_t> requests) {
  std::vector<uint8_t> out{static_cast<uint8_t>(device.size()), static_cast<uint8_t>(device.size() >> 8)};
  out.insert(out.end(), device.begin(), device.end());
  out.insert(out.end(), requests.begin(), requests.end());
  return out;
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "\n==== TARNWIRE FUZZ FINDING ====\n%s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

void Checked(const std::function<void()>& body) {
  try {
    body();
  } catch (const emu::BugCheckError& e) {
    Fail("bug check:\n" + e.report);
  } catch (const std::exception& e) {
    Fail(std::string("exception out of the machine: ") + e.what());
  }
}

FuzzMachine::FuzzMachine(std::span<const uint8_t> deviceScript, uint32_t hostileChannels)
    : machine_(FuzzKernel()), bridge_(deviceScript, hostileChannels), host_(machine_) {
  machine_.pnp().RegisterDriver(kBridgeHardwareId, kServiceName, DriverEntry);
  if (g_seedRecorder != nullptr) bridge_.RecordInto(&recording_);
}

FuzzMachine::~FuzzMachine() {
  if (!finished_) Finish();
}

bool FuzzMachine::Open() {
  bridge_.Chip().AttachLine(&peer_);
  usbPort_ = &host_.Plug(bridge_);
  bridge_.Arm([port = usbPort_] { port->Unplug(); });
  if (!machine_.pnp().RunUntilIdle()) Fail("the bridge's arrival never finished");
  PDEVICE_OBJECT port = PortOf(usbPort_->Pdo());
  if (port == nullptr || !usbPort_->Connected()) return false;
  const UNICODE_STRING& link = PortExtension(port)->DosLinkName;
  if (link.Buffer == nullptr || link.Length == 0) return false;
  const std::u16string name(link.Buffer, link.Length / sizeof(WCHAR));
  if (!NT_SUCCESS(machine_.Open(name, &file_))) file_ = nullptr;
  opened_ = file_ != nullptr;
  return opened_;
}

bool FuzzMachine::RunUntilDone(const Pending& p, emu::VirtualTime limit) {
  emu::Kernel& k = machine_.kernel();
  return k.RunUntil([&] { return p.Done(); }, k.Now() + limit);
}

NTSTATUS FuzzMachine::Send(emu::IoRequest request, std::vector<uint8_t> input, ULONG outputLength,
                           std::vector<uint8_t>* output, emu::VirtualTime limit) {
  if (file_ == nullptr) return STATUS_INVALID_HANDLE;
  Pending& p = pending_.emplace_back();
  p.input = std::move(input);
  p.output.assign(outputLength, 0xEE);
  p.iosb.Status = STATUS_PENDING;
  p.request = std::move(request);
  p.request.inputBuffer = p.input.empty() ? nullptr : p.input.data();
  p.request.inputLength = static_cast<ULONG>(p.input.size());
  p.request.outputBuffer = p.output.empty() ? nullptr : p.output.data();
  p.request.outputLength = outputLength;
  machine_.kernel().StartApplicationThread(
      "request", [this, &p] { machine_.io().StartRequest(file_, p.request, nullptr, &p.iosb); });
  if (!RunUntilDone(p, limit)) {
    machine_.kernel().StartApplicationThread("cancel", [this] { machine_.CancelIo(file_); });
    if (!RunUntilDone(p, limit)) return STATUS_PENDING;
  }
  if (p.iosb.Information > outputLength && p.request.majorFunction != IRP_MJ_WRITE)
    Fail("a request returned Information " + std::to_string(p.iosb.Information) + " beyond its " +
         std::to_string(outputLength) + "-byte output buffer (control code 0x" +
         std::to_string(p.request.ioControlCode) + ")");
  if (output != nullptr)
    output->assign(p.output.begin(), p.output.begin() + std::min<size_t>(p.iosb.Information, outputLength));
  return p.iosb.Status;
}

NTSTATUS FuzzMachine::Ioctl(ULONG code, std::vector<uint8_t> input, ULONG outputLength,
                            std::vector<uint8_t>* output, emu::VirtualTime limit) {
  emu::IoRequest r;
  r.majorFunction = IRP_MJ_DEVICE_CONTROL;
  r.ioControlCode = code;
  return Send(std::move(r), std::move(input), outputLength, output, limit);
}

NTSTATUS FuzzMachine::Write(std::vector<uint8_t> bytes, emu::VirtualTime limit) {
  emu::IoRequest r;
  r.majorFunction = IRP_MJ_WRITE;
  return Send(std::move(r), std::move(bytes), 0, nullptr, limit);
}

NTSTATUS FuzzMachine::Read(ULONG length, std::vector<uint8_t>* data, emu::VirtualTime limit) {
  emu::IoRequest r;
  r.majorFunction = IRP_MJ_READ;
  return Send(std::move(r), {}, length, data, limit);
}

size_t FuzzMachine::Urbs(uint8_t endpoint) const {
  return usbPort_ == nullptr ? 0 : usbPort_->CountUrbs(emu::usb::UrbFilter::Endpoint(endpoint));
}

void FuzzMachine::Finish() {
  finished_ = true;
  if (file_ != nullptr) {
    (void)machine_.Close(file_);
    file_ = nullptr;
  }
  if (usbPort_ != nullptr && usbPort_->Connected()) usbPort_->Unplug();
  if (!machine_.pnp().RunUntilIdle()) Fail("the bridge's removal never finished");
  for (size_t i = 0; i < pending_.size(); ++i) {
    if (!pending_[i].Done())
      Fail("request " + std::to_string(i) + " (major " + std::to_string(pending_[i].request.majorFunction) +
           ", control code " + std::to_string(pending_[i].request.ioControlCode) +
           ") never completed, not even after close and removal");
  }
  if (usbPort_ != nullptr && machine_.pnp().LoadedDriver(kServiceName) != nullptr)
    Fail("the driver stayed loaded after its only bridge was removed");
  for (const auto& b : machine_.kernel().LivePoolBlocks()) {
    if (b.tag == TARNWIRE_POOL_TAG)
      Fail("the driver left pool behind (" + std::to_string(b.size) + " bytes)");
  }
  if (std::getenv("TARNWIRE_FUZZ_VERBOSE") != nullptr) {
    size_t failed = 0;
    for (const Pending& p : pending_) failed += !NT_SUCCESS(p.iosb.Status);
    std::fprintf(stderr,
                 "  port %s, %zu requests (%zu failed), %llu hostile answers%s, device script %zu of %zu "
                 "bytes used, URBs: %zu control, %zu interrupt, %zu bulk in\n",
                 opened_ ? "opened" : "never opened", pending_.size(), failed,
                 static_cast<unsigned long long>(bridge_.HostileAnswers()),
                 bridge_.Disconnected() ? ", disconnected" : "", bridge_.Script().Consumed(),
                 bridge_.Script().Consumed() + bridge_.Script().Remaining(), Urbs(0x00) + Urbs(0x80),
                 Urbs(0x81), Urbs(0x82));
  }
  if (g_seedRecorder != nullptr) g_seedRecorder->Recorded(std::move(recording_));
}

}  // namespace tarnwire::fuzz
