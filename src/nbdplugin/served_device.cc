#include "nbdplugin/served_device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "fileio/file.h"
#include "sparsedev/sparse_map.h"

namespace {

// Changes held before they are committed without a flush: memory stays
// bounded whatever the device's size.
constexpr std::size_t kMostHeld = 1 << 16;

// Slots seen at once when looking for slots that several chunks share.
constexpr std::uint64_t kSlotsPerPass = std::uint64_t{1} << 27;

constexpr std::size_t kCopyBufferBytes = 1 << 20;

std::uint64_t ChunkLength(const ServedDevice& s) { return s.device.header.chunkLength; }

// Committed entries are kept in pages of this many, in this many places: a
// bounded cache, whatever the device's size.
constexpr std::uint32_t kPageEntries = 1024;
constexpr std::size_t kCachedPages = 2048;

// The chunk's entry where a shared lock can tell it (held, or in a cached
// page), or nothing.
std::optional<std::uint32_t> KnownEntryOf(ServedDevice* s, std::uint32_t chunk) {
  const std::shared_lock<std::shared_mutex> guard(s->lock);
  const auto held = s->held.find(chunk);
  if (held != s->held.end()) return held->second;
  const std::uint32_t page = chunk / kPageEntries;
  const std::size_t place = page % kCachedPages;
  if (s->cachedPage[place] != page + 1) return std::nullopt;
  return s->cachedEntries[place * kPageEntries + chunk % kPageEntries];
}

// The chunk's entry, held or committed. With the lock held.
Expected<std::uint32_t> EntryOf(ServedDevice* s, std::uint32_t chunk) {
  const auto held = s->held.find(chunk);
  if (held != s->held.end()) return held->second;
  const std::uint32_t page = chunk / kPageEntries;
  const std::size_t place = page % kCachedPages;
  std::uint32_t* entries = s->cachedEntries.data() + place * kPageEntries;
  if (s->cachedPage[place] != page + 1) {
    const std::uint32_t count = std::min(kPageEntries, s->device.header.chunkCount - page * kPageEntries);
    unsigned char bytes[kPageEntries * kMapEntrySize];
    if (auto error = ReadEntries(s->device.map.get(), page * kPageEntries, count, bytes)) return *error;
    for (std::uint32_t i = 0; i < count; ++i) entries[i] = LoadLittleEndian32(bytes + i * kMapEntrySize);
    s->cachedPage[place] = page + 1;
  }
  return entries[chunk % kPageEntries];
}

// Holds the chunk's new entry; true once so many are held that they must be
// committed, so that memory stays bounded.
bool Hold(ServedDevice* s, std::uint32_t chunk, std::uint32_t entry) {
  s->held[chunk] = entry;
  if (entry != ABSENT_CHUNK) s->blockMayHoldData[chunk / kEntriesPerBlock] = true;
  return s->held.size() >= kMostHeld;
}

// Calls visit(chunk, entry) for each stored entry of the committed Map.
template <typename Visit>
MaybeError EachStored(ServedDevice* s, Visit visit) {
  const auto block = NewEntryBlock();
  const std::uint32_t chunkCount = s->device.header.chunkCount;
  for (std::uint32_t first = 0; first < chunkCount; first += kEntriesPerBlock) {
    const std::uint32_t count = std::min(kEntriesPerBlock, chunkCount - first);
    if (auto error = ReadEntries(s->device.map.get(), first, count, block.get())) return error;
    if (AllAbsent(block.get(), count)) continue;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t entry = LoadLittleEndian32(block.get() + std::size_t{i} * kMapEntrySize);
      if (entry != ABSENT_CHUNK) {
        if (auto error = visit(first + i, entry)) return error;
      }
    }
  }
  return std::nullopt;
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

NativeString CopyPath(const ServedDevice& s) { return Concat({s.device.paths.map, NATIVE(".new")}); }

// Makes the spare the committed Map with changes and allocated stored
// chunks: the Map before the last commit needs that commit's changes too;
// with no spare, the whole Map is copied.
MaybeError WriteCopy(ServedDevice* s, const Changes& changes, std::uint32_t allocated) {
  if (!s->spare.is_open()) {
    Expected<OwnedFile> copy = TryCreate(CopyPath(*s).c_str());
    if (!copy) return copy.error();
    s->spare = std::move(*copy);
    s->spareBehind.clear();
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
    if (auto error = TryCopyBytes(s->device.map.get(), 0, s->spare.get(), 0, s->device.mapLength, buffer.get(),
                                  kCopyBufferBytes)) {
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
MaybeError FlushStoreAndCopy(ServedDevice* s) {
  MaybeError storeError;
  std::optional<std::thread> beside;
  try {
    beside.emplace([&] { storeError = TryFlush(s->device.store.get()); });
  } catch (const std::system_error&) {  // no thread to be had: one after the other
    storeError = TryFlush(s->device.store.get());
  }
  MaybeError copyError = TryFlush(s->spare.get());
  if (beside) beside->join();
  return storeError ? storeError : copyError;
}

// Puts the flushed copy in the Map's place; the old Map becomes the spare
// where the file system can swap the two. The handles change under the lock.
MaybeError PutCopyInPlace(ServedDevice* s) {
  const NativeString copyPath = CopyPath(*s);
  if (s->canExchange) {
    MaybeError error = TryRename(copyPath.c_str(), s->device.paths.map.c_str(), Rename::kExchange);
    if (!error) {
      const std::lock_guard<std::shared_mutex> guard(s->lock);
      std::swap(s->device.map, s->spare);
      return std::nullopt;
    }
    if (error->number != EOPNOTSUPP) return error;
    s->canExchange = false;
  }
  if (auto error = TryRename(copyPath.c_str(), s->device.paths.map.c_str())) return error;
  const std::lock_guard<std::shared_mutex> guard(s->lock);
  s->device.map = std::move(s->spare);
  s->spare = OwnedFile();  // closes the old Map
  return std::nullopt;
}

// After a failure the spare's state is unknown: the next commit copies anew.
// With the commit lock held.
void DropSpare(ServedDevice* s) {
  s->spare = OwnedFile();
  RemoveFile(CopyPath(*s).c_str());
}

// Commits the changes held now: the Store's data and a flushed copy of the
// Map with them, then the copy in the Map's place. With the commit lock held
// and the lock not: requests go on meanwhile, their changes held for the next
// commit. Writes that end after storeWritten is cleared set it again.
MaybeError CommitHeld(ServedDevice* s) {
  std::unique_lock<std::shared_mutex> guard(s->lock);
  const bool written = s->storeWritten.exchange(false);
  Changes changes(s->held.begin(), s->held.end());
  const std::uint32_t allocated = s->allocated;
  guard.unlock();
  if (changes.empty()) {
    MaybeError error = written ? TryFlush(s->device.store.get()) : std::nullopt;
    if (error) s->storeWritten = true;
    return error;
  }
  std::sort(changes.begin(), changes.end());
  MaybeError error;
  try {  // the spare is dropped below whatever fails, an allocation too
    error = WriteCopy(s, changes, allocated);
    if (!error) error = FlushStoreAndCopy(s);
    if (!error) error = PutCopyInPlace(s);
    // Until the directory is flushed the changes stay held: the next commit
    // writes them again, to a copy of its own.
    if (!error) error = TryFlushDirectory(s->device.paths.directory.c_str());
  } catch (const std::bad_alloc&) {
    error = OutOfMemory();
  }
  guard.lock();
  if (error) {
    s->storeWritten = true;
    DropSpare(s);
    return error;
  }
  s->device.header.allocatedChunkCount = allocated;
  for (const auto& [chunk, entry] : changes) {
    const auto held = s->held.find(chunk);
    if (held != s->held.end() && held->second == entry) s->held.erase(held);  // not changed since
    const std::size_t place = chunk / kPageEntries % kCachedPages;            // the cache follows the Map
    if (s->cachedPage[place] == chunk / kPageEntries + 1) {
      s->cachedEntries[place * kPageEntries + chunk % kPageEntries] = entry;
    }
  }
  s->spareBehind = std::move(changes);
  return std::nullopt;
}

MaybeError Commit(ServedDevice* s) {
  const std::lock_guard<std::mutex> committing(s->commitLock);
  return CommitHeld(s);
}

// A new slot for the chunk, past every slot in use; the Store's length
// covers it, its bytes read as zeros. With the lock held.
Expected<std::uint32_t> Allocate(ServedDevice* s) {
  if (s->nextSlot >= ABSENT_CHUNK) return Error{NATIVE("Sparse block device Store is full"), ENOSPC};
  const auto slot = static_cast<std::uint32_t>(s->nextSlot);
  const std::uint64_t end = (s->nextSlot + 1) * ChunkLength(*s);
  if (end > s->storeLength) {
    if (auto error = TrySetLength(s->device.store.get(), end)) return *error;
    s->storeLength = end;
  }
  ++s->nextSlot;
  return slot;
}

// Gives each chunk whose slot an earlier chunk also names a copy of its own,
// looking at the slots a range at a time so that memory stays bounded.
MaybeError UnshareSlots(ServedDevice* s, std::uint64_t slotsInUse) {
  const std::uint64_t length = ChunkLength(*s);
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
  for (std::uint64_t low = 0; low < slotsInUse; low += kSlotsPerPass) {
    std::vector<bool> seen(std::min(kSlotsPerPass, slotsInUse - low));
    const auto unshare = [&](std::uint32_t chunk, std::uint32_t entry) -> MaybeError {
      if (entry < low || entry - low >= seen.size()) return std::nullopt;
      if (!seen[entry - low]) {
        seen[entry - low] = true;
        return std::nullopt;
      }
      std::unique_lock<std::shared_mutex> guard(s->lock);
      const Expected<std::uint32_t> slot = Allocate(s);
      guard.unlock();
      if (!slot) return slot.error();
      if (auto error = TryCopyBytes(s->device.store.get(), entry * length, s->device.store.get(), *slot * length,
                                    length, buffer.get(), kCopyBufferBytes)) {
        return error;
      }
      guard.lock();
      const bool many = Hold(s, chunk, *slot);
      guard.unlock();
      return many ? CommitHeld(s) : std::nullopt;
    };
    if (auto error = EachStored(s, unshare)) return error;
  }
  return CommitHeld(s);
}

}  // namespace

Expected<std::unique_ptr<ServedDevice>> OpenServedDevice(NativeStringView directory, NativeStringView absolutePath) {
  auto served = std::make_unique<ServedDevice>();
  served->writable = true;
  Expected<SparseDevice> device = OpenSparseDevice(directory, Access::kReadWrite);
  if (!device && (device.error().number == EACCES || device.error().number == EROFS)) {
    served->writable = false;
    device = OpenSparseDevice(directory, Access::kReadOnly);
  }
  if (!device) return device.error();
  served->device = std::move(*device);
  ServedDevice* s = served.get();
  s->allocated = s->device.header.allocatedChunkCount;
  s->canExchange = true;
  s->blockMayHoldData.resize(s->device.header.chunkCount / kEntriesPerBlock + 1);
  s->cachedEntries.resize(kCachedPages * kPageEntries);
  s->cachedPage.resize(kCachedPages);
  const Expected<std::uint64_t> storeLength = TrySize(s->device.store.get());
  if (!storeLength) return storeLength.error();
  s->storeLength = *storeLength;
  std::uint64_t slotsInUse = 0;
  bool ascending = true;  // as every device made by conversion: no slot is named twice
  if (auto error = EachStored(s, [&](std::uint32_t chunk, std::uint32_t entry) -> MaybeError {
        ascending = ascending && entry >= slotsInUse;
        slotsInUse = std::max<std::uint64_t>(slotsInUse, std::uint64_t{entry} + 1);
        s->blockMayHoldData[chunk / kEntriesPerBlock] = true;
        return std::nullopt;
      })) {
    return *error;
  }
  s->nextSlot = std::max(slotsInUse, (s->storeLength + ChunkLength(*s) - 1) / ChunkLength(*s));
  s->readyToWrite = ascending;
  Expected<SparsePaths> paths = SparsePathsOf(absolutePath);
  if (!paths) return paths.error();
  s->device.paths = std::move(*paths);
  // A copy of the Map that a cut commit left is no part of the device.
  if (s->writable) RemoveFile(CopyPath(*s).c_str());
  return served;
}

MaybeError PrepareForWriting(ServedDevice* s) {
  if (s->readyToWrite) return std::nullopt;
  const std::lock_guard<std::mutex> committing(s->commitLock);  // and every other writer waits
  if (s->readyToWrite) return std::nullopt;
  if (auto error = UnshareSlots(s, s->nextSlot)) return error;
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

}  // namespace

namespace {

// Notes a change to the Store once it is made, so that a flush begun before
// it ends flushes again.
MaybeError StoreWritten(ServedDevice* s, MaybeError error) {
  s->storeWritten = true;  // a failed write may still have changed some bytes
  return error;
}

}  // namespace

MaybeError ReadServed(ServedDevice* s, void* buffer, std::uint32_t count, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  return EachPiece(
      *s, count, offset,
      [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t at, std::uint32_t length) -> MaybeError {
        Expected<std::uint32_t> entry = [&] {
          if (const std::optional<std::uint32_t> known = KnownEntryOf(s, chunk)) return Expected<std::uint32_t>(*known);
          const std::lock_guard<std::shared_mutex> guard(s->lock);
          return EntryOf(s, chunk);
        }();
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
  if (auto error = PrepareForWriting(s)) return error;
  return EachPiece(
      *s, count, offset,
      [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t at, std::uint32_t length) -> MaybeError {
        bool many = false;
        Expected<std::uint32_t> entry = [&]() -> Expected<std::uint32_t> {
          // A stored chunk is written in place: a shared lock finds it.
          if (const std::optional<std::uint32_t> known = KnownEntryOf(s, chunk); known && *known != ABSENT_CHUNK) {
            return Expected<std::uint32_t>(*known);
          }
          const std::lock_guard<std::shared_mutex> guard(s->lock);
          Expected<std::uint32_t> found = EntryOf(s, chunk);
          if (!found || *found != ABSENT_CHUNK || IsAllZero(bytes + at, length)) return found;
          Expected<std::uint32_t> slot = Allocate(s);
          if (!slot) return slot;
          many = Hold(s, chunk, *slot);
          ++s->allocated;
          return slot;
        }();
        if (!entry) return entry.error();
        // A new slot reads as zeros, as the chunk did: it may be committed
        // before its data is written.
        if (many) {
          if (auto error = Commit(s)) return error;
        }
        if (*entry == ABSENT_CHUNK) return std::nullopt;  // zeros where zeros are
        return StoreWritten(s, TryWrite(s->device.store.get(), *entry * ChunkLength(*s) + within, bytes + at, length));
      });
}

MaybeError ZeroServed(ServedDevice* s, std::uint32_t count, std::uint64_t offset) {
  if (auto error = PrepareForWriting(s)) return error;
  return EachPiece(*s, count, offset,
                   [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t, std::uint32_t length) -> MaybeError {
                     bool many = false;
                     Expected<std::uint32_t> entry = [&] {
                       const std::lock_guard<std::shared_mutex> guard(s->lock);
                       Expected<std::uint32_t> found = EntryOf(s, chunk);
                       if (found && *found != ABSENT_CHUNK && length == ChunkLength(*s)) {
                         many = Hold(s, chunk, ABSENT_CHUNK);
                         --s->allocated;
                       }
                       return found;
                     }();
                     if (!entry) return entry.error();
                     if (many) {
                       if (auto error = Commit(s)) return error;
                     }
                     if (*entry == ABSENT_CHUNK) return std::nullopt;
                     return StoreWritten(
                         s, TryZeroRange(s->device.store.get(), *entry * ChunkLength(*s) + within, length));
                   });
}

MaybeError FlushServed(ServedDevice* s) { return Commit(s); }

MaybeError CloseServed(ServedDevice* s) {
  if (!s->writable) return std::nullopt;
  MaybeError error = FlushServed(s);
  const std::lock_guard<std::mutex> committing(s->commitLock);
  DropSpare(s);
  return error;
}

std::uint64_t FirstChunkMayHoldData(ServedDevice* s, std::uint64_t first, std::uint64_t end) {
  const std::lock_guard<std::shared_mutex> guard(s->lock);
  std::uint64_t block = first / kEntriesPerBlock;
  while (block * kEntriesPerBlock < end && !s->blockMayHoldData[block]) ++block;
  return std::clamp(block * kEntriesPerBlock, first, end);
}

MaybeError ServedEntries(ServedDevice* s, std::uint32_t first, std::uint32_t count, std::uint32_t* entries) {
  const std::lock_guard<std::shared_mutex> guard(s->lock);
  std::vector<unsigned char> block(std::min(count, kEntriesPerBlock) * std::size_t{kMapEntrySize});
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t chunk = first + done;
    const std::uint32_t piece = std::min(count - done, kEntriesPerBlock - chunk % kEntriesPerBlock);
    if (!s->blockMayHoldData[chunk / kEntriesPerBlock]) {
      std::fill(entries + done, entries + done + piece, ABSENT_CHUNK);
    } else {
      if (auto error = ReadEntries(s->device.map.get(), chunk, piece, block.data())) return error;
      for (std::uint32_t i = 0; i < piece; ++i) {
        entries[done + i] = LoadLittleEndian32(block.data() + std::size_t{i} * kMapEntrySize);
      }
    }
    done += piece;
  }
  for (const auto& [chunk, entry] : s->held) {
    if (chunk >= first && chunk - first < count) entries[chunk - first] = entry;
  }
  return std::nullopt;
}
