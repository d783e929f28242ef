// Failures injected into every operation: writes refused at each point by a
// file-size limit, and sources cut short while they are read. Every run must
// end with status 1 and exactly one line on standard error, leave its source
// as it was, and never leave a sparse device that reads as something else.
#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <regex>

#include "e2e/tool_runner.h"

namespace {

constexpr std::uint64_t kChunk = 65536;
constexpr std::uint64_t kMiB = 1 << 20;

std::string Chunk(char fill) { return std::string(kChunk, fill); }

// Chunks of random data, every third chunk zeros, then a short tail of data.
std::string MixedSource(int chunks) {
  std::string source;
  for (int i = 0; i < chunks; ++i) source += i % 3 == 0 ? Chunk(0) : RandomBytes(kChunk, i);
  return source + RandomBytes(100, 1000);
}

// 0, step, 2 step ... below end, and end - 1: a limit at each write boundary.
std::vector<std::uint64_t> Boundaries(std::uint64_t step, std::uint64_t end) {
  std::vector<std::uint64_t> limits;
  for (std::uint64_t limit = 0; limit < end; limit += step) limits.push_back(limit);
  limits.push_back(end - 1);
  return limits;
}

class FaultTest : public ToolTest {
 protected:
  void SetUp() override {
    if (TestingWindowsBuild()) GTEST_SKIP() << "uses Linux file-size limits and a preloaded hook";
    ToolTest::SetUp();
  }
  // Runs args under each limit; each run must fail cleanly, and check() (if
  // given) must hold after it. Returns how many runs were made.
  int ExpectEachLimitFails(const std::vector<std::string>& args,
                           const std::vector<std::uint64_t>& limits,
                           const std::function<void()>& before = {},
                           const std::function<void()>& check = {}) {
    static const std::regex kOneWriteFailure(
        "(Cannot write to file: 27|Short write to file|Cannot set end of file: 27)\n");
    for (std::uint64_t limit : limits) {
      if (before) before();
      ToolOptions options;
      options.fileSizeLimit = static_cast<std::int64_t>(limit);
      const ToolResult result = Run(args, options);
      EXPECT_EQ(result.status, 1) << args[0] << " limit " << limit;
      EXPECT_TRUE(std::regex_match(result.err, kOneWriteFailure))
          << args[0] << " limit " << limit << ": " << result.err;
      if (check) check();
    }
    return static_cast<int>(limits.size());
  }
};

TEST_F(FaultTest, CreateFlatFailsAtEachReservation) {
  const std::uint64_t size = std::uint64_t{1} << 30;
  ExpectEachLimitFails({"create", "flat", std::to_string(size), "a.fs"},
                       Boundaries(256 * kMiB, size));
  EXPECT_EQ(Run({"create", "flat", std::to_string(size), "a.fs"}).status, 0);
}

TEST_F(FaultTest, CreateSparseFailsAtEachMapWrite) {
  const std::uint64_t chunks = kMiB / 4 + 10;  // the entries take two writes
  const std::uint64_t mapSize = 32 + 4 * chunks;
  ExpectEachLimitFails({"create", "sparse", std::to_string(chunks * kChunk), "a.sparsefs"},
                       {0, 31, 32, 32 + kMiB - 1, 32 + kMiB, mapSize - 1},
                       [this] { std::filesystem::remove_all(Path("a.sparsefs")); });
}

TEST_F(FaultTest, ExtendFlatFailsWithoutChangingTheFile) {
  const std::string data = RandomBytes(512, 7);
  ExpectEachLimitFails({"extend", std::to_string(kMiB), "a.fs"}, {0, 512, kMiB - 1},
                       [&] { WriteWholeFile(Path("a.fs"), data); },
                       [&] { EXPECT_EQ(ReadWholeFile(Path("a.fs")), data); });
}

TEST_F(FaultTest, ExtendSparseFailuresKeepTheOldDevice) {
  const std::string source = Chunk('a') + Chunk(0) + Chunk('c');
  WriteWholeFile(Path("a.fs"), source);
  ASSERT_EQ(Run({"flat-to-sparse", "a.fs", "a.sparsefs"}).status, 0);
  const std::string map = ReadWholeFile(Path("a.sparsefs/Map"));
  const std::string store = ReadWholeFile(Path("a.sparsefs/Store"));
  const std::uint64_t newChunks = 300000;  // two batches of entries
  const std::uint64_t oldSize = map.size();
  const std::uint64_t newSize = 32 + 4 * newChunks;
  ExpectEachLimitFails(
      {"extend", std::to_string(newChunks * kChunk), "a.sparsefs"},
      {0, oldSize, oldSize + 1, oldSize + kMiB - 1, oldSize + kMiB, newSize - 1},
      [&] { WriteWholeFile(Path("a.sparsefs/Map"), map); },
      [&] {
        std::filesystem::remove(Path("back.fs"));
        EXPECT_EQ(Run({"sparse-to-flat", "a.sparsefs", "back.fs"}).status, 0);
        EXPECT_EQ(ReadWholeFile(Path("back.fs")), source);
        EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Store")), store);
      });
}

TEST_F(FaultTest, FlatToSparseFailsAtEachWriteAndKeepsTheSource) {
  const std::string source = MixedSource(40);
  WriteWholeFile(Path("a.fs"), source);
  const auto fresh = [this] { std::filesystem::remove_all(Path("a.sparsefs")); };
  const auto sourceKept = [&] { EXPECT_EQ(ReadWholeFile(Path("a.fs")), source); };
  std::vector<std::uint64_t> limits = Boundaries(kChunk, 27 * kChunk);
  limits.insert(limits.begin(), {1, 31, 32});
  const int runs = ExpectEachLimitFails({"flat-to-sparse", "a.fs", "a.sparsefs"}, limits,
                                        fresh, sourceKept);

  // With nothing to store, the Map's own writes are the ones that fail.
  WriteWholeFile(Path("z.fs"), std::string(41 * kChunk, '\0'));
  ExpectEachLimitFails({"flat-to-sparse", "z.fs", "z.sparsefs"}, {0, 32, 32 + 4 * 41 - 1},
                       [this] { std::filesystem::remove_all(Path("z.sparsefs")); });
  EXPECT_GT(runs, 30);
}

TEST_F(FaultTest, SparseToFlatFailsAtEachWriteAndKeepsTheSource) {
  const std::string source = MixedSource(40);
  WriteWholeFile(Path("a.fs"), source);
  ASSERT_EQ(Run({"flat-to-sparse", "a.fs", "a.sparsefs"}).status, 0);
  const std::string map = ReadWholeFile(Path("a.sparsefs/Map"));
  const std::string store = ReadWholeFile(Path("a.sparsefs/Store"));
  ExpectEachLimitFails({"sparse-to-flat", "a.sparsefs", "b.fs"}, Boundaries(kChunk, 41 * kChunk),
                       {}, [&] {
                         EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")), map);
                         EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Store")), store);
                       });
}

// A source cut short by another program while it is converted.
class ShrinkingSourceTest : public ToolTest {
 protected:
  void SetUp() override {
    if (TestingWindowsBuild()) GTEST_SKIP() << "uses a preloaded hook";
    ToolTest::SetUp();
  }
  // Converts a.fs, cutting it to cut bytes just before the first chunks are
  // stored (write 1 is the Map's header, write 2 the first stored chunks);
  // the conversion must report a short read.
  void ExpectShortReadWhenCut(std::uint64_t cut) {
    std::filesystem::remove_all(Path("a.sparsefs"));
    ToolOptions options;
    options.environment = TruncateAtWrite(2, Path("a.fs"), cut);
    const ToolResult result = Run({"flat-to-sparse", "a.fs", "a.sparsefs"}, options);
    EXPECT_EQ(result.status, 1) << cut;
    EXPECT_EQ(result.err, "Short read from file\n") << cut;
  }
};

TEST_F(ShrinkingSourceTest, CutUnderAMappedStretchIsAShortRead) {
  const std::string source = RandomBytes(300 * kChunk, 3);
  // Cut inside the stretch being written, and inside the next one to be
  // checked for zeros.
  for (std::uint64_t cut : {100 * kChunk, 200 * kChunk + 5}) {
    WriteWholeFile(Path("a.fs"), source);
    ExpectShortReadWhenCut(cut);
    // The Store holds nothing but the source's own bytes.
    const std::string store = ReadWholeFile(Path("a.sparsefs/Store"));
    EXPECT_EQ(store, source.substr(0, store.size())) << cut;
    // And the device does not pass for a whole one.
    EXPECT_EQ(Run({"sparse-to-flat", "a.sparsefs", "b.fs"}).status, 1) << cut;
  }
}

TEST_F(ShrinkingSourceTest, CutBetweenReadsIsAShortRead) {
  for (std::uint64_t cut : {20 * kChunk + 100, 30 * kChunk, 150 * kChunk}) {
    // Data stretches short enough to be read, with holes between them.
    std::filesystem::remove(Path("a.fs"));
    const int fd = open(Path("a.fs").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 200 * kChunk), 0);
    for (int start : {0, 17, 60, 120}) {
      const std::string data = RandomBytes(10 * kChunk, start);
      ASSERT_EQ(pwrite(fd, data.data(), data.size(), start * kChunk),
                static_cast<ssize_t>(data.size()));
    }
    close(fd);
    ExpectShortReadWhenCut(cut);
  }
}

}  // namespace
