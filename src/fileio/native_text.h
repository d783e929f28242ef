// Text in the platform's native form: the bytes of a POSIX path or argument,
// or the UTF-16 units of a Windows one. The front end and the device
// operations are written once against these names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#ifdef _WIN32
using NativeChar = wchar_t;
#define NATIVE(text) L##text
#else
using NativeChar = char;
#define NATIVE(text) text
#endif

using NativeString = std::basic_string<NativeChar>;
using NativeStringView = std::basic_string_view<NativeChar>;

// Longest path or message, in characters: a Windows path without its
// terminator. Longer messages are cut; longer derived paths are refused.
constexpr std::size_t kMaxPathCharacters = 259;

// What NextCodePoint gives for a unit that does not start a valid character.
constexpr char32_t kInvalidCodePoint = 0xFFFFFFFF;

// Decodes the character at *pos (UTF-8 or UTF-16, as native text is) and
// advances *pos past it. An invalid unit is consumed alone and gives
// kInvalidCodePoint. *pos must be below text.size().
char32_t NextCodePoint(NativeStringView text, std::size_t* pos);

// Number of characters (code points, an invalid unit counting as one) in text.
std::size_t CountCodePoints(NativeStringView text);

// The pieces joined into one string.
NativeString Concat(std::initializer_list<NativeStringView> pieces);

// The text after the last "." of the whole path (separators included), or
// nothing when the path has no ".".
std::optional<NativeStringView> FindExtension(NativeStringView path);

// Whether path's extension is wanted.
bool HasExtension(NativeStringView path, NativeStringView wanted);

// The decimal digits of value, as native text.
NativeString NativeDecimal(std::uint64_t value);
