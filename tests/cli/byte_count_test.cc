#include "cli/byte_count.h"

#include <gtest/gtest.h>

namespace {

// The cases a reader of the rules asks about, and every table entry.
TEST(ParseByteCountTest, ReadsLikeASigned64BitNumber) {
  // clang-format off
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"4096", 4096}, {"abc", 0}, {"10MB", 10}, {"", 0}, {"- 5", 0}, {"+-5", 0}, {"+7", 7}, {"-1", UINT64_MAX},
      {"-0", 0}, {"9223372036854775807", 9223372036854775807ull}, {"9223372036854775808", 9223372036854775807ull},
      {"9223372036854775800", 9223372036854775800ull},
      {"-9223372036854775808", 9223372036854775808ull}, {"-99999999999999999999999", 9223372036854775808ull},
      // White space, from the fixed table and only before the sign.
      {" \t\n\v\f\r\xc2\xa0" "42", 42}, {"\xe2\x80\x8a-1", UINT64_MAX}, {"\xc2\x85" "42", 0},
      {"\xe2\x80\x8b" "42", 0}, {"-\xe3\x80\x80" "42", 0}, {"4\xe3\x80\x80" "2", 4}, {"\b42", 0},
      {"\xe1\x9a\x80\xe2\x80\x80\xe2\x80\x81\xe2\x80\x82\xe2\x80\x83\xe2\x80\x84\xe2\x80\x85\xe2\x80\x86\xe2\x80\x87"
       "\xe2\x80\x88\xe2\x80\x89\xe2\x80\x8a\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\x9f\xe3\x80\x80" "5", 5},
      // Digits of other scripts: the 9 of every run, and the edges of one.
      {"9\xd9\xa9\xdb\xb9\xe0\xa5\xaf\xe0\xa7\xaf\xe0\xa9\xaf\xe0\xab\xaf\xe0\xad\xaf\xe0\xb1\xaf\xe0\xb3\xaf"
       "\xe0\xb5\xaf\xe0\xb9\x99\xe0\xbb\x99\xe0\xbc\xa9\xe1\x81\x89\xe1\x9f\xa9\xe1\xa0\x99\xef\xbc\x99",
       999999999999999999},
      {"\xd9\xa0\xd9\xa1", 1}, {"\xd9\xaa", 0}, {"\xd9\x9f", 0}, {"\xef\xbc\x9a", 0}, {"-\xe1\xa0\x91", UINT64_MAX},
      // Invalid UTF-8 is neither a digit nor white space.
      {"\xff" "5", 0}, {"5\xff" "5", 5}, {"\xc0\xb5", 0}, {"\xef\xbc", 0}, {"\xed\xa0\x80" "5", 0},
  };
  // clang-format on
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseByteCount(text), expected) << text;
}

}  // namespace
