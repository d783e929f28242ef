#include "cli/byte_count.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t kInt64Max = 9223372036854775807ull;
constexpr std::uint64_t kInt64MinAsUnsigned = 9223372036854775808ull;

struct Case {
  const char* text;
  std::uint64_t expected;
};

// ASCII text is also checked against strtoll by the fuzz target; these are
// the cases a reader of the rules would ask about first.
TEST(ParseByteCountTest, SignsDigitsClampingAndTheRestOfTheText) {
  const Case cases[] = {
      {"4096", 4096},     {"abc", 0},          {"10MB", 10},     {"- 5", 0},
      {"+-5", 0},         {"-1", UINT64_MAX},  {"-0", 0},
      {"9223372036854775808", kInt64Max},
      {"-9223372036854775808", kInt64MinAsUnsigned},
      {"-99999999999999999999999999", kInt64MinAsUnsigned},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseByteCount(c.text), c.expected) << c.text;
}

TEST(ParseByteCountTest, LeadingWhiteSpaceFromTheFixedTable) {
  const Case cases[] = {
      {" \t\n\v\f\r42", 42},
      {"\xc2\xa0" "42", 42},          // U+00A0
      {"\xe3\x80\x80" "42", 42},      // U+3000
      {"\xe2\x80\x8a-1", UINT64_MAX}, // U+200A before a sign
      {"\xe1\x9a\x80\xe2\x80\xaf\xe2\x81\x9f" "7", 7},  // U+1680 U+202F U+205F
      {"\xc2\x85" "42", 0},           // U+0085 is not in the table
      {"\xe2\x80\x8b" "42", 0},       // nor is U+200B
      {"-\xe3\x80\x80" "42", 0},      // white space after the sign
      {"4\xe3\x80\x80" "2", 4},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseByteCount(c.text), c.expected) << c.text;
}

TEST(ParseByteCountTest, DigitsOfOtherScripts) {
  const Case cases[] = {
      {"\xd9\xa3\xd9\xa2", 32},                 // Arabic-Indic 3 2
      {"\xef\xbc\x91\xef\xbc\x90\xef\xbc\x99", 109},  // full-width 1 0 9
      {"1\xe0\xa5\xa8" "3", 123},               // Devanagari 2 between ASCII digits
      {"-\xe1\xa0\x91", UINT64_MAX},            // Mongolian 1
      {"\xe0\xbc\xa9", 9},                      // Tibetan 9
      {"\xd9\xaa", 0},                          // U+066A follows the Arabic-Indic run
      {"\xe0\xbc\xaa", 0},                      // U+0F2A, a Tibetan half digit
      {"\xef\xbc\x99\xef\xbc\x9a", 9},          // full-width 9 then a colon
  };
  for (const Case& c : cases) EXPECT_EQ(ParseByteCount(c.text), c.expected) << c.text;
}

TEST(ParseByteCountTest, InvalidUtf8IsNeitherDigitNorSpace) {
  const Case cases[] = {
      {"\xff" "5", 0},
      {"5\xff" "5", 5},
      {"\xc0\xb5", 0},          // an overlong "5"
      {"\xef\xbc", 0},          // a cut-off full-width digit
      {"\xed\xa0\x80" "5", 0},  // an encoded surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(ParseByteCount(c.text), c.expected) << c.text;
}

TEST(ByteCountTablesTest, EveryDigitRunHasTenValues) {
  const char32_t starts[] = {0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6,
                             0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50, 0x0ED0,
                             0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
  for (char32_t start : starts) {
    EXPECT_EQ(DigitValue(start - 1), -1) << static_cast<unsigned>(start);
    for (int value = 0; value < 10; ++value) EXPECT_EQ(DigitValue(start + value), value);
    EXPECT_EQ(DigitValue(start + 10), -1) << static_cast<unsigned>(start);
  }
  EXPECT_FALSE(IsByteCountSpace(0x200B));
  EXPECT_FALSE(IsByteCountSpace(0x85));
  EXPECT_TRUE(IsByteCountSpace(0x2005));
}

}  // namespace
