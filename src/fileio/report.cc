#include "fileio/report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "fileio/progress.h"
#include "fileio/system.h"

namespace {

bool IsControl(char32_t c) { return c < 0x20 || c == 0x7F; }

[[noreturn]] void Report(NativeStringView text) {
  FinishStandardOutput();
  sys::WriteStandardError(text);
  EndProcess(1);
}

}  // namespace

NativeString PrintableMessage(NativeStringView message) {
  NativeString printable;
  std::size_t pos = 0;
  for (std::size_t count = 0; count < kMaxPathCharacters && pos < message.size(); ++count) {
    const std::size_t start = pos;
    if (IsControl(NextCodePoint(message, &pos))) {
      printable += NATIVE('?');
    } else {
      printable.append(message.substr(start, pos - start));
    }
  }
  return printable;
}

void Fatal(NativeStringView message) { Report(Concat({PrintableMessage(message), NATIVE("\n")})); }

void Fatal(NativeStringView message, int errorNumber) {
  // Error numbers are positive on every platform.
  Report(Concat(
      {PrintableMessage(message), NATIVE(": "), NativeDecimal(static_cast<unsigned>(errorNumber)), NATIVE("\n")}));
}

void FatalFormat(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  // The texts are ASCII, so each byte is one native character.
  const char* end = text + std::clamp<int>(length, 0, sizeof text - 1);
  const char* begin = text;
  Report(NativeString(begin, end));
}

void EndProcess(int status) {
  FinishStandardOutput();
  if (status != 0) sys::CutFilesAfterFailure();
  std::exit(status);
}

namespace {

// The new-handler: every failed allocation ends here, so nothing on the way
// out may ask for memory.
[[noreturn]] void OutOfMemory() {
  FinishStandardOutput();
  sys::WriteStandardError(NATIVE("Cannot allocate memory\n"));
  EndProcess(1);
}

}  // namespace

void PrepareProcess() {
  sys::PrepareStandardStreams();
  std::set_new_handler(OutOfMemory);
}
