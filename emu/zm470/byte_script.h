// A reader over a byte string that a hostile device model or a fuzz target draws its choices
// from, in the manner of libFuzzer's FuzzedDataProvider: every draw takes bytes from the front,
// and once the bytes run out every draw answers 0 (Exhausted() tells), so that a run driven by a
// script always ends in plain behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace emu::zm470 {

class ByteScript {
 public:
  ByteScript() = default;
  explicit ByteScript(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool Exhausted() const { return pos_ >= bytes_.size(); }
  size_t Remaining() const { return bytes_.size() - pos_; }
  size_t Consumed() const { return pos_; }

  uint8_t Byte() { return Exhausted() ? 0 : bytes_[pos_++]; }
  uint16_t U16() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | (static_cast<uint32_t>(U16()) << 16);
  }
  bool Bit() { return (Byte() & 1) != 0; }
  // A value in [0, n) (n > 0), from one byte when n fits in one and two otherwise.
  uint32_t Below(uint32_t n) { return (n <= 256 ? Byte() : U16()) % n; }
  // Up to n bytes (fewer when the script ends first).
  std::vector<uint8_t> Bytes(size_t n) {
    const size_t take = n < Remaining() ? n : Remaining();
    std::vector<uint8_t> out(bytes_.begin() + static_cast<ptrdiff_t>(pos_),
                             bytes_.begin() + static_cast<ptrdiff_t>(pos_ + take));
    pos_ += take;
    return out;
  }
  // A script of its own over the next `n` bytes (fewer when this one ends first).
  ByteScript Split(size_t n) {
    const size_t take = n < Remaining() ? n : Remaining();
    ByteScript part(bytes_.subspan(pos_, take));
    pos_ += take;
    return part;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace emu::zm470
