// The part of the seam that every platform shares: which record of file
// calls is in use.
#include "fileio/system.h"

#include <atomic>

namespace sys {
namespace {

std::atomic<const FileCalls*> g_fileCalls{nullptr};

}  // namespace

void UseFileCalls(const FileCalls* calls) { g_fileCalls = calls; }

const FileCalls* FileCallsPutInPlace() { return g_fileCalls.load(std::memory_order_acquire); }

}  // namespace sys
