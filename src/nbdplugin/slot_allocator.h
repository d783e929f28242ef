// Which Store slots a served device may hand to a new chunk: bookkeeping over
// slot numbers only, with no file and no lock of its own (the served device's
// lock guards it).
//
// A slot is in use, free, or released: freed by a change (a trim, a zeroing,
// a chunk moved elsewhere) that is not yet on stable storage. A released slot
// is free only once a commit that began after its release has succeeded: a
// crash before that leaves a Map that still names it, and its bytes must
// still be the chunk's. The lowest free slot is handed out first, so the
// Store stays about as long as the data it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "fileio/error.h"

struct SlotAllocator {
  std::map<std::uint32_t, std::uint32_t> free;  // runs of free slots below end: first -> one past the last
  std::uint64_t end = 0;                        // every slot from here on is free
  std::vector<std::uint32_t> released;          // since the last commit began
  std::vector<std::uint32_t> committing;        // before the commit in flight began
};

// Free runs kept at most (about 3 MiB): past that the highest run is
// forgotten, its slots in use until the device is next served.
constexpr std::size_t kMostFreeRuns = std::size_t{1} << 16;

// One past the highest slot number a Map entry can name (the next is ABSENT_CHUNK).
constexpr std::uint64_t kSlotLimit = 0xFFFFFFFF;

// Makes [first, first + count) free, below or at the end.
void FreeSlots(SlotAllocator* slots, std::uint64_t first, std::uint64_t count);

// The lowest free slot, now in use; nothing when every slot is.
std::optional<std::uint32_t> TakeSlot(SlotAllocator* slots);

// A slot taken but never named by any Map, held change or request: free again at once.
void GiveBackSlot(SlotAllocator* slots, std::uint32_t slot);

// A slot that a change no longer names: free after the next commit.
void ReleaseSlot(SlotAllocator* slots, std::uint32_t slot);

// A commit begins: it covers every slot released so far.
void BeginCommit(SlotAllocator* slots);

// The commit in flight ended: the slots it covered are free if it succeeded,
// and wait for the next one if not (which allocates nothing, so that a
// failure may be noted while an exception unwinds).
void EndCommit(SlotAllocator* slots, bool succeeded);

// Slots released and not yet free.
std::size_t WaitingSlots(const SlotAllocator& slots);

// How many slots below the end are free.
std::uint64_t FreeBelowEnd(const SlotAllocator& slots);

// Calls visit(chunk, entry) for every stored entry of the Map, in order.
using EntryVisit = std::function<MaybeError(std::uint32_t chunk, std::uint32_t entry)>;
using EachEntry = std::function<MaybeError(const EntryVisit& visit)>;

// The slots below an end are looked at a window at a time, so that marking
// them takes bounded memory (8 MiB); a Store of more slots than a window is
// read once for each.
constexpr std::uint64_t kSlotsPerWindow = std::uint64_t{1} << 26;

// Frees the slots below end that no entry names; the end becomes end.
// firstNamed marks the slots of the first window (seen while the Map was
// read before: it may stop short of the window); the later windows are read
// with eachEntry. Says whether an entry they saw names a slot named before.
Expected<bool> FreeUnnamedSlots(SlotAllocator* slots, std::uint64_t end, std::uint64_t window,
                                const std::vector<bool>& firstNamed, const EachEntry& eachEntry);

// Calls again(chunk, entry) for each entry naming a slot below end that an
// earlier entry named, a window at a time.
MaybeError EachSlotNamedAgain(std::uint64_t end, std::uint64_t window, const EachEntry& eachEntry,
                              const EntryVisit& again);
