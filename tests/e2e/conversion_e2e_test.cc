// Conversions end to end: what lands in the Map and Store, round trips, and
// that a bad source never touches the destination.
#include <fcntl.h>
#include <unistd.h>

#include "e2e/tool_runner.h"

namespace {

constexpr std::uint32_t kMagic = 0x73706673;
constexpr std::uint32_t kAbsent = 0xFFFFFFFF;
constexpr std::size_t kChunk = 65536;

std::string Chunk(char fill) { return std::string(kChunk, fill); }

using ConversionTest = ToolTest;

TEST_F(ConversionTest, FlatToSparseStoresOnlyNonZeroChunks) {
  const std::string source = Chunk(0) + Chunk('b') + Chunk(0) + Chunk(0).substr(1) + "z";
  WriteWholeFile(Path("a.fs"), source);
  const ToolResult result = Run({"flat-to-sparse", "a.fs", "a.sparsefs"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            "Flat block device is 262144 bytes\n"
            "Creating sparse block device of 262144 bytes\n"
            "Chunk length = 65536\n"
            "Chunk count = 4\n"
            "Creating map...\n"
            "Creating store...\n"
            "Populating store...\n"
            "Cleaning up...\n");
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")),
            MapBytes(kMagic, 65536, 4, 2, {kAbsent, 0, kAbsent, 1}));
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Store")), Chunk('b') + Chunk(0).substr(1) + "z");
}

TEST_F(ConversionTest, FlatToSparseOfSmallSources) {
  WriteWholeFile(Path("empty.fs"), "");
  ToolResult result = Run({"flat-to-sparse", "empty.fs", "empty.sparsefs"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.substr(0, 79),
            "Flat block device is 0 bytes\nCreating sparse block device of 0 bytes\nChunk leng");
  EXPECT_EQ(ReadWholeFile(Path("empty.sparsefs/Map")), MapBytes(kMagic, 65536, 0, 0, {}));
  EXPECT_EQ(FileLength(Path("empty.sparsefs/Store")), 0u);

  WriteWholeFile(Path("zeros.fs"), std::string(512, '\0'));
  EXPECT_EQ(Run({"flat-to-sparse", "zeros.fs", "zeros.sparsefs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("zeros.sparsefs/Map")), MapBytes(kMagic, 65536, 1, 0, {kAbsent}));

  // The short last chunk is stored whole, padded with zeros.
  const std::string data = "\x01" + std::string(999, 'q');
  WriteWholeFile(Path("short.fs"), data);
  result = Run({"flat-to-sparse", "short.fs", "short.sparsefs"});
  EXPECT_NE(result.out.find("Creating sparse block device of 65536 bytes\n"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(Path("short.sparsefs/Map")), MapBytes(kMagic, 65536, 1, 1, {0}));
  EXPECT_EQ(ReadWholeFile(Path("short.sparsefs/Store")), data + std::string(kChunk - 1000, '\0'));
}

TEST_F(ConversionTest, RoundTripGivesTheSourceThenZeros) {
  // Many chunks, so reads and Store writes span several blocks; a mix of
  // zero chunks, data chunks and chunks whose only non-zero byte is last.
  std::string source;
  for (int i = 0; i < 70; ++i) {
    if (i % 3 == 0) source += Chunk(0);
    else if (i % 7 == 0) source += Chunk(0).substr(1) + "\x01";
    else source += RandomBytes(kChunk, i);
  }
  source += RandomBytes(12345, 99);
  WriteWholeFile(Path("a.fs"), source);
  ASSERT_EQ(Run({"flat-to-sparse", "a.fs", "a.sparsefs"}).status, 0);
  const ToolResult back = Run({"sparse-to-flat", "a.sparsefs", "b.fs"});
  EXPECT_EQ(back.status, 0);
  EXPECT_EQ(back.out,
            "Verifying map...\n"
            "Creating flat block device of 4653056 bytes\n"
            "Creating flat block device...\n"
            "Populating flat block device...\n"
            "Cleaning up...\n");
  EXPECT_EQ(ReadWholeFile(Path("b.fs")), source + std::string(71 * kChunk - source.size(), '\0'));
  EXPECT_EQ(ReadWholeFile(Path("a.fs")), source);
}

TEST_F(ConversionTest, HolesInTheSourceBecomeAbsentChunks) {
  // A 1 GiB file of holes with data in two places, one across a chunk edge.
  const int fd = open(Path("a.fs").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 1 << 30), 0);
  ASSERT_EQ(pwrite(fd, "xy", 2, 5 * kChunk - 1), 2);
  ASSERT_EQ(pwrite(fd, "end", 3, (1 << 30) - 3), 3);
  close(fd);
  ASSERT_EQ(Run({"flat-to-sparse", "a.fs", "a.sparsefs"}).status, 0);
  const std::string map = ReadWholeFile(Path("a.sparsefs/Map"));
  std::vector<std::uint32_t> entries(16384, kAbsent);
  entries[4] = 0;
  entries[5] = 1;
  entries[16383] = 2;
  EXPECT_EQ(map, MapBytes(kMagic, 65536, 16384, 3, entries));
  const std::string store = ReadWholeFile(Path("a.sparsefs/Store"));
  ASSERT_EQ(store.size(), 3 * kChunk);
  EXPECT_EQ(store.substr(kChunk - 1, 2), "xy");
  EXPECT_EQ(store.substr(3 * kChunk - 3), "end");
}

TEST_F(ConversionTest, FlatToSparseFailuresBeforeAnythingIsMade) {
  ToolResult result = Run({"flat-to-sparse", "nope.fs", "a.sparsefs"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Cannot open 'nope.fs': 2\n");
  EXPECT_FALSE(PathExists(Path("a.sparsefs")));

  std::filesystem::create_directory(Path("dir.fs"));
  result = Run({"flat-to-sparse", "dir.fs", "a.sparsefs"});
  EXPECT_EQ(result.err, "Cannot open 'dir.fs'" + Number(Errors().isDirectory));
  EXPECT_FALSE(PathExists(Path("a.sparsefs")));

  WriteWholeFile(Path("a.fs"), "x");
  std::filesystem::create_directory(Path("b.sparsefs"));
  result = Run({"flat-to-sparse", "a.fs", "b.sparsefs"});
  EXPECT_EQ(result.out, "Flat block device is 1 bytes\n");
  EXPECT_EQ(result.err, "Cannot create directory 'b.sparsefs'" + Number(Errors().exists));
}

TEST_F(ConversionTest, SparseToFlatFollowsTheEntries) {
  std::filesystem::create_directory(Path("a.sparsefs"));
  WriteWholeFile(Path("a.sparsefs/Store"), Chunk('0') + Chunk('1'));
  WriteWholeFile(Path("a.sparsefs/Map"),
                 MapBytes(kMagic, 65536, 5, 4, {1, 0, kAbsent, 1, 1}, "trailing"));
  WriteWholeFile(Path("b.fs"), std::string(10 * kChunk, 'x'));
  ASSERT_EQ(Run({"sparse-to-flat", "a.sparsefs", "b.fs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("b.fs")), Chunk('1') + Chunk('0') + Chunk(0) + Chunk('1') + Chunk('1'));

  // Chunk lengths other than the default, and a device of no chunks.
  WriteWholeFile(Path("a.sparsefs/Map"), MapBytes(kMagic, 3, 3, 2, {kAbsent, 5, 0}));
  ASSERT_EQ(Run({"sparse-to-flat", "a.sparsefs", "c.fs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("c.fs")), std::string(3, '\0') + "000000");
  WriteWholeFile(Path("a.sparsefs/Map"), MapBytes(kMagic, 65536, 0, 0, {}));
  const ToolResult empty = Run({"sparse-to-flat", "a.sparsefs", "b.fs"});
  EXPECT_NE(empty.out.find("Creating flat block device of 0 bytes\n"), std::string::npos);
  EXPECT_EQ(FileLength(Path("b.fs")), 0u);
}

TEST_F(ConversionTest, SparseToFlatLeavesTheDestinationAloneUntilTheSourceIsGood) {
  std::filesystem::create_directory(Path("a.sparsefs"));
  WriteWholeFile(Path("keep.fs"), "keep");
  ToolResult result = Run({"sparse-to-flat", "a.sparsefs", "keep.fs"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Cannot open 'a.sparsefs/Map': 2\n");

  WriteWholeFile(Path("a.sparsefs/Map"), MapBytes(kMagic, 65536, 4, 3, {0, kAbsent, 1, kAbsent}));
  result = Run({"sparse-to-flat", "a.sparsefs", "keep.fs"});
  EXPECT_EQ(result.out, "Verifying map...\n");
  EXPECT_EQ(result.err, "Sparse block device allocated chunk count is wrong, 2 != 3\n");

  WriteWholeFile(Path("a.sparsefs/Map"), MapBytes(kMagic, 65536, 1, 1, {0}));
  result = Run({"sparse-to-flat", "a.sparsefs", "keep.fs"});
  EXPECT_EQ(result.out,
            "Verifying map...\n"
            "Creating flat block device of 65536 bytes\n"
            "Creating flat block device...\n");
  EXPECT_EQ(result.err, "Cannot open 'a.sparsefs/Store': 2\n");
  EXPECT_EQ(ReadWholeFile(Path("keep.fs")), "keep");
  EXPECT_FALSE(PathExists(Path("new.fs")));
}

TEST_F(ConversionTest, SparseToFlatStopsAtAnEntryBeyondTheStore) {
  std::filesystem::create_directory(Path("a.sparsefs"));
  WriteWholeFile(Path("a.sparsefs/Store"), Chunk('s'));
  WriteWholeFile(Path("a.sparsefs/Map"), MapBytes(kMagic, 65536, 3, 2, {kAbsent, 0, 7}));
  const ToolResult result = Run({"sparse-to-flat", "a.sparsefs", "b.fs"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Short read from file\n");
  EXPECT_EQ(ReadWholeFile(Path("b.fs")), Chunk(0) + Chunk('s'));
}

TEST_F(ConversionTest, ATerminalShowsPercentagesButKeepsOnlyTheLines) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "uses a Linux pseudo-terminal";
  WriteWholeFile(Path("a.fs"), RandomBytes(40 * kChunk, 5));
  ToolOptions terminal;
  terminal.terminal = true;
  const ToolResult there = Run({"flat-to-sparse", "a.fs", "a.sparsefs"}, terminal);
  const ToolResult back = Run({"sparse-to-flat", "a.sparsefs", "b.fs"}, terminal);
  const ToolResult flat = Run({"create", "flat", "1000000", "c.fs"}, terminal);
  for (const ToolResult* result : {&there, &back, &flat}) {
    EXPECT_EQ(result->status, 0);
    EXPECT_NE(result->out.find('%'), std::string::npos) << result->out;
  }
  EXPECT_EQ(ScreenText(there.out),
            "Flat block device is 2621440 bytes\n"
            "Creating sparse block device of 2621440 bytes\n"
            "Chunk length = 65536\n"
            "Chunk count = 40\n"
            "Creating map...\n"
            "Creating store...\n"
            "Populating store...\n"
            "Cleaning up...\n");
  EXPECT_EQ(ScreenText(back.out),
            "Verifying map...\n"
            "Creating flat block device of 2621440 bytes\n"
            "Creating flat block device...\n"
            "Populating flat block device...\n"
            "Cleaning up...\n");
  EXPECT_EQ(ScreenText(flat.out), "Creating flat block device of 1000000 bytes\n");
}

}  // namespace
