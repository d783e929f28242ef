#include "e2e/tool_runner.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

bool TestingWindowsBuild() { return std::getenv("QUILLON_TEST_EXE") != nullptr; }

const ErrorNumbers& Errors() {
  static const ErrorNumbers kLinux{2, 17, 11, 21};
  // ERROR_PATH_NOT_FOUND, ERROR_ALREADY_EXISTS, ERROR_SHARING_VIOLATION and
  // ERROR_ACCESS_DENIED.
  static const ErrorNumbers kWindows{3, 183, 32, 5};
  return TestingWindowsBuild() ? kWindows : kLinux;
}

std::string Number(int number) { return ": " + std::to_string(number) + "\n"; }

namespace {

// Runs a Windows program under Wine in the child, arguments as given.
[[noreturn]] void ExecUnderWine(const std::string& exe, const std::vector<std::string>& args) {
  setenv("WINEDEBUG", "-all", 1);
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
  setenv("LANG", "C.UTF-8", 1);  // arguments are UTF-8 text
  std::vector<char*> argv{const_cast<char*>("wine"), const_cast<char*>(exe.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execvp("wine", argv.data());
  _exit(127);
}

// On Windows every line must end in CR LF; checked, then folded to "\n" so
// that one set of expectations serves both builds.
std::string FoldLineEnds(const std::string& text) {
  std::string folded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
      ADD_FAILURE() << "a bare newline in: " << text;
    }
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    folded.push_back(text[i]);
  }
  return folded;
}

}  // namespace

FileHolder::FileHolder(const std::string& dir, const std::string& name) : path_(dir + "/" + name) {
  if (!TestingWindowsBuild()) {
    fd_ = open(path_.c_str(), O_RDONLY);
    EXPECT_EQ(flock(fd_, LOCK_EX), 0);
    return;
  }
  const std::string exe = std::filesystem::path(std::getenv("QUILLON_TEST_EXE"))
                              .replace_filename("hold_file.exe")
                              .string();
  helper_ = fork();
  if (helper_ == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    ExecUnderWine(exe, {name});
  }
  for (int i = 0; i < 3000 && !PathExists(path_ + ".held"); ++i) usleep(10000);
  EXPECT_TRUE(PathExists(path_ + ".held"));
}

FileHolder::~FileHolder() {
  if (fd_ >= 0) close(fd_);
  if (helper_ > 0) {
    WriteWholeFile(path_ + ".release", "");
    waitpid(helper_, nullptr, 0);
    std::filesystem::remove(path_ + ".held");
    std::filesystem::remove(path_ + ".release");
  }
}

namespace {

std::string Drain(int fd) {
  // Called once the tool has exited, so all it wrote is already there: read
  // without blocking, as a process it left behind may hold the pipe open. A
  // terminal's master side ends with EIO rather than end of file.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string bytes;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, got);
  close(fd);
  return bytes;
}

}  // namespace

RunningTool StartTool(const std::string& dir, const std::vector<std::string>& args,
                      const ToolOptions& options) {
  // Pipes, not files: a file-size limit must not stop the messages.
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) std::abort();
  if (options.terminal && openpty(&out[0], &out[1], nullptr, nullptr, nullptr) != 0) std::abort();
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    dup2(out[1], 1);
    dup2(options.combined ? out[1] : err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    if (options.fileSizeLimit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                         static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    for (const std::string& setting : options.environment) {
      putenv(const_cast<char*>(setting.c_str()));
    }
    if (TestingWindowsBuild()) ExecUnderWine(std::getenv("QUILLON_TEST_EXE"), args);
    std::vector<char*> argv{const_cast<char*>(QUILLON_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(QUILLON_BINARY, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  return RunningTool{child, out[0], err[0]};
}

ToolResult FinishTool(const RunningTool& run) {
  // What the tool prints is far below a pipe's capacity, so reading after
  // the exit cannot block it.
  int raw = 0;
  waitpid(run.pid, &raw, 0);
  ToolResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  result.out = Drain(run.out);
  result.err = Drain(run.err);
  if (TestingWindowsBuild()) {
    result.out = FoldLineEnds(result.out);
    result.err = FoldLineEnds(result.err);
  }
  return result;
}

std::string ScreenText(const std::string& output) {
  std::vector<std::string> lines(1);
  std::size_t column = 0;
  for (char c : output) {
    if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else if (c == '\r') {
      column = 0;
    } else if (c == '\b') {
      if (column > 0) --column;
    } else {
      std::string& line = lines.back();
      if (column < line.size()) line[column] = c;
      else line.push_back(c);
      ++column;
    }
  }
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    line.erase(line.find_last_not_of(' ') + 1);  // erased cells are blanks
    text += line;
    if (i + 1 < lines.size()) text += "\n";
  }
  return text;
}

ToolResult RunTool(const std::string& dir, const std::vector<std::string>& args,
                   const ToolOptions& options) {
  return FinishTool(StartTool(dir, args, options));
}

namespace {

std::vector<std::string> HookEnvironment(int n, const std::string& action,
                                         const std::string& path, std::uint64_t size) {
  return {"LD_PRELOAD=" QUILLON_HOOK_LIBRARY,
          // The sanitizer runtime accepts a library preloaded before it.
          "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1",
          "QUILLON_HOOK_AT=" + std::to_string(n), "QUILLON_HOOK_ACTION=" + action,
          "QUILLON_HOOK_PATH=" + path, "QUILLON_HOOK_SIZE=" + std::to_string(size)};
}

}  // namespace

std::vector<std::string> PauseAtWrite(int n, const std::string& dir) {
  return HookEnvironment(n, "pause", dir, 0);
}

std::vector<std::string> TruncateAtWrite(int n, const std::string& path, std::uint64_t size) {
  return HookEnvironment(n, "truncate", path, size);
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

std::string RandomBytes(std::size_t length, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(length, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() | 1);
  return bytes;
}

void ToolTest::SetUp() {
  char pattern[] = "/tmp/quillon-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  dir_ = pattern;
}

void ToolTest::TearDown() {
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}
