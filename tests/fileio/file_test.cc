#include "fileio/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

class FileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillon-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const char* name) const { return dir_ + "/" + name; }
  void Write(const char* name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }
  std::string dir_;
};

TEST_F(FileTest, ShortReadsAreRefusedUnlessAllowed) {
  Write("f", std::string(100, 'r'));
  const FileHandle file = OpenExisting(Path("f").c_str(), false);
  unsigned char buffer[200];
  std::memset(buffer, 'o', sizeof buffer);
  EXPECT_EQ(ReadBytes(file, buffer, 200, true), 100u);
  EXPECT_EQ(buffer[99], 'r');
  EXPECT_EQ(buffer[100], 'o');  // past what was read: as it was
  EXPECT_EQ(ReadBytes(file, buffer, 200, true), 0u);

  SeekTo(file, 1000);  // beyond the end is allowed
  EXPECT_EXIT(ReadBytes(file, buffer, 1, false), testing::ExitedWithCode(1),
              "^Short read from file\n$");
  CloseFile(file);
}

TEST_F(FileTest, CreateAlwaysEmptiesAndSetSizeRewinds) {
  Write("f", "old contents");
  const FileHandle file = CreateAlways(Path("f").c_str());
  EXPECT_EQ(GetSize(file), 0u);
  WriteBytes(file, "abc", 3);
  SetSize(file, 10);
  EXPECT_EQ(GetSize(file), 10u);
  char buffer[10];
  EXPECT_EQ(ReadBytes(file, buffer, 10, false), 10u);
  EXPECT_EQ(std::string(buffer, 10), std::string("abc") + std::string(7, '\0'));
  CloseFile(file);
}

TEST_F(FileTest, OpenFailuresNameThePathAndNumber) {
  const std::string missing = Path("missing");
  EXPECT_EXIT(OpenExisting(missing.c_str(), false), testing::ExitedWithCode(1),
              "^Cannot open '" + missing + "': 2\n$");
  const std::string nested = Path("no/such");
  EXPECT_EXIT(CreateAlways(nested.c_str()), testing::ExitedWithCode(1),
              "^Cannot create '" + nested + "': 2\n$");
  EXPECT_EXIT(MakeDirectory(dir_.c_str()), testing::ExitedWithCode(1),
              "^Cannot create directory '" + dir_ + "': 17\n$");
}

TEST_F(FileTest, AppendZerosExtendsFromTheEnd) {
  const FileHandle file = CreateAlways(Path("f").c_str());
  WriteBytes(file, "head", 4);
  AppendZeros(file, 3 << 20);
  WriteBytes(file, "tail", 4);
  EXPECT_EQ(GetSize(file), (3u << 20) + 8);
  CloseFile(file);
  std::ifstream in(Path("f"), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, "head" + std::string(3 << 20, '\0') + "tail");
}

TEST_F(FileTest, DataRangesSkipHoles) {
  const int fd = open(Path("f").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  constexpr off_t kSize = 64 << 20;
  ASSERT_EQ(ftruncate(fd, kSize), 0);
  ASSERT_EQ(pwrite(fd, "d", 1, 32 << 20), 1);
  close(fd);

  const FileHandle file = OpenExisting(Path("f").c_str(), false);
  const std::optional<DataRange> first = NextDataRange(file, 0, kSize);
  ASSERT_TRUE(first.has_value());
  // File systems report data at their own block size; the byte must be in it.
  EXPECT_LE(first->begin, std::uint64_t{32} << 20);
  EXPECT_GT(first->end, std::uint64_t{32} << 20);
  EXPECT_LE(first->end, std::uint64_t{kSize});
  const std::optional<DataRange> rest = NextDataRange(file, first->end, kSize);
  if (rest) {
    EXPECT_GE(rest->begin, first->end);  // a file system that cannot tell
  }
  EXPECT_FALSE(NextDataRange(file, kSize, kSize).has_value());
  CloseFile(file);
}

}  // namespace
