#include "line/pty_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace emu::line {

namespace {

[[noreturn]] void Fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

std::string Line(const char* name, bool on) { return std::string(name) + (on ? " 1\n" : " 0\n"); }

}  // namespace

PtyBridge::PtyBridge(Kernel& kernel, Options options)
    : kernel_(kernel),
      options_(std::move(options)),
      inputs_(options_.inputs),
      sender_(
          Clock::Kernel(),
          [this](const LineCharacter& c) {
            --waiting_;
            ++counters_.fromPty;
            if (end_) end_->OnReceive(c);
          },
          [this](bool on) {
            if (end_) end_->OnBreak(on);
          }) {
  try {
    Open();
  } catch (...) {
    CloseAll();
    throw;
  }
  reader_ = std::thread([this] { Reader(); });
}

void PtyBridge::Open() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  char path[128];
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, path, sizeof path) != 0) {
    Fail("pty");
  }
  slavePath_ = path;
  slave_ = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0) Fail(path);
  MakeRawTty(slave_, options_.initialBaud);
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) Fail("eventfd");
  if (options_.controlSocket.empty()) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (options_.controlSocket.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    Fail("control socket path");
  }
  std::strcpy(address.sun_path, options_.controlSocket.c_str());
  unlink(address.sun_path);
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 1) != 0) {
    Fail("control socket");
  }
}

void PtyBridge::CloseAll() {
  for (int* fd : {&client_, &listener_, &wake_, &slave_, &master_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (!options_.controlSocket.empty()) unlink(options_.controlSocket.c_str());
}

PtyBridge::~PtyBridge() {
  if (reader_.joinable()) {
    const uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    reader_.join();
  }
  CloseAll();
  if (end_) end_->OnUnplugged();
  end_ = nullptr;
}

void PtyBridge::Post(std::function<void()> fn) { kernel_.PostFromAnyThread(guard_.Guard(std::move(fn))); }

// --- The reader thread ----------------------------------------------------------------------------

void PtyBridge::Reader() {
  for (;;) {
    pollfd fds[3] = {{wake_, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
    // Full send queue: leave the bytes in the pty (its writer blocks) and look again soon.
    if (waiting_ < options_.sendQueueLimit) fds[1].fd = master_;
    {
      std::lock_guard<std::mutex> lock(clientMutex_);
      fds[2].fd = client_ >= 0 ? client_ : listener_;
    }
    if (poll(fds, 3, 10) < 0 && errno != EINTR) return;
    if (fds[0].revents) return;
    if (fds[2].revents) ReadControl();  // first: a FORMAT applies to the data written after it
    if (fds[1].revents & POLLIN) ReadPty();
  }
}

void PtyBridge::ReadPty() {
  uint8_t buf[512];
  const size_t room = std::min(sizeof buf, options_.sendQueueLimit - waiting_);
  const ssize_t n = read(master_, buf, room);
  if (n <= 0) return;
  // The settings in force when the bytes are read are the ones they are sent with.
  const TtySettings settings = ReadTtySettings(slave_);
  waiting_ += static_cast<size_t>(n);
  Post([this, settings, bytes = std::vector<uint8_t>(buf, buf + n)] {
    const Frame frame = PeerFrame(settings);
    for (uint8_t b : bytes) sender_.Queue(LineCharacter::Of(b, frame));
  });
}

void PtyBridge::ReadControl() {
  std::unique_lock<std::mutex> lock(clientMutex_);
  if (client_ < 0) {
    client_ = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client_ >= 0) Post([this] { SendState(); });
    return;
  }
  char buf[256];
  const ssize_t n = read(client_, buf, sizeof buf);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    close(client_);
    client_ = -1;
    controlInput_.clear();
    return;
  }
  lock.unlock();
  if (n < 0) return;
  controlInput_.append(buf, static_cast<size_t>(n));
  for (size_t end; (end = controlInput_.find('\n')) != std::string::npos;) {
    std::string line = controlInput_.substr(0, end);
    controlInput_.erase(0, end + 1);
    Post([this, line] { Control(line); });
  }
}

// --- In the machine ---------------------------------------------------------------------------------

Frame PtyBridge::PeerFrame(const TtySettings& s) const {
  Frame f = s.frame;
  f.dataBits = dataBits_;
  f.parity = parity_;
  if (f.stopBits != StopBits::One) f.stopBits = f.dataBits == 5 ? StopBits::OnePointFive : StopBits::Two;
  return f;
}

void PtyBridge::Control(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return;
  const std::string_view name = line.substr(0, space), value = line.substr(space + 1);
  if (name == "FORMAT") {
    static constexpr std::string_view kParity = "NOEMS";  // in the order of enum Parity
    if (value.size() != 2 || value[0] < '5' || value[0] > '8' || kParity.find(value[1]) == kParity.npos)
      return;
    dataBits_ = static_cast<uint8_t>(value[0] - '0');
    parity_ = static_cast<Parity>(kParity.find(value[1]));
    return;
  }
  if (value != "0" && value != "1") return;
  const bool on = value == "1";
  if (name == "BREAK") {
    sender_.Break(on);
    return;
  }
  ModemInputs in = inputs_;
  if (name == "CTS") {
    in.cts = on;
  } else if (name == "DSR") {
    in.dsr = on;
  } else if (name == "DCD") {
    in.dcd = on;
  } else if (name == "RI") {
    in.ri = on;
  }
  if (in == inputs_) return;
  inputs_ = in;
  if (end_) end_->OnModemInputs(inputs_);
}

void PtyBridge::Transmit(const LineCharacter& c) {
  const TtySettings s = ReadTtySettings(slave_);
  const std::optional<ReceivedCharacter> r = Sample(c, PeerFrame(s));
  if (!r) return;
  ++counters_.toPty;
  if (!r->framingError && !r->parityError) {
    WritePty(r->data);
    return;
  }
  ++counters_.garbled;
  if (!s.checkInput) {
    WritePty(r->data);
  } else if (!s.ignoreErrors) {
    WritePty(0x00);  // also with PARMRK: its marks cannot pass the master (see the header)
  }
}

void PtyBridge::SetBreak(bool on) {
  if (on == endBreak_) return;
  endBreak_ = on;
  SendControl(Line("BREAK", on));
  if (!on) return;
  const TtySettings s = ReadTtySettings(slave_);
  if (!s.ignoreBreak && !s.breakInterrupts) WritePty(0x00);
}

void PtyBridge::SetModemOutputs(const ModemOutputs& outputs) {
  std::string text;
  if (outputs.dtr != outputs_.dtr) text += Line("DTR", outputs.dtr);
  if (outputs.rts != outputs_.rts) text += Line("RTS", outputs.rts);
  if (outputs.out1 != outputs_.out1) text += Line("OUT1", outputs.out1);
  outputs_ = outputs;
  if (!text.empty()) SendControl(text);
}

void PtyBridge::WritePty(uint8_t byte) {
  if (write(master_, &byte, 1) != 1) ++counters_.dropped;
}

void PtyBridge::SendState() {
  SendControl(Line("DTR", outputs_.dtr) + Line("RTS", outputs_.rts) + Line("OUT1", outputs_.out1) +
              Line("BREAK", endBreak_));
}

void PtyBridge::SendControl(const std::string& text) {
  std::lock_guard<std::mutex> lock(clientMutex_);
  // A client that does not read loses lines rather than stall the machine.
  if (client_ >= 0) (void)!send(client_, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace emu::line
