#include "cli/byte_count.h"

#include <iterator>

#include "fileio/handle.h"

namespace {

// First code points of the runs of ten that count as the digits 0 to 9.
constexpr char32_t kDigitRunStarts[] = {
    0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
    0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10,
};

// Characters above U+00FF that count as white space. A fixed table, so that
// no result depends on a locale or a platform.
constexpr char32_t kWideSpaces[] = {
    0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007,
    0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

// Whether c is white space that may lead a byte count.
bool IsByteCountSpace(char32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0xA0) return true;
  if (c <= 0xFF) return false;
  for (char32_t space : kWideSpaces) {
    if (c == space) return true;
  }
  return false;
}

// The value 0 to 9 of the decimal digit c, or -1 when c is no digit.
int DigitValue(char32_t c) {
  for (char32_t start : kDigitRunStarts) {
    if (c >= start && c - start < 10) return static_cast<int>(c - start);
  }
  return -1;
}

}  // namespace

std::uint64_t ParseByteCount(NativeStringView text) {
  std::size_t pos = 0;
  std::size_t next = 0;
  char32_t c = 0;
  const auto advance = [&] {
    pos = next;
    c = pos < text.size() ? NextCodePoint(text, &next) : kInvalidCodePoint;
    return pos < text.size();
  };
  advance();
  while (pos < text.size() && IsByteCountSpace(c)) advance();

  bool negative = false;
  if (pos < text.size() && (c == U'+' || c == U'-')) {
    negative = c == U'-';
    advance();
  }

  // The magnitude saturates at 2^63, the largest any signed result needs.
  std::uint64_t magnitude = 0;
  for (int digit; pos < text.size() && (digit = DigitValue(c)) >= 0; advance()) {
    if (magnitude <= (kOffsetLimit - digit) / 10) {
      magnitude = magnitude * 10 + digit;
    } else {
      magnitude = kOffsetLimit;
    }
  }

  if (negative) return magnitude >= kOffsetLimit ? kOffsetLimit : 0 - magnitude;
  return magnitude >= kOffsetLimit ? kOffsetLimit - 1 : magnitude;
}
