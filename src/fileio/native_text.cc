#include "fileio/native_text.h"

std::size_t CountCodePoints(NativeStringView text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); ++count) NextCodePoint(text, &pos);
  return count;
}

NativeString Concat(std::initializer_list<NativeStringView> pieces) {
  std::size_t length = 0;
  for (NativeStringView piece : pieces) length += piece.size();
  NativeString joined;
  joined.reserve(length);
  for (NativeStringView piece : pieces) joined += piece;
  return joined;
}

std::optional<NativeStringView> FindExtension(NativeStringView path) {
  const std::size_t dot = path.rfind(NATIVE('.'));
  if (dot == NativeStringView::npos) return std::nullopt;
  return path.substr(dot + 1);
}

bool HasExtension(NativeStringView path, NativeStringView wanted) {
  const std::optional<NativeStringView> extension = FindExtension(path);
  return extension && *extension == wanted;
}

NativeString NativeDecimal(std::uint64_t value) {
  NativeChar digits[20];
  std::size_t start = sizeof digits / sizeof digits[0];
  do {
    digits[--start] = static_cast<NativeChar>(NATIVE('0') + value % 10);
    value /= 10;
  } while (value != 0);
  return NativeString(digits + start, digits + sizeof digits / sizeof digits[0]);
}
