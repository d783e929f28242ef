#include "nbdplugin/store_space.h"

#include <memory>

#include "fileio/file.h"
#include "nbdplugin/slot_allocator.h"

namespace {

// EachStored as the slot allocator's passes take it: they call it back
// inside the call they are given it in, while the turn is held.
EachEntry StoredEntries(const ChunkMover& mover) {
  return [&mover](const EntryVisit& visit) { return EachStored(mover.map, mover.device->header.chunkCount, visit); };
}

// Copies the chunk's data from slot entry into a new slot and holds the new
// entry, releasing the old slot unless other chunks still name it.
MaybeError MoveChunk(const ChunkMover& mover, std::uint32_t chunk, std::uint32_t entry, unsigned char* buffer,
                     bool releaseOld) {
  const Expected<NewSlot> slot = TakeNewSlot(mover.map);
  if (!slot) return slot.error();
  const std::uint64_t length = mover.device->header.chunkLength;
  const FileHandle store = mover.device->store.get();
  if (auto error = TryCopyBytes(store, entry * length, store, slot->slot * length, length, buffer, kCopyBufferBytes)) {
    GiveBackNewSlot(mover.map, slot->slot);
    return error;
  }
  NoteStoreWritten(mover.turn->commits);
  return MoveEntry(mover.map, chunk, slot->slot, entry, releaseOld) ? CommitHeld(*mover.turn) : std::nullopt;
}

}  // namespace

MaybeError UnshareSlots(const ChunkMover& mover, std::uint64_t slotsInUse) {
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
  if (auto error = EachSlotNamedAgain(slotsInUse, kSlotsPerWindow, StoredEntries(mover),
                                      [&](std::uint32_t chunk, std::uint32_t entry) {
                                        return MoveChunk(mover, chunk, entry, buffer.get(), false);
                                      })) {
    return error;
  }
  return CommitHeld(*mover.turn);
}

MaybeError CompactStore(const ChunkMover& mover) {
  const std::uint32_t target = Allocated(mover.map);
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
  if (auto error = EachStored(
          mover.map, mover.device->header.chunkCount, [&](std::uint32_t chunk, std::uint32_t entry) -> MaybeError {
            return entry < target ? std::nullopt : MoveChunk(mover, chunk, entry, buffer.get(), true);
          })) {
    return error;
  }
  if (auto error = CommitHeld(*mover.turn)) return error;
  return CutStore(mover.map);
}
