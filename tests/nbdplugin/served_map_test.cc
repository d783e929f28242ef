// The served Map against a model: generated layouts of pages of entries with
// held changes over them, read back in generated ranges; and the bounds that
// keep its memory flat however long commits fail.
#include "nbdplugin/served_map.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kSentinel = 0x5EA1ED;

// A served Map of these entries (slots named once, the Store as long as
// them), in files of this test's own: CTest runs the tests side by side.
struct MapFiles {
  std::string directory;
  OwnedFile store;
  OwnedServedMap map;
};

MapFiles Serve(const std::vector<std::uint32_t>& entries, std::uint32_t length) {
  MapFiles made{testing::TempDir() + "served_map." + std::to_string(getpid()), {}, {}};
  std::filesystem::create_directories(made.directory);
  std::vector<unsigned char> bytes(EntryOffset(entries.size()));
  std::vector<std::uint64_t> pages;
  SlotScan scan;
  std::uint32_t stored = 0;
  for (std::uint32_t chunk = 0; chunk < entries.size(); ++chunk) {
    StoreLittleEndian32(bytes.data() + EntryOffset(chunk), entries[chunk]);
    if (entries[chunk] == ABSENT_CHUNK) continue;
    ++stored;
    NoteSlot(&scan, entries[chunk]);
    MarkPage(&pages, chunk);
  }
  const MapHeader header{SPARSE_MAGIC, length, static_cast<std::uint32_t>(entries.size()), stored};
  EncodeMapHeader(header, bytes.data());
  const std::string map = made.directory + "/Map", store = made.directory + "/Store";
  std::filesystem::remove(map);
  std::filesystem::remove(store);
  OwnedFile file = std::move(*TryCreate(map.c_str()));
  EXPECT_FALSE(TryWrite(file.get(), 0, bytes.data(), bytes.size()));
  made.store = std::move(*TryCreate(store.c_str()));
  made.map = MakeServedMap(MapAtOpen{std::move(file), header, made.store.get(), scan.end * length, std::move(pages),
                                     FreeSlotsOf(scan), SharedSlotsOf(scan)});
  return made;
}

// Pages of 1024 entries each empty, sparse or full, some held changes over
// them (new chunks, chunks made absent), then ranges of every kind read as
// the model says, writing nothing past what they ask for; and what lies
// before the first chunk that may hold data is absent.
TEST(ServedMap, RangesOfEntriesReadAsTheModelOverGeneratedLayoutsOfPages) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> model(1024 * (1 + rng() % 6) + rng() % 1024, ABSENT_CHUNK);
    std::uint32_t slot = 0;
    for (std::size_t page = 0; page * 1024 < model.size(); ++page) {
      const unsigned kind = rng() % 3;  // empty, sparse, full
      for (std::size_t i = page * 1024; i < std::min(model.size(), page * 1024 + 1024); ++i) {
        if (kind == 2 || (kind == 1 && rng() % 50 == 0)) model[i] = slot++;
      }
    }
    MapFiles files = Serve(model, 512);
    for (int change = rng() % 6; change > 0; --change) {
      const std::uint32_t chunk = rng() % model.size();
      if (model[chunk] == ABSENT_CHUNK) {
        const Expected<NewSlot> taken = TakeNewSlot(files.map.get());
        ASSERT_TRUE(taken && NameChunk(files.map.get(), chunk, ABSENT_CHUNK, taken->slot));
        model[chunk] = taken->slot;
      } else {
        ASSERT_TRUE(MakeAbsent(files.map.get(), chunk));
        model[chunk] = ABSENT_CHUNK;
      }
    }
    for (int range = 0; range < 200; ++range) {
      const std::uint32_t first = rng() % model.size();
      const std::uint32_t count = 1 + rng() % std::min<std::size_t>(model.size() - first, rng() % 2 ? 4000 : 100);
      std::vector<std::uint32_t> got(count + 8, kSentinel);
      ASSERT_FALSE(ReadServedEntries(files.map.get(), first, count, got.data()));
      ASSERT_TRUE(std::equal(model.begin() + first, model.begin() + first + count, got.begin()))
          << first << "+" << count;
      ASSERT_EQ(std::count(got.begin() + count, got.end(), kSentinel), 8) << first << "+" << count;
      const std::uint64_t data = FirstChunkMayHoldData(files.map.get(), first, first + count);
      ASSERT_TRUE(data >= first && data <= first + count);
      ASSERT_TRUE(std::all_of(model.begin() + first, model.begin() + data, [](auto e) { return e == ABSENT_CHUNK; }));
    }
    std::filesystem::remove_all(files.directory);
  }
}

// However long commits fail: new chunks past kMostHeld held changes, and
// releases past kMostWaitingBytes of freed slots, are refused (ENOSPC) and
// change nothing, while a held chunk may change again; a commit is asked
// for at half of either bound.
TEST(ServedMap, HeldChangesAndFreedSlotsStayWithinTheirBounds) {
  MapFiles files = Serve(std::vector<std::uint32_t>(kMostHeld + 1, ABSENT_CHUNK), DEFAULT_CHUNK_LENGTH);
  ServedMap* map = files.map.get();
  for (std::uint32_t chunk = 0; chunk <= kMostHeld; ++chunk) {
    const Expected<NewSlot> taken = TakeNewSlot(map);
    ASSERT_TRUE(taken);
    const Expected<Change> named = NameChunk(map, chunk, ABSENT_CHUNK, taken->slot);
    if (chunk == kMostHeld) {
      ASSERT_TRUE(!named && named.error().number == ENOSPC);
      EXPECT_EQ(TakeNewSlot(map)->slot, taken->slot);  // given back
    } else {
      ASSERT_TRUE(named);
      ASSERT_EQ(named->many, 2 * (chunk + 1) >= kMostHeld) << chunk;
    }
  }
  EXPECT_EQ(*LookUp(map, kMostHeld), ABSENT_CHUNK);
  EXPECT_EQ(Allocated(map), kMostHeld);
  // Chunks of 1 MiB, stored at open: freed slots reach their bound first.
  std::vector<std::uint32_t> stored(5000);
  for (std::uint32_t chunk = 0; chunk < stored.size(); ++chunk) stored[chunk] = chunk;
  files = Serve(stored, 1 << 20);
  const std::uint32_t mostWaiting = kMostWaitingBytes >> 20;
  for (std::uint32_t chunk = 0; chunk <= mostWaiting; ++chunk) {
    const Expected<Change> made = MakeAbsent(files.map.get(), chunk);
    ASSERT_EQ(bool(made), chunk < mostWaiting) << chunk;
    ASSERT_TRUE(!made || made->many == (2 * (chunk + 1) >= mostWaiting)) << chunk;
  }
  EXPECT_EQ(*LookUp(files.map.get(), mostWaiting), mostWaiting);
  std::filesystem::remove_all(files.directory);
}

}  // namespace
