// What the served device's tests share: a fixture that owns a directory and
// the file calls put in place for one test, a record of calls that fails
// them, and devices made as a test wants them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "fileio/system.h"
#include "nbdplugin/served_device.h"
#include "sparsedev/sparse_format.h"

using Bytes = std::vector<unsigned char>;

// The calls of sys::FileCalls, in its order.
enum class Call {
  kWrite,
  kTruncate,
  kReserve,
  kPunch,
  kZero,
  kCopy,
  kFlush,
  kFlushDirectory,
  kCreate,
  kRename,
  kExchange,
  kRemove,
  kOwner,
  kMark,
  kThread
};
inline const char* const kCallNames[] = {"write",    "truncate", "reserve",         "punch",  "zero",
                                         "copy",     "flush",    "flush directory", "create", "rename",
                                         "exchange", "remove",   "owner",           "mark",   "thread"};

// Each call of kWrapped asks g_before first: a number fails it, as the
// system would, without making it. Where g_after is set, calls are made one at
// a time, and it is told of each made: its first handle and its number.
inline std::atomic<int (*)(Call)> g_before{nullptr};
inline std::atomic<void (*)(Call, std::intptr_t handle, int number)> g_after{nullptr};
inline std::mutex g_seamLock;

template <typename First, typename... Rest>
std::intptr_t HandleOf(First first, Rest...) {
  if constexpr (requires { first.native; }) return first.native;
  return 0;
}

template <Call call, auto member, typename = std::remove_cvref_t<decltype(sys::FileCalls{}.*member)>>
struct Wrapped;
template <Call call, auto member, typename Result, typename... Arguments>
struct Wrapped<call, member, Result (*)(Arguments...)> {
  static Result Make(Arguments... arguments) {
    const auto after = g_after.load();
    std::unique_lock lock(g_seamLock, std::defer_lock);
    if (after != nullptr) lock.lock();
    if (const int number = g_before.load()(call)) {
      if constexpr (std::is_same_v<Result, bool>) return false;  // no thread
      return number;
    }
    const Result result = (sys::RealFileCalls().*member)(arguments...);
    if (after != nullptr) {
      after(call, HandleOf(arguments...), std::is_same_v<Result, bool> ? result == Result{} : static_cast<int>(result));
    }
    return result;
  }
};
using C = sys::FileCalls;
inline constexpr sys::FileCalls kWrapped{
    Wrapped<Call::kWrite, &C::write>::Make,         Wrapped<Call::kTruncate, &C::truncate>::Make,
    Wrapped<Call::kReserve, &C::reserve>::Make,     Wrapped<Call::kPunch, &C::punchHole>::Make,
    Wrapped<Call::kZero, &C::zeroRange>::Make,      Wrapped<Call::kCopy, &C::copyRange>::Make,
    Wrapped<Call::kFlush, &C::flush>::Make,         Wrapped<Call::kFlushDirectory, &C::flushDirectory>::Make,
    Wrapped<Call::kCreate, &C::create>::Make,       Wrapped<Call::kRename, &C::rename>::Make,
    Wrapped<Call::kExchange, &C::exchange>::Make,   Wrapped<Call::kRemove, &C::remove>::Make,
    Wrapped<Call::kOwner, &C::copyOwnership>::Make, Wrapped<Call::kMark, &C::markCopy>::Make,
    Wrapped<Call::kThread, &C::startThread>::Make};

// Allocations of the requests Armed runs are counted (on their thread), and
// the one g_failAllocation names fails, counted from 1; 0 for none.
inline thread_local bool t_armed = false;
inline std::atomic<int> g_allocations{0};
inline std::atomic<int> g_failAllocation{0};

template <typename Request>
MaybeError Armed(Request request) {
  t_armed = true;
  const MaybeError error = Guarded(request);
  t_armed = false;
  return error;
}

// A test with a directory of its own (CTest runs tests side by side) and
// the file calls it puts in place: whatever it asserts, the real calls are
// back and the directory gone once it ends.
struct SeamTest : testing::Test {
  const std::string directory = testing::TempDir() + "/" +
                                testing::UnitTest::GetInstance()->current_test_info()->name() + "." +
                                std::to_string(getpid()) + ".sparsefs";
  // Calls that fail where fail says, or that are also recorded.
  static void Fail(int (*fail)(Call)) { Record(fail, nullptr); }
  static void Record(int (*before)(Call), void (*after)(Call, std::intptr_t, int)) {
    g_before = before;
    g_after = after;
    sys::UseFileCalls(&kWrapped);
  }
  void TearDown() override {
    sys::UseFileCalls(nullptr);
    std::filesystem::remove_all(directory);
    std::filesystem::remove_all(directory + ".state");
  }
};

// Makes the device in directory anew: chunkCount chunks of length bytes, the
// stored ones at their slots (any order, shared, past the end), in a Store of
// storeLength seeded bytes. Returns what each stored chunk reads before the
// Store ends.
inline std::map<std::uint32_t, Bytes> MakeDevice(const std::string& directory, std::uint32_t length,
                                                 std::uint32_t chunkCount,
                                                 const std::map<std::uint32_t, std::uint32_t>& stored,
                                                 std::uint64_t storeLength, unsigned seed) {
  std::filesystem::remove_all(directory);
  std::filesystem::create_directory(directory);
  Bytes map(EntryOffset(chunkCount), 0xFF);
  EncodeMapHeader({SPARSE_MAGIC, length, chunkCount, static_cast<std::uint32_t>(stored.size())}, map.data());
  Bytes store(storeLength);
  std::independent_bits_engine<std::mt19937, 8, unsigned> bytes(seed);
  std::generate(store.begin(), store.end(), bytes);
  std::map<std::uint32_t, Bytes> chunks;
  for (const auto& [chunk, slot] : stored) {
    StoreLittleEndian32(map.data() + EntryOffset(chunk), slot);
    const std::uint64_t at = std::uint64_t{slot} * length;
    chunks[chunk] =
        Bytes(store.begin() + std::min(at, storeLength), store.begin() + std::min(at + length, storeLength));
  }
  for (const auto& [name, held] : {std::pair{"/Map", &map}, std::pair{"/Store", &store}}) {
    std::ofstream(directory + name).write(reinterpret_cast<const char*>(held->data()), std::ssize(*held));
  }
  return chunks;
}
