// Handles: open/close storms from several threads on the same ports, and handles closed with
// reads, writes, event waits and XOFF counters still pending.
#include "handle_scenarios.h"

#include <windows.h>

#include "harness.h"

namespace tarnwire_fundamentals {
namespace {

constexpr DWORD kIoctlXoffCounter = 0x1B0070;  // IOCTL_SERIAL_XOFF_COUNTER
struct XoffCounter {
  ULONG timeout;
  LONG counter;
  UCHAR xoffChar;
};

std::string Com(unsigned com) { return "COM" + std::to_string(com); }

// One storm thread: opens a random port, does a little I/O or nothing, closes, over and over.
// An open fails only because another thread holds the port (it is exclusive).
}  // namespace

void Storm(Rig& rig, unsigned thread, unsigned rounds, unsigned onlyCom) {
  std::mt19937_64 random(rig.settings().seed * 31 + thread);
  Counters& c = rig.counters();
  for (unsigned i = 0; i < rounds && rig.Alive(); ++i) {
    const unsigned com = onlyCom != 0 ? onlyCom : 1 + static_cast<unsigned>(random() % rig.Ports());
    const std::string name = "\\\\.\\COM" + std::to_string(com);
    const Disturbances::Mark mark = rig.disturbances().Now(com);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           random() % 2 ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    ++c.requests;
    if (h == INVALID_HANDLE_VALUE) {
      // A sleeping machine refuses opens too.
      if (GetLastError() != ERROR_ACCESS_DENIED && !rig.disturbances().AllSince(mark))
        rig.Fail(Com(com) + ": open in a storm failed with error " + std::to_string(GetLastError()) +
                 " (only ERROR_ACCESS_DENIED is expected while another thread holds it)");
      Sleep(static_cast<DWORD>(random() % 2));
      continue;
    }
    switch (random() % 4) {
      case 0: {
        COMSTAT stat{};
        DWORD errors = 0;
        ClearCommError(h, &errors, &stat);
        ++c.requests;
        break;
      }
      case 1:
        PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
        ++c.requests;
        break;
      case 2:
        Sleep(static_cast<DWORD>(random() % 3));
        break;
      default:
        break;
    }
    if (!CloseHandle(h)) rig.Fail(Com(com) + ": CloseHandle failed in a storm");
    ++c.requests;
  }
}

namespace {

// Opens the port, leaves a read, a write held by flow control, an event wait and an XOFF counter
// pending, and closes the handle: every request must end, and the port must work afterwards.
void ClosePending(Rig& rig, unsigned com, std::mt19937_64& random) {
  Counters& c = rig.counters();
  const std::string name = "\\\\.\\COM" + std::to_string(com);
  // The port is exclusive: the stream's probing opens, and the close of a handle whose requests are
  // still ending, keep it for a moment.
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 2000 && h == INVALID_HANDLE_VALUE; ++attempt) {
    if (attempt != 0) {
      if (GetLastError() != ERROR_ACCESS_DENIED) break;
      Sleep(1);
    }
    h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED, nullptr);
    ++c.requests;
  }
  if (h == INVALID_HANDLE_VALUE) {
    rig.Fail(Com(com) + " does not open: error " + std::to_string(GetLastError()));
    return;
  }
  // Writes wait for CTS, which the loopback plug takes from RTS, held low; reads wait forever.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(h, &dcb);
  dcb.BaudRate = 115200;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  COMMTIMEOUTS none{};
  const bool configured =
      SetCommState(h, &dcb) && SetCommTimeouts(h, &none) && SetCommMask(h, EV_RING | EV_BREAK);
  c.requests += 3;
  if (!configured) rig.Fail(Com(com) + ": cannot configure the port for pending requests");

  struct Pending {
    const char* what;
    OVERLAPPED ov{};
  } pending[4] = {{"read"}, {"write"}, {"WaitCommEvent"}, {"XOFF counter"}};
  for (auto& p : pending) p.ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // Static: a request that does not end in time still has its buffer.
  static uint8_t readBuffer[512];
  static const uint8_t writeBuffer[256] = {1, 2, 3};
  DWORD mask = 0;
  XoffCounter xoff{60000, 100, 0x13};
  const unsigned which = 1 + static_cast<unsigned>(random() % 15);  // a non-empty subset, all four most often
  const bool all = random() % 2 == 0;
  bool waiting[4] = {false, false, false, false};
  auto note = [&waiting](unsigned i, BOOL started) {
    waiting[i] = !started && GetLastError() == ERROR_IO_PENDING;
  };
  if (all || (which & 1)) note(0, ReadFile(h, readBuffer, sizeof readBuffer, nullptr, &pending[0].ov));
  if (all || (which & 2)) note(1, WriteFile(h, writeBuffer, sizeof writeBuffer, nullptr, &pending[1].ov));
  if (all || (which & 4)) note(2, WaitCommEvent(h, &mask, &pending[2].ov));
  if (all || (which & 8))
    note(3, DeviceIoControl(h, kIoctlXoffCounter, &xoff, sizeof xoff, nullptr, 0, nullptr, &pending[3].ov));
  c.requests += 4;
  Sleep(static_cast<DWORD>(random() % 20));
  CloseHandle(h);
  ++c.requests;
  for (unsigned i = 0; i < 4; ++i) {
    if (waiting[i] && WaitForSingleObject(pending[i].ov.hEvent, 5000) != WAIT_OBJECT_0)
      rig.Fail(Com(com) + ": the pending " + pending[i].what +
               " did not end within 5 s of closing its handle");
    CloseHandle(pending[i].ov.hEvent);
  }
}

}  // namespace

Result RunOpenCloseStorm(const RunSettings& settings) {
  return RunOnRig("open-close-storm", settings, 2, [&](Rig& rig) {
    std::vector<std::function<void()>> storm;
    const unsigned rounds = 40 * (settings.cycles == 0 ? 1 : settings.cycles);
    for (unsigned t = 0; t < 4; ++t) storm.push_back([&rig, t, rounds] { Storm(rig, t, rounds, 0); });
    rig.Together(storm);
    // Every port still streams afterwards.
    StreamAround(rig, [](Rig&, Streams&, std::mt19937_64&) {});
  });
}

Result RunClosePending(const RunSettings& settings) {
  return RunOnRig("close-pending", settings, 2, [&](Rig& rig) {
    StreamAround(rig, [&](Rig& r, Streams& streams, std::mt19937_64& random) {
      for (unsigned i = 0; i < settings.cycles * 2 && r.Alive() && !r.Failed(); ++i) {
        const unsigned com = 1 + i % r.Ports();
        StreamControl& s = streams[com - 1];
        s.release = true;
        AwaitIdle(s);
        r.disturbances().Begin(com);
        ClosePending(r, com, random);
        r.disturbances().End(com);
        s.release = false;
        AwaitCleanChunks(r, com, s, 1, "after a handle was closed with requests pending");
      }
    });
  });
}

}  // namespace tarnwire_fundamentals
