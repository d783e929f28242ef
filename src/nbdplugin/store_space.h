// Moving the chunks of the last slots into free ones below, so that the
// Store can be cut, for a holder of the commit turn. No state of its own:
// each move takes a new slot from the served Map, copies the chunk's data
// there, holds the new entry and commits where many are held; a failure
// leaves the device as the last commit left it.
#pragma once

#include <cstdint>

#include "fileio/error.h"
#include "nbdplugin/map_commit.h"
#include "nbdplugin/served_map.h"
#include "sparsedev/sparse_device.h"

// Moves the chunks of the device's slots past the allocated count into free
// slots below it, commits, and cuts the Store after the last slot in use.
// With nothing held, where no request writes (the first writer's readying,
// or the end of serving), and no slot may be named twice; the caller holds
// the commits' turn.
MaybeError CompactStore(const SparseDevice* device, ServedMap* map, MapCommits* commits) REQUIRES(TurnOf(commits));
