#include "transfer.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace tarnwire_tool {
namespace {

constexpr DWORD kChunk = 4096;
constexpr DWORD kQueue = 4096;          // each port's receive and transmit queues
constexpr DWORD kHoldAt = 4096;          // flow control holds the far end at this many bytes unread
constexpr int kPauses = 3;               // a reader pauses this often, long enough for three times that
constexpr DWORD kReadWaitMs = 500;       // a read returns what came, or nothing after this
constexpr DWORD kSettleMs = 100;         // the line settles this long after a transfer
constexpr int kStalledReads = 6;         // reads that return nothing before a leg counts as stalled
constexpr DWORD kWatchedEvents =
    EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR | EV_TXEMPTY | EV_RX80FULL;

constexpr struct {
  DWORD bit;
  const char* name;
} kEventNames[] = {{EV_CTS, "CTS"},     {EV_DSR, "DSR"},   {EV_RLSD, "RLSD"},       {EV_RING, "RING"},
                   {EV_BREAK, "BREAK"}, {EV_ERR, "ERR"},   {EV_TXEMPTY, "TXEMPTY"}, {EV_RX80FULL, "RX80FULL"}};

std::string ErrorText(const char* what, DWORD error) { return std::string(what) + " failed with error " + std::to_string(error); }

// Starts an overlapped request (started is the call's result) and waits for it to end.
bool Finish(HANDLE h, BOOL started, OVERLAPPED* ov, DWORD* n) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(h, ov, n, TRUE) != FALSE;
}

uint64_t Now(emu::win32::BootedMachine& booted) { return booted.machine()->kernel().Now(); }

void Write(Leg& leg) {
  HANDLE h = leg.from->handle;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (size_t sent = 0; sent < leg.data.size();) {
    const DWORD length = static_cast<DWORD>(std::min<size_t>(kChunk, leg.data.size() - sent));
    DWORD n = 0;
    if (!Finish(h, WriteFile(h, leg.data.data() + sent, length, nullptr, &ov), &ov, &n)) {
      leg.failure = ErrorText("WriteFile", GetLastError());
      break;
    }
    if (n == 0) {
      leg.failure = "WriteFile wrote nothing after " + std::to_string(sent) + " bytes";
      break;
    }
    sent += n;
  }
  CloseHandle(ov.hEvent);
}

void Read(emu::win32::BootedMachine& booted, Leg& leg, DWORD pauseMs, uint64_t start,
          std::atomic<uint64_t>& total, uint64_t all, const std::function<void(uint64_t, uint64_t)>& progress) {
  HANDLE h = leg.to->handle;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<uint8_t> buffer(kChunk);
  // Data too short to fill the queue to the hold threshold is read without pauses.
  const uint64_t pauseEvery = leg.data.size() / (kPauses + 1) + 1;
  uint64_t nextPause = leg.data.size() >= 4 * kHoldAt ? pauseEvery : UINT64_MAX;
  int idle = 0;
  while (leg.received < leg.data.size()) {
    const DWORD length = static_cast<DWORD>(std::min<uint64_t>(kChunk, leg.data.size() - leg.received));
    DWORD n = 0;
    if (!Finish(h, ReadFile(h, buffer.data(), length, nullptr, &ov), &ov, &n)) {
      leg.failure = ErrorText("ReadFile", GetLastError());
      break;
    }
    if (n == 0) {
      if (++idle == kStalledReads) {
        leg.failure = "nothing more arrived after " + std::to_string(leg.received) + " bytes";
        break;
      }
      continue;
    }
    idle = 0;
    if (leg.firstMismatch < 0) {
      auto [got, want] = std::mismatch(buffer.begin(), buffer.begin() + n, leg.data.begin() + leg.received);
      if (got != buffer.begin() + n) leg.firstMismatch = static_cast<int64_t>(leg.received + (got - buffer.begin()));
    }
    leg.received += n;
    leg.virtualNs = Now(booted) - start;
    const uint64_t sofar = total += n;
    if (progress && sofar * 20 / all != (sofar - n) * 20 / all) progress(sofar, all);
    if (leg.received >= nextPause && leg.received < leg.data.size()) {
      nextPause += pauseEvery;
      Sleep(pauseMs);
    }
  }
  if (leg.failure.empty() && leg.firstMismatch >= 0)
    leg.failure = "byte " + std::to_string(leg.firstMismatch) + " arrived changed";
  CloseHandle(ov.hEvent);
}

// Counts the events WaitCommEvent reports until the mask is cleared.
void Watch(const Port& port, PortReport& report, const std::atomic<bool>& stopping) {
  HANDLE h = port.handle;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  while (!stopping) {
    DWORD mask = 0;
    DWORD n = 0;
    if (!Finish(h, WaitCommEvent(h, &mask, &ov), &ov, &n)) {
      if (!stopping) report.failure = ErrorText("WaitCommEvent", GetLastError());
      break;
    }
    for (const auto& e : kEventNames)
      if (mask & e.bit) ++report.events[e.name];
  }
  CloseHandle(ov.hEvent);
}

}  // namespace

std::string Describe(const LineSettings& s) {
  std::string text = std::to_string(s.baud) + " baud " + std::to_string(s.dataBits) + s.parity +
                     std::to_string(s.stopBits);
  switch (s.flow) {
    case Flow::None:
      return text + ", no flow control";
    case Flow::RtsCts:
      return text + ", RTS/CTS flow control";
    case Flow::XonXoff:
      return text + ", XON/XOFF flow control";
  }
  return text;
}

unsigned BitsPerCharacter(const LineSettings& s) { return 1 + s.dataBits + (s.parity == 'N' ? 0 : 1) + s.stopBits; }

bool OpenPort(unsigned com, Port* port, std::string* error) {
  const std::string name = "\\\\.\\COM" + std::to_string(com);
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot open COM" + std::to_string(com) + ": CreateFile failed with error " +
             std::to_string(GetLastError());
    return false;
  }
  port->com = com;
  port->handle = h;
  return true;
}

bool Configure(const Port& port, const LineSettings& s, std::string* error) {
  HANDLE h = port.handle;
  const std::string com = "COM" + std::to_string(port.com) + ": ";
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return *error = com + ErrorText("GetCommState", GetLastError()), false;
  dcb.BaudRate = s.baud;
  dcb.ByteSize = static_cast<BYTE>(s.dataBits);
  dcb.Parity = static_cast<BYTE>(std::string("NOEMS").find(s.parity));
  dcb.fParity = s.parity != 'N';
  dcb.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = s.flow == Flow::RtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = s.flow == Flow::RtsCts;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = s.flow == Flow::XonXoff;
  dcb.fInX = s.flow == Flow::XonXoff;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  // Flow control holds the far end once kHoldAt bytes wait unread, whatever the size of the port's
  // receive queue, so that a reader's pause shows it acting.
  COMMPROP props{};
  const DWORD queue = GetCommProperties(h, &props) && props.dwCurrentRxQueue > kQueue ? props.dwCurrentRxQueue : kQueue;
  dcb.XonLim = static_cast<WORD>(kHoldAt / 4);
  dcb.XoffLim = static_cast<WORD>(std::min<DWORD>(queue - kHoldAt, 0xFFFF));
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = MAXDWORD;
  t.ReadTotalTimeoutConstant = kReadWaitMs;
  if (!SetupComm(h, kQueue, kQueue)) return *error = com + ErrorText("SetupComm", GetLastError()), false;
  if (!SetCommState(h, &dcb)) return *error = com + ErrorText("SetCommState", GetLastError()), false;
  if (!SetCommTimeouts(h, &t)) return *error = com + ErrorText("SetCommTimeouts", GetLastError()), false;
  if (!PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR))
    return *error = com + ErrorText("PurgeComm", GetLastError()), false;
  return true;
}

void ClosePort(Port* port) {
  if (port->handle != nullptr) CloseHandle(port->handle);
  port->handle = nullptr;
}

bool PortOpens(unsigned com, unsigned long* error) {
  const std::string name = "\\\\.\\COM" + std::to_string(com);
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  CloseHandle(h);
  return true;
}

std::vector<uint8_t> TestData(size_t length, uint64_t seed, const LineSettings& settings) {
  const bool inBand = settings.flow != Flow::XonXoff;
  const uint8_t mask = static_cast<uint8_t>((1u << settings.dataBits) - 1);
  std::vector<uint8_t> data(length);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull;
  for (uint8_t& b : data) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    b = static_cast<uint8_t>((x * 0x2545F4914F6CDD1Dull) >> 56) & mask;
    if (!inBand && (b == 0x11 || b == 0x13)) b ^= 0x04;
  }
  return data;
}

std::map<unsigned, PortReport> Transfer(emu::win32::BootedMachine& booted, const LineSettings& settings,
                                        std::vector<Leg>& legs,
                                        const std::function<void(uint64_t, uint64_t)>& progress) {
  const DWORD pauseMs = static_cast<DWORD>(3ull * kHoldAt * BitsPerCharacter(settings) * 1000 / settings.baud + 1);
  std::map<unsigned, PortReport> reports;
  std::map<unsigned, const Port*> ports;
  uint64_t all = 0;
  for (Leg& leg : legs) {
    ports[leg.from->com] = leg.from;
    ports[leg.to->com] = leg.to;
    all += leg.data.size();
  }
  for (auto& [com, port] : ports) reports[com];
  std::atomic<uint64_t> total{0};
  std::atomic<size_t> moving{legs.size() * 2};
  std::atomic<bool> stopping{false};
  // The last writer or reader to end releases the watchers' pending waits.
  auto ended = [&] {
    if (--moving > 0) return;
    stopping = true;
    for (auto& [com, port] : ports) SetCommMask(port->handle, 0);
  };
  std::string setup;
  for (auto& [com, port] : ports)
    if (!SetCommMask(port->handle, kWatchedEvents)) setup = ErrorText("SetCommMask", GetLastError());
  const uint64_t start = Now(booted);
  std::vector<std::function<void()>> bodies;
  for (auto& [com, port] : ports) {
    const Port* p = port;
    PortReport* r = &reports[com];
    bodies.push_back([p, r, &stopping] { Watch(*p, *r, stopping); });
  }
  for (Leg& leg : legs) {
    bodies.push_back([&leg, &ended] {
      Write(leg);
      ended();
    });
    bodies.push_back([&, start, pauseMs] {
      Read(booted, leg, pauseMs, start, total, all, progress);
      ended();
    });
  }
  const bool finished = booted.RunTogether(bodies);
  // The last XON may still be on its way when the readers are done: the queues and holds are
  // read once the line has settled.
  booted.RunTogether({[] { Sleep(kSettleMs); }});
  for (auto& [com, port] : ports) {
    PortReport& r = reports[com];
    if (!setup.empty()) r.failure = setup;
    if (!finished) r.failure = "a thread of the transfer never returned";
    booted.RunTogether({[&] {
      DWORD errors = 0;
      COMSTAT stat{};
      if (!ClearCommError(port->handle, &errors, &stat)) {
        r.failure = ErrorText("ClearCommError", GetLastError());
        return;
      }
      r.errors = errors;
      r.inQueue = stat.cbInQue;
      r.outQueue = stat.cbOutQue;
      const std::pair<bool, const char*> holds[] = {{stat.fCtsHold != 0, "waiting for CTS"},
                                                    {stat.fDsrHold != 0, "waiting for DSR"},
                                                    {stat.fRlsdHold != 0, "waiting for DCD"},
                                                    {stat.fXoffHold != 0, "held by a received XOFF"},
                                                    {stat.fXoffSent != 0, "XOFF sent"},
                                                    {stat.fTxim != 0, "a character waits to be sent at once"}};
      for (const auto& [on, name] : holds)
        if (on) r.holds += (r.holds.empty() ? "" : ", ") + std::string(name);
    }});
  }
  return reports;
}

}  // namespace tarnwire_tool
