// The requests, composed of the served device's parts (served_device.h).
#include <algorithm>
#include <cstring>

#include "fileio/file.h"
#include "fileio/file_in_place.h"
#include "nbdplugin/served_parts.h"

namespace {

std::uint64_t ChunkLength(const ServedDevice& s) { return s.device.header.chunkLength; }
FileHandle Store(const ServedDevice& s) { return s.device.store.get(); }

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

// Notes a change to the Store once it is made (a failed one may have changed
// some bytes too), so that the next flush flushes the Store.
MaybeError StoreWritten(ServedDevice* s, MaybeError error) {
  NoteStoreWritten(s->commits.get());
  return error;
}

// What a chunk's new slot is to hold: its bytes as they are (copied from
// its shared slot, or zeros for an absent chunk), with length bytes at
// within written (bytes) or zeroed (bytes null, keeping the room).
struct Filling {
  std::uint64_t within;
  const unsigned char* bytes;
  std::uint32_t length;
  bool onlyFast;
};

// Fills a new slot at begin for a chunk whose entry is from (a shared slot,
// or ABSENT_CHUNK).
MaybeError Fill(ServedDevice* s, std::uint64_t begin, bool dirty, std::uint32_t from, const Filling& f) {
  const std::uint64_t length = ChunkLength(*s);
  if (f.bytes == nullptr && (from == ABSENT_CHUNK || f.length == length)) {
    return TryZeroRange(Store(*s), begin, length, Zeroing::kKeep, f.onlyFast);  // all zeros, provisioned
  }
  if (from == ABSENT_CHUNK) {
    if (dirty) {
      if (auto error = TryZeroRange(Store(*s), begin, length)) return error;
    }
  } else {
    // What of the shared slot lies past the Store's end reads as zeros here,
    // as a write there in place would leave it.
    const Expected<std::uint64_t> size = TrySize(Store(*s));
    if (!size) return size.error();
    const std::uint64_t source = std::uint64_t{from} * length;
    const std::uint64_t copied = std::min(length, *size > source ? *size - source : 0);
    if (dirty && copied < length) {
      if (auto error = TryZeroRange(Store(*s), begin + copied, length - copied)) return error;
    }
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
    if (auto error = TryCopyBytes(Store(*s), source, Store(*s), begin, copied, buffer.get(), kCopyBufferBytes)) {
      return error;
    }
  }
  if (f.bytes != nullptr) return TryWrite(Store(*s), begin + f.within, f.bytes, f.length);
  return TryZeroRange(Store(*s), begin + f.within, f.length, Zeroing::kKeep, f.onlyFast);
}

// Gives the chunk, whose entry is from (absent, or a slot another chunk may
// name), a slot of its own filled as f says, which its entry names once it
// is filled: a failure leaves nothing behind. False where the entry changed
// meanwhile (another request stored or moved the chunk): nothing is done.
Expected<bool> PutInNewSlot(ServedDevice* s, std::uint32_t chunk, std::uint32_t from, const Filling& f, bool* many) {
  const Expected<NewSlot> slot = TakeNewSlot(s->map.get());
  if (!slot) return slot.error();
  const MaybeError filled = Fill(s, slot->slot * ChunkLength(*s), slot->dirty, from, f);
  NoteStoreWritten(s->commits.get());  // before a commit can see the entry
  if (filled) {
    GiveBackNewSlot(s->map.get(), slot->slot);
    return *filled;
  }
  const Expected<Change> named = NameChunk(s->map.get(), chunk, from, slot->slot);
  if (!named) return named.error();
  *many = named->many;
  return named->before == from;
}

MaybeError WriteInto(ServedDevice* s, std::uint32_t chunk, std::uint64_t within, const unsigned char* bytes,
                     std::uint32_t length, bool* many) {
  for (;;) {  // again only where the entry changed meanwhile
    const Expected<std::uint32_t> entry = LookUp(s->map.get(), chunk);
    if (!entry) return entry.error();
    if (*entry != ABSENT_CHUNK && !MayBeShared(s->map.get(), *entry)) {
      if (auto error = CoverSlot(s->map.get(), *entry)) return error;
      return StoreWritten(s, TryWrite(Store(*s), *entry * ChunkLength(*s) + within, bytes, length));
    }
    if (*entry == ABSENT_CHUNK && IsAllZero(bytes, length)) return std::nullopt;  // zeros where zeros are
    const Expected<bool> put = PutInNewSlot(s, chunk, *entry, Filling{within, bytes, length, false}, many);
    if (!put || *put) return put ? MaybeError() : MaybeError(put.error());
  }
}

MaybeError WritePiece(ServedDevice* s, std::uint32_t chunk, std::uint64_t within, const unsigned char* bytes,
                      std::uint32_t length, bool* many) {
  const SlotUse use(&s->users);
  const MaybeError error = WriteInto(s, chunk, within, bytes, length, many);
  // After the write: a zeroing beside it marks the chunk before it zeroes,
  // so the mark never outlives data written after it.
  NoteWriting(s->map.get(), chunk);
  return error;
}

// Zeros length bytes of the chunk as flags say. With mayTrim, a whole
// stored chunk becomes absent, its slot released and its room given back;
// without, every chunk of the range keeps or takes a slot of its own.
MaybeError ZeroInto(ServedDevice* s, std::uint32_t chunk, std::uint64_t within, std::uint32_t length, ZeroFlags flags,
                    bool* many) {
  const bool whole = length == ChunkLength(*s);
  for (;;) {  // again only where the entry changed meanwhile
    const Expected<std::uint32_t> entry = LookUp(s->map.get(), chunk);
    if (!entry) return entry.error();
    if (*entry == ABSENT_CHUNK && flags.mayTrim) return std::nullopt;
    const bool shared = *entry != ABSENT_CHUNK && MayBeShared(s->map.get(), *entry);
    if (flags.mayTrim && whole) {
      const Expected<Change> made = MakeAbsent(s->map.get(), chunk);
      if (made) {
        *many = made->many;
        // Its bytes may still be read by a request that looked the slot up:
        // they go as zeros, never as another chunk's.
        if (made->before != ABSENT_CHUNK && !MayBeShared(s->map.get(), made->before)) {
          NoteStoreWritten(s->commits.get());
          GiveBackRoom(Store(*s), made->before * ChunkLength(*s), ChunkLength(*s));
        }
        return std::nullopt;
      }
      if (made.error().number != ENOSPC || shared) return made.error();
      // Too much waits for a commit: zeroed in its slot instead.
    }
    MaybeError error;
    if (*entry != ABSENT_CHUNK && !shared) {
      error = CoverSlot(s->map.get(), *entry);
      if (!error) {
        error = StoreWritten(s, TryZeroRange(Store(*s), *entry * ChunkLength(*s) + within, length,
                                             flags.mayTrim ? Zeroing::kGiveBack : Zeroing::kKeep, flags.fast));
      }
    } else {
      const Expected<bool> put = PutInNewSlot(s, chunk, *entry, Filling{within, nullptr, length, flags.fast}, many);
      if (put && !*put) continue;
      if (!put) error = put.error();
    }
    return error;
  }
}

MaybeError ZeroPiece(ServedDevice* s, std::uint32_t chunk, std::uint64_t within, std::uint32_t length, ZeroFlags flags,
                     bool* many) {
  const SlotUse use(&s->users);
  const bool marks = length == ChunkLength(*s) && !flags.mayTrim;
  if (marks) NoteZeroed(s->map.get(), chunk);  // before it zeroes: see WritePiece
  const MaybeError error = ZeroInto(s, chunk, within, length, flags, many);
  if (error && marks) NoteWriting(s->map.get(), chunk);  // what it holds now is not known
  return error;
}

// Runs change on each piece of the range, committing where it says that
// many changes are held, once the piece no longer uses its slot. That
// commit is housekeeping: its failure is the next flush's to answer (a
// failed flush breaks the device at once), not this request's, which took
// effect.
template <typename ChangePiece>
MaybeError ChangeEachPiece(ServedDevice* s, std::uint32_t count, std::uint64_t offset, ChangePiece change) {
  if (auto error = Broken(s->commits.get())) return error;
  return EachPiece(
      *s, count, offset,
      [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t at, std::uint32_t length) -> MaybeError {
        bool many = false;
        if (auto error = change(chunk, within, at, length, &many)) return error;
        if (many) static_cast<void>(CommitIfDue(s->commits.get()));
        return std::nullopt;
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
        return TryRead(Store(*s), *entry * ChunkLength(*s) + within, bytes + at, length);
      });
}

MaybeError WriteServed(ServedDevice* s, const void* buffer, std::uint32_t count, std::uint64_t offset) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  return ChangeEachPiece(s, count, offset,
                         [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t at, std::uint32_t length,
                             bool* many) { return WritePiece(s, chunk, within, bytes + at, length, many); });
}

MaybeError ZeroServed(ServedDevice* s, std::uint32_t count, std::uint64_t offset, ZeroFlags flags) {
  return ChangeEachPiece(s, count, offset,
                         [&](std::uint32_t chunk, std::uint64_t within, std::uint32_t, std::uint32_t length,
                             bool* many) { return ZeroPiece(s, chunk, within, length, flags, many); });
}

MaybeError FlushServed(ServedDevice* s) { return Commit(s->commits.get()); }

std::optional<NativeString> TakeBrokenNotice(ServedDevice* s) { return TakeBrokenNotice(s->commits.get()); }

MaybeError CloseServed(ServedDevice* s) {
  MapCommits* c = s->commits.get();
  if (!WritingHasStarted(c)) return std::nullopt;
  MaybeError error = FlushServed(s);
  const CommitTurn turn(c);
  if (!error) error = ShouldCompact(s) ? CompactStore(&s->device, s->map.get(), c) : CutStore(s->map.get());
  KeepOrDropCopy(c, !error);
  return error;
}

MaybeError ServedExtents(ServedDevice* s, std::uint32_t count, std::uint64_t offset, const AddExtent& add) {
  const std::uint64_t length = ChunkLength(*s);
  std::uint64_t first = offset / length;
  const std::uint64_t end = std::min(offset + count, ServedSize(s));
  const std::uint64_t endChunk = (end + length - 1) / length;
  // A stretch of pages without data is one hole, however long.
  if (const std::uint64_t data = FirstChunkMayHoldData(s->map.get(), first, endChunk); data > first) {
    add(first * length, (data - first) * length, Extent::kHole);
    first = data;
  }
  if (first >= endChunk) return std::nullopt;
  const auto last = static_cast<std::uint32_t>(std::min<std::uint64_t>(endChunk - 1, first + (1u << 16) - 1));
  std::vector<std::uint32_t> entries(last - first + 1);
  std::vector<bool> zeroed;
  if (auto error = ReadServedEntries(s->map.get(), static_cast<std::uint32_t>(first), last - first + 1, entries.data(),
                                     &zeroed)) {
    return error;
  }
  const auto kind = [&](std::uint32_t i) {
    return entries[i] == ABSENT_CHUNK ? Extent::kHole : zeroed[i] ? Extent::kZero : Extent::kData;
  };
  for (std::uint32_t i = 0; i < entries.size();) {
    std::uint32_t j = i + 1;
    while (j < entries.size() && kind(j) == kind(i)) ++j;
    add((first + i) * length, (j - i) * length, kind(i));
    i = j;
  }
  return std::nullopt;
}
