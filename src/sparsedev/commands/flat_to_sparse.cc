// Flat-to-sparse conversion. Only the source's data is read: the parts of a
// chunk that lie in holes are zeros without being read, and stay holes in
// the Store, which reads them as zeros just the same.
#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "fileio/checked/checked_file.h"
#include "fileio/checked/progress.h"
#include "fileio/checked/report.h"
#include "sparsedev/commands/sparse_commands.h"
#include "sparsedev/sparse_map.h"

namespace {

constexpr std::uint64_t kChunk = DEFAULT_CHUNK_LENGTH;

// The source is read this many chunks at a time, into a ring of blocks: as
// cp reads, 128 KiB, which stays in every processor's cache between the
// read, the check and the write (512 KiB did not on some, measured).
constexpr std::uint32_t kChunksPerBlock = 2;
constexpr std::uint64_t kBlockBytes = kChunksPerBlock * kChunk;

// A segment shorter than kShareAtLeast is written from memory when it ends.
// A segment goes on into a block only from whole blocks just before it, so
// it lies within the block it ends in and as many before as its length
// needs: the ring holds that many.
constexpr int kBlocksHeld = static_cast<int>((kShareAtLeast + kBlockBytes - 1) / kBlockBytes) + 1;

// The source is asked for this far ahead of the reads, inside its data, so
// that a disk is kept busy while a block is checked and written.
constexpr std::uint64_t kReadAhead = 16 << 20;

// A range of the source: [begin, end).
struct Piece {
  std::uint64_t begin;
  std::uint64_t end;
};

// Where the source's data lies, found ahead of the reads so that read-ahead
// can be asked for the data, and only for it.
struct DataCursor {
  FileHandle file;
  std::uint64_t size;
  std::deque<DataRange> ranges;  // found and not yet passed, in order
  std::uint64_t foundTo;         // no range before this is still to be found
  std::uint64_t readAheadTo;     // read-ahead is asked up to here
  bool uncached;                 // a read found the source not in memory
};

// Finds the next range of data, if there is one.
void FindRange(DataCursor* d) {
  const std::optional<DataRange> range = NextDataRange(d->file, d->foundTo, d->size);
  d->foundTo = range ? range->end : d->size;
  if (range) d->ranges.push_back(*range);
}

// The first data range that ends after offset, or nothing when the rest of
// the source is a hole.
const DataRange* DataAfter(DataCursor* d, std::uint64_t offset) {
  while (!d->ranges.empty() && d->ranges.front().end <= offset) d->ranges.pop_front();
  if (d->ranges.empty() && d->foundTo < d->size) {
    d->foundTo = std::max(d->foundTo, offset);
    FindRange(d);
  }
  return d->ranges.empty() ? nullptr : &d->ranges.front();
}

// Appends the pieces of data in [from, to) to pieces, in order.
void FindData(DataCursor* d, std::uint64_t from, std::uint64_t to, std::vector<Piece>* pieces) {
  while (from < to) {
    const DataRange* range = DataAfter(d, from);
    if (range == nullptr || range->begin >= to) return;
    const Piece piece{std::max(from, range->begin), std::min(range->end, to)};
    pieces->push_back(piece);
    from = piece.end;
  }
}

// Map entries collected and written a block at a time.
struct EntryWriter {
  FileHandle map;
  std::uint32_t first;  // index of the first entry held
  std::uint32_t used;
  std::unique_ptr<unsigned char[]> bytes;
};

void WriteHeldEntries(EntryWriter* w) {
  WriteBytes(w->map, EntryOffset(w->first), w->bytes.get(), std::size_t{w->used} * kMapEntrySize);
  w->first += w->used;
  w->used = 0;
}

void AppendEntry(EntryWriter* w, std::uint32_t entry) {
  if (w->used == kEntriesPerBlock) WriteHeldEntries(w);
  StoreLittleEndian32(w->bytes.get() + std::size_t{w->used} * kMapEntrySize, entry);
  ++w->used;
}

// Contiguous data in consecutive stored chunks: one range of the source and
// one of the Store, written at once when it ends.
struct Segment {
  std::uint64_t source;  // offset in the source
  std::uint64_t store;   // offset in the Store
  std::uint64_t length;
};

// Source bytes held in memory: the data pieces of a block of chunks, read
// where they lie.
struct Block {
  std::unique_ptr<unsigned char[]> bytes;
  std::uint64_t offset;  // of the block in the source
  std::uint64_t length;  // 0 while nothing is held
};

// The state of one flat-to-sparse conversion.
struct FlatToSparseState {
  FileHandle source;
  std::uint64_t sourceSize;
  FileHandle store;
  std::uint32_t chunkCount;
  std::uint32_t allocated;  // chunks stored so far, and the next free slot
  DataCursor data;
  std::vector<Piece> pieces;  // the data of the current block
  Block blocks[kBlocksHeld];  // read in turn, so a segment may begin in one before
  int current;
  Segment segment;
  EntryWriter entries;
  Writeback writeback;
  std::unique_ptr<unsigned char[]> copyBuffer;
};

// Writes the segment's bytes from the blocks in memory that hold them.
void WriteSegmentFromBlocks(FlatToSparseState* s) {
  const Segment& segment = s->segment;
  for (int i = 1; i <= kBlocksHeld; ++i) {
    const Block& block = s->blocks[(s->current + i) % kBlocksHeld];
    const std::uint64_t begin = std::max(segment.source, block.offset);
    const std::uint64_t end = std::min(segment.source + segment.length, block.offset + block.length);
    if (begin >= end) continue;
    WriteBytes(s->store, segment.store + (begin - segment.source), block.bytes.get() + (begin - block.offset),
               static_cast<std::size_t>(end - begin));
  }
}

// Puts the segment in the Store: a long one is handed to the file system,
// which shares its blocks where it can; a short one, for which that costs
// more than it gains, is written from memory.
void EndSegment(FlatToSparseState* s) {
  Segment& segment = s->segment;
  if (segment.length == 0) return;
  if (segment.length >= kShareAtLeast) {
    CopyBytes(s->source, segment.source, s->store, segment.store, segment.length, s->copyBuffer.get(),
              kCopyBufferBytes);
  } else {
    WriteSegmentFromBlocks(s);
  }
  NoteWritten(&s->writeback, segment.store, segment.length);
  segment.length = 0;
}

// Adds a piece of data of a stored chunk whose slot begins at slotOffset in
// the Store, continuing the segment where it follows on.
void AddStoredPiece(FlatToSparseState* s, const Piece& piece, std::uint64_t chunkOffset, std::uint64_t slotOffset) {
  Segment& segment = s->segment;
  if (segment.length > 0 && segment.source + segment.length == piece.begin) {
    segment.length += piece.end - piece.begin;
    return;
  }
  EndSegment(s);
  segment = Segment{piece.begin, slotOffset + (piece.begin - chunkOffset), piece.end - piece.begin};
}

// The part of a piece that reaches into the chunk at chunk.
Piece InChunk(const Piece& piece, std::uint64_t chunk) {
  return Piece{std::max(piece.begin, chunk), std::min(piece.end, chunk + kChunk)};
}

// Asks for the data in the kReadAhead bytes after offset to be read, range
// by range (asked of a hole, read-ahead would fill memory with pages of
// zeros), whenever less than half of that is asked for already. Only once a
// read has had to wait: asked of data in memory, it would walk every page
// for nothing.
void ReadAheadInData(DataCursor* d, std::uint64_t offset) {
  if (!d->uncached || offset + kReadAhead / 2 <= d->readAheadTo) return;
  const std::uint64_t from = std::max(offset, d->readAheadTo);
  d->readAheadTo = offset + kReadAhead;
  while (d->foundTo < std::min(d->readAheadTo, d->size)) FindRange(d);
  for (const DataRange& range : d->ranges) {
    const std::uint64_t begin = std::max(range.begin, from);
    const std::uint64_t end = std::min(range.end, d->readAheadTo);
    if (begin < end) ReadAhead(d->file, begin, end - begin);
  }
}

// Reads the data of count chunks from firstChunk on into the next block and
// converts them: absent entries for chunks whose data is all zeros, the next
// slots for the others. A segment may go on into the next block, so it is
// put in the Store only once it ends. The source's last chunk may be short;
// its missing bytes are zeros.
void ConvertBlock(FlatToSparseState* s, std::uint32_t firstChunk, std::uint32_t count) {
  Block& block = s->blocks[s->current = (s->current + 1) % kBlocksHeld];
  block.offset = firstChunk * kChunk;
  block.length = count * kChunk;
  s->pieces.clear();
  FindData(&s->data, block.offset, block.offset + block.length, &s->pieces);
  for (const Piece& piece : s->pieces) {
    unsigned char* into = block.bytes.get() + (piece.begin - block.offset);
    const auto length = static_cast<std::size_t>(piece.end - piece.begin);
    const std::size_t cached = ReadCached(s->source, piece.begin, into, length);
    if (cached == length) continue;
    s->data.uncached = true;
    ReadBytes(s->source, piece.begin + cached, into + cached, length - cached);
  }
  ReadAheadInData(&s->data, block.offset + block.length);
  std::size_t first = 0;  // the pieces [first, last) reach into the chunk
  for (std::uint64_t chunk = block.offset; chunk < block.offset + block.length; chunk += kChunk) {
    while (first < s->pieces.size() && s->pieces[first].end <= chunk) ++first;
    std::size_t last = first;
    while (last < s->pieces.size() && s->pieces[last].begin < chunk + kChunk) ++last;
    bool stored = false;
    for (std::size_t i = first; i < last && !stored; ++i) {
      const Piece piece = InChunk(s->pieces[i], chunk);
      stored = !IsAllZero(block.bytes.get() + (piece.begin - block.offset),
                          static_cast<std::size_t>(piece.end - piece.begin));
    }
    if (!stored) {
      EndSegment(s);
      AppendEntry(&s->entries, ABSENT_CHUNK);
      continue;
    }
    const std::uint64_t slotOffset = s->allocated * kChunk;
    AppendEntry(&s->entries, s->allocated++);
    for (std::size_t i = first; i < last; ++i) AddStoredPiece(s, InChunk(s->pieces[i], chunk), chunk, slotOffset);
  }
}

// Converts every chunk, reading only the data; chunks wholly in a hole are
// absent without being read.
void ConvertChunks(FlatToSparseState* s) {
  std::uint32_t chunk = 0;
  while (chunk < s->chunkCount) {
    const DataRange* data = DataAfter(&s->data, chunk * kChunk);
    const std::uint32_t dataChunk =
        data ? static_cast<std::uint32_t>(std::max(data->begin, chunk * kChunk) / kChunk) : s->chunkCount;
    if (dataChunk > chunk) EndSegment(s);  // absent chunks end it
    for (; chunk < dataChunk; ++chunk) AppendEntry(&s->entries, ABSENT_CHUNK);
    if (chunk == s->chunkCount) break;
    const std::uint32_t count = std::min(kChunksPerBlock, s->chunkCount - chunk);
    ConvertBlock(s, chunk, count);
    chunk += count;
    AdvancePhase(chunk);
  }
  EndSegment(s);
}

}  // namespace

void FlatToSparse(const NativeChar* source, const NativeChar* destination) {
  NewSparseDevice device{OrExit(SparsePathsOf(destination)), OwnedDirectory(), OwnedFile(), OwnedFile()};
  const OwnedFile flat = OpenExisting(source, Access::kReadOnly);
  FlatToSparseState s{};
  s.source = flat.get();
  s.sourceSize = GetSize(s.source);
  PrintProgress("Flat block device is %llu bytes\n", static_cast<unsigned long long>(s.sourceSize));
  s.chunkCount = ChunkCountOrExit(s.sourceSize, DEFAULT_CHUNK_LENGTH);
  OrExit(MakeDeviceDirectory(&device));
  PrintNewDeviceSize(s.chunkCount * kChunk);
  CreateMap(&device, s.chunkCount);
  CreateStore(&device);
  s.store = device.store.get();

  BeginPhase("Populating store...", s.chunkCount);
  for (Block& block : s.blocks) block = Block{std::make_unique_for_overwrite<unsigned char[]>(kBlockBytes), 0, 0};
  s.copyBuffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
  s.entries = EntryWriter{device.map.get(), 0, 0, NewEntryBlock()};
  s.data = DataCursor{s.source, s.sourceSize, {}, 0, 0, false};
  s.writeback = Writeback{s.store, 0, 0};
  ConvertChunks(&s);
  // Holes are not read, so a source cut short while we worked would pass
  // unseen; every chunk but the last must still be there in full.
  if (s.chunkCount > 0 && GetSize(s.source) < (s.chunkCount - 1) * kChunk) {
    Fatal(ShortRead());
  }
  // Slots hold whole chunks; what was not written (holes, the zeros past the
  // source's end) reads as zeros and takes no room.
  SetSizeWithoutReserving(s.store, s.allocated * kChunk);
  WriteHeldEntries(&s.entries);
  EndPhase();

  OrExit(FinishNewDevice(device, NewMapHeader(s.chunkCount, s.allocated)));
  PrintProgress("Cleaning up...\n");
}
