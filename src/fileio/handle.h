// The values that cross the platform seam: an open file or directory, and a
// range of a file.
#pragma once

#include <cstdint>

// An open file. The value is the platform's own (a descriptor or a handle).
struct FileHandle {
  std::intptr_t native;
};

// A directory held open, through which the files in it are reached by name
// whatever later becomes of its path. On Windows nothing is held: the files
// are reached by their whole paths.
struct DirectoryHandle {
  std::intptr_t native;
};

// A range of a file that may hold data; the rest of the file reads as zeros.
struct DataRange {
  std::uint64_t begin;
  std::uint64_t end;
};

// Offsets and lengths stay below this: the largest signed 64-bit file
// offset, plus one.
constexpr std::uint64_t kOffsetLimit = std::uint64_t{1} << 63;

// A length that stands for "the length the file has then".
constexpr std::uint64_t kCurrentLength = UINT64_MAX;
