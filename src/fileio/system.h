// The platform seam: thin wrappers over the system's file, directory and
// process calls, one implementation per platform. Nothing here reports or
// ends the process; calls that can fail return 0 or the platform's own
// error number, and the checked layer above turns that into a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fileio/native_text.h"

// An open file. The value is the platform's own (a descriptor or a handle).
struct FileHandle {
  std::intptr_t native;
};

// A range of a file that may hold data; the rest of the file reads as zeros.
struct DataRange {
  std::uint64_t begin;
  std::uint64_t end;
};

namespace sys {

enum class OpenMode {
  kRead,       // an existing file, for reading
  kReadWrite,  // an existing file, for reading and writing
  kCreate,     // made if missing, emptied once locked if it is a file
};

// Opens path locked against other processes: one that holds the file makes
// the open fail. Regular files and disks are accepted; a directory fails with
// the platform's is-a-directory number, and pipes, sockets and character
// devices fail at once, never blocking, with its no-such-device number.
int Open(const NativeChar* path, OpenMode mode, FileHandle* file);

// Closes the file; nothing is reported.
void Close(FileHandle file);

// Reads count bytes at offset, retrying after signals and partial reads;
// *done is count, or less only at the end of the file.
int ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count,
           std::size_t* done);

// Writes count bytes at offset, retrying after signals and partial writes;
// *done is count, or less only when the system accepts nothing more.
int WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count,
            std::size_t* done);

// The file's length; for a disk, its size.
int Size(FileHandle file, std::uint64_t* size);

// Moves the file position (which positional transfers neither use nor move).
int Seek(FileHandle file, std::uint64_t offset);

// Sets the file's length. A disk keeps its size: any length up to it is
// accepted and changes nothing, a longer one fails as a lack of room.
int Truncate(FileHandle file, std::uint64_t length);

enum class Reservation {
  kLengthen,    // the file grows to cover the range
  kKeepLength,  // the range may lie past the end
};

// Reserves [offset, offset + length) so that writes there find room.
// *reserved is false where the file system or file cannot reserve (nothing
// changes then; on a disk smaller than the range the call fails as a lack of
// room). A failure gives back whatever part was reserved before it.
int Reserve(FileHandle file, std::uint64_t offset, std::uint64_t length, Reservation how,
            bool* reserved);

// Asks for [offset, offset + length) to be read into memory without waiting.
void ReadAhead(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Starts writing [offset, offset + length) back to storage without waiting.
void StartWriteback(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Waits until the file's data, and the metadata needed to read it, are on
// stable storage.
int Flush(FileHandle file);

// The same for the entries of the directory path, or of the directory that
// holds path.
int FlushDirectory(const NativeChar* path);
int FlushParentDirectory(const NativeChar* path);

// Creates a directory that must not exist yet.
int MakeDirectory(const NativeChar* path);

// The first range at or after offset (and before limit) that may hold data,
// clipped to [offset, limit), or nothing when the rest up to limit is a hole.
// Where the file system cannot tell, the whole rest is data.
std::optional<DataRange> NextDataRange(FileHandle file, std::uint64_t offset,
                                       std::uint64_t limit);

// Should the process fail or be interrupted, the file (which stays open to
// the end) is cut to length, or with kCurrentLength to the length it has
// then, so that no space stays reserved past its end. Up to kMaxCutFiles.
void CutOnFailure(FileHandle file, std::uint64_t length);
constexpr std::uint64_t kCurrentLength = UINT64_MAX;
constexpr int kMaxCutFiles = 4;

// Cuts the files registered with CutOnFailure. Called on the way out after a
// failure.
void CutFilesAfterFailure();

// Makes the standard streams safe before any file is opened: a closed one
// is opened on the null device, so no file can take its place, and output
// that cannot be written never ends the process. An interruption cuts the
// registered files before the process ends.
void PrepareStandardStreams();

// Writes text to standard error, unbuffered; failures are ignored.
void WriteStandardError(NativeStringView text);

// Whether standard output is a terminal.
bool StandardOutputIsTerminal();

}  // namespace sys
