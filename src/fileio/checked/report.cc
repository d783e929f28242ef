#include "fileio/checked/report.h"

#include <cstdlib>
#include <new>

#include "fileio/checked/process.h"
#include "fileio/checked/progress.h"
#include "fileio/system.h"

namespace {

[[noreturn]] void Report(NativeStringView text) {
  FinishStandardOutput();
  sys::WriteStandardError(text);
  EndProcess(1);
}

}  // namespace

void Fatal(const Error& error) { Report(Concat({ErrorText(error), NATIVE("\n")})); }

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
