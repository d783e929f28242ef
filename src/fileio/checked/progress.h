// Progress lines on standard output. On a terminal a long phase also shows a
// live percentage after its line, erased before the line's newline, so the
// text left on the screen is exactly the progress lines.
#pragma once

#include <cstdint>

#include "fileio/compiler.h"

// Prints one complete progress line (printf-style; the format holds "\n").
void PrintProgress(const char* format, ...) QUILLON_PRINTF_FORMAT(1, 2);

// An extension's lines: the old size, then the new one; when the new one is
// smaller, also the refusal, ended by refusalEnd (flat devices have always
// printed it without a newline), and PrintNewSize returns false.
void PrintOldSize(std::uint64_t oldSize);
bool PrintNewSize(std::uint64_t oldSize, std::uint64_t newSize, const char* refusalEnd);

// Prints a progress line, given without its newline, that starts a phase of
// total units of work. The newline comes at EndPhase, or before any output
// on standard error.
void BeginPhase(const char* line, std::uint64_t total);

// Reports that done of the phase's total units are finished.
void AdvancePhase(std::uint64_t done);

// Ends the phase: erases the percentage and ends its line.
void EndPhase();

// Ends an open phase line and flushes standard output. Called before
// anything is written to standard error.
void FinishStandardOutput();
