// Native text on Linux is bytes, read as UTF-8.
#include "fileio/native_text.h"

char32_t NextCodePoint(NativeStringView text, std::size_t* pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const std::size_t at = *pos;
  const unsigned lead = byte(at);
  *pos = at + 1;
  if (lead < 0x80) return lead;

  std::size_t length;
  char32_t value;
  char32_t smallest;  // below this the encoding is overlong
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, smallest = 0x10000;
  } else {
    return kInvalidCodePoint;
  }
  if (text.size() - at < length) return kInvalidCodePoint;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned next = byte(at + i);
    if ((next & 0xC0) != 0x80) return kInvalidCodePoint;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return kInvalidCodePoint;
  }
  *pos = at + length;
  return value;
}
