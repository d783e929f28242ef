// Every command failed at each of its writes, reservations, truncations,
// flushes and file creations in turn, with and without reservations, and
// stopped by a crash at every point its record allows: a source never
// changes, a device that existed is its old or its new self, a new sparse
// device is complete or refused, and no space is held past a file's end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>

#include "e2e/runner.h"

namespace {

namespace fs = std::filesystem;

enum class Kind { kExisting, kNewSparse, kFlatOutput };

struct Scenario {
  std::string name;
  std::vector<std::pair<std::string, std::string>> files;  // path, content
  std::vector<std::string> args;
  std::vector<std::string> sources;  // must never change
  std::string device;
  Kind kind;
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

const std::string kMixed = "64K*'a' 64K*0 3C*hole rand(20C,1) 64K*0 rand(5C+100,2)";
const std::string kMixedMap = "hdr(65536,64,6) le(-,0,1,-,3,2,-,4,5) 220*255";

const Scenario kScenarios[] = {
    {"CreateFlat", {{"a.fs", "\"old\""}}, {"create", "flat", "3145728", "a.fs"}, {}, "a.fs",
     Kind::kFlatOutput},
    {"CreateSparse", {}, {"create", "sparse", "200000", "s.sparsefs"}, {}, "s.sparsefs",
     Kind::kNewSparse},
    {"ExtendFlat", {{"a.fs", "1000*'d'"}}, {"extend", "1048576", "a.fs"}, {}, "a.fs",
     Kind::kExisting},
    {"ExtendSparse",
     {{"s.sparsefs/Map", "hdr(65536,2,1) le(-,0) \"junk\""}, {"s.sparsefs/Store", "64K*'s'"}},
     {"extend", "400000", "s.sparsefs"}, {"s.sparsefs/Store"}, "s.sparsefs", Kind::kExisting},
    {"FlatToSparse", {{"a.fs", kMixed}}, {"flat-to-sparse", "a.fs", "s.sparsefs"}, {"a.fs"},
     "s.sparsefs", Kind::kNewSparse},
    {"SparseToFlat",
     {{"s.sparsefs/Map", kMixedMap}, {"s.sparsefs/Store", "rand(6C,3)"}, {"b.fs", "\"old\""}},
     {"sparse-to-flat", "s.sparsefs", "b.fs"}, {"s.sparsefs/Map", "s.sparsefs/Store"}, "b.fs",
     Kind::kFlatOutput},
};

class FailureTest : public ToolTest, public testing::WithParamInterface<Scenario> {
 protected:
  void SetUp() override {
    if (TestingWindowsBuild()) GTEST_SKIP() << "uses a preloaded hook";
    ToolTest::SetUp();
    const Scenario& s = GetParam();
    Fill(Path("base"));
    fs::copy(Path("base"), Path("done"), fs::copy_options::recursive);
    ASSERT_EQ(RunTool(Path("done"), s.args).status, 0);
    old_ = View(Path("base"));
    new_ = View(Path("done"));
    for (const std::string& source : s.sources) sources_[source] = ReadWholeFile(Path("base/" + source));
  }
  void Fill(const std::string& dir) {
    fs::create_directories(dir);
    for (const auto& [path, content] : GetParam().files) {
      fs::create_directories(fs::path(dir + "/" + path).parent_path());
      MakeFile(dir + "/" + path, content);
    }
  }
  // The device in dir as a reader sees it: its bytes, "refused" or "none".
  std::string View(const std::string& dir) {
    const std::string path = dir + "/" + GetParam().device;
    if (!fs::exists(path)) return "none";
    if (GetParam().device.ends_with(".fs")) return ReadWholeFile(path);
    fs::remove(Path("view.fs"));
    const ToolOptions quick{{"QUILLON_NO_FLUSH=1"}};
    const ToolResult read = RunTool(dir, {"sparse-to-flat", GetParam().device, Path("view.fs")}, quick);
    if (read.status == 0) return ReadWholeFile(Path("view.fs"));
    return read.err.find("/Store'") == std::string::npos ? "refused" : "verified without a Store";
  }
  // What must hold after any failure or crash.
  void CheckState(const std::string& dir) {
    for (const auto& [source, bytes] : sources_) EXPECT_EQ(ReadWholeFile(dir + "/" + source), bytes) << source;
    const std::string view = View(dir);
    switch (GetParam().kind) {
      case Kind::kExisting: EXPECT_TRUE(view == old_ || view == new_); break;
      case Kind::kNewSparse: EXPECT_TRUE(view == new_ || view == "refused" || view == "none") << view.size(); break;
      case Kind::kFlatOutput: break;
    }
  }
  std::string old_;
  std::string new_;
  std::map<std::string, std::string> sources_;
};

TEST_P(FailureTest, EachFaultFailsCleanly) {
  static const std::regex kOneFailure("(Cannot write to file|Cannot set end of file|Cannot create '[^']*'): (28|5)\n");
  int failures = 0;
  for (const char* reservation : {"", "QUILLON_HOOK_NORESERVE=1"}) {
    for (const char* kind : {"write", "reserve", "truncate", "flush", "create"}) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE(std::string(kind) + " " + std::to_string(n) + " " + reservation);
        fs::remove_all(Path("run"));
        Fill(Path("run"));
        const std::vector<std::string> hook =
            Hook({"QUILLON_HOOK_FAIL=" + std::string(kind) + " " + std::to_string(n), reservation});
        const ToolResult result = RunTool(Path("run"), GetParam().args, {hook});
        if (result.status == 0) {
          EXPECT_EQ(View(Path("run")), new_);
          break;
        }
        ++failures;
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(std::regex_match(result.err, kOneFailure)) << result.err;
        CheckState(Path("run"));
        EXPECT_LT(HiddenSpace(Path("run")), 256u << 10);
        if (GetParam().name == "CreateFlat") {
          EXPECT_TRUE(View(Path("run")) == "" || View(Path("run")) == old_);
        }
        ASSERT_LT(n, 100);
      }
    }
  }
  std::cout << GetParam().name << ": " << failures << " failed runs checked\n";
}

// One operation of a run, as the hook recorded it.
struct Op {
  char kind;  // see the hook
  long long a;
  long long b;
  std::string path;  // relative to the run's directory; "" for itself
  std::string data;
};

std::vector<Op> ReadRecord(const std::string& file, const std::string& dir) {
  std::ifstream in(file, std::ios::binary);
  std::vector<Op> ops;
  for (Op op; in >> op.kind >> op.a >> op.b && in.get() == ' ' && std::getline(in, op.path);) {
    op.path = op.path == dir ? "" : op.path.substr(dir.size() + 1);
    op.data.resize(op.kind == 'W' ? op.b : 0);
    in.read(op.data.data(), static_cast<std::streamsize>(op.data.size()));
    ops.push_back(op);
  }
  return ops;
}

void Apply(const std::string& dir, const Op& op) {
  const std::string path = dir + "/" + op.path;
  if (op.kind == 'D') fs::create_directory(path);
  if (op.kind == 'C') std::ofstream(path, std::ios::app).flush();
  if (op.kind == 'T' || (op.kind == 'G' && fs::file_size(path) < static_cast<std::uint64_t>(op.b))) {
    fs::resize_file(path, op.kind == 'T' ? op.a : op.b);
  }
  if (op.kind == 'W') {
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, op.data.data(), op.data.size(), op.a), static_cast<ssize_t>(op.data.size()));
    close(fd);
  }
}

std::string Parent(const std::string& path) { return fs::path(path).parent_path().string(); }

TEST_P(FailureTest, EveryCrashStateIsOldOrNew) {
  Fill(Path("run"));
  const std::string record = Path("record");
  ASSERT_EQ(RunTool(Path("run"), GetParam().args, {Hook({"QUILLON_HOOK_RECORD=" + record})}).status, 0);
  const std::vector<Op> ops = ReadRecord(record, fs::canonical(Path("run")));
  ASSERT_FALSE(ops.empty());

  // Done means flushed: each change is followed by a flush of its file, or
  // of its directory for a new entry.
  for (std::size_t i = 0; i < ops.size(); ++i) {
    if (ops[i].kind == 'F') continue;
    const std::string flushed = ops[i].kind == 'C' || ops[i].kind == 'D' ? Parent(ops[i].path) : ops[i].path;
    bool found = false;
    for (std::size_t j = i + 1; j < ops.size() && !found; ++j) found = ops[j].kind == 'F' && ops[j].path == flushed;
    EXPECT_TRUE(found) << ops[i].kind << " " << ops[i].path << " is never flushed";
  }

  // A crash keeps each prefix of the record, less any of the writes that
  // no flush of their file has yet covered.
  std::mt19937 random(1);
  int states = 0;
  for (std::size_t end = 0; end <= ops.size(); ++end) {
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < end; ++i) {
      bool flushed = false;
      for (std::size_t j = i + 1; j < end; ++j) flushed |= ops[j].kind == 'F' && ops[j].path == ops[i].path;
      if (ops[i].kind == 'W' && !flushed) open.push_back(i);
    }
    const std::uint64_t subsets = std::uint64_t{1} << std::min<std::size_t>(open.size(), 20);
    for (std::uint64_t s = 0; s < std::min<std::uint64_t>(subsets, 256); ++s) {
      const std::uint64_t kept = subsets <= 256 ? s : random() % subsets;
      fs::remove_all(Path("state"));
      fs::copy(Path("base"), Path("state"), fs::copy_options::recursive);
      for (std::size_t i = 0, w = 0; i < end; ++i) {
        const bool lost = w < open.size() && open[w] == i && ((kept >> w++) & 1) == 0;
        if (!lost) Apply(Path("state"), ops[i]);
      }
      CheckState(Path("state"));
      ++states;
    }
  }
  std::cout << GetParam().name << ": " << ops.size() << " operations, " << states << " crash states checked\n";
}

INSTANTIATE_TEST_SUITE_P(Commands, FailureTest, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
