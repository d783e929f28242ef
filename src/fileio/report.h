// The fatal reports. Every failure ends the process at once with exit status
// 1 after one message on standard error; standard output is flushed first so
// that a combined stream shows the lines in the order they happened.
#pragma once

#include <cstddef>

#include "fileio/file.h"
#include "fileio/native_text.h"

// Longest message, in characters, that a fatal report prints; the rest is cut.
constexpr std::size_t kMaxMessageCharacters = 259;

// The first kMaxMessageCharacters characters of message, never splitting one.
NativeStringView CutMessage(NativeStringView message);

// Ends the process with "<message>\n", the message cut to its limit.
[[noreturn]] void Fatal(NativeStringView message);

// Ends the process with "<message>: <number>\n", the message cut to its limit.
[[noreturn]] void FatalWithErrorNumber(NativeStringView message, int number);

// Takes the platform's last error number before anything can change it, then
// ends the process with the pieces joined into "<message>: <number>\n".
template <typename... Pieces>
[[noreturn]] void FatalLastError(const Pieces&... pieces) {
  const int number = LastErrorNumber();
  FatalWithErrorNumber(Concat({NativeStringView(pieces)...}), number);
}

// Ends the process with the narrow printf-style message, exactly as formatted
// (the format carries its own newline).
[[noreturn]] void FatalFormat(const char* format, ...)
    QUILLON_PRINTF_FORMAT(1, 2);

// Ends the process with "Short read from file\n": a file held fewer bytes
// than it had to.
[[noreturn]] void FatalShortRead();

// Ends the process with "Cannot allocate memory\n".
[[noreturn]] void OutOfMemory();

// Ends the process with "Block device size <bytes> is too large\n".
[[noreturn]] void FatalTooLarge(unsigned long long bytes);

// Ends the process with the given exit status, after all pending output.
[[noreturn]] void EndProcess(int status);

// A zero-filled heap buffer of size bytes, or OutOfMemory. Never null, even
// for a size of 0. Release it with FreeBuffer.
unsigned char* AllocateZeroed(std::size_t size);

// Releases a buffer from AllocateZeroed.
void FreeBuffer(unsigned char* buffer);
