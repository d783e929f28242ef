// What a served device is made of, for its own units (served_open.cc and
// served_device.cc): the plugin sees only served_device.h.
#pragma once

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

  // Last, so that it is destroyed first: a copy it makes beside the requests
  // stops before the files close. Its own locks: the commit turn, and the
  // write state.
  OwnedMapCommits commits;
};

// Whether more than half of the Store is free and can be compacted (no slot
// may be named twice).
inline bool ShouldCompact(ServedDevice* s) { return !AnyShared(s->map.get()) && MostlyFree(s->map.get()); }
