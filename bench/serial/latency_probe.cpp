#include "latency_probe.h"

#include "serial_rig.h"
#include "usbhost/usb_host.h"

namespace latency_probe {

namespace {

using serial_rig::SerialRig;

constexpr uint8_t kFirstByte = 0x40;

void Delay(emu::VirtualTime duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  (VOID) KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

emu::VirtualTime Now() { return emu::Kernel::Current().Now(); }

// The least latency the design allows for a span that starts at `from`, with the clock ticking
// every `clockIncrement`. The host starts a frame's transactions at its start and reports them at
// its end, so a request made during a frame goes out in the next one, and an event in the device
// reaches the driver at the end of the frame after the one it happens in. A read time-out runs its
// value plus 1 ms, and a timer armed after a tick expires on a later tick.
emu::VirtualTime DesignFloor(Kind kind, emu::VirtualTime from, emu::VirtualTime clockIncrement) {
  const emu::VirtualTime frame = emu::usb::kFrame;
  const emu::VirtualTime nextFrame = (from / frame + 1) * frame;
  if (kind == Kind::Write) return nextFrame - from;
  const emu::VirtualTime delivered = nextFrame + frame;
  if (kind != Kind::Interval) return delivered - from;
  const emu::VirtualTime due = delivered + (kIntervalTimeoutMs + 1) * emu::kMillisecond;
  return (due / clockIncrement + 1) * clockIncrement - from;
}

// A pause of a few frames that moves the next sample to another point of the frame.
emu::VirtualTime Pause(int i) { return 3 * emu::kMillisecond + (i * 7 % 10) * emu::kMillisecond / 10; }

SERIAL_TIMEOUTS Timeouts(Kind kind) {
  SERIAL_TIMEOUTS t = serial_rig::ReturnOnFirstByte();
  if (kind == Kind::Interval) {
    t = {};
    t.ReadIntervalTimeout = kIntervalTimeoutMs;
  }
  return t;
}

// The side's line events of one kind, in order: character ends (or starts) or output changes.
// Output changes count from `since` on, and only those that change RTS.
std::vector<emu::VirtualTime> LineTimes(SerialRig& rig, int side, Kind kind, emu::VirtualTime since) {
  std::vector<emu::VirtualTime> times;
  bool rts = false;
  for (const auto& e : rig.LineEvents()) {
    if (e.side != side) continue;
    if (kind == Kind::Modem && e.kind == emu::line::LineEvent::Kind::Outputs) {
      if (e.time >= since && e.outputs.rts != rts) times.push_back(e.time);
      rts = e.outputs.rts;
    }
    if (kind != Kind::Modem && e.kind == emu::line::LineEvent::Kind::Character)
      times.push_back(kind == Kind::Write ? e.character.start : e.character.end);
  }
  return times;
}

// Bytes from A, each awaited by a read on B; completion times of the reads that got their byte.
void RunReads(SerialRig& rig, Kind kind, int samples, std::vector<emu::VirtualTime>& done, size_t& missing) {
  emu::Machine& m = rig.machine();
  std::vector<emu::VirtualTime> readDone(samples, -1);
  int completed = 0;
  const auto reader = m.kernel().StartApplicationThread("reader", [&] {
    for (int i = 0; i < samples; ++i) {
      uint8_t buffer[64] = {};
      ULONG_PTR got = 0;
      const ULONG length = kind == Kind::Interval ? sizeof buffer : 1;
      const NTSTATUS status = m.Read(rig.B().file, buffer, length, &got);
      if (NT_SUCCESS(status) && got == 1 && buffer[0] == static_cast<uint8_t>(kFirstByte + i))
        readDone[i] = Now();
      completed = i + 1;
      if (!NT_SUCCESS(status)) return;
    }
  });
  const auto writer = m.kernel().StartApplicationThread("writer", [&] {
    for (int i = 0; i < samples; ++i) {
      while (completed < i) Delay(emu::kMillisecond);
      Delay(Pause(i));
      const uint8_t byte = static_cast<uint8_t>(kFirstByte + i);
      ULONG_PTR sent = 0;
      if (m.Write(rig.A().file, &byte, 1, &sent) != STATUS_SUCCESS) return;
    }
  });
  m.kernel().RunUntil([&] { return m.kernel().ContextFinished(reader) && m.kernel().ContextFinished(writer); },
                      m.kernel().Now() + samples * emu::kSecond);
  for (emu::VirtualTime t : readDone) {
    done.push_back(t);
    missing += t < 0;
  }
}

// RTS of A toggled, each change awaited by WaitCommEvent(EV_CTS) on B.
void RunModem(SerialRig& rig, int samples, std::vector<emu::VirtualTime>& done, size_t& missing) {
  emu::Machine& m = rig.machine();
  std::vector<emu::VirtualTime> waitDone(samples, -1);
  bool armed = false;
  int completed = 0;
  const auto waiter = m.kernel().StartApplicationThread("waiter", [&] {
    ULONG mask = SERIAL_EV_CTS;
    if (m.DeviceIoControl(rig.B().file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0) !=
        STATUS_SUCCESS)
      return;
    for (int i = 0; i < samples; ++i) {
      ULONG events = 0;
      armed = true;
      const NTSTATUS status =
          m.DeviceIoControl(rig.B().file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events);
      if (status == STATUS_SUCCESS && (events & SERIAL_EV_CTS)) waitDone[i] = Now();
      completed = i + 1;
      if (status != STATUS_SUCCESS) return;
    }
  });
  const auto toggler = m.kernel().StartApplicationThread("toggler", [&] {
    for (int i = 0; i < samples; ++i) {
      while (!armed || completed < i) Delay(emu::kMillisecond);
      Delay(Pause(i));
      const ULONG code = i % 2 == 0 ? IOCTL_SERIAL_CLR_RTS : IOCTL_SERIAL_SET_RTS;
      if (m.DeviceIoControl(rig.A().file, code, nullptr, 0, nullptr, 0) != STATUS_SUCCESS) return;
    }
  });
  m.kernel().RunUntil([&] { return m.kernel().ContextFinished(waiter) && m.kernel().ContextFinished(toggler); },
                      m.kernel().Now() + samples * emu::kSecond);
  for (emu::VirtualTime t : waitDone) {
    done.push_back(t);
    missing += t < 0;
  }
}

// Writes of one byte from A, each after the previous character has left; the time of each call.
void RunWrites(SerialRig& rig, unsigned long baud, int samples, std::vector<emu::VirtualTime>& calls,
               size_t& missing) {
  emu::Machine& m = rig.machine();
  const auto character = static_cast<emu::VirtualTime>(11.0 * emu::kSecond / static_cast<double>(baud));
  const auto writer = m.kernel().StartApplicationThread("writer", [&] {
    for (int i = 0; i < samples; ++i) {
      Delay(Pause(i) + 2 * character);
      calls.push_back(Now());
      const uint8_t byte = static_cast<uint8_t>(kFirstByte + i);
      ULONG_PTR sent = 0;
      if (m.Write(rig.A().file, &byte, 1, &sent) != STATUS_SUCCESS || sent != 1) {
        calls.back() = -1;
        ++missing;
      }
    }
  });
  m.kernel().RunUntil([&] { return m.kernel().ContextFinished(writer); },
                      m.kernel().Now() + samples * emu::kSecond);
  // Let the last character leave.
  m.kernel().RunFor(20 * emu::kMillisecond + 2 * character);
}

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Read:
      return "read";
    case Kind::Interval:
      return "interval";
    case Kind::Modem:
      return "modem";
    default:
      return "write";
  }
}

emu::VirtualTime ConfiguredTimeout(Kind kind) {
  return kind == Kind::Interval ? kIntervalTimeoutMs * emu::kMillisecond : 0;
}

Samples Measure(Kind kind, unsigned long baud, int samples, const emu::zm470::Config& chip, bool fineClock) {
  Samples out;
  try {
    SerialRig rig(SerialRig::FarEnd::NullModem, {}, chip);
    out.error = rig.Error();
    emu::VirtualTime clockIncrement = emu::kMillisecond;
    rig.machine().RunInSystemThread("clock", [&] {
      clockIncrement = fineClock ? ExSetTimerResolution(10000, TRUE) : KeQueryTimeIncrement();
    });
    for (serial_rig::Bridge* b : {&rig.A(), &rig.B()}) {
      if (!out.error.empty()) break;
      serial_rig::PortSettings settings;
      settings.baud = static_cast<ULONG>(baud);
      settings.timeouts = Timeouts(kind);
      if (rig.Apply(*b, settings) != STATUS_SUCCESS) out.error = "settings failed";
    }
    if (!out.error.empty()) return out;

    const emu::VirtualTime since = rig.kernel().Now();
    std::vector<emu::VirtualTime> ends;  // when the measured span ends (-1: never)
    if (kind == Kind::Modem) {
      RunModem(rig, samples, ends, out.missing);
    } else if (kind == Kind::Write) {
      RunWrites(rig, baud, samples, ends, out.missing);
    } else {
      RunReads(rig, kind, samples, ends, out.missing);
    }
    const std::vector<emu::VirtualTime> line = LineTimes(rig, rig.A().lineSide, kind, since);
    for (size_t i = 0; i < ends.size(); ++i) {
      if (ends[i] < 0) continue;
      if (i >= line.size()) {
        ++out.missing;
        continue;
      }
      const emu::VirtualTime from = kind == Kind::Write ? ends[i] : line[i];
      const emu::VirtualTime to = kind == Kind::Write ? line[i] : ends[i];
      out.latencies.push_back(to - from);
      out.floors.push_back(DesignFloor(kind, from, clockIncrement));
    }
    const std::string shutdown = rig.Shutdown();
    if (!shutdown.empty()) out.error = shutdown;
  } catch (const emu::BugCheckError& e) {
    out.error = "bug check " + std::to_string(e.code);
  }
  return out;
}

}  // namespace latency_probe
