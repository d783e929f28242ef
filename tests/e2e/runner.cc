#include "e2e/runner.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

bool TestingWindowsBuild() { return std::getenv("QUILLON_TEST_EXE") != nullptr; }

std::string WithErrorNumbers(std::string text) {
  // ERROR_PATH_NOT_FOUND, ERROR_ALREADY_EXISTS, ERROR_SHARING_VIOLATION and
  // ERROR_ACCESS_DENIED on Windows.
  const bool windows = TestingWindowsBuild();
  const std::map<std::string, std::string> numbers = {{"{missing-dir}", windows ? "3" : "2"},
                                                      {"{exists}", windows ? "183" : "17"},
                                                      {"{busy}", windows ? "32" : "11"},
                                                      {"{is-dir}", windows ? "5" : "21"}};
  for (const auto& [name, number] : numbers) {
    for (std::size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, name.size(), number);
  }
  return text;
}

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

// On Windows every line must end in CR LF; checked, then folded to "\n".
std::string FoldLineEnds(const std::string& text) {
  std::string folded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) ADD_FAILURE() << "bare newline: " << text;
    if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') folded.push_back(text[i]);
  }
  return folded;
}

std::string Drain(int fd) {
  if (fd < 0) return "";
  // Called once the tool has exited: read without blocking, as a process it
  // left behind may hold the pipe open. A terminal ends with EIO.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string bytes;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, got);
  close(fd);
  return bytes;
}

}  // namespace

FileHolder::FileHolder(const std::string& path) : path_(path) {
  if (!TestingWindowsBuild()) {
    fd_ = open(path_.c_str(), O_RDONLY);
    EXPECT_EQ(flock(fd_, LOCK_EX), 0);
    return;
  }
  const std::filesystem::path file(path);
  const std::string exe =
      std::filesystem::path(std::getenv("QUILLON_TEST_EXE")).replace_filename("hold_file.exe");
  helper_ = fork();
  if (helper_ == 0) {
    if (chdir(file.parent_path().c_str()) != 0) _exit(126);
    ExecUnderWine(exe, {file.filename()});
  }
  for (int i = 0; i < 3000 && !std::filesystem::exists(path_ + ".held"); ++i) usleep(10000);
  EXPECT_TRUE(std::filesystem::exists(path_ + ".held"));
}

FileHolder::~FileHolder() {
  if (fd_ >= 0) close(fd_);
  if (helper_ > 0) {
    std::ofstream(path_ + ".release").flush();
    waitpid(helper_, nullptr, 0);
    std::filesystem::remove(path_ + ".held");
    std::filesystem::remove(path_ + ".release");
  }
}

RunningTool StartTool(const std::string& dir, const std::vector<std::string>& args,
                      const ToolOptions& options) {
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) std::abort();
  if (options.brokenPipe) close(out[0]);
  if (options.terminal && openpty(&out[0], &out[1], nullptr, nullptr, nullptr) != 0) std::abort();
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    dup2(out[1], 1);
    dup2(options.combined ? out[1] : err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    if (options.closedStream >= 0) close(options.closedStream);
    for (const std::string& setting : options.environment) putenv(const_cast<char*>(setting.c_str()));
    alarm(60);  // a hang ends as a failure, not a stuck suite
    if (TestingWindowsBuild()) ExecUnderWine(std::getenv("QUILLON_TEST_EXE"), args);
    std::vector<char*> argv{const_cast<char*>(QUILLON_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(QUILLON_BINARY, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  return RunningTool{child, options.brokenPipe ? -1 : out[0], err[0]};
}

ToolResult FinishTool(const RunningTool& run) {
  // What the tool prints is far below a pipe's capacity, so reading after
  // the exit cannot block it.
  int raw = 0;
  waitpid(run.pid, &raw, 0);
  ToolResult result{WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), Drain(run.out),
                    Drain(run.err)};
  if (TestingWindowsBuild()) {
    result.out = FoldLineEnds(result.out);
    result.err = FoldLineEnds(result.err);
  }
  return result;
}

ToolResult RunTool(const std::string& dir, const std::vector<std::string>& args,
                   const ToolOptions& options) {
  return FinishTool(StartTool(dir, args, options));
}

std::vector<std::string> Hook(std::vector<std::string> settings) {
  settings.push_back("LD_PRELOAD=" QUILLON_HOOK_LIBRARY);
  // The sanitizer runtime accepts a library preloaded before it.
  settings.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
  return settings;
}

std::string ScreenText(const std::string& output) {
  std::vector<std::string> lines(1);
  std::size_t column = 0;
  for (char c : output) {
    if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else if (c == '\r' || c == '\b') {
      column = c == '\r' || column == 0 ? 0 : column - 1;
    } else {
      std::string& line = lines.back();
      if (column < line.size()) line[column] = c;
      else line.push_back(c);
      ++column;
    }
  }
  std::string text;
  for (std::string& line : lines) {
    line.erase(line.find_last_not_of(' ') + 1);  // erased cells are blanks
    if (&line != &lines[0]) text += "\n";
    text += line;
  }
  return text;
}

namespace {

// A piece of a file: bytes, then a hole of that many bytes.
struct Piece {
  std::string bytes;
  std::uint64_t hole = 0;
};

std::string Unescape(const std::string& quoted) {
  std::string bytes;
  for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
    if (quoted[i] != '\\') {
      bytes += quoted[i];
    } else if (quoted[++i] == 'x') {
      bytes += static_cast<char>(std::stoi(quoted.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      const std::string from = "n0t\"\\", to = std::string("\n\0\t\"\\", 5);
      const std::size_t known = from.find(quoted[i]);
      bytes += known == std::string::npos ? quoted[i] : to[known];
    }
  }
  return bytes;
}

// Splits at spaces and at commas outside quotes and brackets.
std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  int depth = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' && (i == 0 || text[i - 1] != '\\')) quoted = !quoted;
    if (!quoted) depth += (c == '(') - (c == ')');
    if (c == separator && !quoted && depth == 0) {
      if (!parts.back().empty()) parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  if (parts.back().empty()) parts.pop_back();
  return parts;
}

std::string LittleEndian(const std::string& value) {
  const std::uint32_t number = value == "-" ? 0xFFFFFFFF : static_cast<std::uint32_t>(Count(value));
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>(number >> (8 * i));
  return bytes;
}

std::vector<Piece> Pieces(const std::string& expression, const std::string& dir) {
  std::vector<Piece> pieces(1);
  for (const std::string& term : Split(expression, ' ')) {
    std::string& bytes = pieces.back().bytes;
    const std::size_t open = term.find('(');
    const std::vector<std::string> args =
        open == std::string::npos ? std::vector<std::string>{}
                                  : Split(term.substr(open + 1, term.size() - open - 2), ',');
    if (term[0] == '"') {
      bytes += Unescape(term);
    } else if (term[0] == '@') {
      bytes += ReadWholeFile(dir + "/" + term.substr(1));
    } else if (term.rfind("le(", 0) == 0) {
      for (const std::string& value : args) bytes += LittleEndian(value);
    } else if (term.rfind("hdr(", 0) == 0) {
      bytes += LittleEndian("0x73706673") + LittleEndian(args[0]) + LittleEndian(args[1]) +
               LittleEndian(args[2]) + std::string(16, '\0');
    } else if (term.rfind("rand(", 0) == 0) {
      std::mt19937 generator(static_cast<unsigned>(Count(args[1])));
      for (std::uint64_t i = Count(args[0]); i > 0; --i) bytes += static_cast<char>(generator() | 1);
    } else {
      const std::size_t star = term.rfind('*');
      const std::string value = term.substr(star + 1);
      const std::uint64_t count = Count(term.substr(0, star));
      if (value == "hole") {
        pieces.back().hole = count;
        pieces.emplace_back();
      } else {
        bytes.append(count, value[0] == '\'' ? value[1] : static_cast<char>(Count(value)));
      }
    }
  }
  return pieces;
}

}  // namespace

std::string Expand(std::string text) {
  for (std::size_t at; (at = text.find('{')) != std::string::npos;) {
    const std::size_t end = text.find('}', at);
    const std::size_t star = text.find('*', at);
    text.replace(at, end - at + 1, std::string(Count(text.substr(at + 1, star - at - 1)), text[star + 1]));
  }
  return Unescape('"' + text + '"');
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words = Split(line, ' ');
  for (std::string& word : words) word = Expand(word[0] == '"' ? word.substr(1, word.size() - 2) : word);
  return words;
}

std::uint64_t Count(const std::string& text) {
  std::uint64_t total = 0;
  std::size_t pos = 0;
  char sign = '+';
  while (pos < text.size()) {
    std::size_t used = 0;
    std::uint64_t value = std::stoull(text.substr(pos), &used, 0);
    pos += used;
    if (pos < text.size()) {
      const std::size_t unit = std::string("KMGC").find(text[pos]);
      if (unit != std::string::npos) {
        value <<= unit == 3 ? 16 : 10 * (unit + 1);
        ++pos;
      }
    }
    total = sign == '+' ? total + value : total - value;
    if (pos < text.size()) sign = text[pos++];
  }
  return total;
}

std::string Content(const std::string& expression, const std::string& dir) {
  std::string bytes;
  for (const Piece& piece : Pieces(expression, dir)) bytes += piece.bytes + std::string(piece.hole, '\0');
  return bytes;
}

void MakeFile(const std::string& path, const std::string& expression) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  std::uint64_t at = 0;
  for (const Piece& piece : Pieces(expression, "")) {
    ASSERT_EQ(pwrite(fd, piece.bytes.data(), piece.bytes.size(), at), static_cast<ssize_t>(piece.bytes.size()));
    at += piece.bytes.size() + piece.hole;
  }
  ASSERT_EQ(ftruncate(fd, at), 0);
  close(fd);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::map<std::string, std::string> Snapshot(const std::string& dir) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> paths;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
    const std::string path = fs::relative(entry.path(), dir).string();
    const fs::file_status status = entry.symlink_status();
    if (fs::is_symlink(status)) paths[path] = "link " + fs::read_symlink(entry.path()).string();
    else if (fs::is_regular_file(status) && entry.file_size() < (64 << 20)) paths[path] = ReadWholeFile(entry.path());
    else if (fs::is_regular_file(status)) paths[path] = "size " + std::to_string(entry.file_size());
    else paths[path] = fs::is_directory(status) ? "dir" : "special";
  }
  return paths;
}

std::uint64_t HiddenSpace(const std::string& dir) {
  std::uint64_t hidden = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    struct stat info;
    if (lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    const std::uint64_t held = info.st_blocks * 512ull;
    const std::uint64_t length = (info.st_size + 65535) / 65536 * 65536;  // with room for metadata
    if (held > length) hidden += held - length;
  }
  return hidden;
}

void ToolTest::SetUp() {
  // Under TMPDIR when set, so that runs side by side never meet.
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/quillon-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  dir_ = pattern;
}

void ToolTest::TearDown() {
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}
