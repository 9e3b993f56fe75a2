// Standard input is written to the port as it comes (a terminal is switched to raw mode so that
// every key goes out at once); a reader thread copies what the port receives to standard output.
// Ctrl-] or the end of input ends the session once what was written has left the port.
#include "term.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "usbhost/usb_capture.h"
#include "usbhost/usb_host.h"
#include "win32/machine_description.h"

namespace tarnwire_tool {
namespace {

constexpr char kEscape = 0x1D;  // Ctrl-]

// Raw mode on a terminal for as long as it lives; nothing on a pipe or file.
class RawInput {
 public:
  RawInput() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    cfmakeraw(&raw);
    raw.c_oflag |= OPOST | ONLCR;  // keep the usual line ends on output
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawInput() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }

 private:
  termios saved_{};
  bool active_ = false;
};

bool WriteAll(HANDLE h, const char* data, size_t length) {
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bool ok = true;
  while (ok && length > 0) {
    DWORD n = 0;
    BOOL started = WriteFile(h, data, static_cast<DWORD>(length), nullptr, &ov);
    ok = (started || GetLastError() == ERROR_IO_PENDING) && GetOverlappedResult(h, &ov, &n, TRUE);
    data += n;
    length -= n;
  }
  CloseHandle(ov.hEvent);
  return ok;
}

// Copies what the port receives to standard output until `stop`.
void CopyToOutput(HANDLE h, const std::atomic<bool>& stop, std::atomic<bool>& failed) {
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char buffer[1024];
  while (!stop) {
    DWORD n = 0;
    BOOL started = ReadFile(h, buffer, sizeof buffer, nullptr, &ov);
    if (!((started || GetLastError() == ERROR_IO_PENDING) && GetOverlappedResult(h, &ov, &n, TRUE))) {
      std::fprintf(stderr, "tarnwire term: reading the port failed with error %lu\n",
                   static_cast<unsigned long>(GetLastError()));
      failed = true;
      break;
    }
    for (DWORD done = 0; done < n;) {
      const ssize_t w = write(STDOUT_FILENO, buffer + done, n - done);
      if (w <= 0) break;
      done += static_cast<DWORD>(w);
    }
  }
  CloseHandle(ov.hEvent);
}

// Waits (up to a few seconds) until the port has nothing left to send.
void Drain(HANDLE h) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < until) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(h, &errors, &stat) || stat.cbOutQue == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

int RunTerm(const TermOptions& options) {
  emu::win32::MachineDescription description;
  emu::win32::BridgeDescription bridge;
  bridge.com = options.com;
  bridge.farEnd = emu::win32::FarEnd::Pty;
  description.bridges.push_back(bridge);
  description.realTime = true;
  description.seed = options.common.seed;
  description.multiprocessor = options.common.multiprocessor;
  emu::win32::BootOptions boot;
  boot.capturePath = options.common.capturePath;
  boot.trace = options.common.trace;
  emu::win32::BootedMachine booted(description, boot);
  if (!booted.Error().empty()) {
    std::fprintf(stderr, "tarnwire term: the machine did not boot: %s\n", booted.Error().c_str());
    return 1;
  }
  Port port;
  std::string error;
  if (!OpenPort(options.com, &port, &error) || !Configure(port, options.settings, &error)) {
    std::fprintf(stderr, "tarnwire term: %s\n", error.c_str());
    return 1;
  }
  const std::string pty = booted.PtyPath(options.com);
  std::fprintf(stderr,
               "tarnwire term: COM%u is open at %s; the far end of its line is the pty %s\n"
               "tarnwire term: e.g. picocom -b %u %s; Ctrl-] or the end of input ends the session\n",
               options.com, Describe(options.settings).c_str(), pty.c_str(), options.settings.baud, pty.c_str());

  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::thread reader(CopyToOutput, static_cast<HANDLE>(port.handle), std::cref(stop), std::ref(failed));
  {
    RawInput raw;
    char buffer[1024];
    bool done = false;
    while (!done && !failed) {
      pollfd p{STDIN_FILENO, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
      if (n <= 0) break;
      size_t length = static_cast<size_t>(n);
      for (size_t i = 0; i < length; ++i) {
        if (buffer[i] == kEscape) {
          length = i;
          done = true;
        }
      }
      if (!WriteAll(port.handle, buffer, length)) {
        std::fprintf(stderr, "tarnwire term: writing to the port failed with error %lu\n",
                     static_cast<unsigned long>(GetLastError()));
        failed = true;
      }
    }
  }
  Drain(port.handle);
  stop = true;
  reader.join();
  ClosePort(&port);
  booted.Run([&] {
    emu::usb::UsbHost* host = booted.Host();
    if (host != nullptr && host->Capture() != nullptr) {
      std::fprintf(stderr, "tarnwire term: %llu USB packets in %s\n",
                   static_cast<unsigned long long>(host->Capture()->PacketCount()),
                   options.common.capturePath.c_str());
      host->StopCapture();
    }
    if (options.common.trace) std::fprintf(stderr, "%s", booted.machine()->kernel().FormatTrace().c_str());
  });
  booted.Stop();
  std::fprintf(stderr, "tarnwire term: session ended\n");
  return failed ? 1 : 0;
}

}  // namespace tarnwire_tool
