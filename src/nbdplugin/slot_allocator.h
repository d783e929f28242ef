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
#include <map>
#include <optional>
#include <vector>

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

// The slots below an end are looked at a window at a time, so that marking
// them takes bounded memory (8 MiB): the first window slot by slot, the
// later ones only by how many entries name a slot in each.
constexpr std::uint64_t kSlotsPerWindow = std::uint64_t{1} << 26;

// What one reading of the Map learns of its slots, an entry at a time,
// whatever the entries say: one past the highest slot named; whether the
// slots ascend with the chunks (as every device made by conversion: no slot
// is named twice, and the gaps between them are exactly the free slots);
// which slots of the first window are named once or more than once; how
// many entries name a slot of each later window.
struct SlotScan {
  std::uint64_t window = kSlotsPerWindow;
  std::uint64_t end = 0;
  bool ascending = true;
  SlotAllocator gaps{{}, kSlotLimit, {}, {}};
  std::vector<bool> named;
  std::vector<bool> twice;
  std::vector<std::uint32_t> laterCounts;
};
void NoteSlot(SlotScan* scan, std::uint32_t slot);

// Slots that more than one chunk may name, as the scan found them at open:
// such a chunk gets a slot of its own before it changes, and such a slot is
// never freed while the server runs. Set at open, then only read.
struct SharedSlots {
  bool any = false;
  std::uint64_t window = kSlotsPerWindow;
  std::uint64_t end = 0;                   // slots from here on were named by no chunk
  std::vector<bool> twice;                 // slots of the first window named more than once
  std::vector<std::uint32_t> laterCounts;  // a later window named more than once may share any of its slots
};
bool MayBeShared(const SharedSlots& shared, std::uint32_t slot);

// From a finished scan: the slots free at open (exactly in the first window
// and between ascending slots; a later window no entry names is free whole,
// the others are kept in use), and the slots that may be shared.
SlotAllocator FreeSlotsOf(const SlotScan& scan);
SharedSlots SharedSlotsOf(SlotScan scan);
