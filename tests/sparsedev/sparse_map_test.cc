#include "sparsedev/sparse_map.h"

#include <gtest/gtest.h>

#include <vector>

#include "sparsedev/conversion.h"

namespace {

// A Map: header fields, entries, then trailing bytes.
std::vector<unsigned char> Map(std::uint32_t magic, std::uint32_t chunkLength, std::uint32_t chunkCount,
                               std::uint32_t allocated, const std::vector<std::uint32_t>& entries,
                               std::size_t trailing = 0) {
  std::vector<unsigned char> bytes(kMapHeaderSize + 4 * entries.size() + trailing, 0xEE);
  EncodeMapHeader(MapHeader{magic, chunkLength, chunkCount, allocated}, bytes.data());
  for (std::size_t i = 0; i < entries.size(); ++i) StoreLittleEndian32(&bytes[kMapHeaderSize + 4 * i], entries[i]);
  return bytes;
}

constexpr std::uint32_t A = ABSENT_CHUNK;

// Each check in its place in the order, the first that fails named.
TEST(VerifyMapTest, ChecksInOrder) {
  const struct {
    std::vector<unsigned char> map;
    const char* problem;
  } cases[] = {
      {Map(SPARSE_MAGIC, 65536, 0, 0, {}), ""},
      {Map(SPARSE_MAGIC, 4096, 3, 2, {A, 1, 0}), ""},
      {Map(SPARSE_MAGIC, 65536, 2, 1, {0, A}, 13), ""},
      {Map(SPARSE_MAGIC, 1, 2, 2, {5, 5}), ""},
      {Map(0x44434241, 65536, 0, 0, {}), "Invalid sparse block device magic 0x44434241"},
      {Map(0x12, 0, 1, 9, {}), "Invalid sparse block device magic 0x00000012"},
      {Map(SPARSE_MAGIC, 0, 4, 5, {}),
       "Sparse block device allocated chunk count greater than total chunk count, 5 > 4"},
      {Map(SPARSE_MAGIC, 0, 4, 4, {0, 1, 2}), "Sparse block device map too short for total chunk count 4"},
      {Map(SPARSE_MAGIC, 65536, 0x40000000, 0, {A}),
       "Sparse block device map too short for total chunk count 1073741824"},
      {Map(SPARSE_MAGIC, 0, 4, 3, {0, A, 1, A}), "Sparse block device allocated chunk count is wrong, 2 != 3"},
      {Map(SPARSE_MAGIC, 65536, 1, 0, {0, 1}), "Sparse block device allocated chunk count is wrong, 1 != 0"},
      {Map(SPARSE_MAGIC, 0, 1, 0, {A}), "Sparse block device chunk length is zero"},
  };
  for (const auto& c : cases) EXPECT_EQ(FindMapProblem(c.map.data(), c.map.size()), c.problem);
  const std::vector<unsigned char> whole = Map(SPARSE_MAGIC, 65536, 0, 0, {});
  for (std::size_t length : {0, 4, 31}) {
    std::vector<unsigned char> cut(whole.begin(), whole.begin() + length);
    cut.shrink_to_fit();  // so the sanitizers see any read past the end
    EXPECT_EQ(FindMapProblem(cut.data(), length), "Sparse block device map too short for header");
  }
}

TEST(VerifyMapTest, CountsStoredEntriesInBlocksOfAnyMix) {
  std::vector<unsigned char> entries(4 * 1000, 0xFF);
  EXPECT_TRUE(AllAbsent(entries.data(), 1000));
  EXPECT_EQ(CountStoredEntries(entries.data(), 1000), 0u);
  for (std::size_t at : {0, 1, 2, 3, 3999}) {
    entries[at] = 0xFE;
    EXPECT_FALSE(AllAbsent(entries.data(), 1000)) << at;
    EXPECT_EQ(CountStoredEntries(entries.data(), 1000), 1u) << at;
    EXPECT_EQ(CountStoredEntries(entries.data(), at / 4), 0u) << at;
    entries[at] = 0xFF;
  }
}

TEST(ChunkCountTest, RoundsUpAndRefusesWhatTheMapCannotHold) {
  EXPECT_EQ(ChunkCountFor(0, 65536), 0u);
  EXPECT_EQ(ChunkCountFor(131073, 65536), 3u);
  EXPECT_EQ(ChunkCountFor(10000, 4096), 3u);
  EXPECT_EQ(ChunkCountFor(kMaxChunkCount * 65536, 65536), 1073741815u);
  EXPECT_EQ(ChunkCountFor(std::uint64_t{1} << 40, 0x80000000), 512u);
  EXPECT_EXIT(ChunkCountFor(kMaxChunkCount * 65536 + 1, 65536), testing::ExitedWithCode(1),
              "^Block device size 70368743587841 is too large\n$");
  EXPECT_EXIT(ChunkCountFor(UINT64_MAX - 65534, 65536), testing::ExitedWithCode(1), "too large");
}

TEST(IsZeroChunkTest, FindsAnyNonZeroByte) {
  std::vector<unsigned char> chunk(65536, 0);
  EXPECT_TRUE(IsZeroChunk(chunk.data(), chunk.size()));
  EXPECT_TRUE(IsZeroChunk(chunk.data(), 0));
  for (std::size_t at : {std::size_t{0}, std::size_t{1}, chunk.size() - 1}) {
    chunk[at] = 0x80;
    EXPECT_FALSE(IsZeroChunk(chunk.data(), chunk.size())) << at;
    chunk[at] = 0;
  }
  const std::vector<unsigned char> same(64, 7);
  EXPECT_FALSE(IsZeroChunk(same.data(), same.size()));
}

}  // namespace
