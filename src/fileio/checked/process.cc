// The parts of the process's seam that every platform shares: the table of
// files to cut on failure and the text an interruption writes, which the
// platforms' interruption handlers read.
#include "fileio/checked/process.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <iterator>

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

// What an interruption writes to standard output before the process ends.
char g_interruptText[64];
volatile std::sig_atomic_t g_interruptLength = 0;

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

void SetInterruptText(const char* text, std::size_t length) {
  g_interruptLength = 0;
  length = std::min(length, sizeof g_interruptText);
  std::memcpy(g_interruptText, text, length);
  g_interruptLength = static_cast<std::sig_atomic_t>(length);
}

const char* InterruptText(std::size_t* length) {
  *length = static_cast<std::size_t>(g_interruptLength);
  return g_interruptText;
}

void CutFilesAfterFailure() {
  for (const CutSlot& slot : g_cutSlots) {
    if (slot.taken != 0) CutTo(slot.file, slot.length);
  }
}

}  // namespace sys
