// The parts of the seam that every platform shares: the table of files to
// cut on failure, which the platforms' interruption handlers read.
#include <csignal>

#include "fileio/system.h"

namespace sys {
namespace {

// Plain values, so that a signal handler may read them; a slot is filled
// before it is marked taken.
struct CutSlot {
  FileHandle file;
  std::uint64_t length;
  volatile std::sig_atomic_t taken;
};

CutSlot g_cutSlots[4];

}  // namespace

int RegisterCut(FileHandle file, std::uint64_t length) {
  for (int slot = 0; slot < static_cast<int>(std::size(g_cutSlots)); ++slot) {
    if (g_cutSlots[slot].taken == 0) {
      g_cutSlots[slot].file = file;
      g_cutSlots[slot].length = length;
      g_cutSlots[slot].taken = 1;
      return slot;
    }
  }
  return -1;
}

void UnregisterCut(int slot) { g_cutSlots[slot].taken = 0; }

void CutFilesAfterFailure() {
  for (const CutSlot& slot : g_cutSlots) {
    if (slot.taken != 0) CutTo(slot.file, slot.length);
  }
}

}  // namespace sys
