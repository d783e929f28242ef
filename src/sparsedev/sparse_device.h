// Creation and extension of sparse devices.
#pragma once

#include <cstdint>

#include "fileio/native_text.h"

// Creates the directory path holding an all-absent Map for bytes (rounded
// up to whole chunks) and an empty Store. The directory must not exist.
void CreateSparse(std::uint64_t bytes, const NativeChar* path);

// Lengthens the device in directory path to bytes (rounded up to its own
// chunk length) with absent chunks, or prints a refusal when that would make
// it shorter. The Store is never touched. A failure part-way leaves a device
// that verifies and keeps its old size.
void ExtendSparse(std::uint64_t bytes, const NativeChar* path);
