#include "fileio/report.h"

#include <gtest/gtest.h>

namespace {

TEST(CutMessageTest, CountsCharactersNotBytes) {
  EXPECT_EQ(CutMessage("short"), "short");
  const std::string ascii(300, 'a');
  EXPECT_EQ(CutMessage(ascii), ascii.substr(0, 259));

  std::string accents;
  for (int i = 0; i < 300; ++i) accents += "\xc3\xa9";  // é, two bytes each
  EXPECT_EQ(CutMessage(accents), accents.substr(0, 518));

  // An invalid byte counts as one character.
  const std::string invalid(300, '\xff');
  EXPECT_EQ(CutMessage(invalid).size(), 259u);
}

TEST(CutMessageTest, NeverSplitsACharacter) {
  // 258 ASCII characters, then four-byte characters: the 259th is kept whole.
  const std::string message = std::string(258, 'a') + "\xf0\x9f\x98\x80\xf0\x9f\x98\x80";
  EXPECT_EQ(CutMessage(message), std::string(258, 'a') + "\xf0\x9f\x98\x80");
}

TEST(FatalTest, TakesTheErrorNumberBeforeBuildingTheMessage) {
  EXPECT_EXIT(
      {
        errno = 28;
        FatalLastError("Cannot write to file ", NativeString(300, 'x'));
      },
      testing::ExitedWithCode(1), "^Cannot write to file x{238}: 28\n$");
}

}  // namespace
