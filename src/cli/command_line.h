// The command line: which operation to run, and every check that needs no
// file. Any problem found here ends the process before anything is touched.
#pragma once

#include <cstdint>
#include <optional>

#include "fileio/native_text.h"

// Runs the command line (argument 0 is the program, never used) and returns
// the exit status 0; every failure ends the process with status 1.
int RunCommandLine(int argc, NativeChar** argv);

// Writes the usage text to standard error and ends the process with status 1.
[[noreturn]] void ExitWithUsage();

// The text after the last "." of the whole path (separators included), or
// nothing when the path has no ".".
std::optional<NativeStringView> FindExtension(NativeStringView path);

// Returns if the path's extension is exactly "fs"; otherwise ends the process
// with "Flat block device must have extension 'fs'".
void RequireFlatPath(NativeStringView path);

// Returns if the path's extension is exactly "sparsefs"; otherwise ends the
// process with "Sparse block device must have extension 'sparsefs'".
void RequireSparsePath(NativeStringView path);

// Extends the flat or sparse device at path, chosen by its extension.
void ExtendDevice(std::uint64_t bytes, const NativeChar* path);
