// Commits of the Map: the held changes, written into a copy of the Map
// ("Map.new", made new in the device's directory), the copy and the Store
// flushed, the copy swapped with the Map (or renamed over it where names
// cannot be swapped), the directory flushed. The Map on disk is always the
// last committed one. The Map before stays as the next commit's copy, so a
// commit writes what changed since the one before, not the whole Map.
//
//   spare          "Map.new", open: the Map before the last commit, or none
//   spareBehind    the last commit's changes, which the spare lacks
//   making         the whole Map being copied into the spare, if begun
//   canExchange    whether names swap
//   committedAllocated, readOnlyWhy
//       all guarded by the commit lock, which a CommitTurn holds: one
//       commit, unsharing, move of chunks or readying at a time. A holder
//       takes the served Map's lock after it, never before, and never waits
//       for the turn while it uses a slot (a commit waits for those).
//   storeWritten   the Store changed since the last flush began
//   brokenNumber   the number of the first failed flush, or 0
//   brokenTold     the log has said what a failed flush means
//       atomics: set by requests whatever lock they hold.
//
// Once a flush fails, every later flush and write answers its error until
// the server restarts: the failed pages may have been dropped, and a second
// flush would claim success for them.
#pragma once

#include <memory>
#include <optional>

#include "fileio/error.h"
#include "nbdplugin/served_map.h"
#include "nbdplugin/slot_users.h"
#include "sparsedev/sparse_device.h"

struct MapCommits;
struct MapCommitsDeleter {
  void operator()(MapCommits* commits) const;
};
using OwnedMapCommits = std::unique_ptr<MapCommits, MapCommitsDeleter>;

// Commits of the device's Map, as map serves it, waiting for users where
// they free slots; device (its directory, Store, paths and header), map and
// users outlive them.
OwnedMapCommits MakeMapCommits(const SparseDevice* device, ServedMap* map, SlotUsers* users);

// The commit lock, held while it lives.
struct CommitTurn {
  explicit CommitTurn(MapCommits* commits);
  ~CommitTurn();
  CommitTurn(const CommitTurn&) = delete;
  CommitTurn& operator=(const CommitTurn&) = delete;
  MapCommits* commits;
};

// Commits the changes held now, the Store's data with them. Requests go on
// meanwhile, their changes held for the next commit. The slots freed before
// it began are free once it has succeeded and the requests that might still
// use them (users) have ended.
MaybeError CommitHeld(const CommitTurn& turn);
MaybeError Commit(MapCommits* commits);

// Why a device the server could open writable is not, if it is not; and
// saying so, at opening.
std::optional<Error> ReadOnlyWhy(const CommitTurn& turn);
void SetReadOnly(const CommitTurn& turn, Error why);

// Where a commit would change what the owner has (a name of the Map's, or a
// file of other names), or write a file that is not the device's alone, why;
// a directory where the copy goes is an error. Changes nothing.
Expected<std::optional<Error>> WhyCommitsCannot(const CommitTurn& turn);

// Before the first write: removes whatever stands where the copy goes, makes
// a copy there with the Map's owner and mode, and begins copying the Map
// into it beside the requests; where that cannot be done, why (from then on
// ReadOnlyWhy says so). A copy kept by the last clean stop is taken instead,
// where it still holds.
Expected<std::optional<Error>> ReadyCopy(const CommitTurn& turn);

// At the end of serving: the copy made equal to the Map, flushed and marked
// as its copy where keep, so that the next server's first commit writes only
// its changes; otherwise, or where that fails, it goes.
void KeepOrDropCopy(const CommitTurn& turn, bool keep);

// The Store has changed: the next commit flushes it. After the change (a
// failed one may have changed some bytes too), before any entry names it.
void NoteStoreWritten(MapCommits* commits);

// The error every write and flush answers once a flush has failed.
MaybeError Broken(MapCommits* commits);

// Once, after a flush failed: what it means and what to do, for the log.
std::optional<NativeString> TakeBrokenNotice(MapCommits* commits);
