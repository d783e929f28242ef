// The requests, composed of the served device's parts (served_device.h).
#include <algorithm>
#include <cstring>

#include "fileio/file.h"
#include "fileio/file_in_place.h"
#include "nbdplugin/served_parts.h"

namespace {

std::uint64_t ChunkLength(const ServedDevice& s) { return s.device.header.chunkLength; }

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
  NoteStoreWritten(s->commits.get());  // a failed write may still have changed some bytes
  return error;
}

// Before the first write: gives each chunk that shares its slot with another
// a slot of its own, so that a write to one chunk never changes another.
MaybeError PrepareForWriting(ServedDevice* s) {
  if (s->readyToWrite) return std::nullopt;
  const CommitTurn turn(s->commits.get());  // and every other writer waits
  if (s->readyToWrite) return std::nullopt;
  if (auto error = UnshareSlots(MoverOf(s, turn), SlotsEnd(s->map.get()))) return error;
  s->readyToWrite = true;
  return std::nullopt;
}

// Writes length bytes into a chunk that is absent: into a slot nothing names
// yet, which the chunk's entry names once they are there, so that a failure
// leaves nothing behind. Where another request stored the chunk meanwhile,
// its slot is written instead.
MaybeError WriteNewChunk(ServedDevice* s, std::uint32_t chunk, std::uint64_t within, const unsigned char* bytes,
                         std::uint32_t length, bool* many) {
  const Expected<NewSlot> slot = TakeNewSlot(s->map.get());
  if (!slot) return slot.error();
  const std::uint64_t begin = slot->slot * ChunkLength(*s);
  MaybeError error = slot->dirty ? TryZeroRange(s->device.store.get(), begin, ChunkLength(*s)) : std::nullopt;
  if (!error) error = TryWrite(s->device.store.get(), begin + within, bytes, length);
  if (error) {
    GiveBackNewSlot(s->map.get(), slot->slot);
    return error;
  }
  NoteStoreWritten(s->commits.get());  // before a commit can see the entry
  const Expected<Change> named = NameNewChunk(s->map.get(), chunk, slot->slot);
  if (!named) return named.error();
  *many = named->many;
  if (named->before == ABSENT_CHUNK) return std::nullopt;
  return StoreWritten(s, TryWrite(s->device.store.get(), named->before * ChunkLength(*s) + within, bytes, length));
}

MaybeError WritePiece(ServedDevice* s, std::uint32_t chunk, std::uint64_t within, const unsigned char* bytes,
                      std::uint32_t length, bool* many) {
  const SlotUse use(&s->users);
  const Expected<std::uint32_t> entry = LookUp(s->map.get(), chunk);
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
  std::uint32_t entry;
  if (length == ChunkLength(*s)) {
    const Expected<Change> made = MakeAbsent(s->map.get(), chunk);
    if (!made) return made.error();
    *many = made->many;
    entry = made->before;
  } else {
    const Expected<std::uint32_t> found = LookUp(s->map.get(), chunk);
    if (!found) return found.error();
    entry = *found;
  }
  if (entry == ABSENT_CHUNK) return std::nullopt;
  return StoreWritten(s, TryZeroRange(s->device.store.get(), entry * ChunkLength(*s) + within, length));
}

// Runs change on each piece of the range, committing where it says that
// many changes are held, once the piece no longer uses its slot.
template <typename ChangePiece>
MaybeError ChangeEachPiece(ServedDevice* s, std::uint32_t count, std::uint64_t offset, ChangePiece change) {
  if (auto error = Broken(s->commits.get())) return error;
  if (auto error = PrepareForWriting(s)) return error;
  return EachPiece(
      *s, count, offset,
      [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t at, std::uint32_t length) -> MaybeError {
        bool many = false;
        if (auto error = change(chunk, within, at, length, &many)) return error;
        return many ? Commit(s->commits.get()) : std::nullopt;
      });
}

}  // namespace

std::uint64_t ServedSize(ServedDevice* s) { return DeviceSize(s->device.header); }

MaybeError ReadServed(ServedDevice* s, void* buffer, std::uint32_t count, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  return EachPiece(
      *s, count, offset,
      [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t at, std::uint32_t length) -> MaybeError {
        const SlotUse use(&s->users);
        const Expected<std::uint32_t> entry = LookUp(s->map.get(), chunk);
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
  return ChangeEachPiece(s, count, offset,
                         [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t at, std::uint32_t length,
                             bool* many) { return WritePiece(s, chunk, within, bytes + at, length, many); });
}

MaybeError ZeroServed(ServedDevice* s, std::uint32_t count, std::uint64_t offset, ZeroFlags) {
  return ChangeEachPiece(s, count, offset,
                         [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t, std::uint32_t length,
                             bool* many) { return ZeroPiece(s, chunk, within, length, many); });
}

MaybeError FlushServed(ServedDevice* s) { return Commit(s->commits.get()); }

std::optional<NativeString> TakeBrokenNotice(ServedDevice* s) { return TakeBrokenNotice(s->commits.get()); }

MaybeError CloseServed(ServedDevice* s) {
  if (!s->writingStarted) return std::nullopt;
  MaybeError error = FlushServed(s);
  const CommitTurn turn(s->commits.get());
  if (!error) error = ShouldCompact(s) ? CompactStore(MoverOf(s, turn)) : CutStore(s->map.get());
  KeepOrDropCopy(turn, !error);
  return error;
}

MaybeError ServedExtents(ServedDevice* s, std::uint32_t count, std::uint64_t offset, const AddExtent& add) {
  const std::uint64_t length = ChunkLength(*s);
  std::uint64_t first = offset / length;
  const std::uint64_t end = std::min(offset + count, ServedSize(s));
  const std::uint64_t endChunk = (end + length - 1) / length;
  // A stretch of pages without data is one hole, however long.
  if (const std::uint64_t data = FirstChunkMayHoldData(s->map.get(), first, endChunk); data > first) {
    add(first * length, (data - first) * length, true);
    first = data;
  }
  if (first >= endChunk) return std::nullopt;
  const auto last = static_cast<std::uint32_t>(std::min<std::uint64_t>(endChunk - 1, first + (1u << 16) - 1));
  std::vector<std::uint32_t> entries(last - first + 1);
  if (auto error =
          ReadServedEntries(s->map.get(), static_cast<std::uint32_t>(first), last - first + 1, entries.data())) {
    return error;
  }
  for (std::uint32_t i = 0; i < entries.size();) {
    std::uint32_t j = i + 1;
    const bool hole = entries[i] == ABSENT_CHUNK;
    while (j < entries.size() && (entries[j] == ABSENT_CHUNK) == hole) ++j;
    add((first + i) * length, (j - i) * length, hole);
    i = j;
  }
  return std::nullopt;
}
