// Runs the built quillon (or quillon.exe under Wine) in a directory and
// captures what it prints; builds and reads the files around it.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ToolResult {
  int status;  // exit status, or 128 + signal number
  std::string out, err;
};

struct ToolOptions {
  std::vector<std::string> environment;  // NAME=VALUE
  int closedStream = -1;
  bool terminal = false, combined = false;  // stdout a terminal; stderr into stdout
  bool brokenPipe = false;                  // stdout a pipe nobody reads
  long fileSizeLimit = 0;                   // RLIMIT_FSIZE, when not 0
};

struct RunningTool {
  pid_t pid;
  int out, err;
};

bool TestingWindowsBuild();  // QUILLON_TEST_EXE names quillon.exe, run under Wine
std::string WithErrorNumbers(std::string text);  // "{missing-dir}", "{exists}", "{is-dir}"
RunningTool StartTool(const std::string& dir, const std::vector<std::string>& args, const ToolOptions& options = {});
ToolResult FinishTool(const RunningTool& run);
ToolResult RunTool(const std::string& dir, const std::vector<std::string>& args, const ToolOptions& options = {});
std::vector<std::string> Hook(std::vector<std::string> settings);  // preloads tests/e2e/hook.cc
void WaitFor(const std::string& path);
std::string ScreenText(const std::string& terminalOutput);

// File contents as terms: "text" (C escapes), N*B (N bytes of value B, a
// number or 'c'; N*hole a hole), le(v,...) (32-bit little-endian, "-" for
// 0xFFFFFFFF), hdr(L,C,A) (a Map header) and rand(N,seed) (never zero).
// Counts take K, M, G and C (64 KiB) and add and subtract: 4G-33.
std::string Content(const std::string& expression);
void MakeFile(const std::string& path, const std::string& expression);
std::uint64_t Count(const std::string& text);
std::string Expand(std::string text);  // C escapes, and {N*c} for N of c
std::vector<std::string> Words(const std::string& line);
std::string ReadWholeFile(const std::string& path);
std::map<std::string, std::string> Snapshot(const std::string& dir);  // each path with what it holds
std::uint64_t HiddenSpace(const std::string& dir);  // held past what the lengths account for

class ToolTest : public testing::Test {  // a fresh directory under TMPDIR
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  ToolResult Run(const std::vector<std::string>& args, const ToolOptions& options = {}) {
    return RunTool(dir_, args, options);
  }
  std::string dir_;
};
