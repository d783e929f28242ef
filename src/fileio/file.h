// Checked file operations. Each one either does exactly what was asked or
// ends the process with a message naming the failure (and, for a failed
// system call, the platform's error number), so callers never test results.
// Every file is opened without sharing: a file that another process holds
// makes the open fail, and no other process can open one while we hold it.
#pragma once

#include <cstdint>
#include <optional>

#include "fileio/native_text.h"

// An open file. The value is the platform's own (a descriptor or a handle).
struct FileHandle {
  std::intptr_t native;
};

// Opens an existing file for reading, or for reading and writing.
// Fails with "Cannot open '<path>'" and the error number.
FileHandle OpenExisting(const NativeChar* path, bool writable);

// Creates the file, or empties an existing one, for reading and writing.
// A file held by another process is left untouched.
// Fails with "Cannot create '<path>'" and the error number.
FileHandle CreateAlways(const NativeChar* path);

// Reads count bytes at the file position and returns how many were read.
// Fewer are accepted only when allowShort is true (end of file); bytes of the
// buffer past those read keep their values. Fails with "Cannot read from
// file" and the error number, or "Short read from file".
std::uint32_t ReadBytes(FileHandle file, void* buffer, std::uint32_t count,
                        bool allowShort);

// Writes count bytes at the file position. Fails with "Cannot write to file"
// and the error number, or "Short write to file".
void WriteBytes(FileHandle file, const void* buffer, std::uint32_t count);

// The file's length in bytes. Fails with "Cannot get file size".
std::uint64_t GetSize(FileHandle file);

// Moves the end of file to size and the file position back to 0. Fails with
// "Cannot set file pointer", "Cannot set end of file" or "Cannot rewind file
// pointer", each with the error number.
void SetSize(FileHandle file, std::uint64_t size);

// Moves the file position to offset (past the end is allowed). Fails with
// "Cannot set file pointer to <offset>" and the error number.
void SeekTo(FileHandle file, std::uint64_t offset);

// Creates a directory that must not exist yet. Fails with
// "Cannot create directory '<path>'" and the error number.
void MakeDirectory(const NativeChar* path);

// Closes the file; the result is ignored.
void CloseFile(FileHandle file);

// Writes count zero bytes at the file position, in blocks of at most 1 MiB.
// Fails as WriteBytes does.
void WriteZeros(FileHandle file, std::uint64_t count);

// Appends count zero bytes to a file whose position is at its end, leaving
// the position at the new end. Where the file system can, the range is
// reserved without writing it. Fails as WriteBytes does.
void AppendZeros(FileHandle file, std::uint64_t count);

// Reserves room for the file's first size bytes without changing its
// length, so that bytes written there later, or a length set to size, find
// their space (and read as zeros until written). Returns false where the
// platform or file system cannot reserve; fails with "Cannot write to file"
// and the error number when the room is not there.
bool ReserveSpace(FileHandle file, std::uint64_t size);

// A range of a file that may hold data; everything outside such ranges reads
// as zeros.
struct DataRange {
  std::uint64_t begin;
  std::uint64_t end;
};

// The first range at or after offset (and before limit) that may hold data,
// clipped to [offset, limit), or nothing when the rest up to limit is a
// hole. Where the file system cannot tell, the whole rest is data.
std::optional<DataRange> NextDataRange(FileHandle file, std::uint64_t offset,
                                       std::uint64_t limit);

// A read-only view of length bytes of the file from offset, which must lie
// within the file and be a multiple of kViewAlignment; nullptr where the
// platform cannot map the file, and the caller then reads it instead. Should
// the file shrink under the view, touching a byte that is gone ends the
// process with "Short read from file".
const unsigned char* MapView(FileHandle file, std::uint64_t offset, std::size_t length);

// Releases a view from MapView.
void UnmapView(const unsigned char* view, std::size_t length);

// Views start at multiples of this.
constexpr std::uint64_t kViewAlignment = 65536;

// The platform's last error number, as it stands now.
int LastErrorNumber();

// Sets up the process's standard streams: output that cannot be written
// (a closed pipe, a full device) must never end or fail the process.
void PrepareProcess();

// Writes the whole text to standard error, unbuffered; failures are ignored.
void WriteStandardError(NativeStringView text);

// Writes narrow text to standard error as it stands; failures are ignored.
void WriteStandardErrorBytes(std::string_view text);

// Whether standard output is a terminal.
bool StandardOutputIsTerminal();
