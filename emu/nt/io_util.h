// Small routines shared by the I/O manager, the object namespace and the registry: wide-string
// conversions, case folding and IRQL checks for routines with a documented IRQL limit.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>

namespace emu {

// The characters of a counted string (empty for NULL).
inline std::u16string ToU16(PCUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

// The characters of a NUL-terminated wide string (empty for NULL).
inline std::u16string ToU16(PCWSTR s) {
  if (s == nullptr) return {};
  size_t n = 0;
  while (s[n] != 0) ++n;
  return std::u16string(s, n);
}

inline std::u16string ToU16(std::string_view s) { return std::u16string(s.begin(), s.end()); }

// Upper case as RtlUpcaseUnicodeChar does for the characters names are made of.
inline char16_t UpcaseChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}

inline std::u16string Upcase(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) c = UpcaseChar(c);
  return out;
}

inline bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpcaseChar(a[i]) != UpcaseChar(b[i])) return false;
  return true;
}

// For traces and messages: non-ASCII characters become '?'.
inline std::string Narrow(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::string HexAddress(const void* p);
std::string HexStatus(NTSTATUS status);

// Bug checks IRQL_NOT_LESS_OR_EQUAL when a routine documented for IRQL <= max is called above
// it, the way a pageable kernel routine faults when entered at DISPATCH_LEVEL. `routine` is the
// routine's address (the fourth parameter).
void RequireIrqlAtMost(KIRQL max, const void* routine);

}  // namespace emu
