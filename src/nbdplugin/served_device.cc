#include "nbdplugin/served_device.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>

#include "fileio/file.h"
#include "fileio/file_in_place.h"
#include "sparsedev/sparse_map.h"

namespace {

// Changes held before they are committed without a flush: memory stays
// bounded whatever the device's size.
constexpr std::size_t kMostHeld = 1 << 16;

// Bytes of freed slots that wait for a commit before it is forced, so that
// the Store grows at most this much past the most data the device held.
constexpr std::uint64_t kMostWaitingBytes = std::uint64_t{kMostHeld} * DEFAULT_CHUNK_LENGTH;

std::uint64_t ChunkLength(const ServedDevice& s) { return s.device.header.chunkLength; }

// Committed entries are kept in pages of this many, in this many places: a
// bounded cache, whatever the device's size.
constexpr std::uint32_t kPageEntries = 1024;
constexpr std::size_t kCachedPages = 2048;

bool PageMayHoldData(const ServedDevice& s, std::uint64_t page) REQUIRES_SHARED(s.lock) {
  return (s.pageMayHoldData[page / 64] >> (page % 64) & 1) != 0;
}

// Marks the chunk's page of entries in pages (one bit each), growing them
// as needed.
void MarkPage(std::vector<std::uint64_t>* pages, std::uint32_t chunk) {
  const std::uint32_t page = chunk / kPageEntries;
  const std::size_t word = page / 64;
  if (word >= pages->size()) pages->resize(word + 1);
  (*pages)[word] |= std::uint64_t{1} << (page % 64);
}

// The chunk's entry where a shared lock can tell it (held, or in a cached
// page), or nothing.
std::optional<std::uint32_t> KnownEntryOf(ServedDevice* s, std::uint32_t chunk) EXCLUDES(s->lock) {
  const Shared guard(&s->lock);
  const auto held = s->held.find(chunk);
  if (held != s->held.end()) return held->second;
  const std::uint32_t page = chunk / kPageEntries;
  if (!PageMayHoldData(*s, page)) return ABSENT_CHUNK;
  const std::size_t place = page % kCachedPages;
  if (s->cachedPage[place] != page + 1) return std::nullopt;
  return s->cachedEntries[place * kPageEntries + chunk % kPageEntries];
}

// The chunk's entry, held or committed. With the lock held.
Expected<std::uint32_t> EntryOf(ServedDevice* s, std::uint32_t chunk) REQUIRES(s->lock) {
  const auto held = s->held.find(chunk);
  if (held != s->held.end()) return held->second;
  const std::uint32_t page = chunk / kPageEntries;
  if (!PageMayHoldData(*s, page)) return ABSENT_CHUNK;
  const std::size_t place = page % kCachedPages;
  std::uint32_t* entries = s->cachedEntries.data() + place * kPageEntries;
  if (s->cachedPage[place] != page + 1) {
    const std::uint32_t count = std::min(kPageEntries, s->device.header.chunkCount - page * kPageEntries);
    unsigned char bytes[kPageEntries * kMapEntrySize];
    if (auto error = ReadEntries(s->map.get(), page * kPageEntries, count, bytes)) return *error;
    for (std::uint32_t i = 0; i < count; ++i) entries[i] = LoadLittleEndian32(bytes + i * kMapEntrySize);
    s->cachedPage[place] = page + 1;
  }
  return entries[chunk % kPageEntries];
}

// The chunk's entry, under a shared lock where that can tell it.
Expected<std::uint32_t> LookUp(ServedDevice* s, std::uint32_t chunk) EXCLUDES(s->lock) {
  if (const std::optional<std::uint32_t> known = KnownEntryOf(s, chunk)) return *known;
  const Locked<SharedMutex> guard(&s->lock);
  return EntryOf(s, chunk);
}

// Holds the chunk's new entry; true once so many changes are held, or freed
// slots wait, that they must be committed. With the lock held.
bool Hold(ServedDevice* s, std::uint32_t chunk, std::uint32_t entry) REQUIRES(s->lock) {
  s->held[chunk] = entry;
  if (entry != ABSENT_CHUNK) MarkPage(&s->pageMayHoldData, chunk);
  return s->held.size() >= kMostHeld || WaitingSlots(s->slots) * ChunkLength(*s) >= kMostWaitingBytes;
}

// The error every write and flush answers once a flush has failed.
MaybeError Broken(const ServedDevice& s) {
  const int number = s.brokenNumber.load();
  if (number == 0) return std::nullopt;
  return Error{NATIVE("A flush of the device failed before: writes and flushes fail until the server restarts"),
               number};
}

// Notes a failed flush: from now on writes and flushes answer its number.
MaybeError BreakOn(ServedDevice* s, MaybeError error) {
  if (error) {
    int expected = 0;
    s->brokenNumber.compare_exchange_strong(expected, error->number != 0 ? error->number : EIO);
  }
  return error;
}

// Calls visit(chunk, entry) for each stored entry of the committed Map. A
// visitor may commit, which puts another Map in place (and where names
// cannot be swapped closes the one before): each block is read from the Map
// committed then, which holds what the visits before it changed. With the
// commit lock held, so that no other commit replaces it.
FileHandle CommittedMap(ServedDevice* s) REQUIRES(s->commitLock) EXCLUDES(s->lock) {
  const Shared guard(&s->lock);
  return s->map.get();
}

template <typename Visit>
MaybeError EachStored(ServedDevice* s, Visit visit) REQUIRES(s->commitLock) {
  return EachStoredEntryOf(
      [s] {
        s->commitLock.AssertHeld();
        return CommittedMap(s);
      },
      s->device.header.chunkCount, visit);
}

// EachStored as the slot allocator's passes take it. With the commit lock
// held: they call it back inside the call they are given it in.
EachEntry StoredEntries(ServedDevice* s) REQUIRES(s->commitLock) {
  return [s](const EntryVisit& visit) {
    s->commitLock.AssertHeld();
    return EachStored(s, visit);
  };
}

using Changes = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// Writes the entries of changes (sorted by chunk) into map, a run of
// consecutive chunks at a time.
MaybeError WriteEntries(FileHandle map, const Changes& changes) {
  std::vector<unsigned char> run;
  for (std::size_t first = 0, next = 0; first < changes.size(); first = next) {
    run.clear();
    do {
      run.resize(run.size() + kMapEntrySize);
      StoreLittleEndian32(run.data() + run.size() - kMapEntrySize, changes[next++].second);
    } while (next < changes.size() && changes[next].first == changes[next - 1].first + 1);
    if (auto error = TryWrite(map, EntryOffset(changes[first].first), run.data(), run.size())) return error;
  }
  return std::nullopt;
}

// The copy of the Map, named in the device's directory, and its path for
// messages.
constexpr const NativeChar* kCopyName = NATIVE("Map.new");
NativeString CopyPath(const ServedDevice& s) { return Concat({s.device.paths.map, NATIVE(".new")}); }

DirectoryHandle Directory(const ServedDevice& s) { return s.device.directory.get(); }

void AwaitSpare(ServedDevice* s) REQUIRES(s->commitLock);

// Makes the spare the committed Map with changes and allocated stored
// chunks: the Map before the last commit needs that commit's changes too;
// with no spare, the whole Map is copied.
MaybeError WriteCopy(ServedDevice* s, const Changes& changes, std::uint32_t allocated) REQUIRES(s->commitLock) {
  AwaitSpare(s);
  if (!s->spare.is_open()) {
    const FileHandle map = CommittedMap(s);
    Expected<OwnedFile> copy = TryCreateNewIn(Directory(*s), kCopyName, CopyPath(*s).c_str());
    if (!copy) return copy.error();
    s->spare = std::move(*copy);
    s->spareBehind.clear();
    // The Map's owner keeps it: its group, mode and owner go with it.
    if (auto error = TryCopyOwnership(map, s->spare.get(), s->device.paths.map.c_str())) return error;
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
    if (auto error = TryCopyBytes(map, 0, s->spare.get(), 0, s->device.mapLength, buffer.get(), kCopyBufferBytes)) {
      return error;
    }
  }
  if (auto error = WriteEntries(s->spare.get(), s->spareBehind)) return error;
  if (auto error = WriteEntries(s->spare.get(), changes)) return error;
  MapHeader header = s->device.header;
  header.allocatedChunkCount = allocated;
  return WriteMapHeader(s->spare.get(), header);
}

// Flushes the Store and the copy side by side: the copy names nothing until
// it takes the Map's place.
MaybeError FlushStoreAndCopy(ServedDevice* s) REQUIRES(s->commitLock) {
  return TryFlushSideBySide(s->device.store.get(), s->spare.get());
}

// Puts the flushed copy in the Map's place; the old Map becomes the spare
// where the file system can swap the two. The handles change under the lock.
MaybeError PutCopyInPlace(ServedDevice* s) REQUIRES(s->commitLock) EXCLUDES(s->lock) {
  const NativeString copyPath = CopyPath(*s);
  // The name is the owner's to change: what stands there now may be anything.
  if (!NameIsFile(Directory(*s), kCopyName, s->spare.get())) {
    return PathError("Another file took the place of the Map's copy", copyPath, 0);
  }
  if (s->canExchange) {
    MaybeError error = TryRenameIn(Directory(*s), kCopyName, NATIVE("Map"), copyPath.c_str(), Rename::kExchange);
    if (!error) {
      const Locked<SharedMutex> guard(&s->lock);
      std::swap(s->map, s->spare);
      return std::nullopt;
    }
    if (error->number != EOPNOTSUPP) return error;
    s->canExchange = false;
  }
  if (auto error = TryRenameIn(Directory(*s), kCopyName, NATIVE("Map"), copyPath.c_str(), Rename::kReplace)) {
    return error;
  }
  const Locked<SharedMutex> guard(&s->lock);
  s->map = std::move(s->spare);
  s->spare = OwnedFile();  // closes the old Map
  return std::nullopt;
}

// After a failure the spare's state is unknown: the next commit copies anew.
// Its name goes only while it is still the spare's. With the commit lock held.
void DropSpare(ServedDevice* s) REQUIRES(s->commitLock) {
  s->making.reset();  // stops writing into it
  if (s->spare.is_open() && NameIsFile(Directory(*s), kCopyName, s->spare.get())) {
    static_cast<void>(TryRemoveIn(Directory(*s), kCopyName, CopyPath(*s).c_str()));  // a name left is only room
  }
  s->spare = OwnedFile();
}

// Waits for the whole Map's copy begun in the background, if it is: where it
// failed, the spare goes, and the commit copies anew.
void AwaitSpare(ServedDevice* s) REQUIRES(s->commitLock) {
  if (s->making && FinishBackgroundCopy(std::move(s->making))) DropSpare(s);
}

// Commits the changes held now: the Store's data and a flushed copy of the
// Map with them, then the copy in the Map's place. With the commit lock held
// and the lock not: requests go on meanwhile, their changes held for the next
// commit. Writes that end after storeWritten is cleared set it again. The
// slots freed before it began are free once it has succeeded and the
// requests that might still use them have ended.
MaybeError CommitHeld(ServedDevice* s) REQUIRES(s->commitLock) EXCLUDES(s->lock) {
  if (auto error = Broken(*s)) return error;
  Locked<SharedMutex> guard(&s->lock);
  Changes changes(s->held.begin(), s->held.end());
  const std::uint32_t allocated = s->allocated;
  BeginCommit(&s->slots);
  const bool freesSlots = !s->slots.committing.empty();
  // Taken last: an allocation that fails above leaves it set, so that the
  // next flush still flushes the Store.
  const bool written = s->storeWritten.exchange(false);
  guard.Unlock();
  MaybeError error;
  if (changes.empty()) {
    if (written) error = BreakOn(s, TryFlush(s->device.store.get()));
  } else {
    std::sort(changes.begin(), changes.end());
    try {  // the spare is dropped below whatever fails, an allocation too
      error = WriteCopy(s, changes, allocated);
      if (!error) error = BreakOn(s, FlushStoreAndCopy(s));
      if (!error) error = PutCopyInPlace(s);
      // Until the directory is flushed the changes stay held: the next commit
      // writes them again, to a copy of its own.
      if (!error) error = BreakOn(s, TryFlushDirectory(Directory(*s)));
    } catch (const std::bad_alloc&) {
      error = OutOfMemory();
    }
  }
  if (!error && freesSlots) WaitForEarlierSlotUsers(&s->users);
  guard.Relock();
  EndCommit(&s->slots, !error);
  if (error) {
    s->storeWritten = true;
    if (!changes.empty()) DropSpare(s);
    return error;
  }
  s->committedAllocated = allocated;
  for (const auto& [chunk, entry] : changes) {
    const auto held = s->held.find(chunk);
    if (held != s->held.end() && held->second == entry) s->held.erase(held);  // not changed since
    const std::size_t place = chunk / kPageEntries % kCachedPages;            // the cache follows the Map
    if (s->cachedPage[place] == chunk / kPageEntries + 1) {
      s->cachedEntries[place * kPageEntries + chunk % kPageEntries] = entry;
    }
  }
  if (!changes.empty()) s->spareBehind = std::move(changes);
  return std::nullopt;
}

MaybeError Commit(ServedDevice* s) EXCLUDES(s->commitLock, s->lock) {
  const Locked<Mutex> committing(&s->commitLock);
  return CommitHeld(s);
}

// A slot for a new chunk that nothing names yet, with the Store's length
// covering it; dirty when it lies inside the Store, where old bytes may
// remain. With the lock held.
struct NewSlot {
  std::uint32_t slot;
  bool dirty;
};
Expected<NewSlot> TakeNewSlot(ServedDevice* s) REQUIRES(s->lock) {
  const std::optional<std::uint32_t> slot = TakeSlot(&s->slots);
  if (!slot) return Error{NATIVE("Sparse block device Store is full"), ENOSPC};
  const std::uint64_t begin = *slot * ChunkLength(*s);
  const std::uint64_t end = begin + ChunkLength(*s);
  if (end > s->storeLength) {
    if (auto error = TrySetLength(s->device.store.get(), end)) {
      GiveBackSlot(&s->slots, *slot);
      if (error->number == EFBIG) error->number = ENOSPC;  // the file system's largest file: the device is full
      return *error;
    }
    const bool dirty = begin < s->storeLength;
    s->storeLength = end;
    return NewSlot{*slot, dirty};
  }
  return NewSlot{*slot, true};
}

// Copies the chunk's data from slot entry into a new slot and holds the new
// entry, releasing the old slot unless other chunks still name it. With the
// commit lock held.
MaybeError MoveChunk(ServedDevice* s, std::uint32_t chunk, std::uint32_t entry, unsigned char* buffer, bool releaseOld)
    REQUIRES(s->commitLock) EXCLUDES(s->lock) {
  Locked<SharedMutex> guard(&s->lock);
  const Expected<NewSlot> slot = TakeNewSlot(s);
  guard.Unlock();
  if (!slot) return slot.error();
  const std::uint64_t length = ChunkLength(*s);
  MaybeError error = TryCopyBytes(s->device.store.get(), entry * length, s->device.store.get(), slot->slot * length,
                                  length, buffer, kCopyBufferBytes);
  guard.Relock();
  if (error) {
    GiveBackSlot(&s->slots, slot->slot);
    return error;
  }
  s->storeWritten = true;
  if (releaseOld) ReleaseSlot(&s->slots, entry);
  const bool many = Hold(s, chunk, slot->slot);
  guard.Unlock();
  return many ? CommitHeld(s) : std::nullopt;
}

// Gives each chunk whose slot an earlier chunk also names a copy of its own.
MaybeError UnshareSlots(ServedDevice* s, std::uint64_t slotsInUse) REQUIRES(s->commitLock) EXCLUDES(s->lock) {
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
  if (auto error = EachSlotNamedAgain(slotsInUse, kSlotsPerWindow, StoredEntries(s),
                                      [&](std::uint32_t chunk, std::uint32_t entry) {
                                        s->commitLock.AssertHeld();
                                        return MoveChunk(s, chunk, entry, buffer.get(), false);
                                      })) {
    return error;
  }
  return CommitHeld(s);
}

// Cuts the Store after the last slot in use.
MaybeError CutStore(ServedDevice* s) REQUIRES(s->lock) {
  const std::uint64_t end = s->slots.end * ChunkLength(*s);
  if (end >= s->storeLength) return std::nullopt;
  if (auto error = TrySetLength(s->device.store.get(), end)) return error;
  s->storeLength = end;
  return std::nullopt;
}

// Moves the chunks of the slots past the allocated count into free slots
// below it, commits, and cuts the Store after the last slot in use. With the
// commit lock held and nothing held, where no request writes (the first
// writer's readying, or the end of serving).
MaybeError CompactStore(ServedDevice* s) REQUIRES(s->commitLock) EXCLUDES(s->lock) {
  const std::uint32_t target = [s] {
    const Shared guard(&s->lock);
    return s->allocated;
  }();
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
  if (auto error = EachStored(s, [&](std::uint32_t chunk, std::uint32_t entry) -> MaybeError {
        s->commitLock.AssertHeld();  // the callback runs inside this call
        return entry < target ? std::nullopt : MoveChunk(s, chunk, entry, buffer.get(), true);
      })) {
    return error;
  }
  if (auto error = CommitHeld(s)) return error;
  const Locked<SharedMutex> guard(&s->lock);
  return CutStore(s);
}

// Whether more than half of the Store's slots are free.
bool MostlyFree(ServedDevice* s) EXCLUDES(s->lock) {
  const Shared guard(&s->lock);
  const std::uint64_t slots = s->storeLength / ChunkLength(*s);
  return 2 * std::uint64_t{s->allocated} < slots && s->readyToWrite;
}

// Gives back the room of the free slots (a cut commit may have written data
// there) and cuts the Store after the last named slot.
MaybeError ReclaimFreeSlots(ServedDevice* s) EXCLUDES(s->lock) {
  const Locked<SharedMutex> guard(&s->lock);
  const std::uint64_t length = ChunkLength(*s);
  for (const auto& [first, last] : s->slots.free) {
    const std::uint64_t begin = std::min(first * length, s->storeLength);  // a slot past the Store has no room
    GiveBackRoom(s->device.store.get(), begin, std::min(last * length, s->storeLength) - begin);
  }
  return CutStore(s);
}

// What opening learns from the Map's stored entries, read once as the Map
// is verified.
struct OpenScan {
  std::uint64_t slotsInUse = 0;
  bool ascending = true;             // as every device made by conversion: no slot is named twice
  bool shared = false;               // a slot of the first window is named twice
  std::vector<bool> named;           // the slots of the first window named
  std::vector<std::uint64_t> pages;  // which pages of entries may hold data
};

void NoteStored(OpenScan* scan, std::uint32_t chunk, std::uint32_t entry) {
  scan->ascending = scan->ascending && entry >= scan->slotsInUse;
  scan->slotsInUse = std::max<std::uint64_t>(scan->slotsInUse, std::uint64_t{entry} + 1);
  MarkPage(&scan->pages, chunk);
  if (entry < kSlotsPerWindow) {
    if (entry >= scan->named.size()) scan->named.resize(std::max<std::size_t>(entry + 1, scan->named.size() * 2));
    scan->shared = scan->shared || scan->named[entry];
    scan->named[entry] = true;
  }
}

// Where a commit would change what the owner has (a name of the Map's, or
// a file of other names), or write a file that is not the device's alone,
// why; a directory where the copy goes is an error. Changes nothing.
Expected<std::optional<Error>> WhyNotWritable(ServedDevice* s) REQUIRES(s->commitLock) {
  const SparsePaths& paths = s->device.paths;
  const NativeString copyPath = CopyPath(*s);
  const Expected<std::optional<sys::FileFacts>> copy = TryFactsOfName(Directory(*s), kCopyName, copyPath.c_str());
  if (!copy) return copy.error();
  if (*copy && (*copy)->kind == sys::FileFacts::kDirectory) return PathError("Cannot remove", copyPath, EISDIR);
  const Expected<std::optional<sys::FileFacts>> name = TryFactsOfName(Directory(*s), NATIVE("Map"), paths.map.c_str());
  if (!name) return name.error();
  if (*name && (*name)->kind == sys::FileFacts::kSymbolicLink) {
    return std::optional<Error>(PathError("Commits would replace the symbolic link", paths.map, 0));
  }
  for (const auto& [file, path] : {std::pair(CommittedMap(s), &paths.map), {s->device.store.get(), &paths.store}}) {
    const Expected<sys::FileFacts> facts = TryFactsOfFile(file, path->c_str());
    if (!facts) return facts.error();
    if (facts->kind != sys::FileFacts::kRegular) {
      return std::optional<Error>(PathError("Writes would go to a special file", *path, 0));
    }
    if (facts->links > 1) {
      return std::optional<Error>(PathError(path == &paths.map ? "Commits would part the Map from its other names"
                                                               : "Writes would change the Store's other names too",
                                            *path, 0));
    }
  }
  return std::optional<Error>();
}

// The copy a clean stop kept, where it is a plain file of the device's own
// and still equals the Map; its mark goes, as the first commit makes it
// another Map's copy. Otherwise none.
OwnedFile KeptCopy(ServedDevice* s) REQUIRES(s->commitLock) {
  const NativeString copyPath = CopyPath(*s);
  const Expected<std::optional<sys::FileFacts>> name = TryFactsOfName(Directory(*s), kCopyName, copyPath.c_str());
  if (!name || !*name || (*name)->kind != sys::FileFacts::kRegular) return OwnedFile();
  Expected<OwnedFile> copy = TryOpenIn(Directory(*s), kCopyName, copyPath.c_str(), Access::kReadWrite);
  if (!copy || !NameIsFile(Directory(*s), kCopyName, copy->get()) || !IsMarkedCopy(copy->get(), CommittedMap(s))) {
    return OwnedFile();
  }
  UnmarkCopy(copy->get());
  return std::move(*copy);
}

// At a clean stop: the spare made equal to the Map, flushed and marked as its
// copy, so that the next server's first commit writes only its changes, not
// a whole Map. Where that cannot be done, it goes.
void KeepSpare(ServedDevice* s) REQUIRES(s->commitLock) {
  // A copy still being made is stopped: a stop does not wait for it.
  if (s->making && !s->making->finished) DropSpare(s);
  AwaitSpare(s);
  const FileHandle spare = s->spare.get();
  MapHeader header = s->device.header;
  header.allocatedChunkCount = s->committedAllocated;
  if (!s->spare.is_open() || !NameIsFile(Directory(*s), kCopyName, spare) || WriteEntries(spare, s->spareBehind) ||
      WriteMapHeader(spare, header) || TryFlush(spare) || TryMarkCopy(spare, CommittedMap(s), CopyPath(*s).c_str())) {
    DropSpare(s);
    return;
  }
  s->spare = OwnedFile();
}

// Removes whatever stands where the copy goes, then makes a copy there and
// gives it the Map's owner and mode: where that cannot be done, why. A copy
// kept by the last clean stop is taken instead, where it still holds.
Expected<std::optional<Error>> TryOutCopy(ServedDevice* s) REQUIRES(s->commitLock) {
  const NativeString copyPath = CopyPath(*s);
  if (OwnedFile kept = KeptCopy(s); kept.is_open()) {
    MaybeError owner = TryCopyOwnership(CommittedMap(s), kept.get(), s->device.paths.map.c_str());
    if (!owner) owner = TryMayChangeNames(Directory(*s), copyPath.c_str());
    if (!owner) {
      s->spare = std::move(kept);
      s->spareBehind.clear();
      return std::optional<Error>();
    }
    return std::optional<Error>(*owner);
  }
  if (auto error = TryRemoveIn(Directory(*s), kCopyName, copyPath.c_str())) return *error;
  Expected<OwnedFile> copy = TryCreateNewIn(Directory(*s), kCopyName, copyPath.c_str());
  if (!copy) return std::optional<Error>(copy.error());
  MaybeError owner = TryCopyOwnership(CommittedMap(s), copy->get(), s->device.paths.map.c_str());
  s->spare = std::move(*copy);
  s->spareBehind.clear();
  // The first commit needs a whole copy of the Map: made now, beside the
  // requests, it is ready (or nearly) when the first flush comes. Where no
  // thread can be had, the first commit makes it.
  if (!owner) s->making = StartBackgroundCopy(CommittedMap(s), s->spare.get(), s->device.mapLength);
  if (owner || !s->making) DropSpare(s);
  return owner ? std::optional<Error>(*owner) : std::nullopt;
}

}  // namespace

Expected<std::unique_ptr<ServedDevice>> OpenServedDevice(NativeStringView directory, NativeStringView absolutePath) {
  OpenScan scan;
  const StoredVisit note = [&scan](std::uint32_t chunk, std::uint32_t entry) {
    NoteStored(&scan, chunk, entry);
    return MaybeError();
  };
  std::optional<Error> readOnlyWhy;
  Expected<SparseDevice> device = OpenSparseDevice(directory, Access::kReadWrite, note);
  if (!device && (device.error().number == EACCES || device.error().number == EROFS)) {
    readOnlyWhy = device.error();
    // Where the Map was read before the Store refused writing, the second
    // reading notes the same slots and pages again: read-only serving needs
    // nothing else from it.
    device = OpenSparseDevice(directory, Access::kReadOnly, note);
  }
  if (!device) return device.error();
  Expected<SparsePaths> paths = SparsePathsOf(absolutePath);
  if (!paths) return paths.error();
  auto served = std::make_unique<ServedDevice>();
  ServedDevice* s = served.get();
  s->device = std::move(*device);
  s->device.paths = std::move(*paths);
  const Expected<std::uint64_t> storeLength = TrySize(s->device.store.get());
  if (!storeLength) return storeLength.error();
  {
    const Locked<SharedMutex> guard(&s->lock);
    s->map = std::move(s->device.map);
    s->allocated = s->device.header.allocatedChunkCount;
    s->pageMayHoldData = std::move(scan.pages);
    s->pageMayHoldData.resize(s->device.header.chunkCount / kPageEntries / 64 + 1);
    s->cachedEntries.resize(kCachedPages * kPageEntries);
    s->cachedPage.resize(kCachedPages);
    s->storeLength = *storeLength;
  }
  const Locked<Mutex> committing(&s->commitLock);
  s->committedAllocated = s->device.header.allocatedChunkCount;
  s->canExchange = true;
  s->readOnlyWhy = readOnlyWhy;
  if (!readOnlyWhy) {
    const Expected<std::optional<Error>> why = WhyNotWritable(s);
    if (!why) return why.error();  // a directory stands where the copy goes
    s->readOnlyWhy = *why;
  }
  s->writable = !s->readOnlyWhy;
  SlotAllocator slots;
  if (!s->writable || (scan.ascending && scan.slotsInUse == s->device.header.allocatedChunkCount)) {
    slots.end = scan.slotsInUse;  // no slot is free below the last (or none is needed)
    s->readyToWrite = scan.ascending;
  } else {
    const Expected<bool> twice =
        FreeUnnamedSlots(&slots, scan.slotsInUse, kSlotsPerWindow, scan.named, StoredEntries(s));
    if (!twice) return twice.error();
    s->readyToWrite = !scan.shared && !*twice;
  }
  const Locked<SharedMutex> guard(&s->lock);
  s->slots = std::move(slots);
  return served;
}

Expected<WritingStarted> StartWriting(ServedDevice* s) {
  if (s->writingStarted) return WritingStarted{};
  const Locked<Mutex> committing(&s->commitLock);
  if (s->writingStarted || !s->writable) return WritingStarted{};
  const Expected<std::optional<Error>> why = TryOutCopy(s);
  if (!why) return why.error();
  if (*why) {
    s->readOnlyWhy = **why;
    s->writable = false;
    return WritingStarted{*why, std::nullopt};
  }
  if (auto error = ReclaimFreeSlots(s)) return *error;
  // Only a saving: a device that cannot be compacted (a slot past the
  // Store's end) is served as it is.
  WritingStarted started;
  if (MostlyFree(s)) {
    if (MaybeError error = CompactStore(s)) started.notCompacted = *error;
  }
  s->writingStarted = true;
  return started;
}

std::optional<Error> ReadOnlyWhy(ServedDevice* s) {
  const Locked<Mutex> committing(&s->commitLock);
  return s->readOnlyWhy;
}

MaybeError PrepareForWriting(ServedDevice* s) {
  if (s->readyToWrite) return std::nullopt;
  const Locked<Mutex> committing(&s->commitLock);  // and every other writer waits
  if (s->readyToWrite) return std::nullopt;
  const std::uint64_t slotsInUse = [s] {
    const Shared guard(&s->lock);
    return s->slots.end;
  }();
  if (auto error = UnshareSlots(s, slotsInUse)) return error;
  s->readyToWrite = true;
  return std::nullopt;
}

std::uint64_t ServedSize(const ServedDevice& s) { return DeviceSize(s.device.header); }

namespace {

// Calls each(chunk, within, at, length) for the chunks' parts of the range,
// stopping at the first error.
template <typename Each>
MaybeError EachPiece(const ServedDevice& s, std::uint32_t count, std::uint64_t offset, Each each) {
  const std::uint64_t length = ChunkLength(s);
  for (std::uint32_t done = 0; done < count;) {
    const std::uint64_t at = offset + done;
    const std::uint64_t within = at % length;
    const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(count - done, length - within));
    if (auto error = each(static_cast<std::uint32_t>(at / length), within, done, piece)) return error;
    done += piece;
  }
  return std::nullopt;
}

// Notes a change to the Store once it is made, so that a flush begun before
// it ends flushes again.
MaybeError StoreWritten(ServedDevice* s, MaybeError error) {
  s->storeWritten = true;  // a failed write may still have changed some bytes
  return error;
}

// Writes length bytes into a chunk that is absent: into a slot nothing names
// yet, which the chunk's entry names once they are there, so that a failure
// leaves nothing behind. Where another request stored the chunk meanwhile,
// its slot is written instead.
MaybeError WriteNewChunk(ServedDevice* s, std::uint32_t chunk, std::uint64_t within, const unsigned char* bytes,
                         std::uint32_t length, bool* many) EXCLUDES(s->lock) {
  Locked<SharedMutex> guard(&s->lock);
  const Expected<NewSlot> slot = TakeNewSlot(s);
  guard.Unlock();
  if (!slot) return slot.error();
  const std::uint64_t begin = slot->slot * ChunkLength(*s);
  MaybeError error = slot->dirty ? TryZeroRange(s->device.store.get(), begin, ChunkLength(*s)) : std::nullopt;
  if (!error) error = TryWrite(s->device.store.get(), begin + within, bytes, length);
  guard.Relock();
  Expected<std::uint32_t> entry = error ? Expected<std::uint32_t>(*error) : EntryOf(s, chunk);
  if (!entry || *entry != ABSENT_CHUNK) GiveBackSlot(&s->slots, slot->slot);
  if (!entry) return entry.error();
  if (*entry == ABSENT_CHUNK) {
    s->storeWritten = true;  // before a commit can see the entry
    *many = Hold(s, chunk, slot->slot);
    ++s->allocated;
    return std::nullopt;
  }
  guard.Unlock();
  return StoreWritten(s, TryWrite(s->device.store.get(), *entry * ChunkLength(*s) + within, bytes, length));
}

MaybeError WritePiece(ServedDevice* s, std::uint32_t chunk, std::uint64_t within, const unsigned char* bytes,
                      std::uint32_t length, bool* many) {
  const SlotUse use(&s->users);
  const Expected<std::uint32_t> entry = LookUp(s, chunk);
  if (!entry) return entry.error();
  if (*entry != ABSENT_CHUNK) {
    return StoreWritten(s, TryWrite(s->device.store.get(), *entry * ChunkLength(*s) + within, bytes, length));
  }
  if (IsAllZero(bytes, length)) return std::nullopt;  // zeros where zeros are
  return WriteNewChunk(s, chunk, within, bytes, length, many);
}

// Zeros length bytes of the chunk; a whole stored chunk becomes absent, its
// slot released and its room given back.
MaybeError ZeroPiece(ServedDevice* s, std::uint32_t chunk, std::uint64_t within, std::uint32_t length, bool* many) {
  const SlotUse use(&s->users);
  Expected<std::uint32_t> entry = [&] {
    const Locked<SharedMutex> guard(&s->lock);
    Expected<std::uint32_t> found = EntryOf(s, chunk);
    if (found && *found != ABSENT_CHUNK && length == ChunkLength(*s)) {
      ReleaseSlot(&s->slots, *found);
      *many = Hold(s, chunk, ABSENT_CHUNK);
      --s->allocated;
    }
    return found;
  }();
  if (!entry) return entry.error();
  if (*entry == ABSENT_CHUNK) return std::nullopt;
  return StoreWritten(s, TryZeroRange(s->device.store.get(), *entry * ChunkLength(*s) + within, length));
}

}  // namespace

MaybeError ReadServed(ServedDevice* s, void* buffer, std::uint32_t count, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  return EachPiece(
      *s, count, offset,
      [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t at, std::uint32_t length) -> MaybeError {
        const SlotUse use(&s->users);
        const Expected<std::uint32_t> entry = LookUp(s, chunk);
        if (!entry) return entry.error();
        if (*entry == ABSENT_CHUNK) {
          std::memset(bytes + at, 0, length);
          return std::nullopt;
        }
        return TryRead(s->device.store.get(), *entry * ChunkLength(*s) + within, bytes + at, length);
      });
}

MaybeError WriteServed(ServedDevice* s, const void* buffer, std::uint32_t count, std::uint64_t offset) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  if (auto error = Broken(*s)) return error;
  if (auto error = PrepareForWriting(s)) return error;
  return EachPiece(
      *s, count, offset,
      [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t at, std::uint32_t length) -> MaybeError {
        bool many = false;
        if (auto error = WritePiece(s, chunk, within, bytes + at, length, &many)) return error;
        return many ? Commit(s) : std::nullopt;  // once the piece no longer uses its slot
      });
}

MaybeError ZeroServed(ServedDevice* s, std::uint32_t count, std::uint64_t offset) {
  if (auto error = Broken(*s)) return error;
  if (auto error = PrepareForWriting(s)) return error;
  return EachPiece(*s, count, offset,
                   [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t, std::uint32_t length) -> MaybeError {
                     bool many = false;
                     if (auto error = ZeroPiece(s, chunk, within, length, &many)) return error;
                     return many ? Commit(s) : std::nullopt;
                   });
}

MaybeError FlushServed(ServedDevice* s) { return Commit(s); }

std::optional<NativeString> TakeBrokenNotice(ServedDevice* s) {
  if (s->brokenNumber.load() == 0 || s->brokenTold.exchange(true)) return std::nullopt;
  return NativeString(
      NATIVE("A flush failed: what was written since the last flush that succeeded may not be on the disk. Writes and "
             "flushes now fail with that error until the server restarts; reads go on. Check the disk, then restart "
             "the server."));
}

MaybeError CloseServed(ServedDevice* s) {
  if (!s->writingStarted) return std::nullopt;
  MaybeError error = FlushServed(s);
  const Locked<Mutex> committing(&s->commitLock);
  if (!error) {
    if (MostlyFree(s)) {
      error = CompactStore(s);
    } else {
      const Locked<SharedMutex> guard(&s->lock);
      error = CutStore(s);
    }
  }
  if (error) {
    DropSpare(s);
  } else {
    KeepSpare(s);
  }
  return error;
}

std::uint64_t FirstChunkMayHoldData(ServedDevice* s, std::uint64_t first, std::uint64_t end) {
  const Shared guard(&s->lock);
  std::uint64_t page = first / kPageEntries;
  const std::uint64_t endPage = (end + kPageEntries - 1) / kPageEntries;
  while (page < endPage) {
    const std::uint64_t word = s->pageMayHoldData[page / 64] >> (page % 64);
    if (word != 0) {
      page += static_cast<std::uint64_t>(std::countr_zero(word));
      break;
    }
    page = (page / 64 + 1) * 64;
  }
  return std::clamp(page * kPageEntries, first, end);
}

MaybeError ServedEntries(ServedDevice* s, std::uint32_t first, std::uint32_t count, std::uint32_t* entries) {
  const Shared guard(&s->lock);
  std::vector<unsigned char> bytes;
  for (std::uint32_t done = 0; done < count;) {
    // A run of pages that may hold data, read at once, or one that holds none.
    const std::uint32_t chunk = first + done;
    const bool data = PageMayHoldData(*s, chunk / kPageEntries);
    std::uint32_t piece = std::min(count - done, kPageEntries - chunk % kPageEntries);
    while (done + piece < count && PageMayHoldData(*s, (chunk + piece) / kPageEntries) == data) {
      piece = std::min(count - done, piece + kPageEntries);
    }
    if (!data) {
      std::fill(entries + done, entries + done + piece, ABSENT_CHUNK);
    } else {
      bytes.resize(std::size_t{piece} * kMapEntrySize);
      if (auto error = ReadEntries(s->map.get(), chunk, piece, bytes.data())) return error;
      for (std::uint32_t i = 0; i < piece; ++i) {
        entries[done + i] = LoadLittleEndian32(bytes.data() + std::size_t{i} * kMapEntrySize);
      }
    }
    done += piece;
  }
  for (const auto& [chunk, entry] : s->held) {
    if (chunk >= first && chunk - first < count) entries[chunk - first] = entry;
  }
  return std::nullopt;
}
