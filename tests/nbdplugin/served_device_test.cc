// The served device in process where a generated workload does not reach:
// compaction across blocks, a change beside its commit, the copy kept at a stop.
#include "nbdplugin/served_device.h"

#include <cstdlib>
#include <new>
#include <thread>
#include <utility>

#include "nbdplugin/served_test.h"

namespace {

constexpr std::uint32_t kLength = 512;
constexpr std::uint32_t kChunks = kEntriesPerBlock + 1024;  // more than one block of entries

std::atomic<bool> g_noExchange{false};
std::thread::id g_requests;
std::atomic<int> g_exchanges{0};

int CountExchanges(Call call) { return call == Call::kExchange && (++g_exchanges, g_noExchange) ? EOPNOTSUPP : 0; }

// Four chunks in the first block of entries at the first slots, eight in
// the second from slot far on, in a Store of far + 9 slots (with far 23, the
// first writer compacts one four times as long as it needs, moving chunks
// across blocks), served with fail and ready to write; its chunks in chunks.
OwnedServedDevice ServeWith(int (*fail)(Call), const std::string& directory, std::uint32_t far = 3,
                            std::map<std::uint32_t, Bytes>* chunks = nullptr) {
  std::map<std::uint32_t, std::uint32_t> stored;
  for (std::uint32_t i = 0; i < 4; ++i) stored[i * 5] = i;
  for (std::uint32_t i = 0; i < 8; ++i) stored[kEntriesPerBlock + i * 3] = far + 1 + i;
  const std::map<std::uint32_t, Bytes> made = MakeDevice(directory, kLength, kChunks, stored, (far + 9) * kLength, far);
  if (chunks != nullptr) *chunks = made;
  g_requests = std::this_thread::get_id();
  SeamTest::Fail(fail);
  Expected<OwnedServedDevice> served = OpenServedDevice(directory, directory);
  if (!served || !StartWriting(served->get())) return nullptr;
  return std::move(*served);
}

// The first writer compacts the Store across blocks of entries, names
// swapped or not, and every chunk keeps its bytes; then changes are held up
// to half their bound (65536) and committed without a flush.
TEST_F(SeamTest, TheFirstWriterCompactsAndTheChangesHeldAreBounded) {
  for (const bool exchange : {true, false}) {
    std::map<std::uint32_t, Bytes> start;
    g_noExchange = !exchange;
    OwnedServedDevice served = ServeWith(CountExchanges, directory, 23, &start);
    ASSERT_TRUE(served);
    EXPECT_EQ(std::filesystem::file_size(directory + "/Store"), 12u * kLength);
    for (Bytes got(kLength); const auto& [chunk, bytes] : start) {
      ASSERT_FALSE(ReadServed(served.get(), got.data(), kLength, std::uint64_t{chunk} * kLength));
      EXPECT_EQ(got, bytes) << chunk;
    }
    const unsigned char one = 1;
    g_exchanges = 0;  // none held after the compaction
    for (std::uint32_t chunk = 20; exchange && chunk <= 20 + 65535; ++chunk) {
      EXPECT_EQ(g_exchanges, 0) << chunk;
      ASSERT_FALSE(WriteServed(served.get(), &one, 1, std::uint64_t{chunk} * kLength));
    }
    EXPECT_EQ(g_exchanges, exchange ? 1 : 0);
    EXPECT_FALSE(CloseServed(served.get()));
  }
}

ServedDevice* g_served = nullptr;
std::vector<Call> g_seen;  // the calls of the requests' thread

// Chunk 20 zeroed while its entry is being committed: requests go on beside
// a commit, and the change is not taken for committed.
int ZeroDuringExchange(Call call) {
  if (std::this_thread::get_id() == g_requests) g_seen.push_back(call);
  if (call != Call::kExchange || g_served == nullptr) return 0;
  EXPECT_FALSE(ZeroServed(std::exchange(g_served, nullptr), kLength, 20 * kLength));
  return 0;
}

TEST_F(SeamTest, AChangeBesideItsCommitIsKeptAndTheCopyIsFlushedBeforeItIsMarked) {
  OwnedServedDevice served = ServeWith(ZeroDuringExchange, directory);
  ASSERT_TRUE(served);
  const Bytes data(kLength, 7);
  ASSERT_FALSE(WriteServed(served.get(), data.data(), kLength, 20 * kLength));
  g_served = served.get();
  ASSERT_FALSE(FlushServed(served.get()));
  EXPECT_EQ(g_served, nullptr);             // zeroed during the commit
  EXPECT_FALSE(CloseServed(served.get()));  // the copy kept is on the disk before it is marked equal
  EXPECT_EQ(std::vector<Call>(g_seen.end() - 2, g_seen.end()), (std::vector<Call>{Call::kFlush, Call::kMark}));
  served.reset();
  Expected<OwnedServedDevice> again = OpenServedDevice(directory, directory);
  Bytes got(kLength, 1);
  ASSERT_TRUE(again && !ReadServed(again->get(), got.data(), kLength, 20 * kLength));
  EXPECT_EQ(got, Bytes(kLength));
}

}  // namespace

// Counts the allocations of armed requests, failing the one the test names
// (served_test.h). The replacements take from malloc and give back to free,
// which gcc's check of matching pairs cannot see through.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
bool FailsNow() { return t_armed && ++g_allocations == g_failAllocation; }
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
