// What a served device is made of, for its own units (served_open.cc and
// served_device.cc): the plugin sees only served_device.h.
#pragma once

#include <atomic>

#include "nbdplugin/map_commit.h"
#include "nbdplugin/served_device.h"
#include "nbdplugin/served_map.h"
#include "nbdplugin/slot_users.h"
#include "nbdplugin/store_space.h"
#include "sparsedev/sparse_device.h"

struct ServedDevice {
  // Set at open and then only read: the directory, the Store, the paths, the
  // Map's length and its header as at open. Its Map handle is moved to map.
  SparseDevice device;
  SlotUsers users;     // no lock: every read and write counts in
  OwnedServedMap map;  // its own lock

  // Atomic, each for its reason: every connection asks whether it may write
  // while the first writer may find it may not, once.
  std::atomic<bool> writable{false};
  // Asked before the commit turn is taken, and set holding it.
  std::atomic<bool> writingStarted{false};  // StartWriting has readied the device
  std::atomic<bool> readyToWrite{false};    // no slot is named twice

  // Last, so that it is destroyed first: a copy it makes beside the requests
  // stops before the files close.
  OwnedMapCommits commits;  // its own lock, the commit turn
};

inline ChunkMover MoverOf(ServedDevice* s, const CommitTurn& turn) {
  return ChunkMover{&s->device, s->map.get(), &turn};
}

// Whether more than half of the Store is free and can be compacted (no slot
// is named twice).
inline bool ShouldCompact(ServedDevice* s) { return s->readyToWrite && MostlyFree(s->map.get()); }
