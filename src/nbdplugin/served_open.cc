// Opening a served device: the Map verified and scanned once, the read-only
// decision, the free and shared slots; and readying it at the first
// connection that may write.
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
// is verified, whatever they say.
struct OpenScan {
  SlotScan slots;
  std::vector<std::uint64_t> pages;  // which pages of entries may hold data
};

// The device opened writable where it can be, else read-only with the
// reason, noting its stored entries in scan.
Expected<SparseDevice> OpenScanned(NativeStringView directory, OpenScan* scan, std::optional<Error>* readOnlyWhy) {
  const StoredVisit note = [scan](std::uint32_t chunk, std::uint32_t entry) {
    NoteSlot(&scan->slots, entry);
    MarkPage(&scan->pages, chunk);
    return MaybeError();
  };
  Expected<SparseDevice> device = OpenSparseDevice(directory, Access::kReadWrite, note);
  if (!device && (device.error().number == EACCES || device.error().number == EROFS)) {
    *readOnlyWhy = device.error();
    *scan = OpenScan{};  // the Map may have been read before the Store refused writing
    device = OpenSparseDevice(directory, Access::kReadOnly, note);
  }
  return device;
}

// Where the slots do not ascend and reach past the first window, a second
// reading of the Map marks every slot, so that the free and the shared ones
// are known exactly; where they spread more than four times as far as the
// chunks that name them (memory stays about a quarter of the Map's), only
// the first window is, and a later window with entries is kept in use and
// its slots copied apart before they change. Not for a device served
// read-only, which writes no slot.
MaybeError MarkEverySlot(const SparseDevice& device, OpenScan* scan) {
  const std::uint64_t end = scan->slots.end;
  if (scan->slots.ascending || end <= scan->slots.window ||
      end > 4 * std::uint64_t{device.header.allocatedChunkCount}) {
    return std::nullopt;
  }
  SlotScan every;
  every.window = end;
  if (auto error = EachStoredEntry(device.map.get(), device.header.chunkCount, [&](std::uint32_t, std::uint32_t slot) {
        NoteSlot(&every, slot);
        return MaybeError();
      })) {
    return error;
  }
  scan->slots = std::move(every);
  return std::nullopt;
}

}  // namespace

void ServedDeviceDeleter::operator()(ServedDevice* served) const { delete served; }

Expected<OwnedServedDevice> OpenServedDevice(NativeStringView directory, NativeStringView absolutePath) {
  OpenScan scan;
  std::optional<Error> readOnlyWhy;
  Expected<SparseDevice> device = OpenScanned(directory, &scan, &readOnlyWhy);
  if (!device) return device.error();
  if (!readOnlyWhy) {
    if (auto error = MarkEverySlot(*device, &scan)) return *error;
  }
  Expected<SparsePaths> paths = SparsePathsOf(absolutePath);
  if (!paths) return paths.error();
  OwnedServedDevice served(new ServedDevice);
  ServedDevice* s = served.get();
  s->device = std::move(*device);
  s->device.paths = std::move(*paths);
  const Expected<std::uint64_t> storeLength = TrySize(s->device.store.get());
  if (!storeLength) return storeLength.error();
  SlotAllocator slots = FreeSlotsOf(scan.slots);
  s->map = MakeServedMap(MapAtOpen{std::move(s->device.map), s->device.header, s->device.store.get(), *storeLength,
                                   std::move(scan.pages), std::move(slots), SharedSlotsOf(std::move(scan.slots))});
  Expected<OwnedMapCommits> commits = MakeMapCommits(&s->device, s->map.get(), &s->users, std::move(readOnlyWhy));
  if (!commits) return commits.error();  // a directory stands where the copy goes
  s->commits = std::move(*commits);
  return served;
}

Expected<WritingStarted> StartWriting(ServedDevice* s) {
  MapCommits* c = s->commits.get();
  if (WritingHasStarted(c) || !MayWrite(c)) return WritingStarted{};
  const CommitTurn turn(c);
  if (WritingHasStarted(c) || !MayWrite(c)) return WritingStarted{};
  WritingStarted started;
  const Expected<bool> ready = StartWritingCommits(c, &started.readOnlyWhy);
  if (!ready) return ready.error();
  if (started.readOnlyWhy) return started;
  if (*ready) {
    if (auto error = ReclaimFreeSlots(s->map.get())) return *error;
    // Only a saving: a device that cannot be compacted (a slot past the
    // Store's end) is served as it is.
    if (ShouldCompact(s)) {
      if (MaybeError error = CompactStore(&s->device, s->map.get(), c)) started.notCompacted = *error;
    }
  }
  WritingReady(c);
  return started;
}

bool MayWrite(ServedDevice* s) { return MayWrite(s->commits.get()); }

std::optional<Error> ReadOnlyWhy(ServedDevice* s) { return ReadOnlyWhy(s->commits.get()); }
