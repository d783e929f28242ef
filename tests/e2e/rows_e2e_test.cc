// The table of end-to-end cases in rows/*.rows. A row, ended by a blank
// line, has commands ("$ args"), each run afresh with the files before
// ("< path = content", "< path/", "< path fifo"), then what must hold: the
// exit status ("= n"), standard output ("out text", "|" a newline; not
// checked when absent), standard error ("err text", else empty) and files
// after ("> path = content" or "= size(n)", "> path/"). Every other file
// must be as it was; what is made has the usual modes. "2>&1" joins the
// streams, "hook NAME=VALUE" preloads the test hook so set, "limit n" sets
// the file-size limit, and "linux" or
// "windows" limits the row to one platform (a row with a pipe is Linux only).
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "e2e/runner.h"

namespace {

namespace fs = std::filesystem;

struct Entry {
  std::string path, value;  // value: content, "/" or "fifo"
};

struct Row {
  std::string name;
  std::vector<std::vector<std::string>> commands;
  std::vector<Entry> before, after;
  int status = 0;
  bool checkOut = false, combined = false;
  std::string out, err, platform;
  std::vector<std::string> environment;
  long limit = 0;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

Entry ParseEntry(const std::string& text) {
  const std::size_t at = text.find(" = ");
  if (at != std::string::npos) return Entry{Expand(text.substr(0, at)), text.substr(at + 3)};
  const bool fifo = text.ends_with(" fifo");
  return Entry{Expand(text.substr(0, text.size() - (fifo ? 5 : 1))), fifo ? "fifo" : "/"};
}

std::string Text(const std::string& text) {
  if (text == "{usage}") {
    return "Usage: Quillon create <flat|sparse> <bytes> <dst>\n       Quillon flat-to-sparse <src> <dst>\n"
           "       Quillon sparse-to-flat <src> <dst>\n       Quillon extend <bytes> <dst>\n";
  }
  std::string lines = Expand(WithErrorNumbers(text));
  std::replace(lines.begin(), lines.end(), '|', '\n');
  return lines;
}

std::vector<Row> LoadRows() {
  std::vector<Row> rows;
  for (const fs::directory_entry& file : fs::directory_iterator(QUILLON_ROWS_DIR)) {
    std::ifstream in(file.path());
    Row row;
    row.name = file.path().stem().string() + "_1";
    int number = 0;
    for (std::string line; std::getline(in, line) || !row.commands.empty(); line.clear()) {
      ++number;
      const std::string rest = line.size() > 2 ? line.substr(line.find(' ') + 1) : "";
      if (line.empty()) {
        if (!row.commands.empty()) rows.push_back(row);
        row = Row();
        row.name = file.path().stem().string() + "_" + std::to_string(number + 1);
      } else if (line[0] == '$') {
        row.commands.push_back(Words(rest));
      } else if (line[0] == '<' || line[0] == '>') {
        (line[0] == '<' ? row.before : row.after).push_back(ParseEntry(rest));
      } else if (line[0] == '=') {
        row.status = std::stoi(rest);
      } else if (line.starts_with("out")) {
        row.checkOut = true, row.out = Text(line.substr(std::min<std::size_t>(4, line.size())));
      } else if (line.starts_with("err")) {
        row.err = Text(rest);
      } else if (line.starts_with("hook ")) {
        row.environment = Hook({rest});
      } else if (line.starts_with("limit ")) {
        row.limit = std::stol(rest);
      } else if (line == "2>&1") {
        row.combined = true;
      } else if (line[0] != '#') {
        row.platform = line;
      }
    }
  }
  return rows;
}

void CheckAfter(const std::string& dir, const Row& row, const std::map<std::string, std::string>& before) {
  std::set<std::string> named;
  for (const Entry& entry : row.after) {
    for (fs::path p = entry.path; !p.empty(); p = p.parent_path()) named.insert(p.string());
    const std::string path = dir + "/" + entry.path;
    if (fs::exists(path) && !TestingWindowsBuild()) {
      EXPECT_EQ(fs::status(path).permissions(), fs::is_directory(path) ? fs::perms(0755) : fs::perms(0644)) << path;
    }
    if (entry.value == "/") {
      EXPECT_TRUE(fs::is_directory(path)) << entry.path;
    } else if (entry.value.starts_with("size(")) {
      EXPECT_EQ(fs::file_size(path), Count(entry.value.substr(5, entry.value.size() - 6))) << entry.path;
    } else {
      const std::string held = ReadWholeFile(path), wanted = Content(entry.value);
      EXPECT_TRUE(held == wanted) << entry.path << ": " << (held.size() < 300 ? testing::PrintToString(held)
                                                             : std::to_string(held.size()) + " bytes, not as wanted");
    }
  }
  const std::map<std::string, std::string> after = Snapshot(dir);
  for (const auto& [one, other] : {std::pair{&before, &after}, {&after, &before}}) {
    for (const auto& [path, held] : *one) {
      const auto found = other->find(path);
      EXPECT_TRUE(named.count(path) > 0 || (found != other->end() && found->second == held)) << path << " changed";
    }
  }
}

class RowTest : public ToolTest, public testing::WithParamInterface<Row> {};

TEST_P(RowTest, Holds) {
  const Row& row = GetParam();
  bool linux = row.platform == "linux" || row.limit > 0;
  for (const Entry& entry : row.before) linux |= entry.value == "fifo";
  if (TestingWindowsBuild() ? linux : row.platform == "windows") GTEST_SKIP();
  for (const std::vector<std::string>& args : row.commands) {
    SCOPED_TRACE(testing::PrintToString(args));
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    for (const Entry& entry : row.before) {
      const std::string path = Path(entry.path);
      if (entry.value == "/") fs::create_directories(path);
      else if (entry.value == "fifo") fs::create_directories(fs::path(path).parent_path()), mkfifo(path.c_str(), 0644);
      else MakeFile(path, entry.value);
    }
    const std::map<std::string, std::string> before = Snapshot(dir_);
    ToolOptions options{row.environment};
    options.combined = row.combined;
    options.fileSizeLimit = row.limit;
    const ToolResult result = Run(args, options);
    EXPECT_EQ(result.status, row.status);
    if (row.checkOut) {
      EXPECT_EQ(result.out, row.out);
    }
    EXPECT_EQ(result.err, row.err);
    CheckAfter(dir_, row, before);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, RowTest, testing::ValuesIn(LoadRows()),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
