#include "cli/byte_count.h"

#include <gtest/gtest.h>

namespace {

// ASCII text is also checked against strtoll by the fuzz target; these are
// the cases a reader of the rules would ask about first.
TEST(ParseByteCountTest, ReadsLikeASigned64BitNumber) {
  const struct {
    const char* text;
    std::uint64_t expected;
  } cases[] = {
      {"4096", 4096}, {"abc", 0}, {"10MB", 10}, {"", 0}, {"- 5", 0}, {"+-5", 0}, {"+7", 7},
      {"-1", UINT64_MAX}, {"-0", 0},
      {"9223372036854775807", 9223372036854775807ull},
      {"9223372036854775808", 9223372036854775807ull},
      {"-9223372036854775808", 9223372036854775808ull},
      {"-99999999999999999999999999", 9223372036854775808ull},
      // White space from the fixed table, and only before the sign.
      {" \t\n\v\f\r42", 42}, {"\xc2\xa0" "42", 42}, {"\xe3\x80\x80" "42", 42},
      {"\xe2\x80\x8a-1", UINT64_MAX}, {"\xe1\x9a\x80\xe2\x80\xaf\xe2\x81\x9f" "7", 7},
      {"\xe2\x80\x80\xe2\x80\xa8\xe2\x80\xa9" "5", 5}, {"\xc2\x85" "42", 0},
      {"\xe2\x80\x8b" "42", 0}, {"-\xe3\x80\x80" "42", 0}, {"4\xe3\x80\x80" "2", 4},
      // Digits of other scripts, with the edges of their runs.
      {"\xd9\xa0\xd9\xa9", 9}, {"\xd9\xaa", 0}, {"\xd9\x9f", 0},
      {"\xef\xbc\x91\xef\xbc\x90\xef\xbc\x99", 109}, {"\xef\xbc\x9a", 0},
      {"1\xe0\xa5\xa8" "3", 123}, {"-\xe1\xa0\x91", UINT64_MAX}, {"\xe0\xbc\xa9", 9},
      {"\xe0\xbc\xaa", 0}, {"\xdb\xb5\xe0\xa7\xab\xe0\xa9\xac\xe0\xab\xad\xe0\xad\xae", 55678},
      {"\xe0\xb1\xaf\xe0\xb3\xa6\xe0\xb5\xa7\xe0\xb9\x92\xe0\xbb\x93\xe1\x81\x84\xe1\x9f\xa5", 9012345},
      // Invalid UTF-8 is neither a digit nor white space.
      {"\xff" "5", 0}, {"5\xff" "5", 5}, {"\xc0\xb5", 0}, {"\xef\xbc", 0}, {"\xed\xa0\x80" "5", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseByteCount(c.text), c.expected) << c.text;
}

}  // namespace
