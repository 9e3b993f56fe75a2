// Random control requests for the control-code fuzz test: codes of four families (the serial
// codes, the internal serial codes, the USB pass-through and any other code), lengths around
// every length check of the control-code table, and contents that are either random or shaped
// like the structure the code takes so that the checks behind the length checks are reached.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "driver/platform.h"
#include "nt/kernel.h"

namespace tarnwire::testing {

inline constexpr ULONG kPassThroughCode = 0x223CD0;
inline constexpr ULONG kFuzzBufferSize = 4096 + 64;  // the largest length drawn, and some

enum class Family { Serial, Internal, PassThrough, Other };
inline constexpr size_t kFamilies = 4;
const char* FamilyName(Family family);

struct FuzzRequest {
  Family family = Family::Other;
  ULONG code = 0;
  std::vector<uint8_t> input;  // inputLength is input.size()
  ULONG outputLength = 0;
  // Cancelled (CancelIo) if still outstanding this long after it was sent.
  emu::VirtualTime cancelAfter = 0;
  // A pass-through request that may reprogram or reset the chip behind the driver's back (a vendor
  // write, a hub port reset): the port is re-opened and re-initialised after it.
  bool touchesChip = false;
};

class RequestGenerator {
 public:
  explicit RequestGenerator(uint64_t seed) : rng_(seed) {}
  FuzzRequest Next();

 private:
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
  bool Chance(uint32_t percent) { return Below(100) < percent; }
  // A length for a buffer whose code expects `natural` bytes.
  ULONG Length(ULONG natural);
  std::vector<uint8_t> Random(size_t n);
  // Cuts or extends `bytes` to n, extending with random bytes.
  void Resize(std::vector<uint8_t>& bytes, size_t n);
  std::vector<uint8_t> SerialInput(ULONG function);
  std::vector<uint8_t> InternalInput(ULONG code);
  void PassThrough(FuzzRequest& r);
  ULONG OtherCode();

  std::mt19937_64 rng_;
};

// Calls per family and their statuses, and the last requests with their results.
class FuzzLog {
 public:
  // A request about to be sent, then its result.
  void Issue(const FuzzRequest& r);
  void Record(const FuzzRequest& r, NTSTATUS status, ULONG_PTR information);
  // One line: per family the calls and the count of each status.
  std::string Summary() const;
  // The last requests issued, oldest first, one per line.
  std::string Recent() const;
  // The last request issued.
  std::string Last() const { return recent_.empty() ? std::string() : Format(recent_.back()); }
  uint64_t Calls() const { return calls_; }
  uint64_t Count(Family family, NTSTATUS status) const;
  // SUCCESS, BUFFER_TOO_SMALL, ... or the value in hex.
  static std::string StatusText(NTSTATUS status);

 private:
  struct Entry {
    uint64_t number;
    Family family;
    ULONG code;
    size_t inputLength;
    ULONG outputLength;
    std::array<uint8_t, 12> head;  // the first input bytes
    NTSTATUS status;
    ULONG_PTR information;
    bool ended;
  };
  static std::string Format(const Entry& e);

  std::array<std::map<NTSTATUS, uint64_t>, kFamilies> statuses_;
  std::deque<Entry> recent_;
  uint64_t calls_ = 0;
};

}  // namespace tarnwire::testing
