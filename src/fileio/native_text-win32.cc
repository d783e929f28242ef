// Native text on Windows is UTF-16.
#include "fileio/native_text.h"

char32_t NextCodePoint(NativeStringView text, std::size_t* pos) {
  const std::size_t at = *pos;
  const char32_t unit = static_cast<char16_t>(text[at]);
  *pos = at + 1;
  if (unit < 0xD800 || unit > 0xDFFF) return unit;
  if (unit >= 0xDC00 || at + 1 >= text.size()) return kInvalidCodePoint;
  const char32_t low = static_cast<char16_t>(text[at + 1]);
  if (low < 0xDC00 || low > 0xDFFF) return kInvalidCodePoint;
  *pos = at + 2;
  return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
}
