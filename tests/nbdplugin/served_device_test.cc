// The served device in process, against a model: each call of the file layer
// fails in turn (where names can be swapped, and where they cannot), and
// whatever failed, the device verifies and every chunk reads as at its last
// flush that succeeded or as written since; a flush after a failed one never
// succeeds.
#include "nbdplugin/served_device.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>
#include <utility>

#include "nbdplugin/served_test.h"

namespace {

constexpr std::uint32_t kLength = 512;
constexpr std::uint32_t kChunks = kEntriesPerBlock + 1024;  // more than one block of entries

std::atomic<int> g_calls{0};
std::atomic<int> g_failAt{0};  // the call that fails, counted from 1; 0 for none
std::atomic<bool> g_noExchange{false};
std::atomic<bool> g_flushFailed{false};  // a flush of the requests' thread (not of a copy made beside them)
std::thread::id g_requests;

std::atomic<bool> g_failAllocations{false};  // else calls of the file layer
thread_local bool t_armed = false;           // allocations of this thread's requests are counted

std::atomic<int> g_exchanges{0};

int Fails(Call call) {
  if (call == Call::kExchange && (++g_exchanges, g_noExchange)) return EOPNOTSUPP;
  if (g_failAllocations || ++g_calls != g_failAt) return 0;
  const bool flush = call == Call::kFlush || call == Call::kFlushDirectory;
  g_flushFailed = flush && std::this_thread::get_id() == g_requests;
  return flush ? EPERM : EIO;  // a failed flush's own number, whatever it is, answers what follows
}

// Runs a request as the plugin does, counting its allocations.
template <typename Request>
MaybeError Armed(Request request) {
  t_armed = true;
  const MaybeError error = Guarded(request);
  t_armed = false;
  return error;
}

// Four chunks in the first block of entries at the first slots, eight in the
// second from slot far on, in a Store of far + 9 slots: the first writer
// compacts one four times as long as it needs, moving chunks across blocks.
std::map<std::uint32_t, Bytes> TwoBlocks(const std::string& directory, std::uint32_t far = 23) {
  std::map<std::uint32_t, std::uint32_t> stored;
  for (std::uint32_t i = 0; i < 4; ++i) stored[i * 5] = i;
  for (std::uint32_t i = 0; i < 8; ++i) stored[kEntriesPerBlock + i * 3] = far + 1 + i;
  return MakeDevice(directory, kLength, kChunks, stored, (far + 9) * kLength, far);
}

// What a chunk may read as: one of its states, or where a request on it
// failed (mixed), each byte one of theirs.
struct MayRead {
  std::vector<Bytes> states;
  bool mixed = false;
};

bool Allowed(const MayRead& may, const Bytes& got) {
  if (std::find(may.states.begin(), may.states.end(), got) != may.states.end()) return true;
  for (std::size_t i = 0; may.mixed && i < got.size(); ++i) {
    if (std::none_of(may.states.begin(), may.states.end(), [&](const Bytes& state) { return state[i] == got[i]; })) {
      return false;
    }
  }
  return may.mixed;
}

// Serves the device through a seeded workload; returns what each chunk
// touched may read as now.
std::map<std::uint32_t, MayRead> Serve(const std::string& directory, std::map<std::uint32_t, Bytes> now) {
  std::map<std::uint32_t, MayRead> may;
  for (const auto& [chunk, bytes] : now) may[chunk].states = {bytes};
  Expected<OwnedServedDevice> served = OpenServedDevice(directory, directory);
  if (!served) return may;  // refused, nothing changed
  ServedDevice* s = served->get();
  std::mt19937 rng(7);
  constexpr std::uint32_t kBlock = kEntriesPerBlock;  // chunks of both blocks, stored and absent
  const std::uint32_t touched[] = {0, 1, 5, 10, 15, 700, kBlock - 1, kBlock, kBlock + 3, kBlock + 9, kBlock + 500};
  bool broken = false;
  std::vector<std::uint32_t> uncertain;
  const MaybeError started = Armed([s]() -> MaybeError {
    const Expected<WritingStarted> ready = StartWriting(s);
    return ready ? MaybeError() : MaybeError(ready.error());
  });
  if (!started) {
    for (int op = 0; op < 24; ++op) {
      const std::uint32_t chunk = touched[rng() % std::size(touched)];
      if (std::find(uncertain.begin(), uncertain.end(), chunk) != uncertain.end()) continue;
      Bytes& bytes = now.try_emplace(chunk, Bytes(kLength)).first->second;
      may.try_emplace(chunk, MayRead{{bytes}});
      MaybeError error;
      switch (rng() % 3) {
        case 0: {  // a part of a chunk, or a whole one
          const std::uint32_t count = rng() % 2 ? kLength : 100, at = rng() % (kLength - count + 1);
          for (std::uint32_t i = 0; i < count; ++i) bytes[at + i] = static_cast<unsigned char>(rng());
          error = Armed([&] { return WriteServed(s, bytes.data() + at, count, std::uint64_t{chunk} * kLength + at); });
          break;
        }
        case 1:
          std::fill(bytes.begin(), bytes.end(), 0);
          error = Armed([&] { return ZeroServed(s, kLength, std::uint64_t{chunk} * kLength); });
          break;
        default:
          error = Armed([s] { return FlushServed(s); });
          EXPECT_TRUE(!broken || (error && error->number == EPERM)) << "a flush after a failed one succeeded";
          broken = broken || g_flushFailed;
          for (auto& [c, states] : may) {
            if (!error && !states.mixed) states.states = {now.at(c)};
          }
          continue;
      }
      may[chunk].states.push_back(bytes);
      if (error) {  // any mix of before and after from now on: no more requests on it
        may[chunk].mixed = true;
        uncertain.push_back(chunk);
      }
    }
  }
  static_cast<void>(Armed([s] { return CloseServed(s); }));
  return may;
}

// Each call (or each allocation of the requests) failed in turn: the device
// verifies, and each chunk reads as one of the states the model allows.
void EachCallFailed(const std::string& directory, bool exchange, bool allocations = false) {
  g_noExchange = !exchange;
  g_failAllocations = allocations;
  SeamTest::Fail(Fails);
  int calls = 1;
  for (int fail = 1; fail <= calls + 1; ++fail) {
    const std::map<std::uint32_t, Bytes> start = TwoBlocks(directory);
    g_calls = 0;
    g_flushFailed = false;
    g_requests = std::this_thread::get_id();
    g_failAt = fail;
    const auto may = Serve(directory, start);
    calls = std::max(calls, g_calls.load());
    g_failAt = 0;
    Expected<OwnedServedDevice> again = OpenServedDevice(directory, directory);
    ASSERT_TRUE(again) << "call " << fail << ": " << ErrorText(again.error());
    Bytes got(kLength);
    for (const auto& [chunk, states] : may) {
      ASSERT_FALSE(ReadServed(again->get(), got.data(), kLength, std::uint64_t{chunk} * kLength));
      EXPECT_TRUE(Allowed(states, got)) << "call " << fail << ", chunk " << chunk;
    }
    EXPECT_LE(std::filesystem::file_size(directory + "/Store"), 32u * kLength) << "call " << fail;
  }
  EXPECT_GT(calls, 20);  // the workload reached the disk
  g_failAllocations = false;
}

TEST_F(SeamTest, EachCallFailedLeavesADeviceAsFlushedOrAsWritten) { EachCallFailed(directory, true); }

TEST_F(SeamTest, EachCallFailedWhereNamesCannotBeSwapped) { EachCallFailed(directory, false); }

TEST_F(SeamTest, EachAllocationFailedAnswersItsRequestAndLeavesTheDeviceWhole) {
  EachCallFailed(directory, true, true);
}

// The device TwoBlocks makes (its chunks in chunks, if given), served with
// fail and ready to write.
OwnedServedDevice ServeWith(int (*fail)(Call), const std::string& directory, std::uint32_t far = 3,
                            std::map<std::uint32_t, Bytes>* chunks = nullptr) {
  const std::map<std::uint32_t, Bytes> made = TwoBlocks(directory, far);
  if (chunks != nullptr) *chunks = made;
  g_requests = std::this_thread::get_id();
  SeamTest::Fail(fail);
  Expected<OwnedServedDevice> served = OpenServedDevice(directory, directory);
  if (!served || !StartWriting(served->get())) return nullptr;
  return std::move(*served);
}

// The first writer compacts the Store across blocks of entries, names
// swapped or not, and every chunk keeps its bytes; then changes are held up
// to a bound (65536) and committed without a flush: memory stays bounded.
TEST_F(SeamTest, TheFirstWriterCompactsAndTheChangesHeldAreBounded) {
  for (const bool exchange : {true, false}) {
    std::map<std::uint32_t, Bytes> start;
    g_noExchange = !exchange;
    OwnedServedDevice served = ServeWith(Fails, directory, 23, &start);
    ASSERT_TRUE(served);
    EXPECT_EQ(std::filesystem::file_size(directory + "/Store"), 12u * kLength);
    Bytes got(kLength);
    for (const auto& [chunk, bytes] : start) {
      ASSERT_FALSE(ReadServed(served.get(), got.data(), kLength, std::uint64_t{chunk} * kLength));
      EXPECT_EQ(got, bytes) << chunk;
    }
    const unsigned char one = 1;
    g_exchanges = 0;
    for (std::uint32_t chunk = 20; exchange && chunk <= 20 + 65535; ++chunk) {  // none held after the compaction
      EXPECT_EQ(g_exchanges, 0) << chunk;
      ASSERT_FALSE(WriteServed(served.get(), &one, 1, std::uint64_t{chunk} * kLength));
    }
    EXPECT_EQ(g_exchanges, exchange ? 1 : 0);
    EXPECT_FALSE(CloseServed(served.get()));
  }
}

ServedDevice* g_served = nullptr;
std::atomic<bool> g_full{false};  // the Store as long as the file system lets a file be
std::vector<Call> g_seen;         // the calls of the requests' thread
std::string g_directory;
std::atomic<int> g_copy{0};  // 1 once the copy beside the requests has begun, 2 once a stop is under way

// Chunk 20 zeroed while its entry is being committed: requests go on beside
// a commit, and the change is not taken for committed. The file system's
// largest file is a full device.
int ZeroDuringExchange(Call call) {
  if (std::this_thread::get_id() == g_requests) g_seen.push_back(call);
  if (call == Call::kTruncate && g_full) return EFBIG;
  if (call != Call::kExchange || g_served == nullptr) return 0;
  EXPECT_FALSE(ZeroServed(std::exchange(g_served, nullptr), kLength, 20 * kLength));
  return 0;
}

TEST_F(SeamTest, AChangeBesideItsCommitIsKeptAndTheLargestFileIsAFullDevice) {
  OwnedServedDevice served = ServeWith(ZeroDuringExchange, directory);
  ASSERT_TRUE(served);
  const Bytes data(kLength, 7);
  ASSERT_FALSE(WriteServed(served.get(), data.data(), kLength, 20 * kLength));
  g_served = served.get();
  ASSERT_FALSE(FlushServed(served.get()));
  EXPECT_EQ(g_served, nullptr);  // zeroed during the commit
  g_full = true;
  const MaybeError full = WriteServed(served.get(), data.data(), kLength, 30 * kLength);
  EXPECT_TRUE(full && full->number == ENOSPC);
  g_full = false;
  EXPECT_FALSE(CloseServed(served.get()));  // the copy kept is on the disk before it is marked equal
  EXPECT_EQ(std::vector<Call>(g_seen.end() - 2, g_seen.end()), (std::vector<Call>{Call::kFlush, Call::kMark}));
  served.reset();
  Expected<OwnedServedDevice> again = OpenServedDevice(directory, directory);
  Bytes got(kLength, 1);
  ASSERT_TRUE(again && !ReadServed(again->get(), got.data(), kLength, 20 * kLength));
  EXPECT_EQ(got, Bytes(kLength));
}

// The copy of the Map begun beside the first requests, held until a stop is
// under way: its name and file go only once its thread has ended.
int HoldTheCopyUntilAStop(Call call) {
  if (call != Call::kCopy || std::this_thread::get_id() == g_requests) return 0;
  g_copy = 1;
  for (int i = 0; i < 1000 && g_copy != 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the stop under way
  EXPECT_TRUE(std::filesystem::exists(g_directory + "/Map.new")) << "gone while its thread writes into it";
  return 0;
}

TEST_F(SeamTest, AStopDuringTheFirstCopyRemovesItOnlyOnceItsThreadHasEnded) {
  g_directory = directory;
  OwnedServedDevice served = ServeWith(HoldTheCopyUntilAStop, g_directory);
  ASSERT_TRUE(served);
  for (int i = 0; i < 1000 && g_copy != 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  g_copy = 2;
  EXPECT_FALSE(CloseServed(served.get()));
}

}  // namespace

// Counts the allocations of armed requests, failing the one the test names.
// The replacements take from malloc and give back to free, which gcc's
// check of matching pairs cannot see through.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
bool FailsNow() { return t_armed && g_failAllocations && ++g_calls == g_failAt; }
void* Allocate(std::size_t size) {
  if (FailsNow()) throw std::bad_alloc();
  if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
  throw std::bad_alloc();
}
void* AllocateOrNull(std::size_t size) noexcept { return FailsNow() ? nullptr : std::malloc(size != 0 ? size : 1); }
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
