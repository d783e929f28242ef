// Process entry on Linux: arguments arrive as bytes and are used as they are.
#include "cli/command_line.h"
#include "fileio/checked/report.h"

int main(int argc, char** argv) {
  PrepareProcess();
  RunCommandLine(argc, argv);
  EndProcess(0);
}
