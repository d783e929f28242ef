#include "nbdplugin/slot_allocator.h"

#include <algorithm>
#include <iterator>

namespace {

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

void NoteSlot(SlotScan* scan, std::uint32_t slot) {
  if (scan->ascending && slot >= scan->end) {
    FreeSlots(&scan->gaps, scan->end, slot - scan->end);
  } else {
    scan->ascending = false;
  }
  scan->end = std::max<std::uint64_t>(scan->end, std::uint64_t{slot} + 1);
  if (slot >= scan->window) {
    const std::uint64_t later = slot / scan->window - 1;
    if (later >= scan->laterCounts.size()) scan->laterCounts.resize(later + 1);
    ++scan->laterCounts[later];
    return;
  }
  if (slot >= scan->named.size()) {
    scan->named.resize(
        std::min<std::uint64_t>(scan->window, std::max<std::uint64_t>(slot + 1, scan->named.size() * 2)));
  }
  if (!scan->named[slot]) {
    scan->named[slot] = true;
    return;
  }
  if (scan->twice.size() < scan->named.size()) scan->twice.resize(scan->named.size());
  scan->twice[slot] = true;
}

bool MayBeShared(const SharedSlots& shared, std::uint32_t slot) {
  if (!shared.any || slot >= shared.end) return false;
  if (slot < shared.window) return slot < shared.twice.size() && shared.twice[slot];
  const std::uint64_t later = slot / shared.window - 1;
  return later < shared.laterCounts.size() && shared.laterCounts[later] > 1;
}

SlotAllocator FreeSlotsOf(const SlotScan& scan) {
  SlotAllocator slots;
  if (scan.ascending) {
    slots = scan.gaps;
    slots.end = scan.end;
    return slots;
  }
  slots.end = scan.end;
  FreeUnmarked(&slots, 0, scan.named, std::min(scan.end, scan.window));
  for (std::uint64_t low = scan.window; low < scan.end; low += scan.window) {
    const std::uint64_t later = low / scan.window - 1;
    if (later >= scan.laterCounts.size() || scan.laterCounts[later] == 0) {
      FreeSlots(&slots, low, std::min(scan.window, scan.end - low));
    }
  }
  return slots;
}

SharedSlots SharedSlotsOf(SlotScan scan) {
  SharedSlots shared;
  shared.window = scan.window;
  shared.end = scan.end;
  if (scan.ascending) return shared;
  const bool twiceFirst = std::find(scan.twice.begin(), scan.twice.end(), true) != scan.twice.end();
  const bool twiceLater =
      std::any_of(scan.laterCounts.begin(), scan.laterCounts.end(), [](std::uint32_t n) { return n > 1; });
  shared.any = twiceFirst || twiceLater;
  if (twiceFirst) shared.twice = std::move(scan.twice);
  if (twiceLater) shared.laterCounts = std::move(scan.laterCounts);
  return shared;
}
