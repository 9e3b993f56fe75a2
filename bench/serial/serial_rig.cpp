#include "serial_rig.h"

#include <algorithm>
#include <atomic>

#include "driver/driver_globals.h"
#include "rx/receive_flow.h"
#include "usb/line_format.h"

namespace serial_rig {

namespace {

constexpr std::u16string_view kServiceName = u"tarnwire";
constexpr std::u16string_view kBridgeHardwareId = u"USB\\VID_0A5D&PID_0023";
constexpr unsigned kFirstPortNumber = 8;
constexpr uint8_t kXon = 0x11;
constexpr uint8_t kXoff = 0x13;
constexpr size_t kResyncAnchor = 8;     // bytes that must agree to take up the stream again
constexpr size_t kResyncWindow = 4096;  // how far ahead in the sent bytes a gap is looked for

void Delay(emu::VirtualTime duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  (VOID) KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

ULONG ReadFlags(const ULONG* word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }

// Whether sent[i..] and received[k..] agree on the next kResyncAnchor bytes (or up to the end).
bool Agree(const std::vector<uint8_t>& sent, size_t i, const std::vector<uint8_t>& received, size_t k) {
  const size_t n = std::min({kResyncAnchor, sent.size() - i, received.size() - k});
  return n > 0 && std::equal(received.begin() + k, received.begin() + k + n, sent.begin() + i);
}

}  // namespace

const char* FlowName(Flow flow) {
  switch (flow) {
    case Flow::RtsCts:
      return "RTS/CTS";
    case Flow::XonXoff:
      return "XON/XOFF";
    default:
      return "none";
  }
}

SERIAL_TIMEOUTS ReturnOnFirstByte(ULONG constantMs) {
  SERIAL_TIMEOUTS t{};
  t.ReadIntervalTimeout = MAXULONG;
  t.ReadTotalTimeoutMultiplier = MAXULONG;
  t.ReadTotalTimeoutConstant = constantMs;
  return t;
}

Delivery CompareDelivery(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& received) {
  Delivery d;
  size_t i = 0;
  size_t k = 0;
  while (i < sent.size() && k < received.size()) {
    if (sent[i] == received[k]) {
      ++d.matched;
      ++i;
      ++k;
      continue;
    }
    // A gap in what arrived: the stream goes on further ahead in what was sent.
    size_t skip = 1;
    const size_t window = std::min(kResyncWindow, sent.size() - i - 1);
    while (skip <= window && !Agree(sent, i + skip, received, k)) ++skip;
    if (skip <= window) {
      d.lost += skip;
      i += skip;
    } else {
      ++d.garbled;
      ++k;
    }
  }
  d.lost += sent.size() - i;
  d.garbled += received.size() - k;
  return d;
}

std::vector<uint8_t> Payload(size_t n, uint32_t seed, uint8_t mask) {
  std::vector<uint8_t> bytes;
  bytes.reserve(n);
  uint32_t x = seed * 2654435761u + 1;
  while (bytes.size() < n) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    const auto b = static_cast<uint8_t>((x >> 24) & mask);
    if (b != kXon && b != kXoff) bytes.push_back(b);
  }
  return bytes;
}

SerialRig::SerialRig(FarEnd farEnd, emu::KernelConfig config, emu::zm470::Config chip)
    : farEnd_(farEnd), chipConfig_(std::move(chip)), machine_(std::make_unique<emu::Machine>(config)) {
  machine_->kernel().SetTraceEnabled(false);
  machine_->pnp().RegisterDriver(kBridgeHardwareId, kServiceName, DriverEntry);
  host_ = std::make_unique<emu::usb::UsbHost>(*machine_);
  Start(a_);
  if (farEnd_ == FarEnd::NullModem) {
    Start(b_);
    cable_ = std::make_unique<emu::line::NullModemCable>(emu::line::Clock::Kernel());
    cable_->Record(true);
    if (a_.chip) a_.chip->AttachLine(&cable_->SideA());
    if (b_.chip) b_.chip->AttachLine(&cable_->SideB());
    b_.lineSide = 1;
  } else {
    plug_ = std::make_unique<emu::line::LoopbackPlug>(emu::line::Clock::Kernel());
    plug_->Record(true);
    if (a_.chip) a_.chip->AttachLine(plug_.get());
  }
  for (Bridge* b : {&a_, &b_}) OpenPort(*b);
}

void SerialRig::OpenPort(Bridge& bridge) {
  if (!error_.empty() || bridge.port == nullptr) return;
  const UNICODE_STRING& link = bridge.ext()->DosLinkName;
  const std::u16string name(link.Buffer, link.Length / sizeof(WCHAR));
  const NTSTATUS status = machine_->Open(name, &bridge.file);
  if (status != STATUS_SUCCESS) error_ = "opening the port failed with status " + std::to_string(status);
}

Bridge* SerialRig::AddLoopbackPort() {
  if (!error_.empty()) return nullptr;
  // Kept even when it fails: the bus may still hold the chip.
  Bridge& bridge = *extra_.emplace_back(std::make_unique<Bridge>());
  Start(bridge);
  if (!error_.empty()) return nullptr;
  auto& plug =
      extraPlugs_.emplace_back(std::make_unique<emu::line::LoopbackPlug>(emu::line::Clock::Kernel()));
  bridge.chip->AttachLine(plug.get());
  OpenPort(bridge);
  return error_.empty() ? &bridge : nullptr;
}

std::vector<Bridge*> SerialRig::Bridges() {
  std::vector<Bridge*> all{&a_, &b_};
  for (auto& b : extra_) all.push_back(b.get());
  return all;
}

SerialRig::~SerialRig() {
  if (shutDown_) return;
  try {
    (void)Shutdown();
  } catch (...) {
    // A bug check while tearing down was reported by the run that caused it.
  }
}

void SerialRig::Start(Bridge& bridge) {
  if (!error_.empty()) return;
  bridge.chip = std::make_unique<emu::zm470::Zm470>(chipConfig_);
  bridge.usb = &host_->Plug(*bridge.chip);
  // Each bridge is named in its hardware key, as a Ports class installer would name it, so that
  // a machine may hold more bridges than the default names (COM8 to COM21) cover.
  const std::string name = "COM" + std::to_string(kFirstPortNumber + bridgesPlugged_++);
  machine_->registry().SetString(machine_->io().DeviceParametersKeyPath(bridge.usb->Pdo()), u"PortName",
                                 std::u16string(name.begin(), name.end()));
  if (!machine_->pnp().RunUntilIdle()) {
    error_ = "the bridge's arrival did not finish";
    return;
  }
  bridge.port = bridge.usb->Pdo()->AttachedDevice;
  if (bridge.port == nullptr) error_ = "plugging the bridge created no port";
}

NTSTATUS SerialRig::Apply(Bridge& bridge, const PortSettings& s) {
  NTSTATUS status = STATUS_PENDING;
  machine_->RunInSystemThread("settings", [&] {
    PPORT_EXTENSION port = bridge.ext();
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    port->BaudRate = s.baud;
    port->DataMask = s.sevenEven ? 0x7F : 0xFF;
    port->Parity = s.sevenEven ? EVEN_PARITY : NO_PARITY;
    port->StopBits = STOP_BIT_1;
    port->Timeouts = s.timeouts;
    SERIAL_HANDFLOW flow = port->HandFlow;
    KeReleaseSpinLock(&port->ControlLock, irql);
    status = ProgramBaudRate(bridge.port);
    if (NT_SUCCESS(status)) status = ProgramLineFormat(bridge.port);
    if (!NT_SUCCESS(status)) return;

    const bool hardware = s.flow == Flow::RtsCts;
    const bool software = s.flow == Flow::XonXoff;
    flow.ControlHandShake &= ~(ULONG)(SERIAL_DTR_MASK | SERIAL_OUT_HANDSHAKEMASK);
    flow.ControlHandShake |= SERIAL_DTR_CONTROL | (hardware ? SERIAL_CTS_HANDSHAKE : 0);
    flow.FlowReplace &= ~(ULONG)(SERIAL_RTS_MASK | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE);
    flow.FlowReplace |= (hardware ? SERIAL_RTS_HANDSHAKE : SERIAL_RTS_CONTROL) |
                        (software ? SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE : 0);
    ApplyHandFlow(bridge.port, &flow);
    // The status monitor takes up the new output handshake.
    KeSetEvent(&port->StatusEvent, IO_NO_INCREMENT, FALSE);
  });
  return status;
}

std::vector<StreamResult> SerialRig::Run(std::vector<Stream>& streams, emu::VirtualTime limit,
                                         bool watchHolds) {
  std::vector<StreamResult> results(streams.size());
  emu::Kernel& k = kernel();
  emu::Machine& m = *machine_;
  auto running = std::make_shared<std::atomic<int>>(0);
  std::vector<emu::Kernel::ContextId> threads;

  for (size_t s = 0; s < streams.size(); ++s) {
    Stream& st = streams[s];
    StreamResult& r = results[s];
    r.start = k.Now();
    running->fetch_add(2);
    threads.push_back(k.StartApplicationThread("writer", [&m, &st, &r, running] {
      size_t offset = 0;
      NTSTATUS status = STATUS_SUCCESS;
      while (offset < st.data.size()) {
        const ULONG n = static_cast<ULONG>(std::min<size_t>(st.writeChunk, st.data.size() - offset));
        ULONG_PTR done = 0;
        status = m.Write(st.from->file, st.data.data() + offset, n, &done);
        offset += done;
        if (status != STATUS_SUCCESS || done == 0) break;
      }
      r.written = offset;
      r.writeStatus = status;
      r.writesDone = emu::Kernel::Current().Now();
      running->fetch_sub(1);
    }));
    threads.push_back(k.StartApplicationThread("reader", [&m, &st, &r, running] {
      std::vector<uint8_t> buffer(st.readChunk);
      uint32_t idle = 0;
      NTSTATUS status = STATUS_SUCCESS;
      while (r.received.size() < st.data.size() && idle < st.idleReadsToGiveUp) {
        const ULONG n =
            static_cast<ULONG>(std::min<size_t>(st.readChunk, st.data.size() - r.received.size()));
        ULONG_PTR got = 0;
        status = m.Read(st.to->file, buffer.data(), n, &got);
        if (!NT_SUCCESS(status)) break;
        if (got == 0) {
          ++idle;
          continue;
        }
        idle = 0;
        r.received.insert(r.received.end(), buffer.begin(),
                          buffer.begin() + static_cast<std::ptrdiff_t>(got));
        r.reads.emplace_back(emu::Kernel::Current().Now(), r.received.size());
        if (st.readPause > 0) Delay(st.readPause);
      }
      r.readStatus = status;
      running->fetch_sub(1);
    }));
  }
  if (watchHolds) {
    threads.push_back(k.StartApplicationThread("watcher", [&streams, &results, running] {
      while (running->load() > 0) {
        for (size_t s = 0; s < streams.size(); ++s) {
          results[s].receiveHoldSeen |= ReadFlags(&streams[s].to->ext()->RxHoldFlags) != 0;
          results[s].transmitHoldSeen |= ReadFlags(&streams[s].from->ext()->TxHoldFlags) != 0;
        }
        Delay(emu::kMillisecond);
      }
    }));
  }
  const emu::VirtualTime end = k.Now() + limit;
  // The counter drops to 0 as the last stream thread ends; only then are the threads looked up.
  k.RunUntil(
      [&] {
        return running->load() == 0 &&
               std::all_of(threads.begin(), threads.end(),
                           [&](emu::Kernel::ContextId id) { return k.ContextFinished(id); });
      },
      end);
  return results;
}

void SerialRig::RecordLine(bool on) {
  if (cable_) cable_->Record(on);
  if (plug_) plug_->Record(on);
}

const std::vector<emu::line::LineEvent>& SerialRig::LineEvents() const {
  return cable_ ? cable_->Events() : plug_->Events();
}

std::vector<emu::VirtualTime> SerialRig::CharacterEnds(int side) const {
  std::vector<emu::VirtualTime> ends;
  for (const auto& e : LineEvents()) {
    if (e.kind != emu::line::LineEvent::Kind::Character || e.side != side) continue;
    if (e.character.data != kXon && e.character.data != kXoff) ends.push_back(e.character.end);
  }
  return ends;
}

std::string SerialRig::Shutdown() {
  shutDown_ = true;
  std::string problems;
  for (Bridge* b : Bridges()) {
    if (b->file == nullptr) continue;
    const NTSTATUS status = machine_->Close(b->file);
    b->file = nullptr;
    if (status != STATUS_SUCCESS)
      problems += "closing a port failed with status " + std::to_string(status) + "; ";
  }
  for (Bridge* b : Bridges()) {
    if (b->usb == nullptr) continue;
    b->usb->Unplug();
    b->usb = nullptr;
    b->port = nullptr;
  }
  if (!machine_->pnp().RunUntilIdle()) problems += "the removal did not finish; ";
  if (machine_->pnp().LoadedDriver(kServiceName) != nullptr) problems += "the driver stayed loaded; ";
  size_t blocks = 0;
  for (const auto& b : kernel().LivePoolBlocks()) blocks += b.tag == TARNWIRE_POOL_TAG;
  if (blocks != 0) problems += std::to_string(blocks) + " pool blocks of the driver left; ";
  return problems;
}

}  // namespace serial_rig
