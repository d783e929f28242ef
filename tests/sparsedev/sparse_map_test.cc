#include "sparsedev/sparse_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fileio/report.h"
#include "sparsedev/conversion.h"

namespace {

std::vector<unsigned char> Map(std::uint32_t magic, std::uint32_t chunkLength,
                               std::uint32_t chunkCount, std::uint32_t allocated,
                               const std::vector<std::uint32_t>& entries,
                               std::size_t trailing = 0) {
  std::vector<unsigned char> bytes(kMapHeaderSize + 4 * entries.size() + trailing, 0xEE);
  EncodeMapHeader(MapHeader{magic, chunkLength, chunkCount, allocated}, bytes.data());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    StoreLittleEndian32(bytes.data() + kMapHeaderSize + 4 * i, entries[i]);
  }
  return bytes;
}

void Verify(const std::vector<unsigned char>& map) {
  const std::string problem = FindMapProblem(map.data(), map.size());
  if (!problem.empty()) FatalFormat("%s\n", problem.c_str());
}

TEST(VerifyMapTest, AcceptsConsistentMaps) {
  Verify(Map(SPARSE_MAGIC, 65536, 0, 0, {}));
  Verify(Map(SPARSE_MAGIC, 4096, 3, 2, {ABSENT_CHUNK, 1, 0}));
  Verify(Map(SPARSE_MAGIC, 65536, 2, 1, {0, ABSENT_CHUNK}, 13));  // trailing bytes
  Verify(Map(SPARSE_MAGIC, 1, 2, 2, {5, 5}));  // slots are not checked
}

std::string Problem(const std::vector<unsigned char>& map) {
  return FindMapProblem(map.data(), static_cast<std::uint32_t>(map.size()));
}

TEST(VerifyMapTest, ChecksInOrderWithTheirMessages) {
  const auto fails = [](const std::vector<unsigned char>& map, const std::string& message) {
    EXPECT_EQ(Problem(map), message);
  };
  std::vector<unsigned char> abcd = Map(0, 65536, 0, 0, {});
  std::memcpy(abcd.data(), "ABCD", 4);
  fails(abcd, "Invalid sparse block device magic 0x44434241");
  // Magic is checked before the counts.
  fails(Map(0x12, 65536, 1, 9, {}), "Invalid sparse block device magic 0x00000012");
  fails(Map(SPARSE_MAGIC, 65536, 4, 5, {}),
       "Sparse block device allocated chunk count greater than total chunk count, 5 > 4");
  fails(Map(SPARSE_MAGIC, 65536, 4, 0, {ABSENT_CHUNK, ABSENT_CHUNK}),
       "Sparse block device map too short for total chunk count 4");
  // The required length must not wrap at 32 bits.
  fails(Map(SPARSE_MAGIC, 65536, 0x40000000, 0, {ABSENT_CHUNK}),
       "Sparse block device map too short for total chunk count 1073741824");
  fails(Map(SPARSE_MAGIC, 65536, 4, 3, {0, ABSENT_CHUNK, 1, ABSENT_CHUNK}),
       "Sparse block device allocated chunk count is wrong, 2 != 3");
  // Entries past the chunk count are not counted.
  fails(Map(SPARSE_MAGIC, 65536, 1, 0, {0, 1}), "Sparse block device allocated chunk count is wrong, 1 != 0");
  fails(Map(SPARSE_MAGIC, 0, 1, 0, {ABSENT_CHUNK}), "Sparse block device chunk length is zero");
}

TEST(VerifyMapTest, EndsTheProcessWithTheMessageOnItsOwnLine) {
  EXPECT_EXIT(Verify(Map(SPARSE_MAGIC, 65536, 4, 5, {})), testing::ExitedWithCode(1),
              "^Sparse block device allocated chunk count greater than total chunk count, "
              "5 > 4\n$");
}

TEST(VerifyMapTest, RefusesAMapShorterThanItsHeader) {
  const std::vector<unsigned char> map = Map(SPARSE_MAGIC, 65536, 0, 0, {});
  for (std::uint32_t length : {0u, 4u, 31u}) {
    std::vector<unsigned char> cut(map.begin(), map.begin() + length);
    cut.shrink_to_fit();  // so the sanitizers see any read past the end
    EXPECT_EQ(FindMapProblem(cut.data(), length), "Sparse block device map too short for header");
  }
}

TEST(ChunkCountTest, RoundsUpAndRefusesWhatTheMapCannotHold) {
  EXPECT_EQ(ChunkCountFor(0, 65536), 0u);
  EXPECT_EQ(ChunkCountFor(1, 65536), 1u);
  EXPECT_EQ(ChunkCountFor(131073, 65536), 3u);
  EXPECT_EQ(ChunkCountFor(10000, 4096), 3u);
  EXPECT_EQ(ChunkCountFor(kMaxChunkCount * 65536, 65536), 1073741815u);
  EXPECT_EXIT(ChunkCountFor(kMaxChunkCount * 65536 + 1, 65536), testing::ExitedWithCode(1),
              "^Block device size 70368743587841 is too large\n$");
  EXPECT_EXIT(ChunkCountFor(UINT64_MAX - 65534, 65536), testing::ExitedWithCode(1),
              "too large");
  EXPECT_EQ(ChunkCountFor(std::uint64_t{1} << 40, 0x80000000), 512u);
  EXPECT_EXIT(ChunkCountFor(UINT64_MAX, 0x80000000), testing::ExitedWithCode(1), "too large");
}

TEST(IsZeroChunkTest, FindsAnyNonZeroByte) {
  std::vector<unsigned char> chunk(65536, 0);
  EXPECT_TRUE(IsZeroChunk(chunk.data(), chunk.size()));
  EXPECT_TRUE(IsZeroChunk(chunk.data(), 0));
  for (std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, chunk.size() - 1}) {
    chunk[at] = 0x80;
    EXPECT_FALSE(IsZeroChunk(chunk.data(), chunk.size())) << at;
    chunk[at] = 0;
  }
  std::vector<unsigned char> same(64, 7);
  EXPECT_FALSE(IsZeroChunk(same.data(), same.size()));
}

}  // namespace
