// The table of end-to-end cases in rows/*.rows. A row, ended by a blank
// line, holds one or more commands ("$ args"), each run afresh with the
// files before ("< path = content", "< path/", "< path -> target",
// "< path fifo"), and what must hold after: the exit status ("= n"),
// standard output ("out text", "|" for a newline; unchecked when absent),
// standard error ("err text", empty when absent) and files ("> path =
// content", "> path = size(n)", "> path/", "! path" for none); "2>&1" runs
// with standard error into standard output. Any other
// file must be as it was before. A row with a special file, or marked
// "linux", runs only on Linux; one marked "windows" only under Wine.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "e2e/runner.h"

namespace {

namespace fs = std::filesystem;

struct Entry {
  std::string path;
  std::string kind;  // "=", "/", "->", "fifo" or "!"
  std::string value;
};

struct Row {
  std::string name;
  std::vector<std::vector<std::string>> commands;
  std::vector<Entry> before;
  std::vector<Entry> after;
  int status = 0;
  bool checkOut = false;
  std::string out;
  std::string err;
  std::string platform;  // "linux", "windows" or empty
  bool combined = false;  // "2>&1": standard error into standard output
};

const char kUsage[] =
    "Usage: Quillon create <flat|sparse> <bytes> <dst>\n"
    "       Quillon flat-to-sparse <src> <dst>\n"
    "       Quillon sparse-to-flat <src> <dst>\n"
    "       Quillon extend <bytes> <dst>\n";

std::string Text(std::string text) {
  if (text == "{usage}") return kUsage;
  for (char& c : text) c = c == '|' ? '\n' : c;
  return Expand(WithErrorNumbers(text));
}

Entry ParseEntry(const std::string& line) {
  const std::string rest = line.substr(2);
  Entry entry{rest, "!", ""};
  if (const std::size_t at = rest.find(" = "); at != std::string::npos) {
    entry = Entry{rest.substr(0, at), "=", rest.substr(at + 3)};
  } else if (const std::size_t at = rest.find(" -> "); at != std::string::npos) {
    entry = Entry{rest.substr(0, at), "->", rest.substr(at + 4)};
  } else if (rest.ends_with(" fifo")) {
    entry = Entry{rest.substr(0, rest.size() - 5), "fifo", ""};
  } else if (line[0] != '!') {
    entry = Entry{rest.substr(0, rest.size() - 1), "/", ""};
  }
  entry.path = Expand(entry.path);
  return entry;
}

std::vector<Row> LoadRows() {
  std::vector<Row> rows;
  for (const fs::directory_entry& file : fs::directory_iterator(QUILLON_ROWS_DIR)) {
    std::ifstream in(file.path());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    lines.emplace_back();
    Row row;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      const std::string text = line.size() > 4 ? line.substr(4) : "";
      if (row.name.empty()) row.name = file.path().stem().string() + "_" + std::to_string(i + 1);
      if (line.empty()) {
        if (!row.commands.empty()) rows.push_back(row);
        row = Row{};
        continue;
      }
      switch (line[0]) {
        case '#': break;
        case '$': row.commands.push_back(Words(line.size() > 2 ? line.substr(2) : "")); break;
        case '<': row.before.push_back(ParseEntry(line)); break;
        case '>': case '!': row.after.push_back(ParseEntry(line)); break;
        case '=': row.status = std::stoi(line.substr(2)); break;
        case '2': row.combined = true; break;
        case 'o': row.checkOut = true, row.out = Text(text); break;
        case 'e': row.err = Text(text); break;
        default: row.platform = line;
      }
    }
  }
  return rows;
}

void MakeEntry(const std::string& dir, const Entry& entry) {
  const std::string path = dir + "/" + entry.path;
  fs::create_directories(fs::path(path).parent_path());
  if (entry.kind == "=") MakeFile(path, entry.value);
  else if (entry.kind == "/") fs::create_directories(path);
  else if (entry.kind == "->") fs::create_symlink(entry.value, path);
  else ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
}

void CheckAfter(const std::string& dir, const Row& row, const std::map<std::string, std::string>& before) {
  std::set<std::string> named;
  for (const Entry& entry : row.after) {
    const std::string path = dir + "/" + entry.path;
    for (fs::path p = entry.path; !p.empty(); p = p.parent_path()) named.insert(p.string());
    if (entry.kind == "!") {
      EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << entry.path;
    } else if (entry.kind == "/") {
      EXPECT_TRUE(fs::is_directory(path)) << entry.path;
    } else if (entry.value.starts_with("size(")) {
      EXPECT_EQ(fs::file_size(path), Count(entry.value.substr(5, entry.value.size() - 6))) << entry.path;
    } else {
      EXPECT_EQ(ReadWholeFile(path), Content(entry.value, dir)) << entry.path;
    }
  }
  const std::map<std::string, std::string> after = Snapshot(dir);
  for (const auto* side : {&before, &after}) {
    for (const auto& [path, held] : *side) {
      if (named.count(path) > 0) continue;
      const auto other = (side == &before ? after : before).find(path);
      EXPECT_TRUE(other != (side == &before ? after : before).end() && other->second == held)
          << path << " changed, appeared or went";
    }
  }
}

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class RowTest : public ToolTest, public testing::WithParamInterface<Row> {};

TEST_P(RowTest, Holds) {
  const Row& row = GetParam();
  bool special = row.platform == "linux";
  for (const Entry& entry : row.before) special |= entry.kind == "->" || entry.kind == "fifo";
  if (TestingWindowsBuild() ? special : row.platform == "windows") GTEST_SKIP();
  for (const std::vector<std::string>& args : row.commands) {
    SCOPED_TRACE(testing::PrintToString(args));
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    for (const Entry& entry : row.before) MakeEntry(dir_, entry);
    const std::map<std::string, std::string> before = Snapshot(dir_);
    ToolOptions options;
    options.combined = row.combined;
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
