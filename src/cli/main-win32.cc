// Process entry on Windows: arguments arrive as UTF-16, exactly as given.
#include "cli/command_line.h"
#include "fileio/checked/report.h"

int wmain(int argc, wchar_t** argv) {
  PrepareProcess();
  RunCommandLine(argc, argv);
  EndProcess(0);
}
