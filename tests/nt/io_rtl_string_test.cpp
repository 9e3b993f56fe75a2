// Counted-string routines: number formatting into fixed buffers, appends that do not fit,
// copies, comparisons and parsing.
#include <gtest/gtest.h>
#include <wdm.h>

#include "nt/io_util.h"

namespace {

struct Buffer {
  WCHAR chars[16];
  UNICODE_STRING s;
  explicit Buffer(USHORT maxBytes) : chars{}, s{0, maxBytes, chars} {}
};

TEST(RtlStrings, IntegerToUnicodeStringNeedsRoomForTheNul) {
  Buffer b(20);  // the driver's scratch size: nine digits and a NUL
  ASSERT_EQ(RtlIntegerToUnicodeString(123456789, 10, &b.s), STATUS_SUCCESS);
  EXPECT_EQ(emu::ToU16(&b.s), u"123456789");
  EXPECT_EQ(b.chars[9], u'\0');
  EXPECT_EQ(RtlIntegerToUnicodeString(1234567890, 10, &b.s), STATUS_BUFFER_OVERFLOW)
      << "ten digits plus the NUL do not fit in 20 bytes";
  EXPECT_EQ(emu::ToU16(&b.s), u"123456789") << "a failed conversion leaves the string alone";

  ASSERT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &b.s), STATUS_SUCCESS);
  EXPECT_EQ(emu::ToU16(&b.s), u"BEEF");
  ASSERT_EQ(RtlIntegerToUnicodeString(5, 2, &b.s), STATUS_SUCCESS);
  EXPECT_EQ(emu::ToU16(&b.s), u"101");
  ASSERT_EQ(RtlIntegerToUnicodeString(0, 0, &b.s), STATUS_SUCCESS) << "base 0 means decimal";
  EXPECT_EQ(emu::ToU16(&b.s), u"0");
  EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &b.s), STATUS_INVALID_PARAMETER);
}

TEST(RtlStrings, AppendsThatDoNotFitFailAndChangeNothing) {
  Buffer b(12);  // six characters
  WCHAR com[] = u"COM";
  RtlInitUnicodeString(&b.s, nullptr);
  b.s.Buffer = b.chars;
  b.s.MaximumLength = 12;
  ASSERT_EQ(RtlAppendUnicodeToString(&b.s, com), STATUS_SUCCESS);
  EXPECT_EQ(b.chars[3], u'\0') << "NUL-terminated while there is room";
  Buffer n(20);
  RtlIntegerToUnicodeString(10, 10, &n.s);
  ASSERT_EQ(RtlAppendUnicodeStringToString(&b.s, &n.s), STATUS_SUCCESS);
  EXPECT_EQ(emu::ToU16(&b.s), u"COM10");
  RtlIntegerToUnicodeString(123, 10, &n.s);
  EXPECT_EQ(RtlAppendUnicodeStringToString(&b.s, &n.s), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(emu::ToU16(&b.s), u"COM10") << "nothing is appended when it does not all fit";
  WCHAR x[] = u"X";
  ASSERT_EQ(RtlAppendUnicodeToString(&b.s, x), STATUS_SUCCESS) << "exactly full is fine";
  EXPECT_EQ(b.s.Length, 12u);

  Buffer small(6);
  RtlCopyUnicodeString(&small.s, &b.s);
  EXPECT_EQ(emu::ToU16(&small.s), u"COM") << "a copy is cut to the destination";
}

TEST(RtlStrings, InitCompareIgnoringCaseOnRequestAndParseUpToANonDigit) {
  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, u"\\Device\\Serial2");
  EXPECT_EQ(a.Length, 30u);
  EXPECT_EQ(a.MaximumLength, 32u);
  RtlInitUnicodeString(&b, u"\\DEVICE\\serial2");
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0) << "'e' sorts after 'E'";
  UNICODE_STRING prefix;
  RtlInitUnicodeString(&prefix, u"\\Device");
  EXPECT_LT(RtlCompareUnicodeString(&prefix, &a, TRUE), 0) << "a prefix sorts first";

  const struct {
    const WCHAR* text;
    ULONG base, value;
  } parses[] = {{u"  0x1F", 0, 31}, {u"42abc", 10, 42}, {u"-1", 10, 0xFFFFFFFF}};
  for (const auto& p : parses) {
    UNICODE_STRING n;
    ULONG v = 0;
    RtlInitUnicodeString(&n, p.text);
    EXPECT_EQ(RtlUnicodeStringToInteger(&n, p.base, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, p.value) << "blanks, sign and prefix are read; parsing stops at a non-digit";
    EXPECT_EQ(RtlUnicodeStringToInteger(&n, 3, &v), STATUS_INVALID_PARAMETER);
  }
}

}  // namespace
