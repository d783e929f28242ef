// The Map as the server sees it, and the slots a new chunk may take.
//
//   committed Map    the handle of the last committed Map (a commit puts
//                    another in its place)
//   held changes     chunk -> entry, not yet committed, sorted; what every
//                    lookup sees first
//   allocated        stored chunks, with the held changes
//   page bits        a bit per page of 1024 entries that may name a slot:
//                    a page without one is absent, read from nothing
//   cache            2048 pages of committed entries, each in one place
//   slots            the slot allocator (slot_allocator.h)
//   Store length     as this server last saw or set it; never made shorter
//                    than the end of a slot a chunk names
//   shared slots     slots several chunks may name (set at open)
//   zeroed           stored chunks zeroed keeping their room and not written
//                    since, as far as this server knows (at most kMostHeld)
//
// One lock guards all of it, taken inside each function here: shared where
// held changes or the cache answer a lookup, alone for anything else
// (loading a cache page is a change). Callers hold no lock of this unit's;
// a caller that holds the commit turn (map_commit.h) takes this lock after
// it, never before.
//
// Memory stays bounded whatever the device and however long commits fail:
// at most kMostHeld changes are held, and kMostHeld freed slots (or
// kMostWaitingBytes of them) wait; a change past either bound is refused
// with ENOSPC, and a commit is asked for at half of them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "fileio/error.h"
#include "fileio/file.h"
#include "nbdplugin/slot_allocator.h"
#include "sparsedev/sparse_format.h"
#include "sparsedev/sparse_map.h"

constexpr std::size_t kMostHeld = 1 << 17;
constexpr std::uint64_t kMostWaitingBytes = std::uint64_t{8} << 30;

struct ServedMap;
struct ServedMapDeleter {
  void operator()(ServedMap* map) const;
};
using OwnedServedMap = std::unique_ptr<ServedMap, ServedMapDeleter>;

// Chunk -> entry, sorted by chunk.
using Changes = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// What opening learnt: the committed Map and its header, the Store and its
// length, which pages may hold data, which slots are free (one past the last
// slot named is where none is) and which may be shared.
struct MapAtOpen {
  OwnedFile map;
  MapHeader header;
  FileHandle store;
  std::uint64_t storeLength;
  std::vector<std::uint64_t> pages;
  SlotAllocator slots;
  SharedSlots shared;
};
OwnedServedMap MakeServedMap(MapAtOpen start);

// Marks the chunk's page of entries (one bit each) in pages, growing them.
void MarkPage(std::vector<std::uint64_t>* pages, std::uint32_t chunk);

// The chunk's entry, held or committed.
Expected<std::uint32_t> LookUp(ServedMap* map, std::uint32_t chunk);

// The entry of each chunk from first on (count of them, with the held
// changes) into entries; and where zeroed is given, whether each is a stored
// chunk known to read as zeros (NoteZeroed).
MaybeError ReadServedEntries(ServedMap* map, std::uint32_t first, std::uint32_t count, std::uint32_t* entries,
                             std::vector<bool>* zeroed = nullptr);

// The stored chunk has been zeroed with its room kept: it reads as zeros
// until it is written (NoteWriting), made absent or moved.
void NoteZeroed(ServedMap* map, std::uint32_t chunk);
void NoteWriting(ServedMap* map, std::uint32_t chunk);

// The first chunk from first on (before end) in a page of entries that may
// hold data: what lies before it is absent.
std::uint64_t FirstChunkMayHoldData(ServedMap* map, std::uint64_t first, std::uint64_t end);

// Whether another chunk may name the slot too (as at open), so that it must
// not change in place; and whether any slot may be.
bool MayBeShared(ServedMap* map, std::uint32_t slot);
bool AnyShared(ServedMap* map);

// The last committed Map's handle, for a holder of the commit turn: only a
// commit replaces it.
FileHandle CommittedMap(ServedMap* map);

// A slot for a chunk that nothing names yet, the Store's length covering
// it; dirty where it lies inside the Store, where old bytes may remain.
struct NewSlot {
  std::uint32_t slot;
  bool dirty;
};
Expected<NewSlot> TakeNewSlot(ServedMap* map);

// Makes the Store cover a slot a chunk names (one named past its end at
// open), before the chunk is written or zeroed in place: the rest of the
// chunk then reads as zeros, and no write lengthens the Store beside a
// change of its length.
MaybeError CoverSlot(ServedMap* map, std::uint32_t slot);

// A slot taken by TakeNewSlot and never named: free again.
void GiveBackNewSlot(ServedMap* map, std::uint32_t slot);

// What a change to the held entries found: the chunk's entry before, and
// whether so many changes are held, or freed slots wait, that a commit is
// due.
struct Change {
  std::uint32_t before;
  bool many;
};

// Names slot (from TakeNewSlot, its data written) as the chunk's where its
// entry is still expected (ABSENT_CHUNK for a new chunk, or a shared slot it
// is copied apart from, which stays in use); otherwise gives the slot back
// and changes nothing: before tells what the entry is now.
Expected<Change> NameChunk(ServedMap* map, std::uint32_t chunk, std::uint32_t expected, std::uint32_t slot);

// Makes a stored chunk absent, its slot released unless it may be shared;
// an absent one stays so.
Expected<Change> MakeAbsent(ServedMap* map, std::uint32_t chunk);

// Names slot (from TakeNewSlot, the chunk's data copied there) as the
// chunk's, in place of old, which is released.
Expected<Change> MoveEntry(ServedMap* map, std::uint32_t chunk, std::uint32_t slot, std::uint32_t old);

// A commit begins: the changes held now (sorted), the stored chunks with
// them, and whether slots wait for this commit to be free.
struct HeldNow {
  Changes changes;
  std::uint32_t allocated;
  bool freesSlots;
};
HeldNow TakeHeld(ServedMap* map);

// A commit put the Map in committed in place of the one served: the handles
// swap (the Map before comes back in committed). Where the commit is on
// stable storage (durable), its changes are no longer held (unless changed
// since), the cache follows them, and the slots it covered are free; else
// they stay held, and the slots wait for the next commit.
void ApplyCommit(ServedMap* map, OwnedFile* committed, const Changes& changes, bool durable);

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
