// Reading and verifying a Map, a block of entries at a time: the Map is
// never held whole.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>

#include "fileio/error.h"
#include "fileio/handle.h"
#include "sparsedev/sparse_format.h"

// A buffer for one block of entries.
std::unique_ptr<unsigned char[]> NewEntryBlock();

// Reads count entries from entry first on into out.
MaybeError ReadEntries(FileHandle map, std::uint32_t first, std::uint32_t count, unsigned char* out);

// Reads the entries of the first chunkCount chunks a block at a time and
// calls visit(first, count, entries) for each block, stopping at an error.
template <typename Visit>
MaybeError EachEntryBlock(FileHandle map, std::uint32_t chunkCount, Visit visit) {
  const auto block = NewEntryBlock();
  for (std::uint32_t first = 0; first < chunkCount;) {
    const std::uint32_t count = std::min(kEntriesPerBlock, chunkCount - first);
    if (auto error = ReadEntries(map, first, count, block.get())) return error;
    if (auto error = visit(first, count, static_cast<const unsigned char*>(block.get()))) return error;
    first += count;
  }
  return std::nullopt;
}

// Calls visit(chunk, entry) for each stored entry of the first chunkCount,
// in order, stopping at an error.
template <typename Visit>
MaybeError EachStoredEntry(FileHandle map, std::uint32_t chunkCount, Visit visit) {
  return EachEntryBlock(map, chunkCount,
                        [&](std::uint32_t first, std::uint32_t count, const unsigned char* entries) -> MaybeError {
                          for (std::uint32_t i = NextStoredEntry(entries, 0, count); i < count;
                               i = NextStoredEntry(entries, i + 1, count)) {
                            const std::uint32_t entry = LoadLittleEndian32(entries + std::size_t{i} * kMapEntrySize);
                            if (auto error = visit(first + i, entry)) return error;
                          }
                          return std::nullopt;
                        });
}

// What a reader of the whole Map may learn on the way: called with each
// stored entry.
using StoredVisit = std::function<MaybeError(std::uint32_t chunk, std::uint32_t entry)>;

// Reads the Map of length bytes once and returns the error of the first
// check that fails, in the documented order, or of a failed read; for a
// consistent Map nothing, with its header in *header. visit, if any, sees
// each stored entry as it is read (a Map that fails a check later may have
// shown some).
MaybeError VerifyMap(FileHandle map, std::uint64_t length, MapHeader* header, const StoredVisit& visit = nullptr);
