#include "nbdplugin/map_commit.h"

#include <atomic>
#include <cerrno>
#include <utility>

#include "fileio/file.h"
#include "fileio/file_in_place.h"
#include "nbdplugin/locks.h"

struct MapCommits {
  // Set when made, then only read.
  const SparseDevice* device;
  ServedMap* served;
  SlotUsers* users;

  Mutex lock;
  OwnedFile spare GUARDED_BY(lock);
  Changes spareBehind GUARDED_BY(lock);  // sorted
  bool canExchange GUARDED_BY(lock) = true;
  std::uint32_t committedAllocated GUARDED_BY(lock);
  std::optional<Error> readOnlyWhy GUARDED_BY(lock);

  std::atomic<bool> storeWritten{false};
  std::atomic<int> brokenNumber{0};
  std::atomic<bool> brokenTold{false};

  // Last, so that it is destroyed first: its thread stops before the files
  // it uses close.
  std::unique_ptr<BackgroundCopy> making GUARDED_BY(lock);
};

void MapCommitsDeleter::operator()(MapCommits* commits) const { delete commits; }

OwnedMapCommits MakeMapCommits(const SparseDevice* device, ServedMap* map, SlotUsers* users) {
  OwnedMapCommits made(new MapCommits{device, map, users, {}, {}, {}, true, 0, {}, {}, {}, {}, {}});
  const Locked<Mutex> guard(&made->lock);
  made->committedAllocated = device->header.allocatedChunkCount;
  return made;
}

CommitTurn::CommitTurn(MapCommits* c) : commits(c) { c->lock.Lock(); }

CommitTurn::~CommitTurn() {
  commits->lock.AssertHeld();
  commits->lock.Unlock();
}

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
// Allocates nothing, so that it may run while an exception unwinds.
void DropSpare(MapCommits* c) REQUIRES(c->lock) {
  c->making.reset();  // stops writing into it
  if (c->spare.is_open() && NameIsFile(Directory(*c), kCopyName, c->spare.get())) {
    sys::RemoveIn(Directory(*c), kCopyName);  // a name left is only room
  }
  c->spare = OwnedFile();
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

// Puts the flushed copy in the Map's place; the old Map becomes the spare
// where the file system can swap the two.
MaybeError PutCopyInPlace(MapCommits* c) REQUIRES(c->lock) {
  const NativeString copyPath = CopyPath(*c);
  // The name is the owner's to change: what stands there now may be anything.
  if (!NameIsFile(Directory(*c), kCopyName, c->spare.get())) {
    return PathError("Another file took the place of the Map's copy", copyPath, 0);
  }
  if (c->canExchange) {
    MaybeError error = TryRenameIn(Directory(*c), kCopyName, NATIVE("Map"), copyPath.c_str(), Rename::kExchange);
    if (!error) {
      SwapCommittedMap(c->served, &c->spare);
      return std::nullopt;
    }
    if (error->number != EOPNOTSUPP) return error;
    c->canExchange = false;
  }
  if (auto error = TryRenameIn(Directory(*c), kCopyName, NATIVE("Map"), copyPath.c_str(), Rename::kReplace)) {
    return error;
  }
  SwapCommittedMap(c->served, &c->spare);
  c->spare = OwnedFile();  // closes the old Map
  return std::nullopt;
}

// Writes the copy, flushes it beside the Store, puts it in place and flushes
// the directory. Until the directory is flushed the changes stay held: the
// next commit writes them again, to a copy of its own.
MaybeError CommitChanges(MapCommits* c, const Changes& changes, std::uint32_t allocated) REQUIRES(c->lock) {
  if (auto error = WriteCopy(c, changes, allocated)) return error;
  if (auto error = BreakOn(c, TryFlushSideBySide(c->device->store.get(), c->spare.get()))) return error;
  if (auto error = PutCopyInPlace(c)) return error;
  return BreakOn(c, TryFlushDirectory(Directory(*c)));
}

// The copy a clean stop kept, where it is a plain file of the device's own
// and still equals the Map; its mark goes, as the first commit makes it
// another Map's copy. Otherwise none.
OwnedFile KeptCopy(MapCommits* c) REQUIRES(c->lock) {
  const NativeString copyPath = CopyPath(*c);
  const Expected<std::optional<sys::FileFacts>> name = TryFactsOfName(Directory(*c), kCopyName, copyPath.c_str());
  if (!name || !*name || (*name)->kind != sys::FileFacts::kRegular) return OwnedFile();
  Expected<OwnedFile> copy = TryOpenIn(Directory(*c), kCopyName, copyPath.c_str(), Access::kReadWrite);
  if (!copy || !NameIsFile(Directory(*c), kCopyName, copy->get()) ||
      !IsMarkedCopy(copy->get(), CommittedMap(c->served))) {
    return OwnedFile();
  }
  UnmarkCopy(copy->get());
  return std::move(*copy);
}

// Until a commit has ended, its failure (a failed allocation unwinding
// included) leaves what a failed commit leaves: the Store flushed at the
// next commit, the spare gone (the slots it would free wait for the next
// commit as they are).
struct CommitUnderWay {
  MapCommits* c;
  bool changes;
  bool ended = false;
  ~CommitUnderWay() {
    if (ended) return;
    c->lock.AssertHeld();  // held by the caller's turn throughout
    c->storeWritten = true;
    if (changes) DropSpare(c);
  }
};

}  // namespace

MaybeError CommitHeld(const CommitTurn& turn) {
  MapCommits* c = turn.commits;
  c->lock.AssertHeld();  // the turn holds it
  if (auto error = Broken(c)) return error;
  HeldNow now = BeginCommitOfHeld(c->served);
  CommitUnderWay underWay{c, !now.changes.empty()};
  // Taken after the changes: a write whose entry they hold has set it.
  const bool written = c->storeWritten.exchange(false);
  if (now.changes.empty()) {
    if (written) {
      if (auto error = BreakOn(c, TryFlush(c->device->store.get()))) return error;
    }
  } else if (auto error = CommitChanges(c, now.changes, now.allocated)) {
    return error;
  }
  if (now.freesSlots) WaitForEarlierSlotUsers(c->users);
  CommitSucceeded(c->served, now.changes);
  underWay.ended = true;
  c->committedAllocated = now.allocated;
  if (!now.changes.empty()) c->spareBehind = std::move(now.changes);
  return std::nullopt;
}

MaybeError Commit(MapCommits* commits) { return CommitHeld(CommitTurn(commits)); }

std::optional<Error> ReadOnlyWhy(const CommitTurn& turn) {
  turn.commits->lock.AssertHeld();
  return turn.commits->readOnlyWhy;
}

void SetReadOnly(const CommitTurn& turn, Error why) {
  turn.commits->lock.AssertHeld();
  turn.commits->readOnlyWhy = std::move(why);
}

Expected<std::optional<Error>> WhyCommitsCannot(const CommitTurn& turn) {
  MapCommits* c = turn.commits;
  c->lock.AssertHeld();  // the turn holds it
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

Expected<std::optional<Error>> ReadyCopy(const CommitTurn& turn) {
  MapCommits* c = turn.commits;
  c->lock.AssertHeld();  // the turn holds it
  const NativeString copyPath = CopyPath(*c);
  const FileHandle map = CommittedMap(c->served);
  MaybeError owner;
  if (OwnedFile kept = KeptCopy(c); kept.is_open()) {
    owner = TryCopyOwnership(map, kept.get(), c->device->paths.map.c_str());
    if (!owner) owner = TryMayChangeNames(Directory(*c), copyPath.c_str());
    if (!owner) {
      c->spare = std::move(kept);
    }
  } else {
    if (auto error = TryRemoveIn(Directory(*c), kCopyName, copyPath.c_str())) return *error;
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
  c->readOnlyWhy = *owner;
  return std::optional<Error>(*owner);
}

void KeepOrDropCopy(const CommitTurn& turn, bool keep) {
  MapCommits* c = turn.commits;
  c->lock.AssertHeld();  // the turn holds it
  // A copy still being made is stopped: a stop does not wait for it.
  if (c->making && !c->making->finished) DropSpare(c);
  AwaitSpare(c);
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

void NoteStoreWritten(MapCommits* commits) { commits->storeWritten = true; }

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
