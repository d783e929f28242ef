// Flat devices end to end: sizes, replacement, extension, refusals and the
// file a second process holds.
#include "e2e/tool_runner.h"

namespace {

using FlatTest = ToolTest;

TEST_F(FlatTest, CreateRoundsUpToBlocksOfZeros) {
  const ToolResult one = Run({"create", "flat", "1", "a.fs"});
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.out, "Creating flat block device of 1 bytes\n");
  EXPECT_EQ(one.err, "");
  EXPECT_EQ(ReadWholeFile(Path("a.fs")), std::string(512, '\0'));

  EXPECT_EQ(Run({"create", "flat", "0", "b.fs"}).status, 0);
  EXPECT_EQ(FileLength(Path("b.fs")), 0u);

  EXPECT_EQ(Run({"create", "flat", "3000000", "c.fs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("c.fs")), std::string(3000320, '\0'));
}

TEST_F(FlatTest, CreateReplacesAnExistingFile) {
  WriteWholeFile(Path("a.fs"), std::string(1 << 20, 'x'));
  EXPECT_EQ(Run({"create", "flat", "1024", "a.fs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("a.fs")), std::string(1024, '\0'));
}

TEST_F(FlatTest, CreateRefusesSizesBeyondAFileOffset) {
  WriteWholeFile(Path("a.fs"), "keep");
  for (const char* count : {"-1", "-511", "9223372036854775297"}) {
    const ToolResult result = Run({"create", "flat", count, "a.fs"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("Block device size ", 0), 0u) << result.err;
    EXPECT_EQ(result.out.rfind("Creating flat block device of ", 0), 0u);
  }
  EXPECT_EQ(Run({"create", "flat", "-1", "a.fs"}).err,
            "Block device size 18446744073709551615 is too large\n");
  EXPECT_EQ(ReadWholeFile(Path("a.fs")), "keep");
}

TEST_F(FlatTest, CreateInAMissingDirectoryFails) {
  const ToolResult result = Run({"create", "flat", "1", "missing/a.fs"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "Creating flat block device of 1 bytes\n");
  EXPECT_EQ(result.err, "Cannot create 'missing/a.fs'" + Number(Errors().missingDirectory));
}

TEST_F(FlatTest, ExtendGrowsAndKeepsTheData) {
  WriteWholeFile(Path("a.fs"), std::string(512, 'd'));
  const ToolResult result = Run({"extend", "1000", "a.fs"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            "Extending flat block device\n"
            "Old block device size is 512\n"
            "New block device size is 1024\n");
  EXPECT_EQ(ReadWholeFile(Path("a.fs")), std::string(512, 'd') + std::string(512, '\0'));

  WriteWholeFile(Path("b.fs"), std::string(1000, 'd'));
  EXPECT_EQ(Run({"extend", "1024", "b.fs"}).status, 0);
  EXPECT_EQ(FileLength(Path("b.fs")), 1024u);

  EXPECT_EQ(Run({"extend", "1024", "b.fs"}).out,
            "Extending flat block device\n"
            "Old block device size is 1024\n"
            "New block device size is 1024\n");
  EXPECT_EQ(FileLength(Path("b.fs")), 1024u);
}

TEST_F(FlatTest, ExtendRefusesToShortenWithoutANewline) {
  WriteWholeFile(Path("a.fs"), std::string(1024, 'd'));
  const ToolResult result = Run({"extend", "100", "a.fs"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            "Extending flat block device\n"
            "Old block device size is 1024\n"
            "New block device size is 512\n"
            "Refusing to shorten block device");
  EXPECT_EQ(ReadWholeFile(Path("a.fs")), std::string(1024, 'd'));

  // -1 wraps to a new size of 0: refused for a file with data, a no-op for
  // an empty one.
  EXPECT_EQ(Run({"extend", "-1", "a.fs"}).out,
            "Extending flat block device\n"
            "Old block device size is 1024\n"
            "New block device size is 0\n"
            "Refusing to shorten block device");
  WriteWholeFile(Path("empty.fs"), "");
  EXPECT_EQ(Run({"extend", "-1", "empty.fs"}).status, 0);
  EXPECT_EQ(FileLength(Path("empty.fs")), 0u);
}

TEST_F(FlatTest, ExtendOfAMissingFileFails) {
  const ToolResult result = Run({"extend", "1", "nope.fs"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "Extending flat block device\n");
  EXPECT_EQ(result.err, "Cannot open 'nope.fs': 2\n");
}

TEST_F(FlatTest, AFileHeldByAnotherProcessIsRefused) {
  WriteWholeFile(Path("a.fs"), std::string(512, 'd'));
  {
    const FileHolder holder(dir_, "a.fs");
    const ToolResult extend = Run({"extend", "4096", "a.fs"});
    EXPECT_EQ(extend.status, 1);
    EXPECT_EQ(extend.err, "Cannot open 'a.fs'" + Number(Errors().busy));
    const ToolResult create = Run({"create", "flat", "0", "a.fs"});
    EXPECT_EQ(create.status, 1);
    EXPECT_EQ(create.err, "Cannot create 'a.fs'" + Number(Errors().busy));
  }
  EXPECT_EQ(ReadWholeFile(Path("a.fs")), std::string(512, 'd'));
}

TEST_F(FlatTest, LongMessagesAreCutAt259Characters) {
  const std::string name = std::string(150, 'm') + "/" + std::string(150, 'n') + ".fs";
  const ToolResult result = Run({"extend", "1", name});
  const std::string message = "Cannot open '" + name + "'";
  EXPECT_EQ(result.err, message.substr(0, 259) + Number(Errors().missingDirectory));
}

TEST_F(FlatTest, PathsArePrintedAsGiven) {
  // Linux prints the bytes as they came; Windows prints each character up
  // to U+00FF as that byte and any other as "?", and still ends the line.
  const ToolResult result = Run({"extend", "1", "\xe6\x97\xa5\xc3\xa9.fs"});
  EXPECT_EQ(result.status, 1);
  const std::string shown = TestingWindowsBuild() ? "?\xe9.fs" : "\xe6\x97\xa5\xc3\xa9.fs";
  EXPECT_EQ(result.err, "Cannot open '" + shown + "': 2\n");
}

}  // namespace
