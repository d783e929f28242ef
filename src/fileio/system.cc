// The part of the seam that every platform shares: the hook tests stand in
// at.
#include "fileio/system.h"

#include <atomic>

namespace sys {
namespace {

std::atomic<CallHook> g_callHook{nullptr};

}  // namespace

void SetCallHook(CallHook hook) { g_callHook = hook; }

int Hooked(const char* call) {
  const CallHook hook = g_callHook.load(std::memory_order_relaxed);
  return hook != nullptr ? hook(call) : 0;
}

}  // namespace sys
