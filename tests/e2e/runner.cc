#include "e2e/runner.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

bool TestingWindowsBuild() { return std::getenv("QUILLON_TEST_EXE") != nullptr; }

std::string WithErrorNumbers(std::string text) {
  const bool windows = TestingWindowsBuild();  // the GetLastError numbers
  for (const auto& [name, number] : {std::pair{"{missing-dir}", windows ? "3" : "2"},
                                     {"{exists}", windows ? "183" : "17"}, {"{is-dir}", windows ? "5" : "21"}}) {
    for (std::size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, std::strlen(name), number);
  }
  return text;
}

RunningTool StartTool(const std::string& dir, const std::vector<std::string>& args, const ToolOptions& options) {
  int out[2], err[2];  // pipes, or a terminal for the output
  if (pipe(out) != 0 || pipe(err) != 0) std::abort();
  if (options.terminal && openpty(&out[0], &out[1], nullptr, nullptr, nullptr) != 0) std::abort();
  if (options.brokenPipe) close(out[0]);
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    dup2(out[1], 1);
    dup2(options.combined ? out[1] : err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    if (options.closedStream >= 0) close(options.closedStream);
    for (const std::string& setting : options.environment) putenv(const_cast<char*>(setting.c_str()));
    const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
    if (options.fileSizeLimit > 0) setrlimit(RLIMIT_FSIZE, &limit);
    alarm(60);  // a hang ends as a failure, not a stuck suite
    umask(022);
    std::vector<const char*> argv{QUILLON_BINARY};
    if (TestingWindowsBuild()) {
      setenv("WINEDEBUG", "-all", 1);
      setenv("LANG", "C.UTF-8", 1);  // arguments are UTF-8 text
      argv = {"wine", std::getenv("QUILLON_TEST_EXE")};
    }
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    execvp(argv[0], const_cast<char**>(argv.data()));
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  return RunningTool{child, options.brokenPipe ? -1 : out[0], err[0]};
}

namespace {

// Reads what a finished run left, without blocking: a process it left behind
// may hold the pipe open, and a terminal ends with EIO.
std::string Drain(int fd) {
  std::string bytes;
  char buffer[4096];
  fcntl(fd, F_SETFL, O_NONBLOCK);
  for (ssize_t got; fd >= 0 && (got = read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, got);
  close(fd);
  if (TestingWindowsBuild()) {  // every line ends in CR LF, folded to "\n"
    for (std::size_t at = 0; (at = bytes.find('\n', at)) != std::string::npos; ++at) {
      EXPECT_TRUE(at > 0 && bytes[at - 1] == '\r') << bytes;
      if (at > 0 && bytes[at - 1] == '\r') bytes.erase(--at, 1);
    }
  }
  return bytes;
}

}  // namespace

ToolResult FinishTool(const RunningTool& run) {
  int raw = 0;
  waitpid(run.pid, &raw, 0);
  return ToolResult{WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), Drain(run.out), Drain(run.err)};
}

ToolResult RunTool(const std::string& dir, const std::vector<std::string>& args, const ToolOptions& options) {
  return FinishTool(StartTool(dir, args, options));
}

std::vector<std::string> Hook(std::vector<std::string> settings) {
  settings.push_back("LD_PRELOAD=" QUILLON_HOOK_LIBRARY);
  settings.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
  return settings;
}

void WaitFor(const std::string& path) {
  for (int i = 0; i < 2000 && !fs::exists(path); ++i) usleep(5000);
}

std::string ScreenText(const std::string& output) {
  std::string text, line;
  std::size_t column = 0;
  for (char c : output) {
    if (c == '\n') {
      text += line.erase(line.find_last_not_of(' ') + 1) + "\n";  // erased cells are blanks
      line.clear();
    }
    if (c == '\r' || c == '\n') column = 0;
    else if (c == '\b') column -= column > 0;
    else if (column < line.size()) line[column++] = c;
    else line += c, ++column;
  }
  return text + line.erase(line.find_last_not_of(' ') + 1);
}

namespace {

std::string Unescape(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || ++i == text.size()) bytes += text[i];
    else if (text[i] == 'x') bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)), i += 2;
    else bytes += text[i] == 'n' ? '\n' : text[i] == '0' ? '\0' : text[i];
  }
  return bytes;
}

// Splits at the separator outside quotes and brackets.
std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  int depth = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    quoted ^= text[i] == '"' && (i == 0 || text[i - 1] != '\\');
    depth += !quoted && text[i] == '(' ? 1 : !quoted && text[i] == ')' ? -1 : 0;
    if (text[i] != separator || quoted || depth > 0) parts.back() += text[i];
    else if (!parts.back().empty()) parts.emplace_back();
  }
  if (parts.back().empty()) parts.pop_back();
  return parts;
}

std::string LittleEndian(const std::string& value) {
  const std::uint64_t number = value == "-" ? 0xFFFFFFFF : Count(value);
  return {static_cast<char>(number), static_cast<char>(number >> 8), static_cast<char>(number >> 16),
          static_cast<char>(number >> 24)};
}

// Each piece's bytes and the hole after it.
std::vector<std::pair<std::string, std::uint64_t>> Pieces(const std::string& expression) {
  std::vector<std::pair<std::string, std::uint64_t>> pieces(1);
  for (const std::string& term : Split(expression, ' ')) {
    std::string& bytes = pieces.back().first;
    const std::size_t open = term.find('(');
    std::vector<std::string> args;
    if (open != std::string::npos) args = Split(term.substr(open + 1, term.size() - open - 2), ',');
    if (term[0] == '"') {
      bytes += Unescape(term.substr(1, term.size() - 2));
    } else if (term.starts_with("hdr(")) {
      bytes += LittleEndian("0x73706673") + LittleEndian(args[0]) + LittleEndian(args[1]) + LittleEndian(args[2]);
      bytes.append(16, '\0');
    } else if (term.starts_with("le(")) {
      for (const std::string& value : args) bytes += LittleEndian(value);
    } else if (term.starts_with("rand(")) {
      std::mt19937 generator(static_cast<unsigned>(Count(args[1])));
      for (std::uint64_t i = Count(args[0]); i > 0; --i) bytes += static_cast<char>(generator() | 1);
    } else if (const std::size_t star = term.rfind('*'); term.ends_with("*hole")) {
      pieces.back().second = Count(term.substr(0, star));
      pieces.emplace_back();
    } else {
      const std::string value = term.substr(star + 1);
      bytes.append(Count(term.substr(0, star)), value[0] == '\'' ? value[1] : static_cast<char>(Count(value)));
    }
  }
  return pieces;
}

}  // namespace

std::uint64_t Count(const std::string& text) {
  std::uint64_t total = 0;
  for (std::size_t pos = 0, used = 0; pos < text.size(); pos += used) {
    const bool minus = text[pos] == '-';
    pos += minus || text[pos] == '+';
    std::uint64_t value = std::stoull(text.substr(pos), &used, 0);
    const std::size_t unit = pos + used < text.size() ? std::string("KMGC").find(text[pos + used]) : std::string::npos;
    if (unit != std::string::npos) value <<= unit == 3 ? 16 : 10 * (unit + 1), ++used;
    total = minus ? total - value : total + value;
  }
  return total;
}

std::string Expand(std::string text) {
  for (std::size_t at; (at = text.find('{')) != std::string::npos;) {
    const std::size_t star = text.find('*', at), end = text.find('}', at);
    text.replace(at, end - at + 1, std::string(Count(text.substr(at + 1, star - at - 1)), text[star + 1]));
  }
  return Unescape(text);
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words = Split(line, ' ');
  for (std::string& word : words) word = Expand(word[0] == '"' ? word.substr(1, word.size() - 2) : word);
  return words;
}

std::string Content(const std::string& expression) {
  std::string bytes;
  for (const auto& [piece, hole] : Pieces(expression)) bytes += piece + std::string(hole, '\0');
  return bytes;
}

void MakeFile(const std::string& path, const std::string& expression) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary);
  std::uint64_t length = 0;
  for (const auto& [piece, hole] : Pieces(expression)) {
    out.write(piece.data(), piece.size()).seekp(hole, std::ios::cur);
    length += piece.size() + hole;
  }
  out.close();
  fs::resize_file(path, length);
}

std::string ReadWholeFile(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> paths;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
    const std::string path = fs::relative(entry.path(), dir).string();
    if (!entry.is_regular_file()) paths[path] = entry.is_directory() ? "dir" : "special";
    else if (entry.file_size() < (64 << 20)) paths[path] = ReadWholeFile(entry.path());
    else paths[path] = "size " + std::to_string(entry.file_size());
  }
  return paths;
}

std::uint64_t HiddenSpace(const std::string& dir) {
  std::uint64_t hidden = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
    struct stat info;
    if (lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    const std::uint64_t held = info.st_blocks * 512ull, length = (info.st_size + 65535) / 65536 * 65536;
    hidden += held > length ? held - length : 0;
  }
  return hidden;
}

void ToolTest::SetUp() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/quillon-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  dir_ = pattern;
}

void ToolTest::TearDown() { fs::remove_all(dir_); }
