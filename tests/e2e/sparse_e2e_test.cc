// Sparse devices end to end: creation, extension, and the Maps that must be
// refused or handled with care.
#include "e2e/tool_runner.h"

namespace {

constexpr std::uint32_t kMagic = 0x73706673;
constexpr std::uint32_t kAbsent = 0xFFFFFFFF;

using SparseTest = ToolTest;

TEST_F(SparseTest, CreateWritesAnAllAbsentMapAndAnEmptyStore) {
  const ToolResult result = Run({"create", "sparse", "1", "a.sparsefs"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            "Creating sparse block device of 1 bytes\n"
            "Chunk length = 65536\n"
            "Chunk count = 1\n"
            "Creating map...\n"
            "Creating store...\n"
            "Cleaning up...\n");
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")), MapBytes(kMagic, 65536, 1, 0, {kAbsent}));
  EXPECT_EQ(FileLength(Path("a.sparsefs/Store")), 0u);

  EXPECT_EQ(Run({"create", "sparse", "0", "b.sparsefs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("b.sparsefs/Map")), MapBytes(kMagic, 65536, 0, 0, {}));
  EXPECT_EQ(Run({"create", "sparse", "131072", "c.sparsefs"}).status, 0);
  EXPECT_EQ(FileLength(Path("c.sparsefs/Map")), 40u);
  EXPECT_EQ(Run({"create", "sparse", "131073", "d.sparsefs"}).status, 0);
  EXPECT_EQ(FileLength(Path("d.sparsefs/Map")), 44u);

  // Large enough that the entries take several batches.
  EXPECT_EQ(Run({"create", "sparse", "68719476736", "e.sparsefs"}).status, 0);
  const std::string map = ReadWholeFile(Path("e.sparsefs/Map"));
  EXPECT_EQ(map, MapBytes(kMagic, 65536, 1 << 20, 0, {}) + std::string(4 << 20, '\xff'));
}

TEST_F(SparseTest, CreateOverAnExistingDirectoryFails) {
  std::filesystem::create_directory(Path("a.sparsefs"));
  const ToolResult result = Run({"create", "sparse", "1", "a.sparsefs"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "Creating sparse block device of 1 bytes\n");
  EXPECT_EQ(result.err, "Cannot create directory 'a.sparsefs'" + Number(Errors().exists));
  EXPECT_TRUE(std::filesystem::is_empty(Path("a.sparsefs")));
}

TEST_F(SparseTest, CreateRefusesChunkCountsTheMapCannotHold) {
  // 1073741815 chunks is the most; one byte more needs another chunk.
  const std::string over = std::to_string(1073741815ull * 65536 + 1);
  for (const std::string& count : {over, std::string("-1"), std::string("-65535")}) {
    const ToolResult result = Run({"create", "sparse", count, "a.sparsefs"});
    EXPECT_EQ(result.status, 1);
    const std::string asked = count == over ? over : std::to_string(std::stoll(count) + 0ull);
    EXPECT_EQ(result.out, "Creating sparse block device of " + asked + " bytes\n");
    EXPECT_EQ(result.err, "Block device size " + asked + " is too large\n");
    EXPECT_FALSE(PathExists(Path("a.sparsefs")));
  }
}

TEST_F(SparseTest, ExtendAppendsAbsentChunks) {
  ASSERT_EQ(Run({"create", "sparse", "131072", "a.sparsefs"}).status, 0);
  WriteWholeFile(Path("a.sparsefs/Store"), "untouched");
  const ToolResult result = Run({"extend", "196609", "a.sparsefs"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            "Extending sparse block device\n"
            "Old block device size is 131072\n"
            "New block device size is 262144\n");
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")),
            MapBytes(kMagic, 65536, 4, 0, {kAbsent, kAbsent, kAbsent, kAbsent}));
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Store")), "untouched");
}

TEST_F(SparseTest, ExtendRefusesToShortenWithANewline) {
  ASSERT_EQ(Run({"create", "sparse", "131072", "a.sparsefs"}).status, 0);
  const std::string before = ReadWholeFile(Path("a.sparsefs/Map"));
  const ToolResult result = Run({"extend", "1", "a.sparsefs"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            "Extending sparse block device\n"
            "Old block device size is 131072\n"
            "New block device size is 65536\n"
            "Refusing to shorten block device\n");
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")), before);
}

TEST_F(SparseTest, ExtendUsesTheDevicesOwnChunkLength) {
  std::filesystem::create_directory(Path("a.sparsefs"));
  WriteWholeFile(Path("a.sparsefs/Map"), MapBytes(kMagic, 4096, 2, 1, {kAbsent, 0}));
  const ToolResult result = Run({"extend", "10000", "a.sparsefs"});
  EXPECT_EQ(result.out,
            "Extending sparse block device\n"
            "Old block device size is 8192\n"
            "New block device size is 12288\n");
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")),
            MapBytes(kMagic, 4096, 3, 1, {kAbsent, 0, kAbsent}));
}

TEST_F(SparseTest, ExtendDropsBytesAfterTheLastEntry) {
  std::filesystem::create_directory(Path("a.sparsefs"));
  WriteWholeFile(Path("a.sparsefs/Map"), MapBytes(kMagic, 65536, 1, 1, {0}, "junkjunk"));
  EXPECT_EQ(Run({"extend", "196608", "a.sparsefs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")),
            MapBytes(kMagic, 65536, 3, 1, {0, kAbsent, kAbsent}));
}

TEST_F(SparseTest, ExtendRefusesSizesTheMapCannotHold) {
  ASSERT_EQ(Run({"create", "sparse", "1", "a.sparsefs"}).status, 0);
  const std::string before = ReadWholeFile(Path("a.sparsefs/Map"));
  for (const char* count : {"70368743653376", "-1"}) {  // 1073741816 chunks, and a wrap
    const ToolResult result = Run({"extend", count, "a.sparsefs"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out,
              "Extending sparse block device\n"
              "Old block device size is 65536\n");
    const std::string asked = count[0] == '-' ? "18446744073709551615" : count;
    EXPECT_EQ(result.err, "Block device size " + asked + " is too large\n");
  }
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")), before);
}

TEST_F(SparseTest, ExtendFailsOnABadOrMissingMapWithoutWriting) {
  std::filesystem::create_directory(Path("a.sparsefs"));
  ToolResult result = Run({"extend", "1", "a.sparsefs"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Cannot open 'a.sparsefs/Map': 2\n");

  WriteWholeFile(Path("a.sparsefs/Map"), "ABCD" + MapBytes(0, 65536, 0, 0, {}).substr(4));
  result = Run({"extend", "1", "a.sparsefs"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "Extending sparse block device\n");
  EXPECT_EQ(result.err, "Invalid sparse block device magic 0x44434241\n");
}

TEST_F(SparseTest, DerivedPathsMustFit) {
  // Components of at most 200 characters, so only our own limit applies.
  const std::string parent = std::string(200, 'p');
  std::filesystem::create_directory(Path(parent));
  const std::string fits = parent + "/" + std::string(253 - 201 - 9, 'f') + ".sparsefs";
  const std::string over = parent + "/" + std::string(254 - 201 - 9, 'o') + ".sparsefs";
  ASSERT_EQ(fits.size(), 253u);
  EXPECT_EQ(Run({"create", "sparse", "1", fits}).status, 0);
  EXPECT_TRUE(PathExists(Path(fits + "/Store")));

  const ToolResult result = Run({"create", "sparse", "1", over});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, ("Sparse block device path too long '" + over + "'").substr(0, 259) + "\n");
  EXPECT_FALSE(PathExists(Path(over)));
}

}  // namespace
