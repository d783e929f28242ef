// The process's side of the platform seam, for the commands only: what an
// interruption or a failure does on the way out, and the standard streams.
// One implementation per platform; the table of files to cut and the
// interrupt text are shared (process.cc). This is where the process may be
// ended, apart from the fatal report: nothing a server links is here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fileio/handle.h"
#include "fileio/native_text.h"

namespace sys {

// Files to cut should the process fail or be interrupted, kept in one table
// that both platforms' interruption handlers read. RegisterCut returns the
// slot to hand to UnregisterCut, or -1 when the table is full.
int RegisterCut(FileHandle file, std::uint64_t length);
void UnregisterCut(int slot);

// Cuts every registered file. Called on the way out after a failure, and by
// the interruption handler.
void CutFilesAfterFailure();

// Text written to standard output should an interruption end the process
// (a terminal's live percentage is erased this way); at most 64 bytes, or
// empty for none.
void SetInterruptText(const char* text, std::size_t length);

// The interrupt text, for the platforms' handlers. Safe inside one.
const char* InterruptText(std::size_t* length);

// Makes the standard streams safe before any file is opened: a closed one
// is taken by a pipe with no reader or writer, which needs no device file
// and can never be a device, and output that cannot be written never ends
// the process. An interruption writes the interrupt text, cuts the
// registered files and ends the process as the signal would have.
void PrepareStandardStreams();

// Writes text to standard error, unbuffered; failures are ignored.
void WriteStandardError(NativeStringView text);

// Whether standard output is a terminal.
bool StandardOutputIsTerminal();

}  // namespace sys
