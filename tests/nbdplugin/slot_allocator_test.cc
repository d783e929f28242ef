#include "nbdplugin/slot_allocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <utility>
#include <vector>

// Random steps against a model: slots in use, and released ones with the commits begun at their release (a later
// commit frees them when it succeeds, also one begun while an earlier was in flight). Every other slot is free.
TEST(SlotAllocator, AgreesWithModelOverRandomSteps) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    SlotAllocator slots;
    std::set<std::uint32_t> used;
    std::map<std::uint32_t, unsigned> waiting;
    unsigned begun = 0;
    bool inFlight = false;
    slots.end = rng() % 40;  // as at open: every slot below the end in use, then runs freed
    for (std::uint32_t s = 0; s < slots.end; ++s) used.insert(s);
    for (int step = 0; step < 800; ++step) {
      const unsigned op = rng() % 7;
      if (op < 2) {
        std::uint32_t lowest = 0;
        while (used.count(lowest) || waiting.count(lowest)) ++lowest;
        ASSERT_EQ(TakeSlot(&slots), lowest) << seed << ": " << step;
        used.insert(lowest);
      } else if (op < 4 && !used.empty()) {
        const std::uint32_t s = used.extract(*std::next(used.begin(), rng() % used.size())).value();
        op == 2 ? GiveBackSlot(&slots, s) : ReleaseSlot(&slots, s);
        if (op == 3) waiting[s] = begun;
      } else if (op == 4 && !inFlight) {
        BeginCommit(&slots);
        ++begun, inFlight = true;
      } else if (op == 5 && inFlight) {
        const bool ok = rng() % 3 != 0;
        EndCommit(&slots, ok);
        inFlight = false;
        std::erase_if(waiting, [&](auto w) { return ok && w.second < begun; });
      } else if (op == 6) {  // a run of slots no one names, possibly overlapping free ones and past the end
        const std::uint32_t first = rng() % (slots.end + 2), count = rng() % 6;
        if (waiting.lower_bound(first) == waiting.lower_bound(first + count)) {
          FreeSlots(&slots, first, count);
          used.erase(used.lower_bound(first), used.lower_bound(first + count));
        }
      }
      const std::uint32_t end =
          std::max(used.empty() ? 0 : *used.rbegin() + 1, waiting.empty() ? 0 : waiting.rbegin()->first + 1);
      ASSERT_EQ(slots.end, end) << seed << ": " << step;
      ASSERT_EQ(WaitingSlots(slots), waiting.size());
      ASSERT_EQ(FreeBelowEnd(slots), end - used.size() - waiting.size());
    }
  }
}

TEST(SlotAllocator, NothingIsTakenPastTheLimitAndTheCapForgetsOnlyTheHighestRuns) {
  SlotAllocator last;
  last.end = kSlotLimit - 1;  // the last slot an entry can name, then none
  EXPECT_EQ(TakeSlot(&last), kSlotLimit - 1);
  EXPECT_EQ(TakeSlot(&last), std::nullopt);
  // kMostFreeRuns + 2 isolated free slots, freed upwards or downwards: the lowest ones are kept.
  for (const bool upwards : {true, false}) {
    SlotAllocator slots;
    slots.end = 2 * (kMostFreeRuns + 2);
    for (std::size_t i = 0; i < kMostFreeRuns + 2; ++i) FreeSlots(&slots, 2 * (upwards ? i : kMostFreeRuns + 1 - i), 1);
    EXPECT_EQ(slots.free.size(), kMostFreeRuns);
    for (std::size_t i = 0; i < kMostFreeRuns; ++i) ASSERT_EQ(TakeSlot(&slots), 2 * i);
    EXPECT_EQ(TakeSlot(&slots), 2 * (kMostFreeRuns + 2));
  }
}

// Random Maps (slots named once, twice or never; ascending or not) scanned once with windows of 1 to 5 slots: every
// unnamed slot of the first window, between ascending slots and in a later window no entry names is free, no other
// is; every slot named twice may be shared, and in the first window only those.
TEST(SlotAllocator, OneScanFindsTheFreeSlotsAndEverySlotThatMayBeShared) {
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    SlotScan scan;
    scan.window = 1 + rng() % 5;
    std::vector<std::uint32_t> entries(rng() % 24);
    for (auto& entry : entries) entry = rng() % 20;
    if (rng() % 3 == 0) {
      std::sort(entries.begin(), entries.end());
      entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    }
    std::map<std::uint32_t, int> named;
    for (const std::uint32_t entry : entries) ++named[entry], NoteSlot(&scan, entry);
    const bool ascending = std::is_sorted(entries.begin(), entries.end()) &&
                           std::adjacent_find(entries.begin(), entries.end()) == entries.end();
    const std::uint64_t end = named.empty() ? 0 : named.rbegin()->first + 1;
    ASSERT_EQ(scan.end, end);
    SlotAllocator slots = FreeSlotsOf(scan);
    const SharedSlots shared = SharedSlotsOf(scan);
    for (std::uint32_t slot = 0; slot < end + 2; ++slot) {
      const std::uint64_t window = slot / scan.window;
      const bool laterNamed =
          std::any_of(named.begin(), named.end(), [&](auto n) { return n.first / scan.window == window; });
      const bool free = !named.count(slot) && (ascending || window == 0 || !laterNamed || slot >= end);
      ASSERT_TRUE(!free || TakeSlot(&slots) == slot) << slot;
      const int namers = named.count(slot) ? named[slot] : 0;  // named twice: shared; once, in the first window: not
      EXPECT_TRUE(namers > 1 ? MayBeShared(shared, slot)
                             : namers == 0 || slot >= scan.window || !MayBeShared(shared, slot))
          << slot;
      EXPECT_TRUE(slot < end || !MayBeShared(shared, slot)) << slot;
    }
    EXPECT_EQ(TakeSlot(&slots), end + 2);
  }
}
