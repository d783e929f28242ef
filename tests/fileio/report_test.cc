#include "fileio/report.h"

#include <gtest/gtest.h>

namespace {

TEST(PrintableMessageTest, CountsCharactersNotBytes) {
  EXPECT_EQ(PrintableMessage("short"), "short");
  const std::string ascii(300, 'a');
  EXPECT_EQ(PrintableMessage(ascii), ascii.substr(0, 259));

  std::string accents;
  for (int i = 0; i < 300; ++i) accents += "\xc3\xa9";  // é, two bytes each
  EXPECT_EQ(PrintableMessage(accents), accents.substr(0, 518));

  // An invalid byte counts as one character.
  const std::string invalid(300, '\xff');
  EXPECT_EQ(PrintableMessage(invalid).size(), 259u);
}

TEST(PrintableMessageTest, NeverSplitsACharacter) {
  // 258 ASCII characters, then four-byte characters: the 259th is kept whole.
  const std::string message = std::string(258, 'a') + "\xf0\x9f\x98\x80\xf0\x9f\x98\x80";
  EXPECT_EQ(PrintableMessage(message), std::string(258, 'a') + "\xf0\x9f\x98\x80");
}

TEST(FatalTest, TakesTheErrorNumberBeforeBuildingTheMessage) {
  EXPECT_EXIT(
      {
        Fatal("Cannot write to file " + NativeString(300, 'x'), 28);
      },
      testing::ExitedWithCode(1), "^Cannot write to file x{238}: 28\n$");
}

}  // namespace
