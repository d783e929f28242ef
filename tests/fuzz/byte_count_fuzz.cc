// Fuzzes byte-count parsing. On ASCII text the C library's strtoll in the
// "C" locale is an exact reference; any other text must merely be safe.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/byte_count.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::uint64_t parsed = ParseByteCount(text);
  for (unsigned char byte : text) {
    if (byte >= 0x80) return 0;
  }
  const auto expected = static_cast<std::uint64_t>(std::strtoll(text.c_str(), nullptr, 10));
  if (parsed != expected) std::abort();
  return 0;
}
