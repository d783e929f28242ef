#include "sparsedev/sparse_map.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

namespace {

std::vector<unsigned char> Map(std::uint32_t magic, std::uint32_t chunkLength, std::uint32_t chunkCount,
                               std::uint32_t allocated, const std::vector<std::uint32_t>& entries,
                               std::size_t trailing = 0) {
  std::vector<unsigned char> bytes(kMapHeaderSize + 4 * entries.size() + trailing, 0xEE);
  EncodeMapHeader(MapHeader{magic, chunkLength, chunkCount, allocated}, bytes.data());
  for (std::size_t i = 0; i < entries.size(); ++i) StoreLittleEndian32(&bytes[kMapHeaderSize + 4 * i], entries[i]);
  return bytes;
}

constexpr std::uint32_t A = ABSENT_CHUNK, M = SPARSE_MAGIC;

// Each check in its place in the order: the first that fails is named.
TEST(VerifyMapTest, ChecksInOrder) {
  const std::pair<std::vector<unsigned char>, const char*> cases[] = {
      {Map(M, 65536, 0, 0, {}), ""},
      {Map(M, 4096, 3, 2, {A, 1, 0}), ""},
      {Map(M, 65536, 2, 1, {0, A}, 13), ""},
      {Map(M, 1, 2, 2, {5, 5}), ""},
      {Map(0x12, 0, 1, 9, {}), "Invalid sparse block device magic 0x00000012"},
      {Map(M, 0, 4, 5, {}), "Sparse block device allocated chunk count greater than total chunk count, 5 > 4"},
      {Map(M, 0, 4, 4, {0, 1, 2}), "Sparse block device map too short for total chunk count 4"},
      {Map(M, 65536, 0x40000000, 0, {A}), "Sparse block device map too short for total chunk count 1073741824"},
      {Map(M, 0, 4, 3, {0, A, 1, A}), "Sparse block device allocated chunk count is wrong, 2 != 3"},
      {Map(M, 65536, 1, 0, {0x7FFFFFFF, 1}), "Sparse block device allocated chunk count is wrong, 1 != 0"},
      {Map(M, 65536, 3, 2, {0xFFFFFF7F, 0xFF7FFFFF, A}), ""},
      {Map(M, 0, 1, 0, {A}), "Sparse block device chunk length is zero"},
      {std::vector<unsigned char>(31), "Sparse block device map too short for header"},
  };
  for (const auto& [bytes, problem] : cases) {
    const int fd = memfd_create("Map", 0);  // read through the tool's own blocks
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    MapHeader header{};
    const MaybeError error = VerifyMap(FileHandle{fd}, bytes.size(), &header);
    EXPECT_EQ(error ? error->message : "", problem);
    close(fd);
  }
}

TEST(ChunkCountTest, TheMostAMapHolds) {
  EXPECT_EQ(ChunkCountFor(1073741815ull * 65536, 65536), 1073741815u);
  EXPECT_EQ(ChunkCountFor(1073741815ull * 65536 + 1, 65536), std::nullopt);
  EXPECT_EQ(ChunkCountFor(-4096ull, 4096), std::nullopt);  // the rounding would wrap
}

}  // namespace
