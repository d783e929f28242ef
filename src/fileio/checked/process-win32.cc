// The process's seam on Windows: text-mode standard streams, and a console
// handler that cuts the registered files before the default one ends the
// process.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "fileio/checked/process.h"
#include "fileio/system.h"

namespace sys {
namespace {

// Narrow text for the console: characters up to U+00FF as the byte of the
// same value, any other character as "?".
std::string NarrowText(NativeStringView text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t c = NextCodePoint(text, &pos);
    narrow.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
  }
  return narrow;
}

// Ctrl+C, Ctrl+Break and closing the console end the process the way they
// would have, once the interrupt text is out and the registered files are
// cut. The handler runs on a thread of its own.
BOOL WINAPI CutOnInterrupt(DWORD) {
  std::size_t length = 0;
  const char* text = InterruptText(&length);
  DWORD put = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(length), &put, nullptr);
  CutFilesAfterFailure();
  return FALSE;  // the default handler ends the process
}

}  // namespace

void PrepareStandardStreams() {
  // Text mode, so that each "\n" leaves as CR LF.
  _setmode(_fileno(stdout), _O_TEXT);
  _setmode(_fileno(stderr), _O_TEXT);
  SetConsoleCtrlHandler(CutOnInterrupt, TRUE);
}

void WriteStandardError(NativeStringView text) {
  const std::string narrow = NarrowText(text);
  std::fwrite(narrow.data(), 1, narrow.size(), stderr);
  std::fflush(stderr);
}

bool StandardOutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

}  // namespace sys
