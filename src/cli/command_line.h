// The command line: which operation to run, and every check that needs no
// file. Any problem found here ends the process before anything is touched.
#pragma once

#include "fileio/native_text.h"

// Runs the command line (argument 0 is the program, never used); every
// failure ends the process with status 1.
void RunCommandLine(int argc, NativeChar** argv);
