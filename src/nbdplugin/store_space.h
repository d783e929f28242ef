// Moving chunks between slots, for a holder of the commit turn: copies of a
// slot several chunks share made apart before the first write, and the
// chunks of the last slots moved into free ones below so that the Store can
// be cut. No state of its own: each move takes a new slot from the served
// Map, copies the chunk's data there, holds the new entry and commits where
// many are held; a failure leaves the device as the last commit left it.
#pragma once

#include <cstdint>

#include "fileio/error.h"
#include "nbdplugin/map_commit.h"
#include "nbdplugin/served_map.h"
#include "sparsedev/sparse_device.h"

// What the moves work on: the device (its Store and header), the served Map
// and its commits, whose turn the caller holds.
struct ChunkMover {
  const SparseDevice* device;
  ServedMap* map;
  const CommitTurn* turn;
};

// Gives each chunk whose slot an earlier chunk also names (below slotsInUse)
// a copy of its own, then commits.
MaybeError UnshareSlots(const ChunkMover& mover, std::uint64_t slotsInUse);

// Moves the chunks of the slots past the allocated count into free slots
// below it, commits, and cuts the Store after the last slot in use. With
// nothing held, where no request writes (the first writer's readying, or
// the end of serving).
MaybeError CompactStore(const ChunkMover& mover);
