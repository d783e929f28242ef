// Opening a served device: the Map verified and scanned once, the read-only
// decision, the free slots; and readying it at the first connection that
// may write.
#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "fileio/file.h"
#include "nbdplugin/served_parts.h"
#include "nbdplugin/slot_allocator.h"
#include "sparsedev/sparse_map.h"

namespace {

// What opening learns from the Map's stored entries, read once as the Map
// is verified.
struct OpenScan {
  std::uint64_t slotsInUse = 0;
  bool ascending = true;             // as every device made by conversion: no slot is named twice
  bool shared = false;               // a slot of the first window is named twice
  std::vector<bool> named;           // the slots of the first window named
  std::vector<std::uint64_t> pages;  // which pages of entries may hold data
};

void NoteStored(OpenScan* scan, std::uint32_t chunk, std::uint32_t entry) {
  scan->ascending = scan->ascending && entry >= scan->slotsInUse;
  scan->slotsInUse = std::max<std::uint64_t>(scan->slotsInUse, std::uint64_t{entry} + 1);
  MarkPage(&scan->pages, chunk);
  if (entry < kSlotsPerWindow) {
    if (entry >= scan->named.size()) scan->named.resize(std::max<std::size_t>(entry + 1, scan->named.size() * 2));
    scan->shared = scan->shared || scan->named[entry];
    scan->named[entry] = true;
  }
}

// The device opened writable where it can be, else read-only with the
// reason, noting its stored entries in scan.
Expected<SparseDevice> OpenScanned(NativeStringView directory, OpenScan* scan, std::optional<Error>* readOnlyWhy) {
  const StoredVisit note = [scan](std::uint32_t chunk, std::uint32_t entry) {
    NoteStored(scan, chunk, entry);
    return MaybeError();
  };
  Expected<SparseDevice> device = OpenSparseDevice(directory, Access::kReadWrite, note);
  if (!device && (device.error().number == EACCES || device.error().number == EROFS)) {
    *readOnlyWhy = device.error();
    // Where the Map was read before the Store refused writing, the second
    // reading notes the same slots and pages again: read-only serving needs
    // nothing else from it.
    device = OpenSparseDevice(directory, Access::kReadOnly, note);
  }
  return device;
}

// Which slots a new chunk may take: where a slot may be free below the last
// one named, the Map is read again for them. Says too whether no slot is
// named twice. With the commit turn held, so that no commit replaces the Map.
Expected<bool> FindFreeSlots(ServedDevice* s, const OpenScan& scan) {
  SlotAllocator slots;
  bool ready = scan.ascending;
  if (!s->writable || (scan.ascending && scan.slotsInUse == s->device.header.allocatedChunkCount)) {
    slots.end = scan.slotsInUse;  // no slot is free below the last (or none is needed)
  } else {
    const EachEntry stored = [s](const EntryVisit& visit) {
      return EachStored(s->map.get(), s->device.header.chunkCount, visit);
    };
    const Expected<bool> twice = FreeUnnamedSlots(&slots, scan.slotsInUse, kSlotsPerWindow, scan.named, stored);
    if (!twice) return twice.error();
    ready = !scan.shared && !*twice;
  }
  SetSlots(s->map.get(), std::move(slots));
  return ready;
}

}  // namespace

void ServedDeviceDeleter::operator()(ServedDevice* served) const { delete served; }

Expected<OwnedServedDevice> OpenServedDevice(NativeStringView directory, NativeStringView absolutePath) {
  OpenScan scan;
  std::optional<Error> readOnlyWhy;
  Expected<SparseDevice> device = OpenScanned(directory, &scan, &readOnlyWhy);
  if (!device) return device.error();
  Expected<SparsePaths> paths = SparsePathsOf(absolutePath);
  if (!paths) return paths.error();
  OwnedServedDevice served(new ServedDevice);
  ServedDevice* s = served.get();
  s->device = std::move(*device);
  s->device.paths = std::move(*paths);
  const Expected<std::uint64_t> storeLength = TrySize(s->device.store.get());
  if (!storeLength) return storeLength.error();
  s->map = MakeServedMap(MapAtOpen{std::move(s->device.map), s->device.header, s->device.store.get(), *storeLength,
                                   std::move(scan.pages)});
  s->commits = MakeMapCommits(&s->device, s->map.get(), &s->users);
  const CommitTurn turn(s->commits.get());
  if (!readOnlyWhy) {
    const Expected<std::optional<Error>> why = WhyCommitsCannot(turn);
    if (!why) return why.error();  // a directory stands where the copy goes
    readOnlyWhy = *why;
  }
  s->writable = !readOnlyWhy;
  const Expected<bool> ready = FindFreeSlots(s, scan);
  if (!ready) return ready.error();
  s->readyToWrite = *ready;
  if (readOnlyWhy) SetReadOnly(turn, *readOnlyWhy);
  return served;
}

Expected<WritingStarted> StartWriting(ServedDevice* s) {
  if (s->writingStarted) return WritingStarted{};
  const CommitTurn turn(s->commits.get());
  if (s->writingStarted || !s->writable) return WritingStarted{};
  const Expected<std::optional<Error>> why = ReadyCopy(turn);
  if (!why) return why.error();
  if (*why) {
    s->writable = false;
    return WritingStarted{*why, std::nullopt};
  }
  if (auto error = ReclaimFreeSlots(s->map.get())) return *error;
  // Only a saving: a device that cannot be compacted (a slot past the
  // Store's end) is served as it is.
  WritingStarted started;
  if (ShouldCompact(s)) {
    if (MaybeError error = CompactStore(MoverOf(s, turn))) started.notCompacted = *error;
  }
  s->writingStarted = true;
  return started;
}

bool MayWrite(ServedDevice* s) { return s->writable; }

std::optional<Error> ReadOnlyWhy(ServedDevice* s) { return ReadOnlyWhy(CommitTurn(s->commits.get())); }
