// The platform seam: thin wrappers over the system's file, directory and
// process calls, one implementation per platform. Nothing here reports or
// ends the process; calls that can fail return 0 or the platform's own
// error number, and the checked layer above turns that into a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fileio/handle.h"
#include "fileio/native_text.h"

namespace sys {

// The calls below that change a file or a name, or wait for the disk, go
// through a record of them (FileCalls, at the end) that tests replace.

enum class OpenMode {
  kRead,       // an existing file, for reading
  kReadWrite,  // an existing file, for reading and writing
  kCreate,     // made if missing, emptied once locked if it is a file
  kCreateNew,  // made, and failing if anything has the name already
};

// Opens path locked against other processes: one that holds the file makes
// the open fail. Regular files and disks are accepted; a directory fails with
// the platform's is-a-directory number, and pipes, sockets and character
// devices (terminals) fail at once with its no-such-device number, on Linux
// without ever being opened. kCreate makes a missing file, through a link
// that dangles too, where the rules below let the link lead there.
//
// On Linux a path is walked a name at a time, each looked at without being
// followed from the directory the walk holds. A symbolic link, at any step,
// is followed only where the caller owns it or it and what it leads to have
// one owner (the rule of sticky directories); one in the directory of a
// user who is neither the caller nor root leads only to their files; none
// on proc (/proc/<pid>/root) is. Otherwise the call fails with ELOOP.
// A caller who may bypass file permissions (CAP_DAC_OVERRIDE, asked at each
// call) acts on names in another user's directory with that user's file-
// system identity (their user, the directory's group, no other groups), in
// its own thread only, and walks a link's text with the identity the link
// was found with: the kernel refuses what the owner could not do, and what
// is made there is theirs. The caller's own file there is opened with the
// caller's rights only where it has one name, lies on the directory's own
// mount and was named by no link of that user's. Open files are the
// caller's to use.
int Open(const NativeChar* path, OpenMode mode, FileHandle* file);

// Opens the directory path, walked as Open walks it, to reach the files in it
// through OpenIn (which walks name from it). Nothing is held on Windows.
int OpenDirectory(const NativeChar* path, DirectoryHandle* directory);
void CloseDirectory(DirectoryHandle directory) noexcept;

// Opens the file name in directory as Open opens a path (path names the same
// file, and is what Windows opens). On Linux a file that neither the caller
// nor the directory's owner owns is refused as a link not followed (ELOOP),
// and so is a file of the caller's that has other names: another user's
// file linked into the directory is never taken for the directory's own.
int OpenIn(DirectoryHandle directory, const NativeChar* name, const NativeChar* path, OpenMode mode, FileHandle* file);

// Closes the file; nothing is reported.
void Close(FileHandle file) noexcept;

// Reads count bytes at offset, retrying after signals and partial reads;
// *done is count, or less only at the end of the file.
int ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count, std::size_t* done);

// Reads what of count bytes at offset is in memory, without waiting for the
// disk: *done is how many came, from the start; 0 where the platform cannot
// tell. Nothing is reported.
void ReadCachedAt(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count, std::size_t* done);

// Writes count bytes at offset, retrying after signals and partial writes;
// *done is count, or less only when the system accepts nothing more.
int WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count, std::size_t* done);

// The file's length; on Linux, for a disk, its size.
int Size(FileHandle file, std::uint64_t* size);

// Moves the file position (which positional transfers neither use nor move).
int Seek(FileHandle file, std::uint64_t offset);

// Sets the file's length. On Linux a disk keeps its size: any length up to
// it is accepted and changes nothing, a longer one fails as a lack of room.
int Truncate(FileHandle file, std::uint64_t length);

enum class Reservation {
  kLengthen,    // the file grows to cover the range
  kKeepLength,  // the range may lie past the end
};

// Reserves [offset, offset + length) so that writes there find room.
// *reserved is false where the file system or file cannot reserve (nothing
// changes then; on a disk smaller than the range the call fails as a lack of
// room). A failure gives back whatever part was reserved before it.
int Reserve(FileHandle file, std::uint64_t offset, std::uint64_t length, Reservation how, bool* reserved);

// Copies count bytes at offset from in source to offset to in destination
// inside the file system, which shares the blocks where it can (XFS, btrfs)
// and copies them without a trip through user memory elsewhere. *done falls
// short of count where the system declines the rest (another file system, a
// disk, a platform without it); only a failure of the copy itself is an
// error.
int CopyRange(FileHandle source, std::uint64_t from, FileHandle destination, std::uint64_t to, std::uint64_t count,
              std::uint64_t* done);

// Asks for [offset, offset + length) to be read into memory without waiting.
void ReadAhead(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Starts writing [offset, offset + length) back to storage without waiting.
void StartWriteback(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Waits until the file's data, and the metadata needed to read it, are on
// stable storage. Only a file that has no flush at all passes unflushed; any
// other error (a read-only or aborted file system included) is returned.
int Flush(FileHandle file);

// The same for the entries of the directory, or of the directory the walk of
// path finds its last name in.
int FlushDirectory(DirectoryHandle directory);
int FlushParentDirectory(const NativeChar* path);

// Creates a directory that must not exist yet (its own name never followed).
int MakeDirectory(const NativeChar* path);

// From here to MayChangeNames: what only a server of a live device needs.
// Linux only; the Windows seam does not define them.

// Flushes two files as Flush does, side by side: each waits for the disk
// once, together. Where no thread can be had, one after the other.
void FlushSideBySide(FileHandle a, FileHandle b, int* errorA, int* errorB);

// Runs job(argument) on a thread of its own, which Join waits for (once;
// a thread never started is not waited for); false where no thread can be
// had.
struct Thread {
  std::uint64_t native = 0;
  bool started = false;
};
bool StartThread(void (*job)(void*), void* argument, Thread* thread);
void Join(Thread* thread);

// Gives back the room of [offset, offset + length), which then reads as
// zeros; the length stays.
int PunchHole(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Makes [offset, offset + length) read as zeros with its room kept (taken
// where it was not), so that writes there find room; the length stays.
// EOPNOTSUPP where the file system cannot.
int ZeroRange(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Names are of files in directory, as OpenIn takes them, made with the
// identity Open says; nothing here follows a symbolic link.

// Puts the file named from in the place of the one named to, in one step.
int RenameIn(DirectoryHandle directory, const NativeChar* from, const NativeChar* to);

// Swaps the files named a and b in one step; EOPNOTSUPP where the file system
// cannot.
int ExchangeIn(DirectoryHandle directory, const NativeChar* a, const NativeChar* b);

// Removes the name (a file's, or a link's: never what it leads to).
int RemoveIn(DirectoryHandle directory, const NativeChar* name);

// What a name or an open file is: its kind, how many names its file has, and
// which file it is.
struct FileFacts {
  enum Kind { kRegular, kDirectory, kSymbolicLink, kOther } kind;
  std::uint64_t links;
  std::uint64_t device;
  std::uint64_t inode;
};
int FactsOfName(DirectoryHandle directory, const NativeChar* name, FileFacts* facts);
int FactsOfFile(FileHandle file, FileFacts* facts);

// Gives the file to the owner and group of the file model, with its mode.
int CopyOwnership(FileHandle model, FileHandle file);

// Marks copy as equal to original as original is now (which file it is, its
// length and times, so that any change to it since shows); EOPNOTSUPP where
// the file system keeps no such mark. IsMarkedCopy tells whether the mark
// is there and still holds; UnmarkCopy takes it away.
int MarkCopy(FileHandle copy, FileHandle original);
bool IsMarkedCopy(FileHandle copy, FileHandle original);
void UnmarkCopy(FileHandle copy);

// Whether the caller may create, rename and remove names in directory: 0,
// or the error number doing so would meet.
int MayChangeNames(DirectoryHandle directory);

// The first range at or after offset (and before limit) that may hold data,
// clipped to [offset, limit), or nothing when the rest up to limit is a hole.
// Where the file system cannot tell, the whole rest is data.
std::optional<DataRange> NextDataRange(FileHandle file, std::uint64_t offset, std::uint64_t limit);

// Cuts the file to length (kCurrentLength: the length it has), giving back
// any room reserved past that end. Safe inside a signal handler.
void CutTo(FileHandle file, std::uint64_t length);

// Every call that changes a file or a name, or waits for the disk, with its
// arguments: the seam's platform file makes each through the record in use,
// which tests replace for the whole process (ninja's DiskInterface, as
// plain records): one fails calls, another records them. Linux's: the
// Windows seam makes its calls itself.
struct FileCalls {
  int (*write)(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count, std::size_t* done);
  int (*truncate)(FileHandle file, std::uint64_t length);
  int (*reserve)(FileHandle file, std::uint64_t offset, std::uint64_t length, Reservation how, bool* reserved);
  int (*punchHole)(FileHandle file, std::uint64_t offset, std::uint64_t length);
  int (*zeroRange)(FileHandle file, std::uint64_t offset, std::uint64_t length);
  int (*copyRange)(FileHandle source, std::uint64_t from, FileHandle destination, std::uint64_t to, std::uint64_t count,
                   std::uint64_t* done);
  int (*flush)(FileHandle file);
  int (*flushDirectory)(DirectoryHandle directory);
  // OpenIn with OpenMode::kCreateNew.
  int (*create)(DirectoryHandle directory, const NativeChar* name, const NativeChar* path, FileHandle* file);
  int (*rename)(DirectoryHandle directory, const NativeChar* from, const NativeChar* to);
  int (*exchange)(DirectoryHandle directory, const NativeChar* a, const NativeChar* b);
  int (*remove)(DirectoryHandle directory, const NativeChar* name);
  int (*copyOwnership)(FileHandle model, FileHandle file);
  int (*markCopy)(FileHandle copy, FileHandle original);
  bool (*startThread)(void (*job)(void*), void* argument, Thread* thread);
};

// The system's own calls, which a test's record may make in turn.
const FileCalls& RealFileCalls();

// Puts calls (which must outlive their use) in place of the real ones, or
// the real ones back with nullptr. Calls under way finish as they began.
void UseFileCalls(const FileCalls* calls);

// The record put in place, or nullptr: for the platform files.
const FileCalls* FileCallsPutInPlace();
}  // namespace sys
