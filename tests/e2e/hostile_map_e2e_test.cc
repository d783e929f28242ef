// Maps made by hand to mislead: each must end in one of the tool's messages
// or a correct result, never a crash, a hang or an allocation the size of
// the device the Map claims.
#include <unistd.h>

#include <regex>

#include "e2e/tool_runner.h"

namespace {

constexpr std::uint32_t kMagic = 0x73706673;
constexpr std::uint32_t kAbsent = 0xFFFFFFFF;

class HostileMapTest : public ToolTest {
 protected:
  void MakeDevice(const std::string& map, const std::string& store) {
    std::filesystem::create_directory(Path("h.sparsefs"));
    WriteWholeFile(Path("h.sparsefs/Map"), map);
    WriteWholeFile(Path("h.sparsefs/Store"), store);
  }
};

TEST_F(HostileMapTest, EntriesBeyondTheStoreEndInAMessage) {
  // Slot 0xFFFFFFFE of 2 GiB chunks lies near 2^63: past what the file
  // system allows (the seek is refused) or merely past the Store (the read
  // comes up short). Either way one line and status 1.
  MakeDevice(MapBytes(kMagic, 0x80000000u, 1, 1, {0xFFFFFFFE}), "tiny");
  const ToolResult far = Run({"sparse-to-flat", "h.sparsefs", "a.fs"});
  EXPECT_EQ(far.status, 1);
  EXPECT_TRUE(std::regex_match(
      far.err, std::regex("Short read from file\n|Cannot set file pointer to 9223372032559808512: [0-9]+\n")))
      << far.err;

  std::filesystem::remove_all(Path("h.sparsefs"));
  MakeDevice(MapBytes(kMagic, 65536, 2, 1, {kAbsent, 1000}), std::string(65536, 's'));
  const ToolResult near = Run({"sparse-to-flat", "h.sparsefs", "b.fs"});
  EXPECT_EQ(near.status, 1);
  EXPECT_EQ(near.err, "Short read from file\n");
}

TEST_F(HostileMapTest, TinyAndHugeChunkLengths) {
  MakeDevice(MapBytes(kMagic, 1, 4, 3, {0, kAbsent, 2, 2}), "abc");
  ASSERT_EQ(Run({"sparse-to-flat", "h.sparsefs", "a.fs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("a.fs")), std::string("a\0cc", 4));
  const ToolResult extended = Run({"extend", "7", "h.sparsefs"});
  EXPECT_EQ(extended.out,
            "Extending sparse block device\n"
            "Old block device size is 4\n"
            "New block device size is 7\n");

  // Two absent chunks of 2 GiB: a 4 GiB device, made with a small buffer.
  std::filesystem::remove_all(Path("h.sparsefs"));
  MakeDevice(MapBytes(kMagic, 0x80000000u, 2, 0, {kAbsent, kAbsent}), "");
  const ToolResult flat = Run({"sparse-to-flat", "h.sparsefs", "b.fs"});
  EXPECT_EQ(flat.status, 0) << flat.err;
  EXPECT_EQ(FileLength(Path("b.fs")), std::uint64_t{1} << 32);
  std::filesystem::remove(Path("b.fs"));
  const ToolResult wrap = Run({"extend", "-1", "h.sparsefs"});
  EXPECT_EQ(wrap.err, "Block device size 18446744073709551615 is too large\n");
}

TEST_F(HostileMapTest, ClaimedCountsAreNotTrusted) {
  // The largest counts a header can claim, in a Map of a few bytes.
  for (std::uint32_t count : {1073741815u, 0x40000000u, 0xFFFFFFFFu}) {
    std::filesystem::remove_all(Path("h.sparsefs"));
    MakeDevice(MapBytes(kMagic, 65536, count, 0, {kAbsent}), "");
    const ToolResult result = Run({"sparse-to-flat", "h.sparsefs", "a.fs"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Sparse block device map too short for total chunk count " + std::to_string(count) + "\n");
  }
}

TEST_F(HostileMapTest, MapsOfFourGibibytesAreRefusedBeforeReading) {
  std::filesystem::create_directory(Path("h.sparsefs"));
  WriteWholeFile(Path("h.sparsefs/Map"), MapBytes(kMagic, 65536, 0, 0, {}));
  ASSERT_EQ(truncate(Path("h.sparsefs/Map").c_str(), std::int64_t{1} << 32), 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"sparse-to-flat", "h.sparsefs", "a.fs"},
        std::vector<std::string>{"extend", "1", "h.sparsefs"}}) {
    const ToolResult result = Run(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Sparse block device map too large, 4294967296 bytes\n");
  }
  EXPECT_FALSE(PathExists(Path("a.fs")));
}

TEST_F(HostileMapTest, MapsTooShortForAHeader) {
  for (std::size_t length : {0, 3, 31}) {
    std::filesystem::remove_all(Path("h.sparsefs"));
    MakeDevice(MapBytes(kMagic, 65536, 0, 0, {}).substr(0, length), "");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"sparse-to-flat", "h.sparsefs", "a.fs"},
          std::vector<std::string>{"extend", "1", "h.sparsefs"}}) {
      const ToolResult result = Run(args);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, "Sparse block device map too short for header\n");
    }
  }
}

}  // namespace
