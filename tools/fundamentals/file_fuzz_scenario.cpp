// A fuzz of the file requests of an open port: zero-length reads and writes, and query and set
// information with every information class and a spread of buffer lengths, with traffic on the
// other port and checked traffic on the fuzzed one afterwards.
#include "file_fuzz_scenario.h"

#include <vector>

#include "harness.h"
#include "nt/machine.h"

namespace tarnwire_fundamentals {
namespace {

constexpr ULONG kIoctlSetTimeouts = 0x1B001C;  // IOCTL_SERIAL_SET_TIMEOUTS
constexpr ULONG kClasses = 80;                 // past FileMaximumInformation

std::string Com(unsigned com) { return "COM" + std::to_string(com); }

ULONG FuzzLength(std::mt19937_64& random) {
  switch (random() % 4) {
    case 0:
      return static_cast<ULONG>(random() % 8);
    case 1:
      return static_cast<ULONG>(random() % 64);
    case 2:
      return static_cast<ULONG>(random() % 600);
    default:
      return 24;  // FILE_STANDARD_INFORMATION
  }
}

}  // namespace

// Every class, query and set, with lengths around the records' sizes: none may return more than
// the buffer holds, and a class the port does not serve must not succeed.
void SweepInformationClasses(Rig& rig, unsigned com, PFILE_OBJECT file) {
  static constexpr ULONG kLengths[] = {0, 1, 3, 4, 7, 8, 16, 23, 24, 25, 40, 56, 103, 104, 512};
  emu::Machine& m = rig.machine();
  std::vector<uint8_t> buffer(512, 0x5A);
  for (ULONG cls = 0; cls < kClasses && rig.Alive(); ++cls) {
    for (ULONG length : kLengths) {
      ULONG_PTR information = 0;
      const NTSTATUS query = m.QueryInformation(file, cls, buffer.data(), length, &information);
      const NTSTATUS set = m.SetInformation(file, cls, buffer.data(), length);
      rig.counters().requests += 2;
      const bool served = cls == 5 || cls == 14;  // FileStandardInformation, FilePositionInformation
      if (NT_SUCCESS(query) && (information > length || !served))
        rig.Fail(Com(com) + ": query information class " + std::to_string(cls) + " with " +
                 std::to_string(length) + " bytes succeeded with " + std::to_string(information) + " bytes");
      if (NT_SUCCESS(set) && cls != 19 && cls != 20)  // allocation and end of file are accepted and ignored
        rig.Fail(Com(com) + ": set information class " + std::to_string(cls) + " succeeded");
    }
  }
}

void FuzzFileRequests(Rig& rig, unsigned com, std::mt19937_64& random, unsigned calls, bool sweep) {
  emu::Machine& m = rig.machine();
  Counters& c = rig.counters();
  const std::u16string name = u"\\DosDevices\\COM" + std::u16string(1, static_cast<char16_t>(u'0' + com));
  PFILE_OBJECT file = nullptr;
  // Another thread of the program may hold the port for a moment (it is exclusive), and a
  // sleeping machine refuses opens.
  NTSTATUS status = STATUS_ACCESS_DENIED;
  for (int attempt = 0; attempt < 1000 && status != STATUS_SUCCESS; ++attempt) {
    const Disturbances::Mark mark = rig.disturbances().Now(com);
    if (attempt != 0) DelayMs(1);
    status = m.Open(name, &file);
    ++c.requests;
    if (status != STATUS_ACCESS_DENIED && !rig.disturbances().AllSince(mark)) break;
  }
  if (status != STATUS_SUCCESS) {
    rig.Fail(Com(com) + ": open for the file-request fuzz failed with " + StatusText(status));
    return;
  }
  // Reads return at once with what is there.
  const ULONG immediate[5] = {MAXULONG, 0, 0, 0, 0};
  m.DeviceIoControl(file, kIoctlSetTimeouts, immediate, sizeof immediate, nullptr, 0);
  if (sweep) SweepInformationClasses(rig, com, file);
  std::vector<uint8_t> buffer(600);
  for (unsigned i = 0; i < calls && rig.Alive(); ++i) {
    ULONG_PTR information = 0;
    const ULONG length = FuzzLength(random);
    for (auto& b : buffer) b = static_cast<uint8_t>(random());
    ++c.requests;
    // A sleeping machine fails requests; only those that overlapped no sleep are judged.
    const Disturbances::Mark mark = rig.disturbances().Now(com);
    auto judged = [&rig, &mark] { return !rig.disturbances().AllSince(mark); };
    switch (random() % 5) {
      case 0:
        status = m.Read(file, buffer.data(), 0, &information);
        if ((status != STATUS_SUCCESS || information != 0) && judged())
          rig.Fail(Com(com) + ": a zero-length read ended with " + StatusText(status) + " and " +
                   std::to_string(information) + " bytes");
        break;
      case 1:
        status = m.Write(file, buffer.data(), 0, &information);
        if ((status != STATUS_SUCCESS || information != 0) && judged())
          rig.Fail(Com(com) + ": a zero-length write ended with " + StatusText(status) + " and " +
                   std::to_string(information) + " bytes");
        break;
      case 2:
      case 3: {
        const ULONG cls = static_cast<ULONG>(random() % kClasses);
        status = m.QueryInformation(file, cls, buffer.data(), length, &information);
        if (NT_SUCCESS(status) && information > length)
          rig.Fail(Com(com) + ": query information class " + std::to_string(cls) + " returned " +
                   std::to_string(information) + " bytes into " + std::to_string(length));
        break;
      }
      default: {
        const ULONG cls = static_cast<ULONG>(random() % kClasses);
        m.SetInformation(file, cls, buffer.data(), length);
        break;
      }
    }
  }
  const Disturbances::Mark mark = rig.disturbances().Now(com);
  status = m.Close(file);
  ++c.requests;
  if (status != STATUS_SUCCESS && !rig.disturbances().AllSince(mark))
    rig.Fail(Com(com) + ": close after the fuzz failed with " + StatusText(status));
}

Result RunFileFuzz(const RunSettings& settings) {
  return RunOnRig("file-fuzz", settings, 2, [&](Rig& rig) {
    StreamAround(rig, [&](Rig& r, Streams& streams, std::mt19937_64& random) {
      StreamControl& s = streams[0];
      s.release = true;
      AwaitIdle(s);
      r.disturbances().Begin(1);
      FuzzFileRequests(r, 1, random, 300 * (settings.cycles == 0 ? 1 : settings.cycles), true);
      r.disturbances().End(1);
      s.release = false;
    });
  });
}

}  // namespace tarnwire_fundamentals
