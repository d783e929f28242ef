// The Map as the server sees it, and the slots a new chunk may take.
//
//   committed Map    the handle of the last committed Map (a commit puts
//                    another in its place)
//   held changes     chunk -> entry, not yet committed; what every lookup
//                    sees first
//   allocated        stored chunks, with the held changes
//   page bits        a bit per page of 1024 entries that may name a slot:
//                    a page without one is absent, read from nothing
//   cache            2048 pages of committed entries, each in one place
//   slots            the slot allocator (slot_allocator.h)
//   Store length     as this server set it
//
// One lock guards all of it, taken inside each function here: shared where
// held changes or the cache answer a lookup, alone for anything else
// (loading a cache page is a change). Callers hold no lock of this unit's;
// a caller that holds the commit turn (map_commit.h) takes this lock after
// it, never before.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "fileio/error.h"
#include "fileio/file.h"
#include "nbdplugin/slot_allocator.h"
#include "sparsedev/sparse_format.h"
#include "sparsedev/sparse_map.h"

struct ServedMap;
struct ServedMapDeleter {
  void operator()(ServedMap* map) const;
};
using OwnedServedMap = std::unique_ptr<ServedMap, ServedMapDeleter>;

// Chunk -> entry, sorted by chunk.
using Changes = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// What opening learnt: the committed Map and its header, the Store and its
// length, which pages may hold data. Every slot is in use until SetSlots,
// before serving, says which are free.
struct MapAtOpen {
  OwnedFile map;
  MapHeader header;
  FileHandle store;
  std::uint64_t storeLength;
  std::vector<std::uint64_t> pages;
};
OwnedServedMap MakeServedMap(MapAtOpen start);
void SetSlots(ServedMap* map, SlotAllocator slots);

// Marks the chunk's page of entries (one bit each) in pages, growing them.
void MarkPage(std::vector<std::uint64_t>* pages, std::uint32_t chunk);

// The chunk's entry, held or committed.
Expected<std::uint32_t> LookUp(ServedMap* map, std::uint32_t chunk);

// The entry of each chunk from first on (count of them, with the held
// changes) into entries.
MaybeError ReadServedEntries(ServedMap* map, std::uint32_t first, std::uint32_t count, std::uint32_t* entries);

// The first chunk from first on (before end) in a page of entries that may
// hold data: what lies before it is absent.
std::uint64_t FirstChunkMayHoldData(ServedMap* map, std::uint64_t first, std::uint64_t end);

// The last committed Map's handle, for a holder of the commit turn: only a
// commit replaces it.
FileHandle CommittedMap(ServedMap* map);

// Calls visit(chunk, entry) for each stored entry of the committed Map. A
// visitor may commit, which puts another Map in place: each block of entries
// is read from the Map committed then, which holds what the visits before it
// changed. For a holder of the commit turn.
template <typename Visit>
MaybeError EachStored(ServedMap* map, std::uint32_t chunkCount, Visit visit);

// A slot for a new chunk that nothing names yet, the Store's length covering
// it; dirty where it lies inside the Store, where old bytes may remain.
struct NewSlot {
  std::uint32_t slot;
  bool dirty;
};
Expected<NewSlot> TakeNewSlot(ServedMap* map);

// A slot taken by TakeNewSlot and never named: free again.
void GiveBackNewSlot(ServedMap* map, std::uint32_t slot);

// What a change to the held entries found and did: the chunk's entry before,
// and whether so many changes are held, or freed slots wait, that they must
// be committed.
struct Change {
  std::uint32_t before;
  bool many;
};

// Names slot (from TakeNewSlot, its data written) as the chunk's where the
// chunk is still absent; where another request stored it meanwhile, gives
// the slot back and changes nothing.
Expected<Change> NameNewChunk(ServedMap* map, std::uint32_t chunk, std::uint32_t slot);

// Makes a stored chunk absent, its slot released; an absent one stays so.
Expected<Change> MakeAbsent(ServedMap* map, std::uint32_t chunk);

// Names slot (from TakeNewSlot, the chunk's data copied there) as the
// chunk's, in place of old, which is released where releaseOld.
bool MoveEntry(ServedMap* map, std::uint32_t chunk, std::uint32_t slot, std::uint32_t old, bool releaseOld);

// A commit begins: the changes held now (sorted), the stored chunks with
// them, and whether slots wait for this commit to be free.
struct HeldNow {
  Changes changes;
  std::uint32_t allocated;
  bool freesSlots;
};
HeldNow BeginCommitOfHeld(ServedMap* map);

// The commit has put committed in the Map's place: the handles change; the
// Map before comes back in committed, or goes where it was not kept.
void SwapCommittedMap(ServedMap* map, OwnedFile* committed);

// The commit succeeded: its changes are no longer held (unless changed
// since), the cache follows them, and the slots it covered are free. After a
// commit that failed nothing is done: its changes stay held, and its slots
// wait for the next commit.
void CommitSucceeded(ServedMap* map, const Changes& changes);

// Stored chunks, with the held changes, and one past the last slot in use.
std::uint32_t Allocated(ServedMap* map);
std::uint64_t SlotsEnd(ServedMap* map);

// Whether more than half of the Store's slots are free.
bool MostlyFree(ServedMap* map);

// Gives back the room of the free slots (a cut commit may have written data
// there), then cuts the Store after the last slot in use.
MaybeError ReclaimFreeSlots(ServedMap* map);

// Cuts the Store after the last slot in use.
MaybeError CutStore(ServedMap* map);

template <typename Visit>
MaybeError EachStored(ServedMap* map, std::uint32_t chunkCount, Visit visit) {
  return EachStoredEntryOf([map] { return CommittedMap(map); }, chunkCount, visit);
}
