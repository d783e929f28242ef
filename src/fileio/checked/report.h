// Ending the process: the commands' one fatal report. Every failure ends it
// at once with exit status 1 after one message on standard error; standard
// output is flushed first, so that a combined stream shows the lines in the
// order they happened.
#pragma once

#include <utility>

#include "fileio/error.h"
#include "fileio/native_text.h"

// Ends the process with "<message>\n", or "<message>: <number>\n" for a
// failed system call.
[[noreturn]] void Fatal(const Error& error);

// The value, or the end of the process with the error that kept it.
template <typename T>
T OrExit(Expected<T> value) {
  if (!value) Fatal(value.error());
  return std::move(*value);
}

inline void OrExit(const MaybeError& error) {
  if (error) Fatal(*error);
}

// Ends the process with the given status after all pending output; a
// failing status first cuts the files registered to be cut on failure.
[[noreturn]] void EndProcess(int status);

// Readies the process before any file is opened: safe standard streams, and
// "Cannot allocate memory" for every failed allocation.
void PrepareProcess();
