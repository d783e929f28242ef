// Commits of the Map, and whether the device may be written: the held
// changes, written into a copy of the Map ("Map.new", made new in the
// device's directory), the copy and the Store flushed, the copy swapped with
// the Map (or renamed over it where names cannot be swapped), the directory
// flushed. The Map on disk is always the last committed one. The Map before
// stays as the next commit's copy, so a commit writes what changed since the
// one before, not the whole Map.
//
//   spare          "Map.new", open: the Map before the last commit, or none
//   spareBehind    the last commit's changes, which the spare lacks
//   spareKnown     nothing unfinished was written into the spare
//   making         the whole Map being copied into the spare, if begun
//   canExchange    whether names swap
//   committedAllocated
//       all guarded by the commit lock, which a CommitTurn holds: one
//       commit, readying, or move of chunks at a time. A holder takes the
//       write state's lock and the served Map's after it, never before, and
//       never waits for the turn while it uses a slot (a commit waits for
//       those).
//   writable, writingStarted, readOnlyWhy
//       the write state, guarded by a lock of its own so that asking whether
//       the device may be written never waits for a commit.
//   storeWrites    changes of the Store begun (a count), and flushedWrites
//                  how many of them the last good commit covered
//   brokenNumber   the number of the first failed flush, or 0
//   brokenTold     the log has said what a failed flush means
//   lastFailed     the last commit failed (and nothing since succeeded)
//       atomics: set by requests whatever lock they hold.
//
// Once a flush fails, every later flush and write answers its error until
// the server restarts: the failed pages may have been dropped, and a second
// flush would claim success for them.
#pragma once

#include <memory>
#include <optional>

#include "fileio/error.h"
#include "nbdplugin/locks.h"
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
// users outlive them. Writable unless readOnlyWhy says why not, or a commit
// would change what the owner has (a name of the Map's, or a file of other
// names) or write a file that is not the device's alone (ReadOnlyWhy says
// why); a directory where the copy goes is an error. Changes nothing.
Expected<OwnedMapCommits> MakeMapCommits(const SparseDevice* device, ServedMap* map, SlotUsers* users,
                                         std::optional<Error> readOnlyWhy);

// The commit lock, for the analysis to name.
Mutex& TurnOf(MapCommits* commits);

// The commit lock, held while it lives.
class SCOPED_CAPABILITY CommitTurn {
 public:
  explicit CommitTurn(MapCommits* commits) ACQUIRE(TurnOf(commits));
  ~CommitTurn() RELEASE();
  CommitTurn(const CommitTurn&) = delete;
  CommitTurn& operator=(const CommitTurn&) = delete;

 private:
  MapCommits* commits_;
};

// Commits the changes held now, the Store's data with them. Requests go on
// meanwhile, their changes held for the next commit. The slots freed before
// it began are free once it is on stable storage and the requests that
// might still use them (users) have ended.
MaybeError CommitHeld(MapCommits* commits) REQUIRES(TurnOf(commits));
MaybeError Commit(MapCommits* commits) EXCLUDES(TurnOf(commits));

// The commit many held changes ask for: skipped while the last commit
// failed, so that a device whose commits fail costs a request no whole copy
// of the Map (a flush tries again).
MaybeError CommitIfDue(MapCommits* commits) EXCLUDES(TurnOf(commits));

// Whether the device is served writable, and why not where it could have
// been.
bool MayWrite(MapCommits* commits);
std::optional<Error> ReadOnlyWhy(MapCommits* commits);

// Whether the first connection that may write has readied the device.
bool WritingHasStarted(MapCommits* commits);

// Before the first write, once (see StartWriting in served_device.h): what a
// server before this one left (a killed one's writes, a swap of names whose
// directory was never flushed) is flushed, so that nothing served is taken
// back by a power cut; a failure breaks the device. Then the copy is made
// ready: whatever stands where it goes is removed, a copy is made there with
// the Map's owner and mode, and the whole Map is copied into it beside the
// requests. A copy kept by the last clean stop is taken instead, where it
// still holds. Where a copy cannot be had, why: the device is read-only from
// then on. Says whether the device is ready to write.
Expected<bool> StartWritingCommits(MapCommits* commits, std::optional<Error>* readOnlyWhy) REQUIRES(TurnOf(commits));

// Marks the readying done.
void WritingReady(MapCommits* commits) REQUIRES(TurnOf(commits));

// At the end of serving: the copy made equal to the Map, flushed and marked
// as its copy where keep, so that the next server's first commit writes only
// its changes; otherwise, or where that fails, it goes.
void KeepOrDropCopy(MapCommits* commits, bool keep) REQUIRES(TurnOf(commits));

// The Store has changed (a write, a zeroing, a copy; a failed one may have
// changed some bytes too): the next commit flushes it. After the change,
// before any entry names it.
void NoteStoreWritten(MapCommits* commits);

// The error every write and flush answers once a flush has failed.
MaybeError Broken(MapCommits* commits);

// Once, after a flush failed: what it means and what to do, for the log.
std::optional<NativeString> TakeBrokenNotice(MapCommits* commits);
