// Every command failed at each of its writes, reservations, truncations,
// flushes and creations in turn (with and without reservations), and
// stopped by a crash at every point its record allows: a source never
// changes, a device that existed is its old or new self, a new sparse device
// is complete or refused, and no space is held past a file's end.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

#include "e2e/runner.h"

namespace {

namespace fs = std::filesystem;

struct Scenario {
  std::string name;
  std::vector<std::pair<std::string, std::string>> files;  // path, content
  std::vector<std::string> args, sources;  // sources must never change
  std::string device;
  bool existed;  // else new: a sparse one must be complete or refused
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

const Scenario kScenarios[] = {
    {"CreateFlat", {{"sub/other", "\"x\""}}, {"create", "flat", "3145728", "sub/a.fs"}, {}, "sub/a.fs", false},
    {"CreateSparse", {}, {"create", "sparse", "200000", "s.sparsefs"}, {}, "s.sparsefs", false},
    {"ExtendFlat", {{"a.fs", "1000*'d'"}}, {"extend", "1048576", "a.fs"}, {}, "a.fs", true},
    {"ExtendSparse", {{"s.sparsefs/Map", "hdr(65536,2,1) le(-,0) \"junk\""}, {"s.sparsefs/Store", "64K*'s'"}},
     {"extend", "400000", "s.sparsefs"}, {"s.sparsefs/Store"}, "s.sparsefs", true},
    {"FlatToSparse", {{"a.fs", "64K*'a' 64K*0 3C*hole rand(20C,1) 64K*0 rand(5C+100,2)"}},
     {"flat-to-sparse", "a.fs", "s.sparsefs"}, {"a.fs"}, "s.sparsefs", false},
    {"SparseToFlat",
     {{"s.sparsefs/Map", "hdr(65536,64,6) le(-,0,1,-,3,2,-,4,5) 220*255"}, {"s.sparsefs/Store", "rand(6C,3)"},
      {"b.fs", "\"old\""}},
     {"sparse-to-flat", "s.sparsefs", "b.fs"}, {"s.sparsefs/Map", "s.sparsefs/Store"}, "b.fs", false},
};

class FailureTest : public ToolTest, public testing::WithParamInterface<Scenario> {
 protected:
  void SetUp() override {
    if (TestingWindowsBuild()) GTEST_SKIP() << "uses a preloaded hook";
    ToolTest::SetUp();
    Fill("base");
    fs::copy(Path("base"), Path("done"), fs::copy_options::recursive);
    ASSERT_EQ(RunTool(Path("done"), GetParam().args).status, 0);
    old_ = View("base");
    new_ = View("done");
  }
  void Fill(const std::string& dir) {
    fs::create_directories(Path(dir));
    for (const auto& [path, content] : GetParam().files) MakeFile(Path(dir + "/" + path), content);
  }
  // The device as a reader sees it: its bytes, or why it cannot be read.
  std::string View(const std::string& dir) {
    const std::string& device = GetParam().device;
    if (!fs::exists(Path(dir + "/" + device))) return "none";
    if (device.ends_with(".fs")) return ReadWholeFile(Path(dir + "/" + device));
    fs::remove(Path("view.fs"));
    const ToolResult read = RunTool(Path(dir), {"sparse-to-flat", device, Path("view.fs")}, {{"QUILLON_NO_FLUSH=1"}});
    if (read.status == 0) return ReadWholeFile(Path("view.fs"));
    return read.err.find("/Store'") == std::string::npos ? "refused" : "verified without a Store";
  }
  void CheckState(const std::string& dir) {
    for (const std::string& source : GetParam().sources) {
      EXPECT_EQ(ReadWholeFile(Path(dir + "/" + source)), ReadWholeFile(Path("base/" + source))) << source;
    }
    const std::string view = View(dir);
    if (GetParam().existed) {
      EXPECT_TRUE(view == old_ || view == new_);
    }
    if (GetParam().device.ends_with(".sparsefs") && !GetParam().existed) {
      EXPECT_TRUE(view == new_ || view == "refused" || view == "none") << view.substr(0, 50);
    }
  }
  std::string old_, new_;
};

TEST_P(FailureTest, EachFaultFailsCleanly) {
  static const std::regex kOneFailure("(Cannot write to file|Cannot set end of file|Cannot create '[^']*'): (28|5)\n");
  int failures = 0;
  for (const char* reservation : {"", "QUILLON_HOOK_NORESERVE=1"}) {
    for (const char* kind : {"write", "reserve", "truncate", "flush", "create"}) {
      for (int n = 1; n < 100; ++n) {
        SCOPED_TRACE(std::string(kind) + " " + std::to_string(n) + " " + reservation);
        fs::remove_all(Path("run"));
        Fill("run");
        const std::string fault = "QUILLON_HOOK_FAIL=" + std::string(kind) + " " + std::to_string(n);
        const ToolResult result = RunTool(Path("run"), GetParam().args, {Hook({fault, reservation})});
        if (result.status == 0) {
          EXPECT_TRUE(View("run") == new_);
          break;
        }
        ++failures;
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(std::regex_match(result.err, kOneFailure)) << result.err;
        CheckState("run");
        EXPECT_LT(HiddenSpace(Path("run")), 256u << 10);
        // A failed creation leaves no shorter run of zeros to pass for a device.
        if (GetParam().name == "CreateFlat") {
          EXPECT_TRUE(View("run") == "" || View("run") == old_);
        }
      }
    }
  }
  std::cout << GetParam().name << ": " << failures << " failed runs\n";
}

struct Op {
  char kind;  // as the hook records
  long long a, b;
  std::string path, data;  // path relative to the run, "" for the run itself
};

void Apply(const std::string& dir, const Op& op) {
  const std::string path = dir + "/" + op.path;
  if (op.kind == 'D') fs::create_directory(path);
  if (op.kind == 'C') std::ofstream(path, std::ios::app).flush();
  if (op.kind == 'T') fs::resize_file(path, op.a);
  if (op.kind == 'G') fs::resize_file(path, std::max<std::uint64_t>(fs::file_size(path), op.b));
  if (op.kind == 'W') {
    const int fd = open(path.c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, op.data.data(), op.data.size(), op.a), static_cast<ssize_t>(op.data.size()));
    close(fd);
  }
}

TEST_P(FailureTest, EveryCrashStateIsOldOrNew) {
  Fill("run");
  ASSERT_EQ(RunTool(Path("run"), GetParam().args, {Hook({"QUILLON_HOOK_RECORD=" + Path("record")})}).status, 0);
  std::ifstream in(Path("record"), std::ios::binary);
  const std::string run = fs::canonical(Path("run"));
  std::vector<Op> ops;
  for (Op op; in >> op.kind >> op.a >> op.b && in.get() == ' ' && std::getline(in, op.path);) {
    op.path = op.path == run ? "" : op.path.substr(run.size() + 1);
    op.data.resize(op.kind == 'W' ? op.b : 0);
    in.read(op.data.data(), static_cast<std::streamsize>(op.data.size()));
    ops.push_back(op);
  }
  // Done means flushed: every change is followed by a flush of its file, or
  // of its directory for a new entry. A crash keeps each prefix of the
  // record, less any writes that no flush of their file has yet covered.
  std::mt19937 random(1);
  int states = 0;
  for (std::size_t end = 0; end <= ops.size(); ++end) {
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < ops.size(); ++i) {
      const bool entry = ops[i].kind == 'C' || ops[i].kind == 'D';
      const std::string flushed = entry ? fs::path(ops[i].path).parent_path().string() : ops[i].path;
      std::size_t j = i + 1;
      while (j < ops.size() && !(ops[j].kind == 'F' && ops[j].path == flushed)) ++j;
      if (end == ops.size() && ops[i].kind != 'F') {
        EXPECT_LT(j, ops.size()) << ops[i].kind << ops[i].path;
      }
      if (i < end && ops[i].kind == 'W' && j >= end) open.push_back(i);
    }
    const std::uint64_t subsets = std::uint64_t{1} << std::min<std::size_t>(open.size(), 20);
    for (std::uint64_t s = 0; s < std::min<std::uint64_t>(subsets, 256); ++s, ++states) {
      const std::uint64_t kept = subsets <= 256 ? s : random() % subsets;
      fs::remove_all(Path("state"));
      fs::copy(Path("base"), Path("state"), fs::copy_options::recursive);
      for (std::size_t i = 0, w = 0; i < end; ++i) {
        const bool lost = w < open.size() && open[w] == i && ((kept >> w++) & 1) == 0;
        if (!lost) Apply(Path("state"), ops[i]);
      }
      CheckState("state");
    }
  }
  std::cout << GetParam().name << ": " << ops.size() << " operations, " << states << " crash states\n";
}

INSTANTIATE_TEST_SUITE_P(Commands, FailureTest, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
