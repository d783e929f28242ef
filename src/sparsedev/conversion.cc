#include "sparsedev/conversion.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "fileio/file.h"
#include "fileio/progress.h"
#include "fileio/report.h"
#include "sparsedev/sparse_device.h"
#include "sparsedev/sparse_map.h"

namespace {

constexpr std::uint64_t kChunk = DEFAULT_CHUNK_LENGTH;

// The flat source is read this many chunks at a time into one reused block.
constexpr std::uint32_t kChunksPerRead = 8;

// Runs of stored data at least this long are handed to the file system to
// copy or share; shorter ones cost more that way than they gain (measured).
constexpr std::uint64_t kShareAtLeast = 512 << 10;

// Store data is copied to a flat device through a buffer of this size.
constexpr std::size_t kCopyBlockBytes = 1 << 20;

// The source is asked for this far ahead of the reads, so that a disk is
// kept busy while a block is checked and written.
constexpr std::uint64_t kReadAhead = 16 << 20;

// Written data is handed to writeback in steps of this size, so that the
// final flush finds little left to do.
constexpr std::uint64_t kWritebackStep = 8 << 20;

// Output written but not yet handed to writeback.
struct Writeback {
  FileHandle file;
  std::uint64_t from;
  std::uint64_t to;
};

void NoteWritten(Writeback* w, std::uint64_t offset, std::uint64_t length) {
  if (offset != w->to || w->to - w->from >= kWritebackStep) {
    if (w->to > w->from) StartWriteback(w->file, w->from, w->to - w->from);
    w->from = offset;
  }
  w->to = offset + length;
}

// Map entries collected and written a block at a time.
struct EntryWriter {
  FileHandle map;
  std::uint32_t first;  // index of the first entry held
  std::uint32_t used;
  std::unique_ptr<unsigned char[]> bytes;
};

void FlushEntries(EntryWriter* w) {
  WriteBytes(w->map, EntryOffset(w->first), w->bytes.get(), std::size_t{w->used} * kMapEntrySize);
  w->first += w->used;
  w->used = 0;
}

void AppendEntry(EntryWriter* w, std::uint32_t entry) {
  if (w->used == kEntriesPerBlock) FlushEntries(w);
  StoreLittleEndian32(w->bytes.get() + std::size_t{w->used} * kMapEntrySize, entry);
  ++w->used;
}

// A run of stored chunks that follow each other in the source and so in the
// Store; written bytes are its first ones already in the Store.
struct StoredRun {
  std::uint64_t source;  // offset in the source
  std::uint64_t store;   // offset in the Store
  std::uint64_t length;
  std::uint64_t written;
};

// A block of the source as read into memory.
struct Block {
  std::unique_ptr<unsigned char[]> bytes;
  std::uint64_t offset;
  std::uint64_t length;
};

// The state of one flat-to-sparse conversion.
struct Conversion {
  OwnedFile source;
  std::uint64_t sourceSize;
  OwnedFile store;
  std::uint32_t chunkCount;
  std::uint32_t allocated;  // chunks stored so far, and the next free slot
  Block blocks[2];          // read in turn, so a run may begin in the one before
  int current;
  StoredRun run;
  EntryWriter entries;
  Writeback writeback;
  std::uint64_t readAheadEnd;  // the source is asked for up to here
};

// Whether all length bytes of buffer are zero (true for a length of 0).
bool IsZeroChunk(const unsigned char* buffer, std::size_t length) {
  // Every byte equals the one after it and the first is zero: one memcmp of
  // the buffer against itself runs at memory speed.
  return length == 0 || (buffer[0] == 0 && std::memcmp(buffer, buffer + 1, length - 1) == 0);
}

// Writes the run's bytes up to upTo from the blocks in memory that hold them.
void WriteRunFromBlocks(Conversion* c, std::uint64_t upTo) {
  StoredRun& run = c->run;
  for (int i : {c->current ^ 1, c->current}) {
    const Block& block = c->blocks[i];
    const std::uint64_t begin = std::max(run.source + run.written, block.offset);
    const std::uint64_t end = std::min(run.source + upTo, block.offset + block.length);
    if (begin >= end) continue;
    WriteBytes(c->store, run.store + (begin - run.source), block.bytes.get() + (begin - block.offset),
               static_cast<std::size_t>(end - begin));
    run.written = end - run.source;
  }
}

// Puts the run in the Store: a long one is handed to the file system, which
// shares its blocks where it can; a short one, for which that costs more than
// it gains, is written from the blocks in memory. The source's bytes past its
// end are zeros in the Store.
void EndRun(Conversion* c) {
  StoredRun& run = c->run;
  if (run.length == 0) return;
  if (run.length - run.written >= kShareAtLeast) {
    const std::uint64_t from = run.source + run.written;
    const std::uint64_t held = std::min(run.source + run.length, c->sourceSize) - std::min(from, c->sourceSize);
    // What the file system declines is read again into the block before, which
    // holds nothing of a run that is handed over.
    Block& spare = c->blocks[c->current ^ 1];
    spare.length = 0;
    CopyBytes(c->source, from, c->store, run.store + run.written, held, spare.bytes.get(), kChunksPerRead * kChunk);
    WriteFill(c->store, run.store + run.written + held, run.length - run.written - held, 0);
  } else {
    WriteRunFromBlocks(c, run.length);
  }
  NoteWritten(&c->writeback, run.store, run.length);
  run.length = 0;
}

// Reads count chunks from first on into the next block and converts them:
// absent entries for zero chunks, the next slots for the others. A run of
// stored chunks may go on into the next block, so it is put in the Store
// only once it ends. The source's last chunk may be short; its missing bytes
// are zeros.
void ConvertBlock(Conversion* c, std::uint32_t first, std::uint32_t count) {
  // The block about to be read over may hold the start of a short run.
  Block& block = c->blocks[c->current ^= 1];
  if (c->run.length > 0 && c->run.length < kShareAtLeast && block.offset + block.length > c->run.source) {
    WriteRunFromBlocks(c, std::min(c->run.length, block.offset + block.length - c->run.source));
  }
  block.offset = first * kChunk;
  block.length = count * kChunk;
  const auto held = static_cast<std::size_t>(std::min<std::uint64_t>(block.length, c->sourceSize - block.offset));
  ReadBytes(c->source, block.offset, block.bytes.get(), held);
  std::memset(block.bytes.get() + held, 0, block.length - held);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t offset = block.offset + i * kChunk;
    if (IsZeroChunk(block.bytes.get() + i * kChunk, kChunk)) {
      EndRun(c);
      AppendEntry(&c->entries, ABSENT_CHUNK);
      continue;
    }
    if (c->run.length == 0 || c->run.source + c->run.length != offset) {
      EndRun(c);
      c->run = StoredRun{offset, c->allocated * kChunk, 0, 0};
    }
    c->run.length += kChunk;
    AppendEntry(&c->entries, c->allocated++);
  }
}

// Converts every chunk, reading only the chunks that touch the source's
// data ranges; chunks wholly in a hole are absent without being read.
void ConvertChunks(Conversion* c) {
  std::uint32_t chunk = 0;
  while (chunk < c->chunkCount) {
    const std::optional<DataRange> data = NextDataRange(c->source, chunk * kChunk, c->sourceSize);
    const std::uint32_t dataStart = data ? static_cast<std::uint32_t>(data->begin / kChunk) : c->chunkCount;
    for (; chunk < dataStart; ++chunk) AppendEntry(&c->entries, ABSENT_CHUNK);
    if (!data) break;
    const auto dataEnd =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(c->chunkCount, (data->end + kChunk - 1) / kChunk));
    while (chunk < dataEnd) {
      // Read-ahead stays inside the data: asked of a hole, it would fill
      // memory with pages of zeros.
      const std::uint64_t offset = chunk * kChunk;
      if (dataEnd - chunk > kChunksPerRead && offset + kReadAhead / 2 > c->readAheadEnd) {
        c->readAheadEnd = std::min(offset + kReadAhead, dataEnd * kChunk);
        ReadAhead(c->source, offset, c->readAheadEnd - offset);
      }
      const std::uint32_t count = std::min(kChunksPerRead, dataEnd - chunk);
      ConvertBlock(c, chunk, count);
      chunk += count;
      AdvancePhase(chunk);
    }
  }
  EndRun(c);
}

}  // namespace

void FlatToSparse(const NativeChar* source, const NativeChar* destination) {
  const NativeString mapPath = MapPath(destination);
  const NativeString storePath = StorePath(destination);
  Conversion c{};
  c.source = OpenExisting(source, Access::kReadOnly);
  c.sourceSize = GetSize(c.source);
  PrintProgress("Flat block device is %llu bytes\n", static_cast<unsigned long long>(c.sourceSize));
  c.chunkCount = ChunkCountFor(c.sourceSize, DEFAULT_CHUNK_LENGTH);
  MakeDirectory(destination);
  PrintProgress("Creating sparse block device of %llu bytes\n", static_cast<unsigned long long>(c.chunkCount * kChunk));
  const OwnedFile map = CreateMap(mapPath, c.chunkCount);
  c.store = CreateStore(storePath);

  BeginPhase("Populating store...", c.chunkCount);
  for (Block& block : c.blocks) {
    block = Block{std::make_unique_for_overwrite<unsigned char[]>(kChunksPerRead * kChunk), 0, 0};
  }
  c.entries = EntryWriter{
      map, 0, 0, std::make_unique_for_overwrite<unsigned char[]>(std::size_t{kEntriesPerBlock} * kMapEntrySize)};
  c.writeback = Writeback{c.store, 0, 0};
  ConvertChunks(&c);
  // Holes are not read, so a source cut short while we worked would pass
  // unseen; every chunk but the last must still be there in full.
  if (c.chunkCount > 0 && GetSize(c.source) < (c.chunkCount - 1) * kChunk) {
    Fatal(NATIVE("Short read from file"));
  }
  FlushEntries(&c.entries);
  EndPhase();

  FinishSparseDevice(destination, map, c.store, NewMapHeader(c.chunkCount, c.allocated));
  PrintProgress("Cleaning up...\n");
}

namespace {

// A run of chunks that are all absent, or whose slots follow each other, so
// that the run is one range of the Store.
struct Run {
  std::uint32_t first;
  std::uint32_t count;
  std::uint32_t slot;  // of the first chunk, or ABSENT_CHUNK
};

bool Continues(const Run& run, std::uint32_t entry) {
  if (run.slot == ABSENT_CHUNK || entry == ABSENT_CHUNK) return run.slot == entry;
  return entry - run.slot == run.count;
}

// The state of one sparse-to-flat conversion.
struct Expansion {
  OwnedFile store;
  OwnedFile flat;
  std::uint64_t chunkLength;
  bool reserved;      // absent chunks read as zeros without being written
  std::uint64_t end;  // the flat device's length so far
  std::unique_ptr<unsigned char[]> buffer;
  Writeback writeback;
};

// Writes the run's chunks to the flat device at their place.
void WriteRun(Expansion* e, const Run& run) {
  const std::uint64_t at = run.first * e->chunkLength;
  const std::uint64_t length = run.count * e->chunkLength;
  if (run.slot == ABSENT_CHUNK) {
    if (e->reserved) return;
    WriteFill(e->flat, at, length, 0);
  } else if (length >= kShareAtLeast) {
    CopyBytes(e->store, run.slot * e->chunkLength, e->flat, at, length, e->buffer.get(), kCopyBlockBytes);
  } else {
    ReadBytes(e->store, run.slot * e->chunkLength, e->buffer.get(), length);
    WriteBytes(e->flat, at, e->buffer.get(), length);
  }
  NoteWritten(&e->writeback, at, length);
  e->end = at + length;
}

// Reads the Map's entries a block at a time and writes each run of them.
void ExpandEntries(Expansion* e, FileHandle map, std::uint32_t chunkCount) {
  const auto entries = std::make_unique_for_overwrite<unsigned char[]>(std::size_t{kEntriesPerBlock} * kMapEntrySize);
  Run run{0, 0, ABSENT_CHUNK};
  for (std::uint32_t first = 0; first < chunkCount;) {
    const std::uint32_t count = std::min(kEntriesPerBlock, chunkCount - first);
    ReadEntries(map, first, count, entries.get());
    if (run.slot == ABSENT_CHUNK && AllAbsent(entries.get(), count)) {
      run.count += count;
    } else {
      for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t entry = LoadLittleEndian32(entries.get() + i * kMapEntrySize);
        if (Continues(run, entry)) {
          ++run.count;
          continue;
        }
        if (run.count > 0) WriteRun(e, run);
        run = Run{first + i, 1, entry};
      }
    }
    first += count;
    AdvancePhase(first);
  }
  if (run.count > 0) WriteRun(e, run);
}

}  // namespace

void SparseToFlat(const NativeChar* source, const NativeChar* destination) {
  const NativeString mapPath = MapPath(source);
  const NativeString storePath = StorePath(source);
  const OpenedMap map = OpenMap(mapPath, Access::kReadOnly);
  PrintProgress("Verifying map...\n");
  const MapHeader header = VerifyMap(map);
  const std::uint64_t size = header.chunkCount * std::uint64_t{header.chunkLength};
  PrintProgress("Creating flat block device of %llu bytes\n", static_cast<unsigned long long>(size));
  PrintProgress("Creating flat block device...\n");
  Expansion e{};
  e.store = OpenExisting(storePath.c_str(), Access::kReadOnly);
  e.flat = CreateAlways(destination);
  e.chunkLength = header.chunkLength;
  e.buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBlockBytes);
  e.writeback = Writeback{e.flat, 0, 0};

  BeginPhase("Populating flat block device...", header.chunkCount);
  // With the whole device reserved up front, absent chunks need no work at
  // all: they are passed over and read as zeros. Should the run fail or be
  // interrupted, even while the room is asked for, the reservation past the
  // length reached goes back.
  const CutOnFailure cut(e.flat, kCurrentLength);
  e.reserved = ReserveSpace(e.flat, size);
  ExpandEntries(&e, map.file, header.chunkCount);
  // Absent chunks at the end were passed over: the length covers them.
  if (e.end < size) SetReservedSize(e.flat, size);
  EndPhase();

  FlushFile(e.flat);
  FlushParentDirectory(destination);
  PrintProgress("Cleaning up...\n");
}
