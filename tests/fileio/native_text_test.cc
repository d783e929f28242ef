#include "fileio/native_text.h"

#include <gtest/gtest.h>

#include "fileio/error.h"

namespace {

// How UTF-8 is read decides where a message is cut and whether a sparse path fits: bytes, and the characters they are.
TEST(NativeTextTest, Utf8EdgesCountAsTheCharactersTheyAre) {
  // clang-format off
  const std::pair<const char*, std::size_t> cases[] = {
      {"\x7f", 1}, {"\xc2\x80", 1}, {"\xdf\xbf", 1}, {"\xc1\xbf", 2}, {"\xe0\xa0\x80", 1}, {"\xe0\x9f\xbf", 3},
      {"\xef\xbf\xbf", 1}, {"\xed\xa0\x80", 3}, {"\xed\xbf\xbf", 3}, {"\xed\x9f\xbf", 1}, {"\xf0\x90\x80\x80", 1}, {"\xf0\x8f\xbf\xbf", 4},
      {"\xf4\x8f\xbf\xbf", 1}, {"\xf4\x90\x80\x80", 4}, {"\xf5\x80\x80\x80", 4}, {"\xe6\x97", 2}, {"\x80", 1},
      {"\xc3\xa9\xc3", 2}, {"a\xe6\x97\xa5" "b", 3}, {"\xf1\x80\x80\x80", 1}, {"\x80\xbf\xbf\xbf", 4},
      {"\xf8\x88\x80\x80", 4}, {"\xee\x80\x80", 1}};
  // clang-format on
  for (const auto& [bytes, characters] : cases) EXPECT_EQ(CountCodePoints(bytes), characters) << bytes;
}

TEST(PrintableMessageTest, CutsAt259CharactersAndPathsHideControls) {
  std::string accents;
  for (int i = 0; i < 300; ++i) accents += "\xc3\xa9";
  EXPECT_EQ(PrintableMessage(accents), accents.substr(0, 518));
  // The 259th character is kept whole; an invalid byte counts as one.
  const std::string four = "\xf0\x9f\x98\x80";
  EXPECT_EQ(PrintableMessage(std::string(258, 'a') + four + four), std::string(258, 'a') + four);
  EXPECT_EQ(PrintableMessage(std::string(300, '\xff')), std::string(259, '\xff'));
  EXPECT_EQ(PathError("At", std::string("a\nb\x1b[\x7f\x1f \x80", 9), 5).message, std::string("At 'a?b?[?? \x80'", 14));
}

}  // namespace
