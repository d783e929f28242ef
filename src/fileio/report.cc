#include "fileio/report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "fileio/console.h"

NativeStringView CutMessage(NativeStringView message) {
  std::size_t end = 0;
  for (std::size_t count = 0; count < kMaxMessageCharacters && end < message.size();
       ++count) {
    NextCodePoint(message, &end);
  }
  return message.substr(0, end);
}

void Fatal(NativeStringView message) {
  FinishStandardOutput();
  WriteStandardError(Concat({CutMessage(message), NATIVE("\n")}));
  EndProcess(1);
}

void FatalWithErrorNumber(NativeStringView message, int number) {
  FinishStandardOutput();
  const NativeString sign = number < 0 ? NATIVE("-") : NATIVE("");
  const auto magnitude = static_cast<std::uint64_t>(number < 0 ? -static_cast<long long>(number)
                                                               : number);
  WriteStandardError(Concat({CutMessage(message), NATIVE(": "), sign,
                             NativeDecimal(magnitude), NATIVE("\n")}));
  EndProcess(1);
}

void FatalFormat(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  FinishStandardOutput();
  if (length > 0) {
    WriteStandardErrorBytes(
        std::string_view(text, std::min<std::size_t>(length, sizeof text - 1)));
  }
  EndProcess(1);
}

void FatalShortRead() { Fatal(NATIVE("Short read from file")); }

void OutOfMemory() { FatalFormat("Cannot allocate memory\n"); }

void FatalTooLarge(unsigned long long bytes) {
  FatalFormat("Block device size %llu is too large\n", bytes);
}

void EndProcess(int status) {
  FinishStandardOutput();
  std::exit(status);
}

unsigned char* AllocateZeroed(std::size_t size) {
  void* buffer = std::calloc(size == 0 ? 1 : size, 1);
  if (buffer == nullptr) OutOfMemory();
  return static_cast<unsigned char*>(buffer);
}

void FreeBuffer(unsigned char* buffer) { std::free(buffer); }
