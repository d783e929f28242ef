#include "nbdplugin/store_space.h"

#include <algorithm>
#include <memory>

#include "fileio/file.h"

namespace {

// Copies the chunk's data from slot entry into a free slot below target and
// holds the new entry, releasing the old slot. True where no free slot lies
// below target: the Store is as compact as it gets.
Expected<bool> MoveChunk(const SparseDevice* device, ServedMap* map, MapCommits* commits, std::uint32_t chunk,
                         std::uint32_t entry, std::uint32_t target, unsigned char* buffer) REQUIRES(TurnOf(commits)) {
  const Expected<NewSlot> slot = TakeNewSlot(map);
  if (!slot) return slot.error();
  if (slot->slot >= target) {
    GiveBackNewSlot(map, slot->slot);
    return true;
  }
  const std::uint64_t length = device->header.chunkLength;
  const FileHandle store = device->store.get();
  const MaybeError copied =
      TryCopyBytes(store, entry * length, store, slot->slot * length, length, buffer, kCopyBufferBytes);
  NoteStoreWritten(commits);
  if (copied) {
    GiveBackNewSlot(map, slot->slot);
    return *copied;
  }
  const Expected<Change> moved = MoveEntry(map, chunk, slot->slot, entry);
  if (!moved) return moved.error();
  if (moved->many) {
    if (auto error = CommitHeld(commits)) return *error;
  }
  return false;
}

}  // namespace

MaybeError CompactStore(const SparseDevice* device, ServedMap* map, MapCommits* commits) {
  const std::uint32_t target = Allocated(map);
  const std::uint32_t chunkCount = device->header.chunkCount;
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
  const auto block = NewEntryBlock();
  // A block at a time, each read from the Map committed then: the moves
  // before it commit as they go.
  bool compact = false;
  for (std::uint32_t first = 0; first < chunkCount && !compact; first += kEntriesPerBlock) {
    const std::uint32_t count = std::min(kEntriesPerBlock, chunkCount - first);
    if (auto error = ReadEntries(CommittedMap(map), first, count, block.get())) return error;
    for (std::uint32_t i = NextStoredEntry(block.get(), 0, count); i < count && !compact;
         i = NextStoredEntry(block.get(), i + 1, count)) {
      const std::uint32_t entry = LoadLittleEndian32(block.get() + std::size_t{i} * kMapEntrySize);
      if (entry < target) continue;
      const Expected<bool> moved = MoveChunk(device, map, commits, first + i, entry, target, buffer.get());
      if (!moved) return moved.error();
      compact = *moved;
    }
  }
  if (auto error = CommitHeld(commits)) return error;
  return CutStore(map);
}
