// The served Map against a model: generated layouts of pages of entries with
// held changes over them, read back in generated ranges; and the bounds that
// keep its memory flat however long commits fail.
#include "nbdplugin/served_map.h"

#include <numeric>

#include "nbdplugin/served_test.h"
#include "sparsedev/sparse_device.h"

namespace {

// A served Map of a device MakeDevice makes, and the Store it stands on.
struct Served {
  OwnedFile store;
  OwnedServedMap map;
};

Served Serve(const std::string& directory, const std::vector<std::uint32_t>& entries, std::uint32_t length) {
  std::map<std::uint32_t, std::uint32_t> stored;
  for (std::uint32_t chunk = 0; chunk < entries.size(); ++chunk) {
    if (entries[chunk] != ABSENT_CHUNK) stored[chunk] = entries[chunk];
  }
  MakeDevice(directory, length, static_cast<std::uint32_t>(entries.size()), stored, 0, 0);
  std::vector<std::uint64_t> pages;
  SlotScan scan;
  Expected<SparseDevice> device = OpenSparseDevice(
      directory, Access::kReadWrite,
      [&](std::uint32_t c, std::uint32_t e) { return NoteSlot(&scan, e), MarkPage(&pages, c), MaybeError(); });
  Served served{std::move(device->store), nullptr};
  served.map = MakeServedMap(MapAtOpen{std::move(device->map), device->header, served.store.get(), 0, std::move(pages),
                                       FreeSlotsOf(scan), SharedSlotsOf(scan)});
  return served;
}

// Pages of 1024 entries each empty, sparse or full, a few held changes over
// them (new chunks, chunks made absent), then ranges of every kind read as
// the model says, writing nothing past what they ask for; and what lies
// before the first chunk that may hold data is absent.
TEST_F(SeamTest, RangesOfEntriesReadAsTheModelOverGeneratedLayoutsOfPages) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> model(1024 * (1 + rng() % 6) + rng() % 1024, ABSENT_CHUNK);
    std::uint32_t slot = 0;
    for (std::size_t page = 0; page * 1024 < model.size(); ++page) {
      const unsigned kind = rng() % 3;  // empty, sparse, full
      for (std::size_t i = page * 1024; i < std::min(model.size(), page * 1024 + 1024); ++i) {
        if (kind == 2 || (kind == 1 && rng() % 50 == 0)) model[i] = slot++;
      }
    }
    const Served served = Serve(directory, model, 512);
    for (int change = rng() % 6; change > 0; --change) {
      const std::uint32_t chunk = rng() % model.size();
      const Expected<NewSlot> taken = TakeNewSlot(served.map.get());
      ASSERT_TRUE(taken &&
                  (model[chunk] == ABSENT_CHUNK ? bool(NameChunk(served.map.get(), chunk, ABSENT_CHUNK, taken->slot))
                                                : bool(MakeAbsent(served.map.get(), chunk))));
      model[chunk] = model[chunk] == ABSENT_CHUNK ? taken->slot : ABSENT_CHUNK;
    }
    for (int range = 0; range < 200; ++range) {
      const std::uint32_t first = rng() % model.size();
      const std::uint32_t count = 1 + rng() % std::min<std::size_t>(model.size() - first, rng() % 2 ? 4000 : 100);
      std::vector<std::uint32_t> got(count + 8, 0x5EA1ED);  // 8 more, to be left as they are
      ASSERT_FALSE(ReadServedEntries(served.map.get(), first, count, got.data()));
      ASSERT_TRUE(std::equal(model.begin() + first, model.begin() + first + count, got.begin()))
          << seed << ": " << first;
      ASSERT_EQ(std::count(got.begin() + count, got.end(), 0x5EA1ED), 8) << seed << ": " << first << "+" << count;
      const std::uint64_t data = FirstChunkMayHoldData(served.map.get(), first, first + count);
      ASSERT_TRUE(data >= first && data <= first + count);
      ASSERT_TRUE(std::all_of(model.begin() + first, model.begin() + data, [](auto e) { return e == ABSENT_CHUNK; }));
    }
  }
}

// However long commits fail, releases past kMostWaitingBytes of freed slots
// of 1 MiB, or past kMostHeld of 512 bytes, are refused (ENOSPC) and change
// nothing (the held changes' bound is counted end to end, in
// test_hostile_owner.py); a commit is asked for at half.
TEST_F(SeamTest, FreedSlotsStayWithinTheirBound) {
  for (const std::uint32_t length : {1u << 20, 512u}) {
    const std::uint32_t most = std::min<std::uint64_t>(kMostHeld, kMostWaitingBytes / length);
    std::vector<std::uint32_t> stored(most + 100);
    std::iota(stored.begin(), stored.end(), 0);
    const Served served = Serve(directory, stored, length);
    for (std::uint32_t chunk = 0; chunk <= most; ++chunk) {
      const Expected<Change> made = MakeAbsent(served.map.get(), chunk);
      ASSERT_TRUE(made ? chunk < most && made->many == (2 * (chunk + 1) >= most)
                       : chunk == most && made.error().number == ENOSPC)
          << chunk;
    }
    EXPECT_EQ(*LookUp(served.map.get(), most), most);
  }
}

}  // namespace
