// Two quillon processes on the same device: the second is refused at its
// open with the busy number, and the first finishes with nothing lost.
#include <unistd.h>

#include "e2e/tool_runner.h"

namespace {

constexpr std::uint64_t kChunk = 65536;

class ConcurrencyTest : public ToolTest {
 protected:
  void SetUp() override {
    if (TestingWindowsBuild()) GTEST_SKIP() << "uses a preloaded hook";
    ToolTest::SetUp();
  }
  // Starts args paused before its n-th file write, holding its files.
  RunningTool StartPaused(const std::vector<std::string>& args, int n) {
    ToolOptions options;
    options.environment = PauseAtWrite(n, dir_);
    const RunningTool run = StartTool(dir_, args, options);
    for (int i = 0; i < 2000 && !PathExists(Path("paused")); ++i) usleep(5000);
    EXPECT_TRUE(PathExists(Path("paused")));
    return run;
  }
  ToolResult Resume(const RunningTool& run) {
    WriteWholeFile(Path("resume"), "");
    return FinishTool(run);
  }
};

TEST_F(ConcurrencyTest, ExtendAgainstExtend) {
  ASSERT_EQ(Run({"create", "sparse", std::to_string(2 * kChunk), "a.sparsefs"}).status, 0);
  const RunningTool first = StartPaused({"extend", std::to_string(8 * kChunk), "a.sparsefs"}, 1);

  const ToolResult second = Run({"extend", std::to_string(4 * kChunk), "a.sparsefs"});
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.out, "Extending sparse block device\n");
  EXPECT_EQ(second.err, "Cannot open 'a.sparsefs/Map': 11\n");

  const ToolResult done = Resume(first);
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.err, "");
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")),
            MapBytes(0x73706673, 65536, 8, 0, std::vector<std::uint32_t>(8, 0xFFFFFFFF)));
}

TEST_F(ConcurrencyTest, ConversionAgainstExtend) {
  const std::string source = RandomBytes(5 * kChunk, 1) + std::string(kChunk, '\0');
  WriteWholeFile(Path("a.fs"), source);
  // Paused at its first Store write, with the source, Map and Store open.
  const RunningTool first = StartPaused({"flat-to-sparse", "a.fs", "b.sparsefs"}, 2);

  ToolResult other = Run({"extend", std::to_string(100 * kChunk), "a.fs"});
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.err, "Cannot open 'a.fs': 11\n");
  other = Run({"extend", std::to_string(100 * kChunk), "b.sparsefs"});
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.err, "Cannot open 'b.sparsefs/Map': 11\n");
  other = Run({"create", "flat", "0", "a.fs"});
  EXPECT_EQ(other.err, "Cannot create 'a.fs': 11\n");

  EXPECT_EQ(Resume(first).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("a.fs")), source);
  ASSERT_EQ(Run({"sparse-to-flat", "b.sparsefs", "c.fs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("c.fs")), source);
}

TEST_F(ConcurrencyTest, SparseToFlatAgainstExtend) {
  WriteWholeFile(Path("a.fs"), RandomBytes(3 * kChunk, 2));
  ASSERT_EQ(Run({"flat-to-sparse", "a.fs", "a.sparsefs"}).status, 0);
  const std::string map = ReadWholeFile(Path("a.sparsefs/Map"));
  const RunningTool first = StartPaused({"sparse-to-flat", "a.sparsefs", "b.fs"}, 1);

  const ToolResult other = Run({"extend", std::to_string(10 * kChunk), "a.sparsefs"});
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.err, "Cannot open 'a.sparsefs/Map': 11\n");

  EXPECT_EQ(Resume(first).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("b.fs")), ReadWholeFile(Path("a.fs")));
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")), map);
}

}  // namespace
