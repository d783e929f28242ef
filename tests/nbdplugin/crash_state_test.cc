// A power cut after each call of the file layer that the served device makes
// under a seeded workload, as SQLite's crash tests cut one: the disk keeps any
// page written since its file's last flush or not, any length the file had
// since, and any first part of the name changes since the directory's last
// flush. Every such state verifies, gives each chunk written before the last
// acknowledged flush a slot of its own, and reads each 4 KiB block as at that
// flush or as written after it began.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string_view>

#include "nbdplugin/served_test.h"
#include "sparsedev/sparse_device.h"

namespace {

constexpr std::uint64_t kPage = 4096;                    // what a power cut keeps or loses whole
using FileId = std::pair<std::uint64_t, std::uint64_t>;  // device, inode
using Names = std::map<std::string, FileId>;

// A file as a power cut may leave it: its lengths and the versions of each
// page since its last flush, the flushed one first.
struct ModelFile {
  std::vector<std::uint64_t> lengths{0};
  std::vector<std::vector<Bytes>> pages;
};

// A value a block of the device took (written, or read back after a
// restart), and the step it began at.
struct Value {
  std::size_t at;
  Bytes bytes;
  bool written;
};

// The disk, the client's blocks, and the states checked so far.
struct Model {
  std::string directory;  // the device's; each state is written beside it
  std::uint32_t length, chunkCount;
  std::uint64_t size;
  std::set<std::uint64_t> pastEnd{};  // chunks whose slots lay past the Store's end, in part
  std::map<FileId, ModelFile> files{};
  std::vector<Names> names{{}};  // as flushed, then after each change since
  std::map<std::uint64_t, std::vector<Value>> blocks{};
  std::map<std::uint64_t, std::size_t> chunksWritten{};  // where the client first wrote each chunk
  std::size_t steps = 0, acked = 0;                      // where the last acknowledged flush began
  std::set<std::size_t> seen{};  // states checked since the client last changed what it may read
  std::mt19937 rng{};
  int samples = 0;
  bool noExchange = false;  // each commit renames a whole copy of the Map over it
  int diesIn = 0;           // the server dies at the call that many calls on (0: never): it and all after fail
  bool dead = false;
  int calls = 0, failAt = 0;            // the call that fails, counted from 1 (0: none)
  bool cutEach = true;                  // else the states are checked once, at the end
  std::set<std::uint64_t> uncertain{};  // chunks a failed request touched: any mix of before and after
  std::string after{};                  // the call the states are cut after
  int failed = 0;
  std::string first{};
};
Model* g_model = nullptr;

void Fail(const std::string& state, const std::string& why) {
  if (g_model->failed++ == 0) g_model->first = g_model->after + state + ": " + why;
}

// The values the block may read as: the one it had when the last
// acknowledged flush began, and those begun after.
std::vector<const Bytes*> Allowed(const std::vector<Value>& values) {
  std::vector<const Bytes*> may;
  for (const Value& value : values) {
    if (value.at > g_model->acked || may.empty()) may.push_back(&value.bytes);
    if (value.at <= g_model->acked) may.back() = &value.bytes;
  }
  return may;
}

// Where the block is cut into pieces a power cut keeps or loses whole: where
// a chunk ends and, given the chunks' slots, where a page of the Store does.
std::vector<std::uint64_t> Cuts(std::uint64_t block, const std::vector<std::uint32_t>& entries) {
  const Model& m = *g_model;
  std::vector<std::uint64_t> cuts{block * kPage};
  for (const std::uint64_t end = std::min(m.size, (block + 1) * kPage); cuts.back() < end;) {
    const std::uint64_t at = cuts.back(), chunk = at / m.length;
    std::uint64_t next = std::min(end, (chunk + 1) * m.length);
    if (!entries.empty() && entries[chunk] != ABSENT_CHUNK) {
      next = std::min(next, at + kPage - (std::uint64_t{entries[chunk]} * m.length + at % m.length) % kPage);
    }
    cuts.push_back(next);
  }
  return cuts;
}

// Whether each piece of the block as got is that piece of a value it may read
// as. A chunk whose slot lay past the Store's end may read as zeros (where it
// reads short, or as the Store grew over it; zeroing there leaves it so).
bool Reads(std::uint64_t block, const std::vector<std::uint64_t>& cuts, const Bytes& got) {
  const std::vector<const Bytes*> may = Allowed(g_model->blocks[block]);
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    const auto from = got.begin() + (cuts[i] - cuts[0]), to = got.begin() + (cuts[i + 1] - cuts[0]);
    if ((!g_model->pastEnd.contains(cuts[i] / g_model->length) || std::any_of(from, to, std::identity())) &&
        std::none_of(may.begin(), may.end(),
                     [&](const Bytes* value) { return std::equal(from, to, value->begin() + (cuts[i] - cuts[0])); })) {
      return false;
    }
  }
  return true;
}

// Whether [from, to) of the device touches a chunk a failed request touched.
bool Uncertain(std::uint64_t from, std::uint64_t to) {
  const auto first = g_model->uncertain.lower_bound(from / g_model->length);
  return first != g_model->uncertain.end() && *first <= (std::min(to, g_model->size) - 1) / g_model->length;
}

// One file as a power cut may leave it: pick(n) chooses among n lengths, or n
// versions of a page.
template <typename Pick>
Bytes Image(const ModelFile& file, Pick pick) {
  Bytes image(file.lengths[pick(file.lengths.size())]);
  for (std::uint64_t page = 0; page < file.pages.size() && page * kPage < image.size(); ++page) {
    if (file.pages[page].empty()) continue;
    const Bytes& chosen = file.pages[page][pick(file.pages[page].size())];
    std::copy_n(chosen.begin(), std::min(kPage, image.size() - page * kPage), image.begin() + page * kPage);
  }
  return image;
}

// Writes out and checks the state with the names after prefix changes since
// the directory's flush, and the pages and lengths pick chooses.
template <typename Pick>
void CheckState(std::size_t prefix, Pick pick, const std::string& what) {
  Model& m = *g_model;
  const std::string state = what + ", names as after " + std::to_string(prefix) + " of the " +
                            std::to_string(m.names.size() - 1) + " changes since the directory's flush";
  Names names = m.names[prefix];
  if (!names.contains("Map") || !names.contains("Store")) return Fail(state, "no Map or no Store");
  const Bytes map = Image(m.files[names["Map"]], pick), store = Image(m.files[names["Store"]], pick);
  const auto hash = [](const Bytes& bytes) {
    return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  };
  if (!m.seen.insert(hash(map) * 31 + hash(store)).second) return;
  std::filesystem::create_directory(m.directory + ".state");
  for (const auto& [name, bytes] : {std::pair{"/Map", &map}, std::pair{"/Store", &store}}) {
    // Written over, not emptied first: ext4 writes a file emptied and written again back at once.
    const int fd = open((m.directory + ".state" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_EQ(pwrite(fd, bytes->data(), bytes->size(), 0), std::ssize(*bytes));
    EXPECT_EQ(ftruncate(fd, std::ssize(*bytes)), 0);
    close(fd);
  }
  std::vector<std::uint32_t> entries(m.chunkCount, ABSENT_CHUNK);
  const Expected<SparseDevice> device =
      OpenSparseDevice(m.directory + ".state", Access::kReadOnly, [&](std::uint32_t chunk, std::uint32_t slot) {
        entries[chunk] = slot;
        return MaybeError();
      });
  if (!device) return Fail(state, "does not open: " + ErrorText(device.error()));
  std::map<std::uint32_t, int> namers;
  for (const std::uint32_t slot : entries) ++namers[slot];
  for (const auto& [block, values] : m.blocks) {
    if (Uncertain(block * kPage, (block + 1) * kPage)) continue;
    const std::vector<std::uint64_t> cuts = Cuts(block, entries);
    Bytes got(cuts.back() - cuts[0]);
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
      const std::uint32_t chunk = static_cast<std::uint32_t>(cuts[i] / m.length), slot = entries[chunk];
      const auto written = m.chunksWritten.find(chunk);  // a chunk never written may share the slot it had
      if (written != m.chunksWritten.end() && written->second <= m.acked && slot != ABSENT_CHUNK && namers[slot] > 1) {
        return Fail(state, "chunk " + std::to_string(chunk) + ", written and flushed, shares its slot");
      }
      const std::uint64_t from = std::uint64_t{slot} * m.length + cuts[i] % m.length, count = cuts[i + 1] - cuts[i];
      if (slot != ABSENT_CHUNK && from + count > store.size() && !m.pastEnd.contains(chunk)) {
        return Fail(state, "chunk " + std::to_string(chunk) + " reads short");
      }
      if (slot != ABSENT_CHUNK && from + count <= store.size()) {
        std::copy_n(store.begin() + from, count, got.begin() + (cuts[i] - cuts[0]));
      }
    }
    if (!Reads(block, cuts, got)) {
      return Fail(state, "block " + std::to_string(block) +
                             " reads neither as at the last acknowledged flush nor as written since");
    }
  }
}

// The states a power cut now may leave: the extremes and a sample.
void CutHere() {
  Model& m = *g_model;
  const auto flushed = [](std::size_t) { return std::size_t{0}; };
  const auto written = [](std::size_t n) { return n - 1; };
  const auto any = [&m](std::size_t n) { return m.rng() % n; };
  for (std::size_t prefix = 0; prefix < m.names.size(); ++prefix) {
    CheckState(prefix, flushed, "every page and length as flushed");
    CheckState(prefix, written, "every page and length as last written");
  }
  for (int i = 0; i < m.samples; ++i) CheckState(m.rng() % m.names.size(), any, "pages and lengths picked at random");
}

// After a call (or with everything flushed, as made): the files named in the
// device's directory as they are now, a flush, and the states a power cut may
// leave.
void Snapshot(Call call, std::intptr_t handle, int number, bool settled) {
  Model& m = *g_model;
  Names now;
  for (const auto& entry : std::filesystem::directory_iterator(m.directory)) {
    struct stat facts {};
    stat(entry.path().c_str(), &facts);
    const FileId id{facts.st_dev, facts.st_ino};
    now[entry.path().filename()] = id;
    ModelFile& file = m.files[id];
    Bytes bytes(static_cast<std::uint64_t>(facts.st_size));
    std::ifstream(entry.path()).read(reinterpret_cast<char*>(bytes.data()), std::ssize(bytes));
    if (file.lengths.back() != bytes.size()) file.lengths.push_back(bytes.size());
    file.pages.resize(std::max(file.pages.size(), (bytes.size() + kPage - 1) / kPage));
    for (std::uint64_t page = 0; page * kPage < bytes.size(); ++page) {
      Bytes content(kPage);
      std::copy(bytes.begin() + page * kPage, bytes.begin() + std::min(bytes.size(), (page + 1) * kPage),
                content.begin());
      if (file.pages[page].empty()) file.pages[page].emplace_back(kPage);
      if (file.pages[page].back() != content) file.pages[page].push_back(std::move(content));
    }
  }
  if (now != m.names.back()) m.names.push_back(now);
  for (auto& [id, file] : m.files) {
    struct stat facts {};
    if (!settled && (call != Call::kFlush || number != 0 || fstat(static_cast<int>(handle), &facts) != 0 ||
                     id != FileId{facts.st_dev, facts.st_ino})) {
      continue;
    }
    file.lengths.erase(file.lengths.begin(), file.lengths.end() - 1);
    for (auto& versions : file.pages) versions.erase(versions.begin(), versions.end() - !versions.empty());
  }
  if (settled || (call == Call::kFlushDirectory && number == 0)) m.names.erase(m.names.begin(), m.names.end() - 1);
  if (settled || !m.cutEach) return;
  m.after = "after call " + std::to_string(m.steps++) + " (" + kCallNames[static_cast<int>(call)] + "), ";
  CutHere();
}

void Called(Call call, std::intptr_t handle, int number) {
  const bool armed = std::exchange(t_armed, false);  // the check's allocations are not the request's
  Snapshot(call, handle, number, false);
  t_armed = armed;
}

// Before each recorded call: whether it fails, unmade, as the one failed or
// as the server died by it.
int Dies(Call call) {
  Model& m = *g_model;
  if (++m.calls == m.failAt) return call == Call::kFlush || call == Call::kFlushDirectory ? EPERM : EIO;
  m.dead = m.dead || (m.diesIn > 0 && --m.diesIn == 0);
  return m.dead ? EIO : call == Call::kExchange && m.noExchange ? EOPNOTSUPP : 0;
}

// The client's side, under the seam's lock: the blocks of [from, to) of now
// as written or read back, a flush begun or acknowledged, the server killed.
void Wrote(const Bytes& now, std::uint64_t from, std::uint64_t to, bool written = true) {
  const std::lock_guard lock(g_seamLock);
  Model& m = *g_model;
  m.seen.clear();
  for (std::uint64_t chunk = from / m.length; chunk * m.length < to; ++chunk) {
    if (!written) m.chunksWritten.erase(chunk);  // read back after a kill: what was lost was never flushed
    if (written) m.chunksWritten.try_emplace(chunk, m.steps);
  }
  for (std::uint64_t block = from / kPage; block * kPage < to; ++block) {
    const Bytes value(now.begin() + block * kPage, now.begin() + std::min(m.size, (block + 1) * kPage));
    std::vector<Value>& values = m.blocks[block];
    if (!written && !values.empty() && !Uncertain(block * kPage, (block + 1) * kPage) &&
        !Reads(block, Cuts(block, {}), value)) {
      Fail("", "block " + std::to_string(block) + " served after a restart as it never was");
    }
    values.push_back({m.steps++, value, written});
  }
}

// A flush (or a clean stop): acknowledged, everything written before it
// began holds.
template <typename Request>
MaybeError Flushed(Request request) {
  std::unique_lock lock(g_seamLock);
  const std::size_t begun = g_model->steps++;
  lock.unlock();
  const MaybeError error = Armed(request);
  lock.lock();
  if (!error) g_model->acked = begun;
  g_model->seen.clear();
  return error;
}

// Once served again, nothing leaks over the device's life: the Store ends
// at its last slot named, holds data only in named slots, and is compacted
// where more than half of it is free and no slot is shared.
void NoRoomLeaks(const std::string& directory) {
  std::ifstream map(directory + "/Map", std::ios::binary);
  const Bytes bytes{std::istreambuf_iterator<char>(map), {}};
  std::multiset<std::uint32_t> named;
  for (std::uint64_t at = kMapHeaderSize; at + kMapEntrySize <= bytes.size(); at += kMapEntrySize) {
    if (const std::uint32_t slot = LoadLittleEndian32(bytes.data() + at); slot != ABSENT_CHUNK) named.insert(slot);
  }
  struct stat store {};
  const int fd = open((directory + "/Store").c_str(), O_RDONLY | O_CLOEXEC);
  fstat(fd, &store);
  std::uint64_t data = 0;  // within its length: XFS keeps blocks past the end a while
  for (off_t at = 0, from; (from = lseek(fd, at, SEEK_DATA)) >= 0;) data += (at = lseek(fd, from, SEEK_HOLE)) - from;
  close(fd);
  const std::uint64_t length = g_model->length, slots = std::set(named.begin(), named.end()).size();
  EXPECT_LE(static_cast<std::uint64_t>(store.st_size), named.empty() ? 0 : (*named.rbegin() + 1) * length);
  EXPECT_LE(std::min<std::uint64_t>(store.st_blocks * 512, data), slots * (length + 2 * kPage));  // their pages
  EXPECT_TRUE(slots < named.size() || !g_model->pastEnd.empty() ||
              static_cast<std::uint64_t>(store.st_size) <= 2 * named.size() * length);
}

// The device served again (a kill leaves what the page cache held), and read
// back: the model follows what it reads.
OwnedServedDevice Restart(const std::string& directory, Bytes* now) {
  Expected<OwnedServedDevice> served = OpenServedDevice(directory, directory);
  const MaybeError started = served ? Armed([&] {
    const Expected<WritingStarted> ready = StartWriting(served->get());
    return ready ? MaybeError() : MaybeError(ready.error());
  })
                                    : served.error();
  if (started) {
    EXPECT_TRUE(g_model->failAt || g_failAllocation) << "not served again: " << ErrorText(*started);
    return nullptr;
  }
  const std::uint64_t size = now->size(), length = g_model->length;
  if (g_model->failAt == 0 && g_failAllocation == 0) NoRoomLeaks(directory);  // a failed punch leaves room
  for (std::uint64_t at = 0; at < size;) {  // a piece of a chunk at a time: where one reads short, the rest read
    const std::uint64_t chunk = at / length, end = std::min({size, (at / kPage + 1) * kPage, (chunk + 1) * length});
    Bytes got(end - at);
    if (ReadServed(served->get(), got.data(), static_cast<std::uint32_t>(got.size()), at)) {
      EXPECT_TRUE(g_model->pastEnd.contains(chunk)) << "chunk " << chunk << " reads short";
    } else {
      std::copy(got.begin(), got.end(), now->begin() + at);
    }
    at = end;
  }
  Wrote(*now, 0, size, false);
  return std::move(*served);
}

const bool kProof = std::string_view(std::getenv("QUILLON_TIER") ? std::getenv("QUILLON_TIER") : "") == "proof";

// How a workload goes (kills, a call or an allocation failed), and what came of it.
struct Run {
  bool kills = false;
  int failCall = 0, failAllocation = 0;
};
struct Outcome {
  int failed;
  std::string first;
  int calls, allocations;
};

// Serves a device made from the seed through a workload, as run says, and
// checks the states a power cut after each call may leave (once, at the end,
// where something fails).
Outcome CutEverywhere(const std::string& directory, unsigned seed, Run run) {
  std::mt19937 rng(seed);
  constexpr std::uint32_t kLengths[] = {4096, 65536, 12291};  // and one a page does not divide
  const std::uint32_t length = kLengths[seed % 3], count = length == 65536 ? 6 : 16, slots = count / 2 + rng() % count;
  std::map<std::uint32_t, std::uint32_t> stored;  // slots in any order, some named twice, some past the Store's end
  for (std::uint32_t chunk = 0; chunk < count; ++chunk) {
    if (rng() % 3 != 0) stored[chunk] = rng() % 4 == 0 ? slots + chunk : rng() % slots;
  }
  const std::uint64_t size = std::uint64_t{count} * length;
  Model m{directory, length, count, size};
  const auto chunks =
      MakeDevice(directory, length, count, stored, std::uint64_t{slots} * length + rng() % length, seed);
  Bytes now(size);
  for (const auto& [chunk, bytes] : chunks) {
    std::copy(bytes.begin(), bytes.end(), now.begin() + chunk * length);
    if (bytes.size() < length) m.pastEnd.insert(chunk);
  }
  const bool failing = run.failCall || run.failAllocation;
  m.rng.seed(seed), m.samples = kProof ? 40 : 20, m.noExchange = seed % 4 == 3;
  m.failAt = run.failCall, m.cutEach = !failing;
  g_model = &m;
  Snapshot(Call::kFlush, 0, 0, true);
  Wrote(now, 0, size, false);
  static_cast<void>(Flushed([] { return MaybeError(); }));
  g_allocations = 0, g_failAllocation = run.failAllocation;
  SeamTest::Record(Dies, Called);
  OwnedServedDevice served = Restart(directory, &now);
  bool broken = false;  // a flush failed: every later flush and write fails
  for (int op = 0; op < (failing ? 12 : kProof ? 80 : 40) && served; ++op) {
    std::uint64_t at = rng() % size, n = 1 + rng() % std::min<std::uint64_t>(2 * length, size - at);
    if (rng() % 2) std::tie(at, n) = std::pair(rng() % count * std::uint64_t{length}, length);  // a whole chunk
    const unsigned kind = rng() % 9;
    MaybeError error;
    if (kind <= 4 && !Uncertain(at, at + n)) {
      // data, zeros written, zeros kept provisioned, zeros trimmed, data with FUA
      for (std::uint64_t i = at; i < at + n; ++i) now[i] = kind % 4 == 0 ? static_cast<unsigned char>(rng()) : 0;
      Wrote(now, at, at + n);
      const auto count32 = static_cast<std::uint32_t>(n);
      error = Armed([&] {
        return kind == 2 || kind == 3 ? ZeroServed(served.get(), count32, at, ZeroFlags{.mayTrim = kind == 3})
                                      : WriteServed(served.get(), now.data() + at, count32, at);
      });
      for (std::uint64_t chunk = at / length; error && chunk <= (at + n - 1) / length; ++chunk) {
        const std::lock_guard lock(g_seamLock);
        m.uncertain.insert(chunk);
      }
    }
    if (kind == 4 || kind == 5 || (kind == 7 && !run.kills) || (kind >= 6 && failing)) {
      error = Flushed([&] { return FlushServed(served.get()); });
      EXPECT_TRUE(!broken || (error && error->number == EPERM)) << "a flush after a failed one succeeded";
    }
    if (!failing && (kind == 6 || (kind == 8 && !run.kills))) {  // a clean stop
      error = Flushed([&] { return FlushServed(served.get()); });
      const MaybeError stopped = Armed([&] { return CloseServed(served.get()); });
      EXPECT_TRUE(!stopped || !m.pastEnd.empty() || failing) << ErrorText(*stopped);  // cannot compact past the end
      served.reset();
    }
    EXPECT_TRUE(!error || failing) << ErrorText(*error);
    broken = broken || (error && error->number == EPERM);
    if (kind >= 7 && run.kills) {  // killed between requests, or at a call of a flush's
      const auto dieIn = [&](int calls, bool dead) {
        const std::lock_guard lock(g_seamLock);
        m.diesIn = calls, m.dead = dead;
      };
      dieIn(static_cast<int>(rng() % 16), false);
      if (m.diesIn > 0) static_cast<void>(Flushed([&] { return FlushServed(served.get()); }));
      dieIn(0, true);
      served.reset();
      dieIn(0, false);
    }
    if (!served) {
      served = Restart(directory, &now);
      broken = false;
    }
  }
  if (served) {
    static_cast<void>(Flushed([&] { return FlushServed(served.get()); }));
    static_cast<void>(Armed([&] { return CloseServed(served.get()); }));
    served.reset();
  }
  sys::UseFileCalls(nullptr);
  if (failing) {
    const std::lock_guard lock(g_seamLock);
    m.after = "after the workload, ";
    CutHere();
    Expected<OwnedServedDevice> again = OpenServedDevice(directory, directory);
    EXPECT_TRUE(again) << ErrorText(again.error());
  }
  g_model = nullptr;
  return {m.failed, m.first, m.calls, g_allocations};
}

// A power cut after any call, with kills and restarts or without: what was
// flushed holds.
void CutEverywhere(const std::string& directory, bool kills) {
  for (unsigned seed = 0; seed < (kProof ? 40u : 8u); ++seed) {
    const Outcome outcome = CutEverywhere(directory, seed, {.kills = kills});
    EXPECT_EQ(outcome.failed, 0) << "seed " << seed << ": " << outcome.first;
  }
}

TEST_F(SeamTest, APowerCutAfterAnyCallLeavesTheDeviceAsFlushedOrAsWrittenSince) { CutEverywhere(directory, false); }

TEST_F(SeamTest, APowerCutAfterAKillAndARestartLeavesWhatTheNewServerFlushed) { CutEverywhere(directory, true); }

// Each call of the file layer failed in turn, or each allocation of the
// requests: the server goes on, a flush after a failed one never succeeds, and
// the device, as left or as flushed, holds what was acknowledged.
void EachFailed(const std::string& directory, bool allocations) {
  for (unsigned seed = 0; seed < (kProof ? 12u : 4u); ++seed) {  // each chunk length; names swapped, and renamed
    int made = 1;
    for (int fail = 1; fail <= made + 1; ++fail) {
      const Outcome outcome = CutEverywhere(
          directory, seed, {.failCall = allocations ? 0 : fail, .failAllocation = allocations ? fail : 0});
      made = std::max(made, allocations ? outcome.allocations : outcome.calls);
      EXPECT_EQ(outcome.failed, 0) << "seed " << seed << ", failed at " << fail << ": " << outcome.first;
    }
    EXPECT_GT(made, 5);  // the workload reached the disk
  }
}

TEST_F(SeamTest, EachCallFailedLeavesTheDeviceAsFlushedOrAsWrittenSince) { EachFailed(directory, false); }

TEST_F(SeamTest, EachAllocationFailedAnswersItsRequestAndLeavesTheDeviceWhole) { EachFailed(directory, true); }

}  // namespace
