// Flat block devices: one file whose bytes are the device's bytes. Sizes are
// rounded up to whole 512-byte blocks.
#pragma once

#include <cstdint>

#include "fileio/native_text.h"

// Flat devices are a whole number of blocks of this size.
constexpr std::uint64_t FLAT_BLOCK_SIZE = 512;

// Largest byte count whose rounded size still fits a file offset.
constexpr std::uint64_t kMaxFlatRequest = (std::uint64_t{1} << 63) - FLAT_BLOCK_SIZE;

// bytes rounded up to whole blocks; wraps to 0 for the 511 largest counts.
std::uint64_t RoundToFlatBlocks(std::uint64_t bytes);

// Creates or replaces the file at path with bytes (rounded up) of zeros.
void CreateFlat(std::uint64_t bytes, const NativeChar* path);

// Grows the existing file at path to bytes (rounded up), or prints a refusal
// when that would make it shorter.
void ExtendFlat(std::uint64_t bytes, const NativeChar* path);
