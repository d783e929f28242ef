#include "nbdplugin/slot_users.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

// A commit waits for the requests that began before it, and not for one that begins while it waits.
TEST(SlotUsers, ACommitWaitsForEarlierRequestsAlone) {
  SlotUsers users;
  auto earlier = std::make_unique<SlotUse>(&users);
  std::atomic<bool> waited = false;
  const unsigned phase = users.phase.load();
  std::thread commit([&] {
    WaitForEarlierSlotUsers(&users);
    waited = true;
  });
  while (users.phase.load() == phase) std::this_thread::yield();  // the commit has begun to wait
  auto later = std::make_unique<SlotUse>(&users);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(waited);
  earlier.reset();
  for (int i = 0; i < 500 && !waited; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(waited);
  later.reset();
  commit.join();
}
