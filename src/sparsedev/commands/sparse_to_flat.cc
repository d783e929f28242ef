// Sparse-to-flat conversion: each run of the Map's entries is one range of
// the flat device.
#include <algorithm>
#include <memory>

#include "fileio/checked/checked_file.h"
#include "fileio/checked/progress.h"
#include "fileio/checked/report.h"
#include "sparsedev/commands/sparse_commands.h"
#include "sparsedev/sparse_map.h"

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
struct SparseToFlatState {
  FileHandle store;
  FileHandle flat;
  std::uint64_t chunkLength;
  bool reserved;      // absent chunks read as zeros without being written
  std::uint64_t end;  // the flat device's length so far
  std::unique_ptr<unsigned char[]> buffer;
  Writeback writeback;
};

// Writes the run's chunks to the flat device at their place.
void WriteRun(SparseToFlatState* e, const Run& run) {
  const std::uint64_t at = run.first * e->chunkLength;
  const std::uint64_t length = run.count * e->chunkLength;
  if (run.slot == ABSENT_CHUNK) {
    if (e->reserved) return;
    WriteFill(e->flat, at, length, 0);
  } else if (length >= kShareAtLeast) {
    CopyBytes(e->store, run.slot * e->chunkLength, e->flat, at, length, e->buffer.get(), kCopyBufferBytes);
  } else {
    ReadBytes(e->store, run.slot * e->chunkLength, e->buffer.get(), length);
    WriteBytes(e->flat, at, e->buffer.get(), length);
  }
  NoteWritten(&e->writeback, at, length);
  e->end = at + length;
}

// Reads the Map's entries a block at a time and writes each run of them.
void ExpandEntries(SparseToFlatState* e, FileHandle map, std::uint32_t chunkCount) {
  Run run{0, 0, ABSENT_CHUNK};
  OrExit(EachEntryBlock(map, chunkCount, [&](std::uint32_t first, std::uint32_t count, const unsigned char* entries) {
    if (run.slot == ABSENT_CHUNK && AllAbsent(entries, count)) {
      run.count += count;
    } else {
      for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t entry = LoadLittleEndian32(entries + std::size_t{i} * kMapEntrySize);
        if (Continues(run, entry)) {
          ++run.count;
          continue;
        }
        if (run.count > 0) WriteRun(e, run);
        run = Run{first + i, 1, entry};
      }
    }
    AdvancePhase(first + count);
    return MaybeError();
  }));
  if (run.count > 0) WriteRun(e, run);
}

}  // namespace

void SparseToFlat(const NativeChar* source, const NativeChar* destination) {
  SparseDevice device = OrExit(OpenDeviceMap(OrExit(SparsePathsOf(source)), Access::kReadOnly));
  PrintProgress("Verifying map...\n");
  OrExit(VerifyDevice(&device));
  const MapHeader& header = device.header;
  const std::uint64_t size = DeviceSize(header);
  PrintProgress("Creating flat block device of %llu bytes\n", static_cast<unsigned long long>(size));
  PrintProgress("Creating flat block device...\n");
  OrExit(OpenDeviceStore(&device, Access::kReadOnly));
  const OwnedFile flat = CreateAlways(destination);
  SparseToFlatState e{};
  e.store = device.store.get();
  e.flat = flat.get();
  e.chunkLength = header.chunkLength;
  e.buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
  e.writeback = Writeback{e.flat, 0, 0};

  BeginPhase("Populating flat block device...", header.chunkCount);
  // With the whole device reserved up front, absent chunks need no work at
  // all: they are passed over and read as zeros. Should the run fail or be
  // interrupted, even while the room is asked for, the reservation past the
  // length reached goes back.
  const CutOnFailure cut(e.flat, kCurrentLength);
  e.reserved = ReserveSpace(e.flat, size);
  ExpandEntries(&e, device.map.get(), header.chunkCount);
  // Absent chunks at the end were passed over: the length covers them.
  if (e.end < size) SetSizeWithoutReserving(e.flat, size);
  EndPhase();

  FlushFile(e.flat);
  FlushParentDirectory(destination);
  PrintProgress("Cleaning up...\n");
}
