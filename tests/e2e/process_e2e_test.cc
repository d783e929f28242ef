// What a row cannot say: round trips, the terminal, standard streams that
// are closed or broken, and other processes that hold or cut our files.
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "e2e/runner.h"

namespace {

using ProcessTest = ToolTest;

TEST_F(ProcessTest, RoundTripGivesTheSourceThenZeros) {
  // Several read blocks, holes, zero chunks and a chunk whose only non-zero
  // byte is its last.
  const std::string source = "rand(3C,1) 64K*0 5C*hole 64K-1*0 \"\\x01\" rand(40C+12345,2)";
  MakeFile(Path("a.fs"), source);
  ASSERT_EQ(Run({"flat-to-sparse", "a.fs", "a.sparsefs"}).status, 0);
  ASSERT_EQ(Run({"sparse-to-flat", "a.sparsefs", "b.fs"}).status, 0);
  const std::string bytes = Content(source);
  EXPECT_EQ(ReadWholeFile(Path("b.fs")), bytes + std::string(-bytes.size() % 65536, '\0'));
}

TEST_F(ProcessTest, ATerminalShowsALivePercentageThatLeavesNoTrace) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "uses a pseudo-terminal and a preloaded hook";
  MakeFile(Path("a.fs"), "rand(40C,5)");
  ToolOptions options{Hook({"QUILLON_HOOK_PAUSE=3 " + dir_})};
  options.terminal = true;
  const RunningTool run = StartTool(dir_, {"flat-to-sparse", "a.fs", "a.sparsefs"}, options);
  for (int i = 0; i < 2000 && !std::filesystem::exists(Path("paused")); ++i) usleep(5000);
  // Paused inside the phase: its percentage is already on the screen.
  usleep(100000);
  char shown[4096];
  const ssize_t got = read(run.out, shown, sizeof shown);
  const std::string early(shown, got > 0 ? got : 0);
  EXPECT_TRUE(std::regex_search(ScreenText(early), std::regex("Populating store\\.\\.\\. [1-9][0-9]?%$")))
      << early;
  MakeFile(Path("resume"), "");
  const ToolResult result = FinishTool(run);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(ScreenText(early + result.out),
            "Flat block device is 2621440 bytes\nCreating sparse block device of 2621440 bytes\n"
            "Chunk length = 65536\nChunk count = 40\nCreating map...\nCreating store...\n"
            "Populating store...\nCleaning up...\n");
}

TEST_F(ProcessTest, StandardStreamsThatAreClosedOrBrokenChangeNothing) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "closes descriptors";
  // Each command, with each standard stream closed in turn or output to a
  // pipe nobody reads, leaves the files and status it leaves otherwise.
  const std::vector<std::vector<std::string>> commands = {
      {"create", "flat", "4096", "c.fs"},  {"extend", "8192", "a.fs"},
      {"extend", "100", "a.fs"},           {"extend", "20000000000000000", "a.fs"},
      {"create", "sparse", "1", "s.sparsefs"}, {"flat-to-sparse", "a.fs", "t.sparsefs"},
      {"sparse-to-flat", "t.sparsefs", "b.fs"}, {"extend", "1", "nope.fs"}};
  std::string expected;
  for (int closed : {-1, 0, 1, 2, 3}) {
    std::filesystem::remove_all(Path("run"));
    std::filesystem::create_directory(Path("run"));
    MakeFile(Path("run/a.fs"), "rand(4096,1)");
    std::string outcome;
    for (const std::vector<std::string>& args : commands) {
      ToolOptions options;
      options.closedStream = closed < 3 ? closed : -1;
      options.brokenPipe = closed == 3;
      outcome += std::to_string(RunTool(Path("run"), args, options).status);
    }
    for (const auto& [path, held] : Snapshot(Path("run"))) outcome += path + "=" + held;
    if (closed == -1) expected = outcome;
    EXPECT_EQ(outcome, expected) << "stream " << closed;
  }
  EXPECT_EQ(expected.substr(0, 8), "00010001");
}

TEST_F(ProcessTest, AFileInUseIsRefusedAtItsOpen) {
  MakeFile(Path("a.fs"), "512*'d'");
  {
    const FileHolder holder(Path("a.fs"));
    EXPECT_EQ(Run({"extend", "4096", "a.fs"}).err, WithErrorNumbers("Cannot open 'a.fs': {busy}\n"));
    EXPECT_EQ(Run({"create", "flat", "0", "a.fs"}).err, WithErrorNumbers("Cannot create 'a.fs': {busy}\n"));
  }
  EXPECT_EQ(ReadWholeFile(Path("a.fs")), std::string(512, 'd'));
  if (TestingWindowsBuild()) return;

  // A second quillon meets the files the first holds while paused at its
  // first Store write, and the first then finishes with nothing lost.
  const RunningTool first = StartTool(dir_, {"flat-to-sparse", "a.fs", "b.sparsefs"},
                                      {Hook({"QUILLON_HOOK_PAUSE=2 " + dir_})});
  for (int i = 0; i < 2000 && !std::filesystem::exists(Path("paused")); ++i) usleep(5000);
  EXPECT_EQ(Run({"extend", "4096", "a.fs"}).err, "Cannot open 'a.fs': 11\n");
  EXPECT_EQ(Run({"extend", "1", "b.sparsefs"}).err, "Cannot open 'b.sparsefs/Map': 11\n");
  MakeFile(Path("resume"), "");
  EXPECT_EQ(FinishTool(first).status, 0);
  ASSERT_EQ(Run({"sparse-to-flat", "b.sparsefs", "c.fs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("c.fs")), std::string(512, 'd') + std::string(65024, '\0'));
}

TEST_F(ProcessTest, ASourceCutShortWhileReadIsAShortRead) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "uses a preloaded hook";
  // Another program cuts the source at the first Store write: inside data
  // still to be read, and inside holes that are never read.
  for (const auto& [source, cut] : {std::pair{"rand(40C,3)", "20C"},
                                    std::pair{"rand(2C,1) 100C*hole rand(1C,2)", "50C"}}) {
    MakeFile(Path("a.fs"), source);
    std::filesystem::remove_all(Path("a.sparsefs"));
    const std::string setting = "QUILLON_HOOK_CUT=2 " + Path("a.fs") + " " + std::to_string(Count(cut));
    const ToolResult result = Run({"flat-to-sparse", "a.fs", "a.sparsefs"}, {Hook({setting})});
    EXPECT_EQ(result.status, 1) << source;
    EXPECT_EQ(result.err, "Short read from file\n") << source;
  }
}

}  // namespace
