// Runs the built quillon (or quillon.exe under Wine) in a scratch directory
// and captures what it prints; builds and reads the files around it.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ToolResult {
  int status;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

struct ToolOptions {
  std::vector<std::string> environment;  // NAME=VALUE settings added
  int closedStream = -1;   // a standard stream closed for the run
  bool terminal = false;   // standard output on a pseudo-terminal
  bool combined = false;   // standard error into standard output
  bool brokenPipe = false; // standard output a pipe nobody reads
};

// Whether the tests drive quillon.exe under Wine (QUILLON_TEST_EXE names it).
bool TestingWindowsBuild();

// Text with each "{name}" of a failure replaced by the number the platform
// under test gives it: missing-dir, exists, busy, is-dir.
std::string WithErrorNumbers(std::string text);

// Holds a file open the way another program would, until destroyed.
class FileHolder {
 public:
  explicit FileHolder(const std::string& path);
  ~FileHolder();

 private:
  std::string path_;
  int fd_ = -1;
  pid_t helper_ = -1;
};

struct RunningTool {
  pid_t pid;
  int out;
  int err;
};

// Starts quillon with args in dir; a run still going after 60 s is killed.
RunningTool StartTool(const std::string& dir, const std::vector<std::string>& args,
                      const ToolOptions& options = {});
ToolResult FinishTool(const RunningTool& run);
ToolResult RunTool(const std::string& dir, const std::vector<std::string>& args,
                   const ToolOptions& options = {});

// The environment that preloads the test hook with the given settings.
std::vector<std::string> Hook(std::vector<std::string> settings);

// The text a terminal shows after receiving output.
std::string ScreenText(const std::string& output);

// File contents written as a sequence of terms: "text" (C escapes), N*B
// (N bytes of value B, a number or 'c'; N*hole leaves a hole), le(v,...)
// (32-bit little-endian values, "-" for 0xFFFFFFFF), hdr(L,C,A) (a Map
// header), rand(N,seed) (bytes that are never zero) and @path (that file in
// dir). Counts take the suffixes K, M, G and C (64 KiB) and may add and
// subtract: 4G-33.
std::string Content(const std::string& expression, const std::string& dir = "");
void MakeFile(const std::string& path, const std::string& expression);
std::uint64_t Count(const std::string& text);

// Text with C escapes and "{N*c}" for N copies of c, for long paths.
std::string Expand(std::string text);

// The words of a line, split at spaces outside "quotes", each expanded.
std::vector<std::string> Words(const std::string& line);

std::string ReadWholeFile(const std::string& path);

// Each path under dir with what it holds, enough to tell any change.
std::map<std::string, std::string> Snapshot(const std::string& dir);

// Space the files under dir hold past what their lengths account for.
std::uint64_t HiddenSpace(const std::string& dir);

// A fresh scratch directory per test, removed afterwards.
class ToolTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  ToolResult Run(const std::vector<std::string>& args, const ToolOptions& options = {}) {
    return RunTool(dir_, args, options);
  }
  std::string dir_;
};
