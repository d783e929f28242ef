// Requests that use a slot number they looked up, and a commit's wait for
// them: a slot freed meanwhile must not be handed out again while such a
// request may still write to it. No lock: every read and write counts
// itself in, with atomics, in one of two phases, so that a commit waits
// for the requests that began before it and not for those that begin
// after.
#pragma once

#include <atomic>
#include <cstdint>

struct SlotUsers {
  std::atomic<unsigned> phase{0};
  std::atomic<std::uint64_t> count[2] = {0, 0};
};

// While it lives, the request uses slot numbers it looked up.
class SlotUse {
 public:
  explicit SlotUse(SlotUsers* users);
  ~SlotUse();
  SlotUse(const SlotUse&) = delete;
  SlotUse& operator=(const SlotUse&) = delete;

 private:
  SlotUsers* users_;
  unsigned phase_;
};

// Waits until every request that began using slots before now has ended;
// requests are short, and commits wait for the disk far longer. One waits
// at a time (the commit lock), so the other phase is empty when it begins.
void WaitForEarlierSlotUsers(SlotUsers* users);
