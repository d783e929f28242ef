// The values that cross the platform seam: an open file and a range of one.
#pragma once

#include <cstdint>

// An open file. The value is the platform's own (a descriptor or a handle).
struct FileHandle {
  std::intptr_t native;
};

// A range of a file that may hold data; the rest of the file reads as zeros.
struct DataRange {
  std::uint64_t begin;
  std::uint64_t end;
};

// A length that stands for "the length the file has then".
constexpr std::uint64_t kCurrentLength = UINT64_MAX;
