#include "sparsedev/conversion.h"

#include <algorithm>
#include <cstring>

#include "fileio/console.h"
#include "fileio/file.h"
#include "fileio/report.h"
#include "sparsedev/sparse_map.h"

namespace {

// The flat source is viewed this many chunks at a time, or, where it cannot
// be mapped, read kChunksPerRead chunks at a time.
constexpr std::uint32_t kChunksPerView = 128;
constexpr std::uint32_t kChunksPerRead = 16;
constexpr std::uint32_t kReadBlockBytes = kChunksPerRead * DEFAULT_CHUNK_LENGTH;

// Store data is copied to a flat device through a buffer of this size.
constexpr std::uint32_t kCopyBlockBytes = 1 << 20;

// Map entries collected before one write to the Map.
constexpr std::uint32_t kEntriesPerBatch = 16384;

struct EntryBatch {
  FileHandle map;
  std::uint32_t used;
  unsigned char bytes[kEntriesPerBatch * kMapEntrySize];
};

void FlushEntries(EntryBatch* batch) {
  WriteBytes(batch->map, batch->bytes, batch->used * kMapEntrySize);
  batch->used = 0;
}

void AppendEntry(EntryBatch* batch, std::uint32_t entry) {
  if (batch->used == kEntriesPerBatch) FlushEntries(batch);
  StoreLittleEndian32(batch->bytes + batch->used * kMapEntrySize, entry);
  ++batch->used;
}

// The state of one flat-to-sparse conversion.
struct Conversion {
  FileHandle source;
  FileHandle store;
  std::uint32_t chunkCount;
  std::uint32_t allocated;  // chunks stored so far, and the next free slot
  // Chunks that are read rather than viewed land here, and the stored ones
  // stay, compacted at its start, until it is full: scattered chunks then
  // reach the Store in few writes.
  unsigned char* block;  // kReadBlockBytes
  std::uint32_t staged;  // stored chunks at the block's start, not yet written
  EntryBatch* entries;
};

unsigned char* ChunkAt(unsigned char* base, std::uint32_t index) {
  return base + std::size_t{index} * DEFAULT_CHUNK_LENGTH;
}

// Writes the staged chunks to the Store.
void FlushStaged(Conversion* c) {
  if (c->staged == 0) return;
  WriteBytes(c->store, c->block, c->staged * DEFAULT_CHUNK_LENGTH);
  c->staged = 0;
}

// Where count chunks can be read next, after the staged ones.
unsigned char* StagingArea(Conversion* c, std::uint32_t count) {
  if (c->staged + count > kChunksPerRead) FlushStaged(c);
  return ChunkAt(c->block, c->staged);
}

// Records the count chunks just read into the staging area: absent entries
// for zero chunks, the next slots for the others, which stay staged.
void StageChunks(Conversion* c, std::uint32_t count) {
  unsigned char* area = ChunkAt(c->block, c->staged);
  for (std::uint32_t i = 0; i < count; ++i) {
    unsigned char* chunk = ChunkAt(area, i);
    if (IsZeroChunk(chunk, DEFAULT_CHUNK_LENGTH)) {
      AppendEntry(c->entries, ABSENT_CHUNK);
      continue;
    }
    unsigned char* kept = ChunkAt(c->block, c->staged++);
    if (kept != chunk) std::memmove(kept, chunk, DEFAULT_CHUNK_LENGTH);
    AppendEntry(c->entries, c->allocated++);
  }
}

// Records count chunks viewed at data: absent entries for zero chunks, the
// next slots for the others, each run of which goes to the Store in one
// write straight from the view.
void StoreViewedChunks(Conversion* c, const unsigned char* data, std::uint32_t count) {
  FlushStaged(c);  // the Store is written in slot order
  std::uint32_t runStart = 0;
  std::uint32_t runLength = 0;
  const auto writeRun = [&] {
    if (runLength == 0) return;
    WriteBytes(c->store, data + std::size_t{runStart} * DEFAULT_CHUNK_LENGTH,
               runLength * DEFAULT_CHUNK_LENGTH);
    runLength = 0;
  };
  for (std::uint32_t i = 0; i < count; ++i) {
    if (IsZeroChunk(data + std::size_t{i} * DEFAULT_CHUNK_LENGTH, DEFAULT_CHUNK_LENGTH)) {
      writeRun();
      AppendEntry(c->entries, ABSENT_CHUNK);
    } else {
      if (runLength++ == 0) runStart = i;
      AppendEntry(c->entries, c->allocated++);
    }
  }
  writeRun();
}

// Converts up to count whole chunks from first on, all before the device's
// last chunk, and returns how many it converted.
std::uint32_t ConvertWholeChunks(Conversion* c, std::uint32_t first, std::uint32_t count) {
  const std::uint64_t offset = std::uint64_t{first} * DEFAULT_CHUNK_LENGTH;
  // Mapping pays off only for long stretches; a few chunks are read.
  if (count > kChunksPerRead) {
    count = std::min(count, kChunksPerView);
    const std::size_t length = std::size_t{count} * DEFAULT_CHUNK_LENGTH;
    if (const unsigned char* view = MapView(c->source, offset, length)) {
      StoreViewedChunks(c, view, count);
      UnmapView(view, length);
      return count;
    }
  }
  count = std::min(count, kChunksPerRead);
  unsigned char* area = StagingArea(c, count);
  SeekTo(c->source, offset);
  ReadBytes(c->source, area, count * DEFAULT_CHUNK_LENGTH, false);
  StageChunks(c, count);
  return count;
}

// Converts the device's last chunk, which the source may hold only in part;
// its missing bytes are zeros, and a stored last chunk is stored whole.
void ConvertLastChunk(Conversion* c) {
  unsigned char* area = StagingArea(c, 1);
  std::memset(area, 0, DEFAULT_CHUNK_LENGTH);
  SeekTo(c->source, std::uint64_t{c->chunkCount - 1} * DEFAULT_CHUNK_LENGTH);
  ReadBytes(c->source, area, DEFAULT_CHUNK_LENGTH, true);
  StageChunks(c, 1);
}

// Converts every chunk, reading only the chunks that touch the source's
// data ranges; chunks wholly in a hole are absent without being read.
void ConvertChunks(Conversion* c, std::uint64_t sourceSize) {
  std::uint32_t chunk = 0;
  while (chunk < c->chunkCount) {
    const std::uint64_t at = std::uint64_t{chunk} * DEFAULT_CHUNK_LENGTH;
    const std::optional<DataRange> data = NextDataRange(c->source, at, sourceSize);
    const std::uint32_t dataStart =
        data ? static_cast<std::uint32_t>(data->begin / DEFAULT_CHUNK_LENGTH) : c->chunkCount;
    for (; chunk < dataStart; ++chunk) AppendEntry(c->entries, ABSENT_CHUNK);
    if (!data) break;

    const auto dataEnd = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        c->chunkCount, (data->end + DEFAULT_CHUNK_LENGTH - 1) / DEFAULT_CHUNK_LENGTH));
    const std::uint32_t wholeEnd = std::min(dataEnd, c->chunkCount - 1);
    while (chunk < wholeEnd) {
      chunk += ConvertWholeChunks(c, chunk, wholeEnd - chunk);
      AdvancePhase(chunk);
    }
    if (chunk < dataEnd) {
      ConvertLastChunk(c);
      ++chunk;
    }
  }
  FlushStaged(c);
}

}  // namespace

bool IsZeroChunk(const unsigned char* buffer, std::size_t length) {
  // Every byte equals the one after it and the first is zero: one memcmp of
  // the buffer against itself runs at memory speed.
  return length == 0 || (buffer[0] == 0 && std::memcmp(buffer, buffer + 1, length - 1) == 0);
}

void FlatToSparse(const NativeChar* source, const NativeChar* destination) {
  const NativeString mapPath = MapPath(destination);
  const NativeString storePath = StorePath(destination);
  Conversion c{};
  c.source = OpenExisting(source, false);
  const std::uint64_t sourceSize = GetSize(c.source);
  PrintProgress("Flat block device is %llu bytes\n", static_cast<unsigned long long>(sourceSize));
  c.chunkCount = ChunkCountFor(sourceSize, DEFAULT_CHUNK_LENGTH);
  MakeDirectory(destination);
  PrintProgress("Creating sparse block device of %llu bytes\n",
                static_cast<unsigned long long>(std::uint64_t{c.chunkCount} *
                                                DEFAULT_CHUNK_LENGTH));
  PrintProgress("Chunk length = %u\n", DEFAULT_CHUNK_LENGTH);
  PrintProgress("Chunk count = %u\n", c.chunkCount);
  PrintProgress("Creating map...\n");
  const FileHandle map = CreateAlways(mapPath.c_str());
  WriteMapHeader(map, NewMapHeader(c.chunkCount, 0));
  PrintProgress("Creating store...\n");
  c.store = CreateAlways(storePath.c_str());

  BeginPhase("Populating store...", c.chunkCount);
  c.block = AllocateZeroed(kReadBlockBytes + sizeof(EntryBatch));
  c.entries = reinterpret_cast<EntryBatch*>(c.block + kReadBlockBytes);
  c.entries->map = map;
  ConvertChunks(&c, sourceSize);
  // Holes are not read, so a source cut short while we worked would pass
  // unseen; every chunk but the last must still be there in full.
  const std::uint64_t wholeChunks =
      c.chunkCount == 0 ? 0 : std::uint64_t{c.chunkCount - 1} * DEFAULT_CHUNK_LENGTH;
  if (GetSize(c.source) < wholeChunks) FatalShortRead();
  FlushEntries(c.entries);
  FreeBuffer(c.block);
  EndPhase();

  SeekTo(map, 0);
  WriteMapHeader(map, NewMapHeader(c.chunkCount, c.allocated));
  PrintProgress("Cleaning up...\n");
  CloseFile(c.source);
  CloseFile(map);
  CloseFile(c.store);
}

namespace {

// Copies count bytes from the Store's file position to the destination.
void CopyStoreBytes(FileHandle store, FileHandle destination, unsigned char* buffer,
                    std::uint64_t count) {
  while (count > 0) {
    const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, kCopyBlockBytes));
    ReadBytes(store, buffer, piece, false);
    WriteBytes(destination, buffer, piece);
    count -= piece;
  }
}

std::uint32_t EntryAt(const unsigned char* entries, std::uint32_t i) {
  return LoadLittleEndian32(entries + std::size_t{i} * kMapEntrySize);
}

// The end of the run of chunks from first on that are all absent, or whose
// slots follow each other, so that the run is one range of the Store.
std::uint32_t RunEnd(const unsigned char* entries, std::uint32_t first, std::uint32_t count) {
  const std::uint32_t entry = EntryAt(entries, first);
  std::uint32_t end = first + 1;
  if (entry == ABSENT_CHUNK) {
    while (end < count && EntryAt(entries, end) == ABSENT_CHUNK) ++end;
  } else {
    while (end < count && EntryAt(entries, end) != ABSENT_CHUNK &&
           EntryAt(entries, end) - entry == end - first) {
      ++end;
    }
  }
  return end;
}

}  // namespace

void SparseToFlat(const NativeChar* source, const NativeChar* destination) {
  const NativeString mapPath = MapPath(source);
  const NativeString storePath = StorePath(source);
  const LoadedMap map = LoadMap(mapPath, false);
  PrintProgress("Verifying map...\n");
  VerifyMap(map.bytes, map.length);
  const MapHeader header = DecodeMapHeader(map.bytes);
  const std::uint64_t length = header.chunkLength;
  PrintProgress("Creating flat block device of %llu bytes\n",
                static_cast<unsigned long long>(header.chunkCount * length));
  PrintProgress("Creating flat block device...\n");
  const FileHandle store = OpenExisting(storePath.c_str(), false);
  const FileHandle flat = CreateAlways(destination);
  unsigned char* buffer = AllocateZeroed(kCopyBlockBytes);

  BeginPhase("Populating flat block device...", header.chunkCount);
  // With the whole device reserved up front, absent chunks need no work at
  // all: they are passed over and read as zeros. Otherwise they are written.
  const std::uint64_t size = header.chunkCount * length;
  const bool reserved = ReserveSpace(flat, size);
  const unsigned char* entries = map.bytes + kMapHeaderSize;
  std::uint64_t storePosition = 0;
  std::uint64_t flatPosition = 0;  // the destination's file position
  std::uint64_t done = 0;          // bytes of the device dealt with
  for (std::uint32_t first = 0; first < header.chunkCount;) {
    const std::uint32_t end = RunEnd(entries, first, header.chunkCount);
    const std::uint64_t bytes = (end - first) * length;
    const std::uint32_t entry = EntryAt(entries, first);
    if (entry == ABSENT_CHUNK) {
      if (!reserved) {
        AppendZeros(flat, bytes);
        flatPosition += bytes;
      }
    } else {
      const std::uint64_t offset = entry * length;
      if (offset != storePosition) SeekTo(store, offset);
      if (done != flatPosition) SeekTo(flat, done);
      CopyStoreBytes(store, flat, buffer, bytes);
      storePosition = offset + bytes;
      flatPosition = done + bytes;
    }
    done += bytes;
    first = end;
    AdvancePhase(first);
  }
  // Absent chunks at the end were passed over: the length covers them.
  if (flatPosition != size) SetSize(flat, size);
  EndPhase();

  PrintProgress("Cleaning up...\n");
  FreeBuffer(map.bytes);
  FreeBuffer(buffer);
  CloseFile(flat);
  CloseFile(map.file);
  CloseFile(store);
}
