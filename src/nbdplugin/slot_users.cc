#include "nbdplugin/slot_users.h"

#include <chrono>
#include <thread>

// Counted in the phase current after the count: a commit that changed
// phases meanwhile may not have seen it, but this request has looked up
// nothing yet.
SlotUse::SlotUse(SlotUsers* users) : users_(users) {
  for (;;) {
    phase_ = users_->phase.load();
    ++users_->count[phase_];
    if (users_->phase.load() == phase_) return;
    --users_->count[phase_];
  }
}

SlotUse::~SlotUse() { --users_->count[phase_]; }

void WaitForEarlierSlotUsers(SlotUsers* users) {
  const unsigned earlier = users->phase.load();
  users->phase.store(earlier ^ 1);
  while (users->count[earlier].load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
}
