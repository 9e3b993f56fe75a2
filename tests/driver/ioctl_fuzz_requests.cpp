#include "ioctl_fuzz_requests.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tarnwire::testing {

namespace {

constexpr ULONG kSerialFunctions = 46;  // function numbers 0 to 45 of FILE_DEVICE_SERIAL_PORT
constexpr size_t kRecent = 16;

// Every length the control-code table checks; each is drawn as is and one short.
constexpr ULONG kChecks[] = {1, 3, 4, 6, 8, 12, 16, 20, 24, 44, 64};

constexpr ULONG SerialCode(ULONG function) {
  return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}

// The input and output sizes of the serial codes' structures, by function number.
ULONG NaturalInput(ULONG function) {
  switch (function) {
    case 1:
    case 17:
    case 19:
    case 38:
      return 4;
    case 2:
      return 8;
    case 3:
      return 3;
    case 6:
    case 31:
      return 1;
    case 7:
      return 20;
    case 23:
      return 6;
    case 25:
      return 16;
    case 28:
      return 12;
    default:
      return 0;
  }
}
ULONG NaturalOutput(ULONG function) {
  switch (function) {
    case 8:
    case 27:
      return 20;
    case 16:
    case 18:
    case 20:
    case 26:
    case 30:
    case 32:
    case 37:
      return 4;
    case 21:
      return 3;
    case 22:
      return 6;
    case 24:
      return 16;
    case 29:
      return 64;
    case 35:
      return 24;
    default:
      return 0;
  }
}

template <class T>
void Put(std::vector<uint8_t>& bytes, size_t offset, T value) {
  if (bytes.size() < offset + sizeof(T)) bytes.resize(offset + sizeof(T));
  std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

const char* StatusName(NTSTATUS status) {
  switch (static_cast<ULONG>(status)) {
    case 0x00000000:
      return "SUCCESS";
    case 0x00000103:
      return "PENDING";
    case 0x40000008:
      return "SERIAL_MORE_WRITES";
    case 0xC0000001:
      return "UNSUCCESSFUL";
    case 0xC000000D:
      return "INVALID_PARAMETER";
    case 0xC000000E:
      return "NO_SUCH_DEVICE";
    case 0xC0000010:
      return "INVALID_DEVICE_REQUEST";
    case 0xC0000023:
      return "BUFFER_TOO_SMALL";
    case 0xC000009A:
      return "INSUFFICIENT_RESOURCES";
    case 0xC00000B5:
      return "IO_TIMEOUT";
    case 0xC00000BB:
      return "NOT_SUPPORTED";
    case 0xC0000120:
      return "CANCELLED";
    case 0x00000102:
      return "TIMEOUT";
    case 0x4000000C:
      return "SERIAL_COUNTER_TIMEOUT";
    default:
      return nullptr;
  }
}

}  // namespace

std::string FuzzLog::StatusText(NTSTATUS status) {
  if (const char* name = StatusName(status)) return name;
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(status));
  return hex;
}

const char* FamilyName(Family family) {
  static const char* const names[kFamilies] = {"serial", "internal", "pass-through", "other"};
  return names[static_cast<size_t>(family)];
}

std::vector<uint8_t> RequestGenerator::Random(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng_());
  return bytes;
}

void RequestGenerator::Resize(std::vector<uint8_t>& bytes, size_t n) {
  const size_t old = bytes.size();
  bytes.resize(n);
  for (size_t i = old; i < n; ++i) bytes[i] = static_cast<uint8_t>(rng_());
}

ULONG RequestGenerator::Length(ULONG natural) {
  const uint32_t pick = Below(10);
  if (pick < 4) return kChecks[Below(std::size(kChecks))] - Below(2);
  if (pick == 4) return 0;
  if (pick == 5) return Below(81);
  if (pick == 6) return Below(4097);
  return natural;
}

std::vector<uint8_t> RequestGenerator::SerialInput(ULONG function) {
  std::vector<uint8_t> in = Random(NaturalInput(function));
  if (Chance(25)) return in;  // random bytes as they come
  switch (function) {
    case 1: {  // SET_BAUD_RATE
      // Rates from 1200 up, and the two refused ones: slower lines only stretch every request.
      static const ULONG rates[] = {0, 45, 1200, 9600, 19200, 57600, 115200, 230400, 921600, 3000000};
      Put<ULONG>(in, 0, Chance(80) ? rates[Below(std::size(rates))] : 1200 + Below(3000000));
      break;
    }
    case 3:  // SET_LINE_CONTROL: StopBits, Parity, WordLength, a few out of range
      in = {static_cast<uint8_t>(Below(4)), static_cast<uint8_t>(Below(6)),
            static_cast<uint8_t>(4 + Below(6))};
      break;
    case 7:  // SET_TIMEOUTS: small values or MAXULONG
      for (size_t i = 0; i < 5; ++i) Put<ULONG>(in, i * 4, Chance(20) ? MAXULONG : Below(200));
      break;
    case 17:  // SET_WAIT_MASK
      Put<ULONG>(in, 0, Chance(90) ? Below(0x2000) : static_cast<ULONG>(rng_()));
      break;
    case 19:  // PURGE
      Put<ULONG>(in, 0, Below(0x20));
      break;
    case 23:  // SET_CHARS: the usual XON and XOFF most of the time
      if (Chance(70)) {
        in[4] = 0x11;
        in[5] = 0x13;
      }
      break;
    case 25: {  // SET_HANDFLOW: allowed bits mostly, limits around the ring size
      const ULONG control = Chance(85) ? (Below(4) | (Below(16) << 3) | (Chance(10) ? 0x80000000u : 0))
                                       : static_cast<ULONG>(rng_());
      const ULONG replace = Chance(85)
                                ? (Below(0x20) & ~0x20u) | (Below(4) << 6) | (Chance(10) ? 0x80000000u : 0)
                                : static_cast<ULONG>(rng_());
      Put<ULONG>(in, 0, control);
      Put<ULONG>(in, 4, replace);
      Put<LONG>(in, 8, static_cast<LONG>(Below(70000)) - 100);
      Put<LONG>(in, 12, static_cast<LONG>(Below(70000)) - 100);
      break;
    }
    case 28:  // XOFF_COUNTER: Timeout, Counter, XoffChar
      Put<ULONG>(in, 0, Below(300));
      Put<LONG>(in, 4, static_cast<LONG>(Below(100)) - 5);
      break;
    case 31:  // LSRMST_INSERT
      in = {static_cast<uint8_t>(Chance(50) ? 0 : rng_())};
      break;
    case 38:  // SET_MODEM_CONTROL
      Put<ULONG>(in, 0, Chance(90) ? Below(8) : static_cast<ULONG>(rng_()));
      break;
    default:
      break;
  }
  return in;
}

std::vector<uint8_t> RequestGenerator::InternalInput(ULONG code) {
  std::vector<uint8_t> in = Random(code == 0x1B0010 ? 44 : 0);
  if (code == 0x1B0010 && Chance(75)) {  // RESTORE_SETTINGS: plausible time-outs and handshake
    for (size_t i = 0; i < 5; ++i) Put<ULONG>(in, i * 4, Chance(20) ? MAXULONG : Below(200));
    Put<ULONG>(in, 20, Below(4) | (Below(16) << 3));
    Put<ULONG>(in, 24, Below(0x20) | (Below(4) << 6));
    Put<LONG>(in, 28, static_cast<LONG>(Below(70000)));
    Put<LONG>(in, 32, static_cast<LONG>(Below(70000)));
  }
  return in;
}

void RequestGenerator::PassThrough(FuzzRequest& r) {
  const ULONG command = Below(17);
  std::vector<uint8_t> data;
  ULONG length = 0;
  static const ULONG wanted[] = {0, 1, 2, 8, 9, 18, 32, 64, 256, 4096};
  switch (command) {
    case 2:
    case 5:
    case 6:
      length = Chance(80) ? wanted[Below(std::size(wanted))] : Below(600);
      break;
    case 7:
      data = Random(Below(257));
      length = static_cast<ULONG>(data.size());
      break;
    case 4: {
      static const uint8_t types[] = {0x00, 0x80, 0x40, 0xC0, 0x41, 0xC1, 0x42, 0xC2, 0x43, 0x21, 0xA1, 0x60};
      const uint8_t type = Chance(85) ? types[Below(std::size(types))] : static_cast<uint8_t>(rng_());
      static const uint8_t standard[] = {0, 1, 3, 6, 8, 9};
      const uint8_t request =
          (type & 0x60) == 0 ? standard[Below(std::size(standard))] : static_cast<uint8_t>(rng_());
      const USHORT wLength = static_cast<USHORT>(Chance(80) ? Below(65) : rng_());
      data.resize(8 + (type & 0x80 ? 0 : Below(16)));
      data[0] = type;
      data[1] = request;
      Put<USHORT>(data, 2, static_cast<USHORT>((type & 0x60) == 0 ? (Below(4) << 8) | Below(3) : rng_()));
      Put<USHORT>(data, 4, static_cast<USHORT>(Chance(70) ? 0 : rng_()));
      Put<USHORT>(data, 6, wLength);
      length = static_cast<ULONG>(data.size());
      // A vendor write can reprogram any register; standard requests cannot reach the UART.
      r.touchesChip = (type & 0x60) == 0x40 && (type & 0x80) == 0;
      break;
    }
    case 13:
    case 14:
      data.resize(4);
      Put<ULONG>(data, 0, Chance(80) ? 5 + Below(3) : Below(10));
      length = 4;
      break;
    default:
      length = Chance(50) ? 0 : Below(64);
      break;
  }
  r.touchesChip |= command == 12;
  std::vector<uint8_t> in(8);
  Put<ULONG>(in, 0, command);
  Put<ULONG>(in, 4, length);
  in.insert(in.end(), data.begin(), data.end());
  const uint32_t shape = Below(10);
  if (shape == 0) {
    in.resize(Below(8));  // no whole header
  } else if (shape == 1) {
    in.resize(8 + Below(kFuzzBufferSize - 8));
  }
  r.input = std::move(in);
  const uint32_t out = Below(4);
  r.outputLength = out == 0 ? 0 : out == 1 ? 8 : out == 2 ? std::min<ULONG>(8 + length, 4096) : Below(4097);
}

ULONG RequestGenerator::OtherCode() {
  switch (Below(4)) {
    case 0:
      return static_cast<ULONG>(rng_());
    case 1:  // serial functions beyond the table, with any method and access
      return CTL_CODE(FILE_DEVICE_SERIAL_PORT, kSerialFunctions + Below(0xFFF - kSerialFunctions), Below(4),
                      Below(4));
    case 2:  // the serial functions with another method or access
      return CTL_CODE(FILE_DEVICE_SERIAL_PORT, Below(kSerialFunctions), 1 + Below(3), Below(4));
    default:  // the pass-through's neighbours
      return CTL_CODE(FILE_DEVICE_UNKNOWN, 0xF30 + Below(16), Below(4), Below(4));
  }
}

FuzzRequest RequestGenerator::Next() {
  FuzzRequest r;
  const uint32_t pick = Below(100);
  if (pick < 70) {
    r.family = Family::Serial;
    ULONG function = Below(kSerialFunctions);
    r.code = SerialCode(function);
    r.input = SerialInput(function);
    Resize(r.input, Length(static_cast<ULONG>(r.input.size())));
    r.outputLength = Length(NaturalOutput(function));
  } else if (pick < 78) {
    r.family = Family::Internal;
    r.code = Chance(90) ? 0x1B0004 + 4 * Below(4) : SerialCode(Below(16));
    r.input = InternalInput(r.code);
    Resize(r.input, Length(static_cast<ULONG>(r.input.size())));
    r.outputLength = Length(r.code == 0x1B000C ? 44 : 0);
  } else if (pick < 92) {
    r.family = Family::PassThrough;
    r.code = kPassThroughCode;
    PassThrough(r);
  } else {
    r.family = Family::Other;
    r.code = OtherCode();
    r.input = Random(Length(0));
    r.outputLength = Length(0);
  }
  // Most pending requests are cancelled at once or soon; some are left for up to 50 ms.
  r.cancelAfter = Chance(50) ? Below(10) * emu::kMillisecond / 10 : Below(51) * emu::kMillisecond;
  return r;
}

void FuzzLog::Issue(const FuzzRequest& r) {
  Entry e{calls_, r.family, r.code, r.input.size(), r.outputLength, {}, STATUS_PENDING, 0, false};
  std::copy_n(r.input.begin(), std::min(r.input.size(), e.head.size()), e.head.begin());
  recent_.push_back(e);
  if (recent_.size() > kRecent) recent_.pop_front();
}

void FuzzLog::Record(const FuzzRequest& r, NTSTATUS status, ULONG_PTR information) {
  ++statuses_[static_cast<size_t>(r.family)][status];
  ++calls_;
  recent_.back().status = status;
  recent_.back().information = information;
  recent_.back().ended = true;
}

uint64_t FuzzLog::Count(Family family, NTSTATUS status) const {
  const auto& m = statuses_[static_cast<size_t>(family)];
  const auto it = m.find(status);
  return it == m.end() ? 0 : it->second;
}

std::string FuzzLog::Summary() const {
  std::string line;
  for (size_t f = 0; f < kFamilies; ++f) {
    uint64_t total = 0;
    std::string parts;
    for (const auto& [status, n] : statuses_[f]) {
      total += n;
      parts += (parts.empty() ? "" : " ") + StatusText(status) + "=" + std::to_string(n);
    }
    line += std::string(f == 0 ? "" : "; ") + FamilyName(static_cast<Family>(f)) + " " +
            std::to_string(total) + " (" + parts + ")";
  }
  return line;
}

std::string FuzzLog::Format(const Entry& e) {
  char line[200];
  int n = std::snprintf(line, sizeof(line), "#%llu %s code 0x%08X in %zu out %u -> %s info %llu; input",
                        static_cast<unsigned long long>(e.number), FamilyName(e.family),
                        static_cast<unsigned>(e.code), e.inputLength, static_cast<unsigned>(e.outputLength),
                        e.ended ? StatusText(e.status).c_str() : "(outstanding)",
                        static_cast<unsigned long long>(e.information));
  for (size_t i = 0; i < std::min(e.inputLength, e.head.size()) && n < 190; ++i) {
    n += std::snprintf(line + n, sizeof(line) - static_cast<size_t>(n), " %02X", e.head[i]);
  }
  return line;
}

std::string FuzzLog::Recent() const {
  std::string text;
  for (const Entry& e : recent_) text += "  " + Format(e) + "\n";
  return text;
}

}  // namespace tarnwire::testing
