// Runs the built quillon binary in a scratch directory and captures what it
// prints, for the end-to-end tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

struct ToolResult {
  int status;        // exit status, or 128 + signal number
  std::string out;   // standard output
  std::string err;   // standard error
};

struct ToolOptions {
  bool combined = false;            // standard error into the output too
  std::int64_t fileSizeLimit = -1;  // RLIMIT_FSIZE for the run, SIGXFSZ ignored
  std::vector<std::string> environment;  // extra NAME=VALUE settings
  bool terminal = false;  // standard output on a pseudo-terminal
};

// Whether the tests drive quillon.exe under Wine (QUILLON_TEST_EXE names it)
// rather than the native build.
bool TestingWindowsBuild();

// The error numbers the platform under test reports.
struct ErrorNumbers {
  int missingDirectory;  // a directory on the way does not exist
  int exists;            // a directory to be made exists already
  int busy;              // another process holds the file
  int isDirectory;       // a directory where a file is expected
};
const ErrorNumbers& Errors();

// ": <number>\n", the end of a report with an error number.
std::string Number(int number);

// Holds a file open the way another program would, until destroyed: a
// flock on Linux, a handle without sharing from a helper on Windows.
class FileHolder {
 public:
  FileHolder(const std::string& dir, const std::string& name);
  ~FileHolder();

 private:
  std::string path_;
  int fd_ = -1;
  pid_t helper_ = -1;
};

// A run that has been started and not yet waited for.
struct RunningTool {
  pid_t pid;
  int out;  // read ends of the pipes
  int err;
};

// Starts quillon with args (program name excluded) in directory dir.
RunningTool StartTool(const std::string& dir, const std::vector<std::string>& args,
                      const ToolOptions& options = {});

// Waits for a started run and collects what it printed.
ToolResult FinishTool(const RunningTool& run);

// The text a terminal shows after receiving output: carriage returns and
// backspaces move the cursor and later characters overwrite earlier ones.
std::string ScreenText(const std::string& output);

// Starts and finishes a run.
ToolResult RunTool(const std::string& dir, const std::vector<std::string>& args,
                   const ToolOptions& options = {});

// Environment that makes the n-th write to a file (not a standard stream)
// first pause until dir/resume exists (announcing it with dir/paused), or
// first cut the file at path to size bytes.
std::vector<std::string> PauseAtWrite(int n, const std::string& dir);
std::vector<std::string> TruncateAtWrite(int n, const std::string& path, std::uint64_t size);

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool PathExists(const std::string& path);
std::uint64_t FileLength(const std::string& path);

// Makes a sparse Map image: header fields, then the entries, then extra bytes.
std::string MapBytes(std::uint32_t magic, std::uint32_t chunkLength, std::uint32_t chunkCount,
                     std::uint32_t allocated, const std::vector<std::uint32_t>& entries,
                     const std::string& trailing = "");

// Bytes that are never zero, different for each seed.
std::string RandomBytes(std::size_t length, unsigned seed);

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
