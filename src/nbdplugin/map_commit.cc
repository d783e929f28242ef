#include "nbdplugin/map_commit.h"

#include <atomic>
#include <cerrno>
#include <utility>

#include "fileio/file.h"
#include "fileio/file_in_place.h"

struct MapCommits {
  // Set when made, then only read.
  const SparseDevice* device;
  ServedMap* served;
  SlotUsers* users;

  Mutex lock;
  OwnedFile spare GUARDED_BY(lock);
  Changes spareBehind GUARDED_BY(lock);  // sorted
  bool spareKnown GUARDED_BY(lock) = true;
  bool canExchange GUARDED_BY(lock) = true;
  std::uint32_t committedAllocated GUARDED_BY(lock) = 0;
  std::uint64_t flushedWrites GUARDED_BY(lock) = 0;

  Mutex stateLock;
  bool writable GUARDED_BY(stateLock) = false;
  bool writingStarted GUARDED_BY(stateLock) = false;
  std::optional<Error> readOnlyWhy GUARDED_BY(stateLock);

  std::atomic<std::uint64_t> storeWrites{0};
  std::atomic<int> brokenNumber{0};
  std::atomic<bool> brokenTold{false};
  std::atomic<bool> lastFailed{false};

  // Last, so that it is destroyed first: its thread stops before the files
  // it uses close.
  std::unique_ptr<BackgroundCopy> making GUARDED_BY(lock);
};

void MapCommitsDeleter::operator()(MapCommits* commits) const { delete commits; }

Mutex& TurnOf(MapCommits* c) LOCK_RETURNED(c->lock) { return c->lock; }

CommitTurn::CommitTurn(MapCommits* c) : commits_(c) { TurnOf(c).Lock(); }

CommitTurn::~CommitTurn() { TurnOf(commits_).Unlock(); }

namespace {

// The copy of the Map, named in the device's directory, and its path for
// messages.
constexpr const NativeChar* kCopyName = NATIVE("Map.new");
NativeString CopyPath(const MapCommits& c) { return Concat({c.device->paths.map, NATIVE(".new")}); }

DirectoryHandle Directory(const MapCommits& c) { return c.device->directory.get(); }

// Notes a failed flush: from now on writes and flushes answer its number.
MaybeError BreakOn(MapCommits* c, MaybeError error) {
  if (error) {
    int expected = 0;
    c->brokenNumber.compare_exchange_strong(expected, error->number != 0 ? error->number : EIO);
  }
  return error;
}

// Writes the entries of changes (sorted by chunk) into map, a run of
// consecutive chunks at a time.
MaybeError WriteEntries(FileHandle map, const Changes& changes) {
  std::vector<unsigned char> run;
  for (std::size_t first = 0, next = 0; first < changes.size(); first = next) {
    run.clear();
    do {
      run.resize(run.size() + kMapEntrySize);
      StoreLittleEndian32(run.data() + run.size() - kMapEntrySize, changes[next++].second);
    } while (next < changes.size() && changes[next].first == changes[next - 1].first + 1);
    if (auto error = TryWrite(map, EntryOffset(changes[first].first), run.data(), run.size())) return error;
  }
  return std::nullopt;
}

// After a failure the spare's state is unknown: the next commit copies anew.
// Its name goes only while it is still the spare's.
void DropSpare(MapCommits* c) REQUIRES(c->lock) {
  c->making.reset();  // stops writing into it
  if (c->spare.is_open() && NameIsFile(Directory(*c), kCopyName, c->spare.get())) {
    sys::RemoveIn(Directory(*c), kCopyName);  // a name left is only room
  }
  c->spare = OwnedFile();
  c->spareKnown = true;
}

// Waits for the whole Map's copy begun in the background, if it is: where it
// failed, the spare goes, and the commit copies anew.
void AwaitSpare(MapCommits* c) REQUIRES(c->lock) {
  if (c->making && FinishBackgroundCopy(std::move(c->making))) DropSpare(c);
}

// Makes the spare the committed Map with changes and allocated stored
// chunks: the Map before the last commit needs that commit's changes too;
// with no spare, the whole Map is copied.
MaybeError WriteCopy(MapCommits* c, const Changes& changes, std::uint32_t allocated) REQUIRES(c->lock) {
  AwaitSpare(c);
  if (!c->spare.is_open()) {
    const FileHandle map = CommittedMap(c->served);
    Expected<OwnedFile> copy = TryCreateNewIn(Directory(*c), kCopyName, CopyPath(*c).c_str());
    if (!copy) return copy.error();
    c->spare = std::move(*copy);
    c->spareBehind.clear();
    // The Map's owner keeps it: its group, mode and owner go with it.
    if (auto error = TryCopyOwnership(map, c->spare.get(), c->device->paths.map.c_str())) return error;
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyBufferBytes);
    if (auto error = TryCopyBytes(map, 0, c->spare.get(), 0, c->device->mapLength, buffer.get(), kCopyBufferBytes)) {
      return error;
    }
  }
  if (auto error = WriteEntries(c->spare.get(), c->spareBehind)) return error;
  if (auto error = WriteEntries(c->spare.get(), changes)) return error;
  MapHeader header = c->device->header;
  header.allocatedChunkCount = allocated;
  return WriteMapHeader(c->spare.get(), header);
}

// Puts the flushed copy in the Map's place, exchanging the two where the
// file system can.
MaybeError PutCopyInPlace(MapCommits* c) REQUIRES(c->lock) {
  const NativeString copyPath = CopyPath(*c);
  // The name is the owner's to change: what stands there now may be anything.
  if (!NameIsFile(Directory(*c), kCopyName, c->spare.get())) {
    return PathError("Another file took the place of the Map's copy", copyPath, 0);
  }
  if (c->canExchange) {
    MaybeError error = TryRenameIn(Directory(*c), kCopyName, NATIVE("Map"), copyPath.c_str(), Rename::kExchange);
    if (!error || error->number != EOPNOTSUPP) return error;
    c->canExchange = false;
  }
  return TryRenameIn(Directory(*c), kCopyName, NATIVE("Map"), copyPath.c_str(), Rename::kReplace);
}

// Flushes the directory; its error number, allocating nothing: it comes
// between the names' change and the handles' (ApplyCommit), which nothing
// may separate.
int FlushDirectoryNumber(MapCommits* c) { return FlushesSkipped() ? 0 : sys::FlushDirectory(Directory(*c)); }

// Writes the copy, flushes it beside the Store, puts it in place and flushes
// the directory. Until the directory is flushed the changes stay held: the
// next commit writes them again, to a copy of its own.
MaybeError CommitChanges(MapCommits* c, HeldNow* now) REQUIRES(c->lock) {
  c->spareKnown = false;  // until the commit ends, whether it unwinds or not
  MaybeError error = WriteCopy(c, now->changes, now->allocated);
  if (!error) error = BreakOn(c, TryFlushSideBySide(c->device->store.get(), c->spare.get()));
  if (!error) error = PutCopyInPlace(c);
  if (error) {
    DropSpare(c);
    return error;
  }
  const int flushed = FlushDirectoryNumber(c);
  if (flushed == 0 && now->freesSlots) WaitForEarlierSlotUsers(c->users);
  ApplyCommit(c->served, &c->spare, now->changes, flushed == 0);  // the spare is now the Map before
  if (!c->canExchange) c->spare = OwnedFile();                    // renamed over: it has no name
  c->spareBehind = std::move(now->changes);
  c->spareKnown = true;
  if (flushed != 0) return BreakOn(c, Error{NATIVE("Cannot write to file"), flushed});
  c->committedAllocated = now->allocated;
  return std::nullopt;
}

// The copy a clean stop kept, where it is a plain file of the device's own
// and still equals the Map, flushed; its mark goes, as the first commit makes
// it another Map's copy. Otherwise none.
OwnedFile KeptCopy(MapCommits* c) REQUIRES(c->lock) {
  const NativeString copyPath = CopyPath(*c);
  const Expected<std::optional<sys::FileFacts>> name = TryFactsOfName(Directory(*c), kCopyName, copyPath.c_str());
  if (!name || !*name || (*name)->kind != sys::FileFacts::kRegular) return OwnedFile();
  Expected<OwnedFile> copy = TryOpenIn(Directory(*c), kCopyName, copyPath.c_str(), Access::kReadWrite);
  if (!copy || !NameIsFile(Directory(*c), kCopyName, copy->get()) ||
      !IsMarkedCopy(copy->get(), CommittedMap(c->served)) || TryFlush(copy->get())) {
    return OwnedFile();
  }
  UnmarkCopy(copy->get());
  return std::move(*copy);
}

// Makes the copy ready for the first commit (see StartWritingCommits): where
// it cannot be, why.
Expected<std::optional<Error>> ReadyCopy(MapCommits* c) REQUIRES(c->lock) {
  DropSpare(c);  // a readying tried before: its copy's thread ends before its file closes
  const NativeString copyPath = CopyPath(*c);
  const FileHandle map = CommittedMap(c->served);
  MaybeError owner;
  if (OwnedFile kept = KeptCopy(c); kept.is_open()) {
    owner = TryCopyOwnership(map, kept.get(), c->device->paths.map.c_str());
    if (!owner) owner = TryMayChangeNames(Directory(*c), copyPath.c_str());
    if (!owner) c->spare = std::move(kept);
  } else {
    // A name the owner may not remove either: read-only, as where no copy
    // can be made.
    if (auto error = TryRemoveIn(Directory(*c), kCopyName, copyPath.c_str())) return std::optional<Error>(*error);
    Expected<OwnedFile> copy = TryCreateNewIn(Directory(*c), kCopyName, copyPath.c_str());
    if (!copy) return std::optional<Error>(copy.error());
    owner = TryCopyOwnership(map, copy->get(), c->device->paths.map.c_str());
    c->spare = std::move(*copy);
    // The first commit needs a whole copy of the Map: made now, beside the
    // requests, it is ready (or nearly) when the first flush comes. Where no
    // thread can be had, the first commit makes it.
    if (!owner) c->making = StartBackgroundCopy(map, c->spare.get(), c->device->mapLength);
    if (owner || !c->making) DropSpare(c);
  }
  if (!owner) return std::optional<Error>();
  return std::optional<Error>(*owner);
}

// What a server before this one may have left only in memory: its writes to
// the Store, and a swap of names it made without flushing the directory.
MaybeError FlushWhatWasLeft(MapCommits* c) REQUIRES(c->lock) {
  if (auto error = TryFlush(c->device->store.get())) return error;
  if (auto error = TryFlush(CommittedMap(c->served))) return error;
  return TryFlushDirectory(Directory(*c));
}

// Where a commit would change what the owner has, or write a file that is
// not the device's alone, why (see MakeMapCommits).
Expected<std::optional<Error>> WhyCommitsCannot(MapCommits* c) REQUIRES(c->lock) {
  const SparsePaths& paths = c->device->paths;
  const NativeString copyPath = CopyPath(*c);
  const Expected<std::optional<sys::FileFacts>> copy = TryFactsOfName(Directory(*c), kCopyName, copyPath.c_str());
  if (!copy) return copy.error();
  if (*copy && (*copy)->kind == sys::FileFacts::kDirectory) return PathError("Cannot remove", copyPath, EISDIR);
  const Expected<std::optional<sys::FileFacts>> name = TryFactsOfName(Directory(*c), NATIVE("Map"), paths.map.c_str());
  if (!name) return name.error();
  if (*name && (*name)->kind == sys::FileFacts::kSymbolicLink) {
    return std::optional<Error>(PathError("Commits would replace the symbolic link", paths.map, 0));
  }
  for (const auto& [file, path] :
       {std::pair(CommittedMap(c->served), &paths.map), {c->device->store.get(), &paths.store}}) {
    const Expected<sys::FileFacts> facts = TryFactsOfFile(file, path->c_str());
    if (!facts) return facts.error();
    if (facts->kind != sys::FileFacts::kRegular) {
      return std::optional<Error>(PathError("Writes would go to a special file", *path, 0));
    }
    if (facts->links > 1) {
      return std::optional<Error>(PathError(path == &paths.map ? "Commits would part the Map from its other names"
                                                               : "Writes would change the Store's other names too",
                                            *path, 0));
    }
  }
  return std::optional<Error>();
}

}  // namespace

MaybeError CommitHeld(MapCommits* c) {
  if (auto error = Broken(c)) return error;
  if (!c->spareKnown) DropSpare(c);  // a commit cut short left it
  HeldNow now = TakeHeld(c->served);
  // Counted after the changes were taken: a write whose entry they hold has
  // counted itself.
  const std::uint64_t written = c->storeWrites.load();
  MaybeError error;
  if (!now.changes.empty()) {
    error = CommitChanges(c, &now);
  } else if (written != c->flushedWrites) {
    error = BreakOn(c, TryFlush(c->device->store.get()));
  }
  c->lastFailed = error.has_value();
  if (!error) c->flushedWrites = written;
  return error;
}

MaybeError Commit(MapCommits* commits) {
  const CommitTurn turn(commits);
  return CommitHeld(commits);
}

MaybeError CommitIfDue(MapCommits* commits) {
  if (commits->lastFailed) return std::nullopt;
  return Commit(commits);
}

bool MayWrite(MapCommits* c) {
  const Locked<Mutex> state(&c->stateLock);
  return c->writable;
}

std::optional<Error> ReadOnlyWhy(MapCommits* c) {
  const Locked<Mutex> state(&c->stateLock);
  return c->readOnlyWhy;
}

bool WritingHasStarted(MapCommits* c) {
  const Locked<Mutex> state(&c->stateLock);
  return c->writingStarted;
}

Expected<OwnedMapCommits> MakeMapCommits(const SparseDevice* device, ServedMap* map, SlotUsers* users,
                                         std::optional<Error> readOnlyWhy) {
  OwnedMapCommits made(new MapCommits());
  MapCommits* c = made.get();
  c->device = device;
  c->served = map;
  c->users = users;
  const CommitTurn turn(c);
  c->committedAllocated = device->header.allocatedChunkCount;
  if (!readOnlyWhy) {
    Expected<std::optional<Error>> why = WhyCommitsCannot(c);
    if (!why) return why.error();
    readOnlyWhy = std::move(*why);
  }
  const Locked<Mutex> state(&c->stateLock);
  c->writable = !readOnlyWhy;
  c->readOnlyWhy = std::move(readOnlyWhy);
  return made;
}

Expected<bool> StartWritingCommits(MapCommits* c, std::optional<Error>* readOnlyWhy) {
  if (BreakOn(c, FlushWhatWasLeft(c))) return false;  // served, and read, but never written
  const Expected<std::optional<Error>> why = ReadyCopy(c);
  if (!why) return why.error();
  if (!*why) return true;
  *readOnlyWhy = **why;
  const Locked<Mutex> state(&c->stateLock);
  c->readOnlyWhy = **why;
  c->writable = false;
  return false;
}

void WritingReady(MapCommits* c) {
  const Locked<Mutex> state(&c->stateLock);
  c->writingStarted = true;
}

void KeepOrDropCopy(MapCommits* c, bool keep) {
  // A copy still being made is stopped: a stop does not wait for it.
  if (c->making && !c->making->finished) DropSpare(c);
  AwaitSpare(c);
  if (!c->spareKnown) DropSpare(c);
  const FileHandle spare = c->spare.get();
  MapHeader header = c->device->header;
  header.allocatedChunkCount = c->committedAllocated;
  if (!keep || !c->spare.is_open() || !NameIsFile(Directory(*c), kCopyName, spare) ||
      WriteEntries(spare, c->spareBehind) || WriteMapHeader(spare, header) || TryFlush(spare) ||
      TryMarkCopy(spare, CommittedMap(c->served), CopyPath(*c).c_str())) {
    DropSpare(c);
    return;
  }
  c->spare = OwnedFile();
}

void NoteStoreWritten(MapCommits* commits) { ++commits->storeWrites; }

MaybeError Broken(MapCommits* commits) {
  const int number = commits->brokenNumber.load();
  if (number == 0) return std::nullopt;
  return Error{NATIVE("A flush of the device failed before: writes and flushes fail until the server restarts"),
               number};
}

std::optional<NativeString> TakeBrokenNotice(MapCommits* commits) {
  if (commits->brokenNumber.load() == 0 || commits->brokenTold.exchange(true)) return std::nullopt;
  return NativeString(
      NATIVE("A flush failed: what was written since the last flush that succeeded may not be on the disk. Writes and "
             "flushes now fail with that error until the server restarts; reads go on. Check the disk, then restart "
             "the server."));
}
