#include "fileio/report.h"

#include <cstdlib>
#include <new>

#include "fileio/progress.h"
#include "fileio/system.h"

namespace {

[[noreturn]] void Report(NativeStringView text) {
  FinishStandardOutput();
  sys::WriteStandardError(text);
  EndProcess(1);
}

}  // namespace

NativeString PrintableMessage(NativeStringView message) {
  std::size_t pos = 0;
  for (std::size_t count = 0; count < kMaxPathCharacters && pos < message.size(); ++count) {
    NextCodePoint(message, &pos);
  }
  return NativeString(message.substr(0, pos));
}

void Fatal(const Error& error) {
  // Error numbers are positive on every platform.
  const NativeString number = error.number != 0 ? NativeDecimal(static_cast<unsigned>(error.number)) : NativeString();
  Report(Concat({PrintableMessage(error.message), number.empty() ? NATIVE("") : NATIVE(": "), number, NATIVE("\n")}));
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
