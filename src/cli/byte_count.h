// Byte counts as given on the command line.
#pragma once

#include <cstdint>

#include "fileio/native_text.h"

// Reads text as a signed 64-bit decimal number, taken as an unsigned byte
// count: leading white space skipped, one optional sign directly before the
// digits (decimal digits of several scripts count), the rest ignored, a
// magnitude out of range clamped, no digits giving 0. Never fails: "-1"
// gives the largest count.
std::uint64_t ParseByteCount(NativeStringView text);
