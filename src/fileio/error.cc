#include "fileio/error.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

Error FormatError(const char* format, ...) {
  char text[256];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  // The texts are ASCII, so each byte is one native character.
  return Error{NativeString(text, text + std::clamp<int>(length, 0, sizeof text - 1))};
}

NativeString PrintableMessage(NativeStringView message) {
  std::size_t pos = 0;
  for (std::size_t count = 0; count < kMaxPathCharacters && pos < message.size(); ++count) {
    NextCodePoint(message, &pos);
  }
  return NativeString(message.substr(0, pos));
}

NativeString ErrorText(const Error& error) {
  if (error.number == 0) return PrintableMessage(error.message);
  // Error numbers are positive on every platform.
  return Concat({PrintableMessage(error.message), NATIVE(": "), NativeDecimal(static_cast<unsigned>(error.number))});
}

Error PathError(const char* what, NativeStringView path, int number) {
  NativeString message(what, what + std::char_traits<char>::length(what));
  message += NATIVE(" '");
  for (std::size_t pos = 0; pos < path.size();) {
    const std::size_t start = pos;
    const char32_t c = NextCodePoint(path, &pos);
    if (c < 0x20 || c == 0x7F) {
      message += NATIVE('?');
    } else {
      message.append(path.substr(start, pos - start));
    }
  }
  message += NATIVE('\'');
  return Error{std::move(message), number};
}

Error TooLarge(std::uint64_t bytes) {
  return FormatError("Block device size %llu is too large", static_cast<unsigned long long>(bytes));
}
