// Counted Unicode string routines of the run-time library.
#include "nt/io_util.h"
#include "nt/kernel.h"

#include <cstring>

namespace {

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// Appends `bytes` bytes of characters; NUL-terminates when there is room for it.
NTSTATUS AppendChars(PUNICODE_STRING dest, const WCHAR* chars, size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if (dest->Length + bytes > dest->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<uint8_t*>(dest->Buffer) + dest->Length, chars, bytes);
  dest->Length = static_cast<USHORT>(dest->Length + bytes);
  if (dest->Length + sizeof(WCHAR) <= dest->MaximumLength)
    dest->Buffer[dest->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

}  // namespace

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  emu::KernelCall();
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
  if (bytes > MAXUSHORT - sizeof(WCHAR)) bytes = MAXUSHORT - sizeof(WCHAR) - 1;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

// Formats like RtlIntegerToChar followed by an ANSI-to-Unicode conversion into the caller's
// buffer: the digits and a terminating NUL must fit in MaximumLength, else
// STATUS_BUFFER_OVERFLOW and the string is left unchanged.
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  emu::KernelCall();
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  int n = 0;
  do {
    ULONG d = Value % Base;
    digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
    Value /= Base;
  } while (Value != 0);
  size_t bytes = static_cast<size_t>(n) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
  String->Buffer[n] = 0;
  String->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

// Leading blanks, an optional sign, and with Base 0 a "0x", "0o" or "0b" prefix (decimal
// otherwise); conversion stops at the first character that is not a digit of the base.
NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  emu::KernelCall();
  if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16)
    return STATUS_INVALID_PARAMETER;
  size_t n = String->Length / sizeof(WCHAR);
  const WCHAR* s = String->Buffer;
  size_t i = 0;
  while (i < n && s[i] <= u' ') ++i;
  bool negative = false;
  if (i < n && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  if (Base == 0) {
    Base = 10;
    if (i + 1 < n && s[i] == u'0') {
      WCHAR p = s[i + 1];
      if (p == u'x' || p == u'X') Base = 16;
      else if (p == u'o' || p == u'O') Base = 8;
      else if (p == u'b' || p == u'B') Base = 2;
      if (Base != 10) i += 2;
    }
  }
  ULONG result = 0;
  for (; i < n; ++i) {
    WCHAR c = s[i];
    ULONG d;
    if (c >= u'0' && c <= u'9') d = c - u'0';
    else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
    else break;
    if (d >= Base) break;
    result = result * Base + d;
  }
  *Value = negative ? static_cast<ULONG>(0u - result) : result;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
  emu::KernelCall();
  if (Source == nullptr) return STATUS_SUCCESS;
  return AppendChars(Destination, Source->Buffer, Source->Length);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  emu::KernelCall();
  if (Source == nullptr) return STATUS_SUCCESS;
  return AppendChars(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                PCUNICODE_STRING SourceString) {
  emu::KernelCall();
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                     ? SourceString->Length
                     : DestinationString->MaximumLength;
  std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  emu::KernelCall();
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  emu::KernelCall();
  return emu::UpcaseChar(SourceCharacter);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
  emu::KernelCall();
  size_t n1 = String1->Length / sizeof(WCHAR);
  size_t n2 = String2->Length / sizeof(WCHAR);
  size_t n = n1 < n2 ? n1 : n2;
  for (size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = emu::UpcaseChar(a);
      b = emu::UpcaseChar(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}
