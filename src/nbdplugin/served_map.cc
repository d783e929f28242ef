#include "nbdplugin/served_map.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <optional>
#include <set>

#include "fileio/file_in_place.h"
#include "nbdplugin/locks.h"

namespace {

// Committed entries are kept in pages of this many, in this many places: a
// bounded cache, whatever the device's size.
constexpr std::uint32_t kPageEntries = 1024;
constexpr std::size_t kCachedPages = 2048;

}  // namespace

struct ServedMap {
  // Set at open and then only read.
  MapHeader header;  // as at open; allocated below
  FileHandle store;
  SharedSlots shared;
  bool namedPastEnd;  // a slot lay past the Store's end: a write there lengthens it

  SharedMutex lock;
  OwnedFile map GUARDED_BY(lock);
  std::uint32_t allocated GUARDED_BY(lock);
  SlotAllocator slots GUARDED_BY(lock);
  std::uint64_t storeLength GUARDED_BY(lock);
  std::map<std::uint32_t, std::uint32_t> held GUARDED_BY(lock);
  std::vector<std::uint64_t> pageMayHoldData GUARDED_BY(lock);
  std::set<std::uint32_t> zeroed GUARDED_BY(lock);
  std::atomic<bool> anyZeroed{false};  // so that a write asks the lock only where some may be
  std::vector<std::uint32_t> cachedEntries GUARDED_BY(lock);
  std::vector<std::uint32_t> cachedPage GUARDED_BY(lock);  // page number + 1 in each place, 0 for none
};

void ServedMapDeleter::operator()(ServedMap* map) const { delete map; }

OwnedServedMap MakeServedMap(MapAtOpen start) {
  OwnedServedMap made(new ServedMap);
  ServedMap* m = made.get();
  m->header = start.header;
  m->store = start.store;
  m->shared = std::move(start.shared);
  m->namedPastEnd = start.slots.end * start.header.chunkLength > start.storeLength;
  const Locked<SharedMutex> guard(&m->lock);
  m->map = std::move(start.map);
  m->allocated = start.header.allocatedChunkCount;
  m->slots = std::move(start.slots);
  m->storeLength = start.storeLength;
  m->pageMayHoldData = std::move(start.pages);
  m->pageMayHoldData.resize(start.header.chunkCount / kPageEntries / 64 + 1);
  m->cachedEntries.resize(kCachedPages * kPageEntries);
  m->cachedPage.resize(kCachedPages);
  return made;
}

void MarkPage(std::vector<std::uint64_t>* pages, std::uint32_t chunk) {
  const std::uint32_t page = chunk / kPageEntries;
  const std::size_t word = page / 64;
  if (word >= pages->size()) pages->resize(word + 1);
  (*pages)[word] |= std::uint64_t{1} << (page % 64);
}

namespace {

std::uint64_t ChunkLength(const ServedMap& m) { return m.header.chunkLength; }

bool PageMayHoldData(const ServedMap& m, std::uint64_t page) REQUIRES_SHARED(m.lock) {
  return (m.pageMayHoldData[page / 64] >> (page % 64) & 1) != 0;
}

// The chunk's entry where a shared lock can tell it (held, or in a cached
// page), or nothing.
std::optional<std::uint32_t> KnownEntryOf(ServedMap* m, std::uint32_t chunk) EXCLUDES(m->lock) {
  const Shared guard(&m->lock);
  const auto held = m->held.find(chunk);
  if (held != m->held.end()) return held->second;
  const std::uint32_t page = chunk / kPageEntries;
  if (!PageMayHoldData(*m, page)) return ABSENT_CHUNK;
  const std::size_t place = page % kCachedPages;
  if (m->cachedPage[place] != page + 1) return std::nullopt;
  return m->cachedEntries[place * kPageEntries + chunk % kPageEntries];
}

// The chunk's entry, held or committed, loading its page where it must.
Expected<std::uint32_t> EntryOf(ServedMap* m, std::uint32_t chunk) REQUIRES(m->lock) {
  const auto held = m->held.find(chunk);
  if (held != m->held.end()) return held->second;
  const std::uint32_t page = chunk / kPageEntries;
  if (!PageMayHoldData(*m, page)) return ABSENT_CHUNK;
  const std::size_t place = page % kCachedPages;
  std::uint32_t* entries = m->cachedEntries.data() + place * kPageEntries;
  if (m->cachedPage[place] != page + 1) {
    const std::uint32_t count = std::min(kPageEntries, m->header.chunkCount - page * kPageEntries);
    unsigned char bytes[kPageEntries * kMapEntrySize];
    if (auto error = ReadEntries(m->map.get(), page * kPageEntries, count, bytes)) return *error;
    for (std::uint32_t i = 0; i < count; ++i) entries[i] = LoadLittleEndian32(bytes + i * kMapEntrySize);
    m->cachedPage[place] = page + 1;
  }
  return entries[chunk % kPageEntries];
}

// A change past the bounds: nothing grows while commits fail.
Error TooManyHeld() { return Error{NATIVE("Too many changes wait for a commit"), ENOSPC}; }

// Whether the chunk's entry may change, releasing a slot where releases:
// within the bounds, or a change of a chunk already held.
bool MayHold(const ServedMap& m, std::uint32_t chunk, bool releases) REQUIRES_SHARED(m.lock) {
  const std::uint64_t waiting = WaitingSlots(m.slots) + 1;
  if (releases && (waiting > kMostHeld || waiting * ChunkLength(m) > kMostWaitingBytes)) return false;
  return m.held.size() < kMostHeld || m.held.count(chunk) != 0;
}

// Holds the chunk's new entry (MayHold said it may).
void Hold(ServedMap* m, std::uint32_t chunk, std::uint32_t entry) REQUIRES(m->lock) {
  m->held[chunk] = entry;
  if (entry != ABSENT_CHUNK) MarkPage(&m->pageMayHoldData, chunk);
}

// Whether so many changes are held, or freed slots wait, that a commit is
// due: at half of either bound.
bool CommitDue(const ServedMap& m) REQUIRES_SHARED(m.lock) {
  const std::uint64_t waiting = WaitingSlots(m.slots);
  return 2 * m.held.size() >= kMostHeld || 2 * waiting >= kMostHeld ||
         2 * waiting * ChunkLength(m) >= kMostWaitingBytes;
}

// The Store's length as it is. Only this unit changes it, under its lock
// (a slot named past the Store's end is covered, CoverSlot, before it is
// written), so the length read here holds until the lock is let go.
Expected<std::uint64_t> StoreLengthNow(ServedMap* m) REQUIRES(m->lock) {
  const Expected<std::uint64_t> length = TrySize(m->store);
  if (length) m->storeLength = *length;
  return length;
}

// Cuts the Store after the last slot in use, which lies past every slot a
// chunk names: nothing cut is a chunk's.
MaybeError CutStoreLocked(ServedMap* m) REQUIRES(m->lock) {
  const std::uint64_t end = m->slots.end * ChunkLength(*m);
  const Expected<std::uint64_t> length = StoreLengthNow(m);
  if (!length) return length.error();
  if (end >= *length) return std::nullopt;
  if (auto error = TrySetLength(m->store, end)) return error;
  m->storeLength = end;
  return std::nullopt;
}

}  // namespace

Expected<std::uint32_t> LookUp(ServedMap* m, std::uint32_t chunk) {
  if (const std::optional<std::uint32_t> known = KnownEntryOf(m, chunk)) return *known;
  const Locked<SharedMutex> guard(&m->lock);
  return EntryOf(m, chunk);
}

MaybeError ReadServedEntries(ServedMap* m, std::uint32_t first, std::uint32_t count, std::uint32_t* entries,
                             std::vector<bool>* zeroed) {
  const Shared guard(&m->lock);
  std::vector<unsigned char> bytes;
  for (std::uint32_t done = 0; done < count;) {
    // A run of pages that may hold data, read at once, or one that holds none.
    const std::uint32_t chunk = first + done;
    const bool data = PageMayHoldData(*m, chunk / kPageEntries);
    std::uint32_t piece = std::min(count - done, kPageEntries - chunk % kPageEntries);
    while (done + piece < count && PageMayHoldData(*m, (chunk + piece) / kPageEntries) == data) {
      piece = std::min(count - done, piece + kPageEntries);
    }
    if (!data) {
      std::fill(entries + done, entries + done + piece, ABSENT_CHUNK);
    } else {
      bytes.resize(std::size_t{piece} * kMapEntrySize);
      if (auto error = ReadEntries(m->map.get(), chunk, piece, bytes.data())) return error;
      for (std::uint32_t i = 0; i < piece; ++i) {
        entries[done + i] = LoadLittleEndian32(bytes.data() + std::size_t{i} * kMapEntrySize);
      }
    }
    done += piece;
  }
  for (auto held = m->held.lower_bound(first); held != m->held.end() && held->first - first < count; ++held) {
    entries[held->first - first] = held->second;
  }
  if (zeroed != nullptr) {
    zeroed->assign(count, false);
    for (auto at = m->zeroed.lower_bound(first); at != m->zeroed.end() && *at - first < count; ++at) {
      (*zeroed)[*at - first] = true;
    }
  }
  return std::nullopt;
}

void NoteZeroed(ServedMap* m, std::uint32_t chunk) {
  const Locked<SharedMutex> guard(&m->lock);
  if (m->zeroed.size() >= kMostHeld) return;  // forgotten: told as data, which it also is
  m->zeroed.insert(chunk);
  m->anyZeroed = true;
}

void NoteWriting(ServedMap* m, std::uint32_t chunk) {
  if (!m->anyZeroed) return;
  const Locked<SharedMutex> guard(&m->lock);
  m->zeroed.erase(chunk);
}

std::uint64_t FirstChunkMayHoldData(ServedMap* m, std::uint64_t first, std::uint64_t end) {
  const Shared guard(&m->lock);
  std::uint64_t page = first / kPageEntries;
  const std::uint64_t endPage = (end + kPageEntries - 1) / kPageEntries;
  while (page < endPage) {
    const std::uint64_t word = m->pageMayHoldData[page / 64] >> (page % 64);
    if (word != 0) {
      page += static_cast<std::uint64_t>(std::countr_zero(word));
      break;
    }
    page = (page / 64 + 1) * 64;
  }
  return std::clamp(page * kPageEntries, first, end);
}

FileHandle CommittedMap(ServedMap* m) {
  const Shared guard(&m->lock);
  return m->map.get();
}

Expected<NewSlot> TakeNewSlot(ServedMap* m) {
  const Locked<SharedMutex> guard(&m->lock);
  const std::optional<std::uint32_t> slot = TakeSlot(&m->slots);
  if (!slot) return Error{NATIVE("Sparse block device Store is full"), ENOSPC};
  const std::uint64_t begin = *slot * ChunkLength(*m);
  const std::uint64_t end = begin + ChunkLength(*m);
  if (end <= m->storeLength) return NewSlot{*slot, true};
  if (auto error = TrySetLength(m->store, end)) {  // longer: the length is the file's (StoreLengthNow)
    GiveBackSlot(&m->slots, *slot);
    if (error->number == EFBIG) error->number = ENOSPC;  // the file system's largest file: the device is full
    return *error;
  }
  const bool dirty = begin < m->storeLength;
  m->storeLength = end;
  return NewSlot{*slot, dirty};
}

MaybeError CoverSlot(ServedMap* m, std::uint32_t slot) {
  const std::uint64_t end = (std::uint64_t{slot} + 1) * ChunkLength(*m);
  if (!m->namedPastEnd) return std::nullopt;
  {
    const Shared guard(&m->lock);
    if (end <= m->storeLength) return std::nullopt;
  }
  const Locked<SharedMutex> guard(&m->lock);
  const Expected<std::uint64_t> length = StoreLengthNow(m);
  if (!length) return length.error();
  if (end <= *length) return std::nullopt;
  if (auto error = TrySetLength(m->store, end)) return error;
  m->storeLength = end;
  return std::nullopt;
}

void GiveBackNewSlot(ServedMap* m, std::uint32_t slot) {
  const Locked<SharedMutex> guard(&m->lock);
  GiveBackSlot(&m->slots, slot);
}

bool MayBeShared(ServedMap* m, std::uint32_t slot) { return MayBeShared(m->shared, slot); }

bool AnyShared(ServedMap* m) { return m->shared.any; }

Expected<Change> NameChunk(ServedMap* m, std::uint32_t chunk, std::uint32_t expected, std::uint32_t slot) {
  const Locked<SharedMutex> guard(&m->lock);
  const Expected<std::uint32_t> entry = EntryOf(m, chunk);
  const bool named = entry && *entry == expected && MayHold(*m, chunk, false);
  if (!named) GiveBackSlot(&m->slots, slot);
  if (!entry) return entry.error();
  if (*entry != expected) return Change{*entry, false};
  if (!named) return TooManyHeld();
  Hold(m, chunk, slot);  // first: a failed allocation changes nothing
  if (expected == ABSENT_CHUNK) ++m->allocated;
  return Change{expected, CommitDue(*m)};
}

Expected<Change> MakeAbsent(ServedMap* m, std::uint32_t chunk) {
  const Locked<SharedMutex> guard(&m->lock);
  const Expected<std::uint32_t> entry = EntryOf(m, chunk);
  if (!entry) return entry.error();
  if (*entry == ABSENT_CHUNK) return Change{ABSENT_CHUNK, false};
  const bool releases = !MayBeShared(m->shared, *entry);
  if (!MayHold(*m, chunk, releases)) return TooManyHeld();
  // The entry first: a release that fails to allocate then leaves a slot
  // unused until a restart, never a slot named and free.
  Hold(m, chunk, ABSENT_CHUNK);
  m->zeroed.erase(chunk);
  --m->allocated;
  if (releases) ReleaseSlot(&m->slots, *entry);
  return Change{*entry, CommitDue(*m)};
}

Expected<Change> MoveEntry(ServedMap* m, std::uint32_t chunk, std::uint32_t slot, std::uint32_t old) {
  const Locked<SharedMutex> guard(&m->lock);
  if (!MayHold(*m, chunk, true)) {
    GiveBackSlot(&m->slots, slot);
    return TooManyHeld();
  }
  Hold(m, chunk, slot);  // first, as in MakeAbsent
  ReleaseSlot(&m->slots, old);
  return Change{old, CommitDue(*m)};
}

HeldNow TakeHeld(ServedMap* m) {
  const Locked<SharedMutex> guard(&m->lock);
  HeldNow now{Changes(m->held.begin(), m->held.end()), m->allocated, false};
  BeginCommit(&m->slots);
  now.freesSlots = !m->slots.committing.empty();
  return now;
}

void ApplyCommit(ServedMap* m, OwnedFile* committed, const Changes& changes, bool durable) {
  const Locked<SharedMutex> guard(&m->lock);
  std::swap(m->map, *committed);
  if (!durable) return;
  EndCommit(&m->slots, true);
  for (const auto& [chunk, entry] : changes) {
    const auto held = m->held.find(chunk);
    if (held != m->held.end() && held->second == entry) m->held.erase(held);  // not changed since
    const std::size_t place = chunk / kPageEntries % kCachedPages;            // the cache follows the Map
    if (m->cachedPage[place] == chunk / kPageEntries + 1) {
      m->cachedEntries[place * kPageEntries + chunk % kPageEntries] = entry;
    }
  }
}

std::uint32_t Allocated(ServedMap* m) {
  const Shared guard(&m->lock);
  return m->allocated;
}

std::uint64_t SlotsEnd(ServedMap* m) {
  const Shared guard(&m->lock);
  return m->slots.end;
}

bool MostlyFree(ServedMap* m) {
  const Shared guard(&m->lock);
  return 2 * std::uint64_t{m->allocated} < m->storeLength / ChunkLength(*m);
}

MaybeError ReclaimFreeSlots(ServedMap* m) {
  const Locked<SharedMutex> guard(&m->lock);
  const Expected<std::uint64_t> size = TrySize(m->store);
  if (!size) return size.error();
  const std::uint64_t length = ChunkLength(*m);
  for (const auto& [first, last] : m->slots.free) {
    const std::uint64_t begin = std::min(first * length, *size);  // a slot past the Store has no room
    GiveBackRoom(m->store, begin, std::min(last * length, *size) - begin);
  }
  return CutStoreLocked(m);
}

MaybeError CutStore(ServedMap* m) {
  const Locked<SharedMutex> guard(&m->lock);
  return CutStoreLocked(m);
}
