// Ending the process. Every failure ends it at once with exit status 1 after
// one message on standard error; standard output is flushed first, so that a
// combined stream shows the lines in the order they happened.
#pragma once

#include <cstddef>

#include "fileio/compiler.h"
#include "fileio/native_text.h"

// The message as it is printed: cut to 259 characters without splitting
// one, with control characters (a path's newline or escape) as "?".
NativeString PrintableMessage(NativeStringView message);

// Ends the process with "<message>\n".
[[noreturn]] void Fatal(NativeStringView message);

// Ends the process with "<message>: <errorNumber>\n".
[[noreturn]] void Fatal(NativeStringView message, int errorNumber);

// Ends the process with the printf-style text exactly as formatted (the
// format carries its own newlines).
[[noreturn]] void FatalFormat(const char* format, ...) QUILLON_PRINTF_FORMAT(1, 2);

// Ends the process with the given status after all pending output; a
// failing status first cuts the files registered to be cut on failure.
[[noreturn]] void EndProcess(int status);

// Readies the process before any file is opened: safe standard streams, and
// "Cannot allocate memory" for every failed allocation.
void PrepareProcess();
