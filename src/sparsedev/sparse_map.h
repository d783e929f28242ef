// Reading and verifying a Map, a block of entries at a time: the Map is
// never held whole.
#pragma once

#include <cstdint>
#include <memory>

#include "fileio/error.h"
#include "fileio/handle.h"
#include "sparsedev/sparse_format.h"

// A buffer for one block of entries.
std::unique_ptr<unsigned char[]> NewEntryBlock();

// Reads count entries from entry first on into out.
MaybeError ReadEntries(FileHandle map, std::uint32_t first, std::uint32_t count, unsigned char* out);

// Reads the Map of length bytes once and returns the error of the first
// check that fails, in the documented order, or of a failed read; for a
// consistent Map nothing, with its header in *header.
MaybeError VerifyMap(FileHandle map, std::uint64_t length, MapHeader* header);
