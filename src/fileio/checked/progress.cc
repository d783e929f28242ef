#include "fileio/checked/progress.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "fileio/checked/process.h"
#include "fileio/system.h"

namespace {

using Clock = std::chrono::steady_clock;

// Shortest time between two redraws of the percentage.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// The phase whose line is on the screen without its newline.
struct OpenPhase {
  bool open = false;
  std::uint64_t total = 0;
  int drawnWidth = 0;  // characters of percentage after the line
  int drawnPercent = -1;
  Clock::time_point lastDraw;
};

OpenPhase g_phase;

// Backspaces over the drawn percentage, blanks over it, and back again, in
// text; returns the length. Needs no memory: it also runs after an
// allocation failed.
std::size_t ErasingText(int width, char (&text)[64]) {
  std::size_t length = 0;
  for (int pass = 0; pass < 3; ++pass) {
    for (int i = 0; i < width && length < sizeof text; ++i) text[length++] = pass == 1 ? ' ' : '\b';
  }
  return length;
}

void ErasePercentage() {
  char text[64];
  std::fwrite(text, 1, ErasingText(g_phase.drawnWidth, text), stdout);
  g_phase.drawnWidth = 0;
  sys::SetInterruptText("", 0);
}

}  // namespace

void PrintProgress(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);
  va_end(arguments);
}

void PrintOldSize(std::uint64_t oldSize) {
  PrintProgress("Old block device size is %llu\n", static_cast<unsigned long long>(oldSize));
}

bool PrintNewSize(std::uint64_t oldSize, std::uint64_t newSize, const char* refusalEnd) {
  PrintProgress("New block device size is %llu\n", static_cast<unsigned long long>(newSize));
  if (newSize >= oldSize) return true;
  PrintProgress("Refusing to shorten block device%s", refusalEnd);
  return false;
}

void BeginPhase(const char* line, std::uint64_t total) {
  std::fputs(line, stdout);
  if (!sys::StandardOutputIsTerminal()) {
    std::fputc('\n', stdout);
    return;
  }
  g_phase = OpenPhase{true, total, 0, -1, Clock::now() - kRedrawInterval};
  std::fflush(stdout);
}

void AdvancePhase(std::uint64_t done) {
  if (!g_phase.open || g_phase.total == 0) return;
  const Clock::time_point now = Clock::now();
  if (now - g_phase.lastDraw < kRedrawInterval) return;
  const int percent = static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(g_phase.total));
  if (percent == g_phase.drawnPercent) return;
  g_phase.lastDraw = now;
  g_phase.drawnPercent = percent;
  ErasePercentage();
  g_phase.drawnWidth = std::max(0, std::printf(" %d%%", percent));
  std::fflush(stdout);
  // An interruption erases it too, so the screen keeps only whole lines.
  char erase[64];
  sys::SetInterruptText(erase, ErasingText(g_phase.drawnWidth, erase));
}

void EndPhase() {
  if (!g_phase.open) return;
  ErasePercentage();
  std::fputc('\n', stdout);
  g_phase.open = false;
}

void FinishStandardOutput() {
  EndPhase();
  std::fflush(stdout);
}
