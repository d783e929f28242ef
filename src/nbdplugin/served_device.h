// A sparse device served in place: reads, writes, zeroing and flushes at
// byte offsets, shared by every connection of one server. Every request
// answers with an error value and leaves the device valid; nothing here ends
// the process.
//
// Map changes are held in memory and committed at a flush (or when many are
// held): they are written into a copy of the Map ("Map.new", locked), the
// copy and the Store are flushed, then the copy and the Map swap names and
// the directory is flushed. The Map on disk is always one that verifies: the
// last committed one. The old Map stays as the next commit's copy, so a
// commit writes what changed since the one before, not the whole Map.
//
// The device's files are reached only through its directory, opened once:
// the copy is made new there (never opened by a name someone else may have
// put there), and names are swapped and removed there, whatever becomes of
// the device's path. Nothing in the directory changes until the first
// connection that may write, so a read-only server changes nothing.
//
// A new chunk's data is written into a free slot before any entry names it.
// A slot that a trim frees is handed out again only once the commit that
// freed it is on stable storage and no request that looked it up is still
// using it (slot_allocator.h). The first writer gives back the room of the
// slots the Map does not name (a cut commit may leave some) and cuts the
// Store after the last named slot; where more than half of the Store is free
// then, or at the end of serving, the last slots' chunks move into free ones.
//
// Once a flush fails, every later flush and write answers its error until
// the server restarts: the failed pages may have been dropped, and a second
// flush would claim success for them.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fileio/error.h"
#include "fileio/file_in_place.h"
#include "nbdplugin/locks.h"
#include "nbdplugin/slot_allocator.h"
#include "nbdplugin/slot_users.h"
#include "sparsedev/sparse_device.h"

// Locks, each taken before the next when several are: commitLock, then lock
// (clang checks the rules below). A request never waits for commitLock while
// it uses a slot, as a commit waits for those requests.
struct ServedDevice {
  // Set at open and then only read: the directory, the Store, the paths, the
  // Map's length and its header as at open. Its Map handle is moved to `map`.
  SparseDevice device;

  // Atomic, each for its reason: every connection asks whether it may write
  // while the first writer may find it may not, once.
  std::atomic<bool> writable;
  // Asked before the commit lock is taken, and set with it.
  std::atomic<bool> writingStarted;  // StartWriting has readied the device
  std::atomic<bool> readyToWrite;    // no slot is named twice
  // Set by requests, taken by commits, whichever lock either holds.
  std::atomic<bool> storeWritten;  // since the last flush began
  std::atomic<int> brokenNumber;   // the number of the first failed flush, or 0
  std::atomic<bool> brokenTold;    // the log has said what a failed flush means
  SlotUsers users;                 // no lock: every read and write counts in

  // One commit, unsharing, move of chunks or readying at a time: it writes
  // the spare and swaps it with the Map.
  Mutex commitLock;
  std::optional<Error> readOnlyWhy GUARDED_BY(commitLock);  // why a device the server could open writable is not
  OwnedFile spare GUARDED_BY(commitLock);                   // "Map.new": the Map before the last commit, or none
  std::vector<std::pair<std::uint32_t, std::uint32_t>> spareBehind GUARDED_BY(commitLock);  // the last commit's, sorted
  bool canExchange GUARDED_BY(commitLock);                  // else each commit copies the whole Map
  std::uint32_t committedAllocated GUARDED_BY(commitLock);  // the committed Map's allocated count

  // Shared to look an entry up where it is known, alone to change any of
  // these (a cache page loaded is a change).
  SharedMutex lock;
  OwnedFile map GUARDED_BY(lock);                                          // the last committed Map
  std::uint32_t allocated GUARDED_BY(lock);                                // with the held changes
  SlotAllocator slots GUARDED_BY(lock);                                    // which slots a new chunk may take
  std::uint64_t storeLength GUARDED_BY(lock);                              // as set by us
  std::unordered_map<std::uint32_t, std::uint32_t> held GUARDED_BY(lock);  // chunk -> entry, not committed
  std::vector<std::uint64_t> pageMayHoldData GUARDED_BY(lock);             // a bit per page of entries
  std::vector<std::uint32_t> cachedEntries GUARDED_BY(lock);               // pages of the committed Map
  std::vector<std::uint32_t> cachedPage GUARDED_BY(lock);                  // page number + 1 in each place, 0 for none

  // The whole Map being copied into the spare, if begun. Last, so that it is
  // destroyed first: its thread stops before the files it uses close.
  std::unique_ptr<BackgroundCopy> making GUARDED_BY(commitLock);
};

// What a failed allocation answers: nothing may end the server.
inline Error OutOfMemory() { return Error{NATIVE("Cannot allocate memory"), ENOMEM}; }

// Opens and verifies the device in directory, writable when it can be and a
// commit can keep the Map's name and its other names (ReadOnlyWhy says why
// not), changing nothing. Paths in the messages of the opening are as given;
// later messages name files by absolutePath.
Expected<std::unique_ptr<ServedDevice>> OpenServedDevice(NativeStringView directory, NativeStringView absolutePath);

// Before the first connection that may write, once: removes a file where the
// copy of the Map goes and tries a copy out (where it cannot be made or keep
// the Map's owner and mode, the device is served read-only from then on),
// then reclaims the slots the Map does not name, and compacts a Store more
// than half free (one that cannot be is served as it is).
struct WritingStarted {
  std::optional<Error> readOnlyWhy;   // found now
  std::optional<Error> notCompacted;  // why the Store is served as it was
};
Expected<WritingStarted> StartWriting(ServedDevice* served);

// Why a device the server could open writable is served read-only, if it is.
std::optional<Error> ReadOnlyWhy(ServedDevice* served);

// Before the first write: gives each chunk that shares its slot with another
// a slot of its own, so that a write to one chunk never changes another.
MaybeError PrepareForWriting(ServedDevice* served);

std::uint64_t ServedSize(const ServedDevice& served);

MaybeError ReadServed(ServedDevice* served, void* buffer, std::uint32_t count, std::uint64_t offset);
MaybeError WriteServed(ServedDevice* served, const void* buffer, std::uint32_t count, std::uint64_t offset);

// Makes the range read as zeros; whole stored chunks become absent and give
// their room back.
MaybeError ZeroServed(ServedDevice* served, std::uint32_t count, std::uint64_t offset);

// Everything acknowledged so far reaches stable storage.
MaybeError FlushServed(ServedDevice* served);

// Once, after a flush failed: what it means and what to do, for the log.
std::optional<NativeString> TakeBrokenNotice(ServedDevice* served);

// At the end of serving: what was written is committed, flushed or not, as
// a file keeps what was written to it, the Store is cut (its chunks moved
// first where it is more than half free), and the Map's copy is removed.
MaybeError CloseServed(ServedDevice* served);

// Calls add(offset, length, hole) for the runs of chunks from offset on,
// within count bytes (maybe fewer, never none): absent chunks are holes.
template <typename Add>
MaybeError ServedExtents(ServedDevice* served, std::uint32_t count, std::uint64_t offset, Add add);

// The entry of each chunk from first on (count of them, with the held
// changes) into entries.
MaybeError ServedEntries(ServedDevice* served, std::uint32_t first, std::uint32_t count, std::uint32_t* entries);

// The first chunk from first on (before end) in a page of entries that may
// hold data: what lies before it is absent, read from nothing.
std::uint64_t FirstChunkMayHoldData(ServedDevice* served, std::uint64_t first, std::uint64_t end);

template <typename Add>
MaybeError ServedExtents(ServedDevice* served, std::uint32_t count, std::uint64_t offset, Add add) {
  const std::uint64_t length = served->device.header.chunkLength;
  std::uint64_t first = offset / length;
  const std::uint64_t end = std::min(offset + count, ServedSize(*served));
  const std::uint64_t endChunk = (end + length - 1) / length;
  // A stretch of pages without data is one hole, however long.
  if (const std::uint64_t data = FirstChunkMayHoldData(served, first, endChunk); data > first) {
    add(first * length, (data - first) * length, true);
    first = data;
  }
  if (first >= endChunk) return std::nullopt;
  const auto last = static_cast<std::uint32_t>(std::min<std::uint64_t>(endChunk - 1, first + (1u << 16) - 1));
  std::vector<std::uint32_t> entries(last - first + 1);
  if (auto error = ServedEntries(served, static_cast<std::uint32_t>(first), last - first + 1, entries.data())) {
    return error;
  }
  for (std::uint32_t i = 0; i < entries.size();) {
    std::uint32_t j = i + 1;
    const bool hole = entries[i] == ABSENT_CHUNK;
    while (j < entries.size() && (entries[j] == ABSENT_CHUNK) == hole) ++j;
    add((first + i) * length, (j - i) * length, hole);
    i = j;
  }
  return std::nullopt;
}
