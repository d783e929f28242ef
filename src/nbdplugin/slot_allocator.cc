#include "nbdplugin/slot_allocator.h"

#include <algorithm>
#include <iterator>

namespace {

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
  if (succeeded) {
    for (const std::uint32_t slot : s->committing) GiveBackSlot(s, slot);
  } else {
    s->released.insert(s->released.end(), s->committing.begin(), s->committing.end());
  }
  s->committing.clear();
}

std::size_t WaitingSlots(const SlotAllocator& s) { return s.released.size() + s.committing.size(); }

std::uint64_t FreeBelowEnd(const SlotAllocator& s) {
  std::uint64_t count = 0;
  for (const auto& [first, last] : s.free) count += last - first;
  return count;
}
