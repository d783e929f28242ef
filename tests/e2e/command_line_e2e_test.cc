// The command line end to end: usage, argument counts and extension checks,
// each refused with status 1 before anything is touched.
#include "e2e/tool_runner.h"

namespace {

const char kUsage[] =
    "Usage: Quillon create <flat|sparse> <bytes> <dst>\n"
    "       Quillon flat-to-sparse <src> <dst>\n"
    "       Quillon sparse-to-flat <src> <dst>\n"
    "       Quillon extend <bytes> <dst>\n";

using CommandLineTest = ToolTest;

TEST_F(CommandLineTest, WrongCommandsAndCountsPrintUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"Create", "flat", "1", "a.fs"},
      {"CREATE", "flat", "1", "a.fs"},
      {"create", "flat", "1", "a.fs", "extra"},
      {"create", "Flat", "1", "a.fs"},
      {"create", "flat", "1"},
      {"create", "bogus", "1"},  // the count is checked before the type word
      {"flat-to-sparse", "a.fs"},
      {"sparse-to-flat", "a.sparsefs", "b.fs", "c"},
      {"extend", "1"},
      {"shrink", "1", "a.fs"},
  };
  for (const auto& args : cases) {
    const ToolResult result = Run(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, kUsage);
  }
  EXPECT_FALSE(PathExists(Path("a.fs")));
}

TEST_F(CommandLineTest, ExtensionsAreCheckedBeforeAnythingIsTouched) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string flat = "Flat block device must have extension 'fs'\n";
  const std::string sparse = "Sparse block device must have extension 'sparsefs'\n";
  const std::vector<Case> cases = {
      {{"create", "flat", "1", "disk.img"}, flat},
      {{"create", "flat", "1", "disk.FS"}, flat},
      {{"create", "flat", "1", "disk"}, flat},
      {{"create", "flat", "1", "disk."}, flat},
      {{"create", "flat", "1", "dir.v2/disk"}, flat},
      {{"create", "sparse", "1", "disk.fs"}, sparse},
      {{"flat-to-sparse", "a.fs", "b.fs"}, sparse},
      {{"flat-to-sparse", "a.img", "b.sparsefs"}, flat},
      {{"sparse-to-flat", "a.sparsefs", "b.sparsefs"}, flat},
      {{"sparse-to-flat", "a.fs", "b.fs"}, sparse},
      {{"extend", "1", "disk"}, "Device path has no extension\n"},
      {{"extend", "1", "disk.vhd"}, "Device path has invalid extension\n"},
      {{"extend", "1", "disk."}, "Device path has invalid extension\n"},
      {{"extend", "1", "dir.v2/disk"}, "Device path has invalid extension\n"},
  };
  for (const Case& c : cases) {
    const ToolResult result = Run(c.args);
    EXPECT_EQ(result.status, 1) << c.args.back();
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err) << c.args.back();
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(CommandLineTest, ByteCountsAreParsedLeniently) {
  EXPECT_EQ(Run({"create", "flat", "abc", "a.fs"}).status, 0);
  EXPECT_EQ(FileLength(Path("a.fs")), 0u);
  const ToolResult result = Run({"create", "flat", "10MB", "b.fs"});
  EXPECT_EQ(result.out, "Creating flat block device of 10 bytes\n");
  EXPECT_EQ(FileLength(Path("b.fs")), 512u);
  // A full-width "2" after an ideographic space.
  EXPECT_EQ(Run({"create", "flat", "\xe3\x80\x80\xef\xbc\x92" "000", "c.fs"}).out,
            "Creating flat block device of 2000 bytes\n");
  // A file named just ".fs" has the extension "fs".
  EXPECT_EQ(Run({"create", "flat", "1", ".fs"}).status, 0);
}

TEST_F(CommandLineTest, OutputThatCannotBeWrittenChangesNothing) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "uses the shell's pipes and /dev/full";
  // A closed pipe and a full device: the work is done and the status stays.
  const std::string command = std::string("cd ") + dir_ + " && " + QUILLON_BINARY +
                              " create sparse 1 a.sparsefs | true; echo $? > status";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadWholeFile(Path("status")), "0\n");
  EXPECT_EQ(FileLength(Path("a.sparsefs/Map")), 36u);

  const std::string full = std::string("cd ") + dir_ + " && " + QUILLON_BINARY +
                           " create flat 1 a.fs > /dev/full 2>&1; echo $? > status";
  ASSERT_EQ(std::system(full.c_str()), 0);
  EXPECT_EQ(ReadWholeFile(Path("status")), "0\n");
  EXPECT_EQ(FileLength(Path("a.fs")), 512u);
}

TEST_F(CommandLineTest, ProgressComesBeforeTheErrorInACombinedStream) {
  ASSERT_EQ(Run({"create", "sparse", "1", "a.sparsefs"}).status, 0);
  ToolOptions combined;
  combined.combined = true;
  const ToolResult result = Run({"create", "sparse", "1", "a.sparsefs"}, combined);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out,
            "Creating sparse block device of 1 bytes\n"
            "Cannot create directory 'a.sparsefs'" + Number(Errors().exists));
}

}  // namespace
