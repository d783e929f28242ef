// What a row cannot say: round trips, the terminal, standard streams that
// are closed or broken, and other processes that hold or cut our files.
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "e2e/runner.h"

namespace {

class ProcessTest : public ToolTest {
 protected:
  void SetUp() override {
    if (TestingWindowsBuild()) GTEST_SKIP() << "uses a preloaded hook, a terminal and descriptors";
    ToolTest::SetUp();
  }
};

TEST_F(ProcessTest, RoundTripGivesTheSourceThenZeros) {
  // Several reads, holes, zero chunks and a chunk with only its last byte set.
  // Every read and write is made to move only part of its bytes.
  const std::string source = "rand(3C,1) 64K*0 5C*hole 64K-1*0 \"\\x01\" rand(40C+12345,2)";
  MakeFile(Path("a.fs"), source);
  const ToolOptions partial{Hook({"QUILLON_HOOK_SHORT=1"})};
  ASSERT_EQ(Run({"flat-to-sparse", "a.fs", "a.sparsefs"}, partial).status, 0);
  ASSERT_EQ(Run({"sparse-to-flat", "a.sparsefs", "b.fs"}, partial).status, 0);
  const std::string bytes = Content(source);
  EXPECT_EQ(ReadWholeFile(Path("b.fs")), bytes + std::string(-bytes.size() % 65536, '\0'));
}

TEST_F(ProcessTest, ATerminalShowsALivePercentageThatLeavesNoTrace) {
  MakeFile(Path("a.fs"), "rand(40C,5)");
  ToolOptions options{Hook({"QUILLON_HOOK_PAUSE=3 " + dir_})};
  options.terminal = true;
  const RunningTool run = StartTool(dir_, {"flat-to-sparse", "a.fs", "a.sparsefs"}, options);
  WaitFor(Path("paused"));
  usleep(100000);
  char shown[4096];
  const std::string early(shown, std::max<ssize_t>(0, read(run.out, shown, sizeof shown)));
  EXPECT_TRUE(std::regex_search(ScreenText(early), std::regex("store\\.\\.\\. [1-9][0-9]?%$"))) << early;
  MakeFile(Path("resume"), "");
  const ToolResult result = FinishTool(run);
  EXPECT_EQ(ScreenText(early + result.out),
            "Flat block device is 2621440 bytes\nCreating sparse block device of 2621440 bytes\n"
            "Chunk length = 65536\nChunk count = 40\nCreating map...\nCreating store...\n"
            "Populating store...\nCleaning up...\n");
  EXPECT_EQ(ScreenText(Run({"sparse-to-flat", "a.sparsefs", "b.fs"}, options).out),
            "Verifying map...\nCreating flat block device of 2621440 bytes\nCreating flat block device...\n"
            "Populating flat block device...\nCleaning up...\n");
  // A failure ends the open phase's line before its message.
  options = ToolOptions{{}, -1, true, true};
  EXPECT_EQ(ScreenText(Run({"create", "flat", "-1", "b.fs"}, options).out),
            "Creating flat block device of 18446744073709551615 bytes\n"
            "Block device size 18446744073709551615 is too large\n");
}

TEST_F(ProcessTest, ClosedOrBrokenStandardStreamsChangeNothing) {
  // Each command, with each standard stream closed in turn or output to a
  // pipe nobody reads, leaves the files and status it leaves otherwise.
  const std::vector<std::vector<std::string>> commands = {
      {"create", "flat", "4096", "c.fs"}, {"extend", "8192", "a.fs"}, {"extend", "100", "a.fs"},
      {"extend", "20000000000000000", "a.fs"}, {"create", "sparse", "1", "s.sparsefs"}, {"extend", "1048576", "s.sparsefs"},
      {"flat-to-sparse", "a.fs", "t.sparsefs"}, {"sparse-to-flat", "t.sparsefs", "b.fs"}};
  std::string expected;
  for (int closed : {-1, 0, 1, 2, 3}) {
    std::filesystem::remove_all(Path("run"));
    MakeFile(Path("run/a.fs"), "rand(4096,1)");
    ToolOptions options;
    options.closedStream = closed < 3 ? closed : -1;
    options.brokenPipe = closed == 3;
    std::string outcome;
    for (const auto& args : commands) outcome += std::to_string(RunTool(Path("run"), args, options).status);
    for (const auto& [path, held] : Snapshot(Path("run"))) outcome += path + "=" + held;
    if (closed == -1) expected = outcome;
    EXPECT_EQ(outcome, expected) << "stream " << closed;
  }
  EXPECT_EQ(expected.substr(0, 8), "00010000");
}

TEST_F(ProcessTest, AnotherProcessMeetsOurFilesLockedAndCannotCutThemUnseen) {
  // A second quillon is refused the files the first holds while paused at
  // its first Store write; the first then finishes with nothing lost.
  MakeFile(Path("a.fs"), "512*'d'");
  const RunningTool first = StartTool(dir_, {"flat-to-sparse", "a.fs", "b.sparsefs"},
                                      {Hook({"QUILLON_HOOK_PAUSE=2 " + dir_})});
  WaitFor(Path("paused"));
  EXPECT_EQ(Run({"extend", "4096", "a.fs"}).err, "Cannot open 'a.fs': 11\n");
  EXPECT_EQ(Run({"create", "flat", "0", "a.fs"}).err, "Cannot create 'a.fs': 11\n");
  EXPECT_EQ(Run({"extend", "1", "b.sparsefs"}).err, "Cannot open 'b.sparsefs/Map': 11\n");
  MakeFile(Path("resume"), "");
  EXPECT_EQ(FinishTool(first).status, 0);
  ASSERT_EQ(Run({"sparse-to-flat", "b.sparsefs", "c.fs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("c.fs")), std::string(512, 'd') + std::string(65024, '\0'));

  // A source cut short at the first Store write, inside data still to be
  // read or inside holes that are never read, is a short read.
  for (const auto& [source, cut] : {std::pair{"rand(40C,3)", "20C"}, {"rand(2C,1) 100C*hole rand(1C,2)", "50C"}}) {
    MakeFile(Path("a.fs"), source);
    std::filesystem::remove_all(Path("a.sparsefs"));
    const std::string setting = "QUILLON_HOOK_CUT=2 " + Path("a.fs") + " " + std::to_string(Count(cut));
    const ToolResult result = Run({"flat-to-sparse", "a.fs", "a.sparsefs"}, {Hook({setting})});
    EXPECT_EQ(result.err, "Short read from file\n") << source;
  }
}

}  // namespace
