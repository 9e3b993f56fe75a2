#include "stream.h"

#include <windows.h>

#include <algorithm>
#include <random>
#include <vector>

namespace tarnwire_fundamentals {
namespace {

constexpr DWORD kReadLimitMs = 300;   // a chunk's read returns what came after this at the latest
constexpr DWORD kWriteLimitMs = 300;  // and its write gives up after this
constexpr DWORD kSettleMs = 20;       // after a disturbed chunk, late bytes arrive within this

std::string Com(unsigned com) { return "COM" + std::to_string(com); }

// Starts an overlapped request (started is the call's result) and waits for its end.
bool Complete(HANDLE h, BOOL started, OVERLAPPED* ov, DWORD* n) {
  *n = 0;
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(h, ov, n, TRUE) != FALSE;
}

void CloseIf(HANDLE* h, Counters& c) {
  if (*h == INVALID_HANDLE_VALUE) return;
  CloseHandle(*h);
  ++c.requests;
  *h = INVALID_HANDLE_VALUE;
}

}  // namespace

void* OpenStreamPort(unsigned com, unsigned long* error) {
  const std::string name = "\\\\.\\COM" + std::to_string(com);
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return nullptr;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = kReadLimitMs;
  timeouts.WriteTotalTimeoutConstant = kWriteLimitMs;
  bool ok = GetCommState(h, &dcb) != FALSE;
  if (ok) {
    dcb.BaudRate = 921600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    ok = SetCommState(h, &dcb) && SetupComm(h, 8192, 8192) && SetCommTimeouts(h, &timeouts) &&
         PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
  }
  if (!ok) {
    *error = GetLastError();
    CloseHandle(h);
    return nullptr;
  }
  return h;
}

void StreamPort(Rig& rig, const StreamOptions& options, StreamControl& control) {
  Counters& c = rig.counters();
  Disturbances& d = rig.disturbances();
  std::mt19937_64 random(options.seed * 0x9E3779B97F4A7C15ull + options.com);
  std::vector<uint8_t> sent(options.maxChunk);
  std::vector<uint8_t> got(options.maxChunk);
  HANDLE h = INVALID_HANDLE_VALUE;
  OVERLAPPED rov{};
  OVERLAPPED wov{};
  rov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bool lossInjected = !options.injectLoss;
  while (!control.stop && rig.Alive()) {
    if (control.release) {
      CloseIf(&h, c);
      control.open = false;
      control.idle = true;
      // Opens now and then while released, as a program polling for its port does: each either
      // fails or is closed at once.
      Sleep(1 + static_cast<DWORD>(random() % 4));
      if (random() % 3 == 0) {
        unsigned long error = 0;
        if (void* probe = OpenStreamPort(options.com, &error)) {
          ++control.probesOpened;
          HANDLE p = probe;
          CloseIf(&p, c);
        }
        ++c.requests;
      }
      continue;
    }
    if (control.pause) {
      control.idle = true;
      Sleep(1);
      continue;
    }
    control.idle = false;
    if (h == INVALID_HANDLE_VALUE) {
      unsigned long error = 0;
      ++c.requests;
      h = OpenStreamPort(options.com, &error);
      if (h == nullptr) {
        h = INVALID_HANDLE_VALUE;
        Sleep(2);
        continue;
      }
      control.open = true;
    }
    const Disturbances::Mark mark = d.Now(options.com);
    const DWORD length =
        options.minChunk + static_cast<DWORD>(random() % (options.maxChunk - options.minChunk + 1));
    for (DWORD i = 0; i < length; ++i) sent[i] = static_cast<uint8_t>(random());
    const bool injectNow = !lossInjected && control.cleanChunks >= 2 && !mark.active;
    DWORD read = 0;
    DWORD written = 0;
    bool readOk = true;
    bool writeOk = true;
    BOOL readStarted = FALSE;
    if (!injectNow) {
      readStarted = ReadFile(h, got.data(), length, nullptr, &rov);
      control.inChunk = true;
    }
    writeOk = Complete(h, WriteFile(h, sent.data(), length, nullptr, &wov), &wov, &written);
    const DWORD writeError = writeOk ? 0 : GetLastError();
    if (injectNow) {
      // The bytes land in the receive queue and are thrown away before anyone reads them.
      Sleep(50);
      PurgeComm(h, PURGE_RXCLEAR);
      readStarted = ReadFile(h, got.data(), length, nullptr, &rov);
      lossInjected = true;
    }
    readOk = Complete(h, readStarted, &rov, &read);
    const DWORD readError = readOk ? 0 : GetLastError();
    control.inChunk = false;
    c.requests += 2;
    if (writeOk) c.bytesMoved += written;
    const bool disturbed = d.Since(mark, options.com);
    const size_t same = static_cast<size_t>(
        std::mismatch(got.begin(), got.begin() + read, sent.begin()).first - got.begin());
    if (writeOk && readOk && written == length && read == length && same == length) {
      c.bytesVerified += length;
      if (!disturbed) ++control.cleanChunks;
      continue;
    }
    if (!disturbed) {
      std::string what;
      if (!writeOk)
        what = "WriteFile failed with error " + std::to_string(writeError);
      else if (!readOk)
        what = "ReadFile failed with error " + std::to_string(readError);
      else if (written != length)
        what = "WriteFile wrote " + std::to_string(written) + " of " + std::to_string(length) + " bytes";
      else if (same < read)
        what = "byte " + std::to_string(same) + " of " + std::to_string(length) + " came back changed";
      else
        what = std::to_string(read) + " of " + std::to_string(length) + " bytes came back";
      if (writeOk && written == length) c.bytesLost += length - same;
      rig.Fail(Com(options.com) + ": a chunk with nothing disturbing the port: " + what);
    }
    // Late bytes of this chunk settle and are purged; a handle that no longer works is closed.
    Sleep(kSettleMs);
    if (!PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT)) {
      CloseIf(&h, c);
      control.open = false;
    }
    ++c.requests;
  }
  CloseIf(&h, c);
  control.open = false;
  control.idle = true;
  CloseHandle(rov.hEvent);
  CloseHandle(wov.hEvent);
}

bool AwaitCleanChunks(Rig& rig, unsigned com, StreamControl& control, uint64_t more, const std::string& when,
                      unsigned limitMs) {
  const uint64_t target = control.cleanChunks + more;
  for (unsigned waited = 0; control.cleanChunks < target; waited += 5) {
    if (!rig.Alive()) return false;
    if (waited >= limitMs) {
      rig.Fail(Com(com) + ": no data came back intact " + when + " within " + std::to_string(limitMs) + " ms");
      return false;
    }
    Sleep(5);
  }
  return true;
}

bool AwaitIdle(StreamControl& control, unsigned limitMs) {
  for (unsigned waited = 0; !control.idle; ++waited) {
    if (waited >= limitMs) return false;
    Sleep(1);
  }
  return true;
}

}  // namespace tarnwire_fundamentals
