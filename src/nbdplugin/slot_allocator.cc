#include "nbdplugin/slot_allocator.h"

#include <algorithm>
#include <iterator>

namespace {

// Marks the slots of [low, low + named->size()) that entries name, calling
// again(chunk, entry) for an entry whose slot is marked already.
MaybeError MarkWindow(std::uint64_t low, std::vector<bool>* named, const EachEntry& eachEntry,
                      const EntryVisit& again) {
  return eachEntry([&](std::uint32_t chunk, std::uint32_t entry) -> MaybeError {
    if (entry < low || entry - low >= named->size()) return std::nullopt;
    if (!(*named)[entry - low]) {
      (*named)[entry - low] = true;
      return std::nullopt;
    }
    return again(chunk, entry);
  });
}

// Frees the slots of [low, low + count) that named does not mark (past its
// size, none is marked).
void FreeUnmarked(SlotAllocator* s, std::uint64_t low, const std::vector<bool>& named, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count;) {
    std::uint64_t j = i;
    while (j < count && (j >= named.size() || !named[j])) ++j;
    FreeSlots(s, low + i, j - i);
    while (j < count && j < named.size() && named[j]) ++j;
    i = j;
  }
}

// Free runs that reach the end belong to it: the end comes down.
void LowerEnd(SlotAllocator* s) {
  while (!s->free.empty()) {
    const auto last = std::prev(s->free.end());
    if (last->second != s->end) return;
    s->end = last->first;
    s->free.erase(last);
  }
}

// Adds the run [first, last) to the free runs, joined to its neighbours.
void AddRun(SlotAllocator* s, std::uint32_t first, std::uint32_t last) {
  auto after = s->free.lower_bound(first);
  if (after != s->free.begin()) {
    const auto before = std::prev(after);
    if (before->second >= first) {  // touches or overlaps the run before
      first = before->first;
      last = std::max(last, before->second);
      s->free.erase(before);
    }
  }
  while (after != s->free.end() && after->first <= last) {
    last = std::max(last, after->second);
    after = s->free.erase(after);
  }
  s->free.emplace(first, last);
  if (s->free.size() > kMostFreeRuns) {  // the highest run is forgotten, not the lowest
    const auto highest = std::prev(s->free.end());
    if (highest->second != s->end) s->free.erase(highest);
  }
}

}  // namespace

void FreeSlots(SlotAllocator* s, std::uint64_t first, std::uint64_t count) {
  if (count == 0 || first >= s->end) return;
  const std::uint64_t last = std::min(first + count, s->end);
  AddRun(s, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last));
  LowerEnd(s);
}

std::optional<std::uint32_t> TakeSlot(SlotAllocator* s) {
  if (!s->free.empty()) {
    const auto lowest = s->free.begin();
    const std::uint32_t slot = lowest->first;
    const std::uint32_t last = lowest->second;
    s->free.erase(lowest);
    if (slot + 1 < last) s->free.emplace(slot + 1, last);
    return slot;
  }
  if (s->end >= kSlotLimit) return std::nullopt;
  return static_cast<std::uint32_t>(s->end++);
}

void GiveBackSlot(SlotAllocator* s, std::uint32_t slot) { FreeSlots(s, slot, 1); }

void ReleaseSlot(SlotAllocator* s, std::uint32_t slot) { s->released.push_back(slot); }

void BeginCommit(SlotAllocator* s) {
  s->committing.insert(s->committing.end(), s->released.begin(), s->released.end());
  s->released.clear();
}

void EndCommit(SlotAllocator* s, bool succeeded) {
  if (!succeeded) return;  // the next commit covers them too: nothing to allocate on the way out of a failure
  // One at a time, each gone from the list once free: should an allocation
  // fail on the way, no slot is freed twice (it may have been taken again).
  while (!s->committing.empty()) {
    GiveBackSlot(s, s->committing.back());
    s->committing.pop_back();
  }
}

std::size_t WaitingSlots(const SlotAllocator& s) { return s.released.size() + s.committing.size(); }

std::uint64_t FreeBelowEnd(const SlotAllocator& s) {
  std::uint64_t count = 0;
  for (const auto& [first, last] : s.free) count += last - first;
  return count;
}

Expected<bool> FreeUnnamedSlots(SlotAllocator* s, std::uint64_t end, std::uint64_t window,
                                const std::vector<bool>& firstNamed, const EachEntry& eachEntry) {
  s->end = end;
  FreeUnmarked(s, 0, firstNamed, std::min(end, window));
  bool twice = false;
  const EntryVisit noteTwice = [&](std::uint32_t, std::uint32_t) -> MaybeError {
    twice = true;
    return std::nullopt;
  };
  for (std::uint64_t low = window; low < end; low += window) {
    std::vector<bool> named(std::min(window, end - low));
    if (auto error = MarkWindow(low, &named, eachEntry, noteTwice)) return *error;
    FreeUnmarked(s, low, named, named.size());
  }
  return twice;
}

MaybeError EachSlotNamedAgain(std::uint64_t end, std::uint64_t window, const EachEntry& eachEntry,
                              const EntryVisit& again) {
  for (std::uint64_t low = 0; low < end; low += window) {
    std::vector<bool> named(std::min(window, end - low));
    if (auto error = MarkWindow(low, &named, eachEntry, again)) return error;
  }
  return std::nullopt;
}
