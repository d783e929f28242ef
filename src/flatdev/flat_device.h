// Flat block devices: one file whose bytes are the device's bytes. Sizes are
// rounded up to whole 512-byte blocks.
#pragma once

#include <cstdint>

#include "fileio/native_text.h"

// Flat devices are a whole number of blocks of this size.
constexpr std::uint64_t FLAT_BLOCK_SIZE = 512;

// Creates or replaces the file at path with bytes (rounded up) of zeros.
void CreateFlat(std::uint64_t bytes, const NativeChar* path);

// Grows the existing file at path to bytes (rounded up), or prints a refusal
// when that would make it shorter.
void ExtendFlat(std::uint64_t bytes, const NativeChar* path);
