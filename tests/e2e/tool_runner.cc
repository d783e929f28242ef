#include "e2e/tool_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

ToolResult RunTool(const std::string& dir, const std::vector<std::string>& args,
                   const ToolOptions& options) {
  const std::string outPath = dir + "/.stdout";
  const std::string errPath = dir + "/.stderr";
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = options.combined ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    if (options.fileSizeLimit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                         static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv{const_cast<char*>(QUILLON_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(QUILLON_BINARY, argv.data());
    _exit(127);
  }
  int raw = 0;
  waitpid(child, &raw, 0);
  ToolResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  result.out = ReadWholeFile(outPath);
  result.err = options.combined ? "" : ReadWholeFile(errPath);
  std::filesystem::remove(outPath);
  std::filesystem::remove(errPath);
  return result;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool PathExists(const std::string& path) { return std::filesystem::exists(path); }

std::uint64_t FileLength(const std::string& path) { return std::filesystem::file_size(path); }

std::string MapBytes(std::uint32_t magic, std::uint32_t chunkLength, std::uint32_t chunkCount,
                     std::uint32_t allocated, const std::vector<std::uint32_t>& entries,
                     const std::string& trailing) {
  std::string bytes;
  const auto put = [&bytes](std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  };
  put(magic);
  put(chunkLength);
  put(chunkCount);
  put(allocated);
  bytes.append(16, '\0');
  for (std::uint32_t entry : entries) put(entry);
  return bytes + trailing;
}

void ToolTest::SetUp() {
  char pattern[] = "/tmp/quillon-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  dir_ = pattern;
}

void ToolTest::TearDown() { std::filesystem::remove_all(dir_); }
