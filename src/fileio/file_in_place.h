// What only a server of a live device does to its files: zeroing ranges and
// giving their room back, swapping, replacing or removing a file by its name
// in a directory held open, and keeping an owner across a replacement. Each returns its failure,
// as file.h does. Linux only: the Windows program serves nothing, so its
// platform file does not have them and this file is not built there.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "fileio/error.h"
#include "fileio/file.h"
#include "fileio/handle.h"
#include "fileio/native_text.h"
#include "fileio/system.h"

// Makes [offset, offset + length) read as zeros: its room is given back
// where the file system can, and zeros are written where it cannot.
MaybeError TryZeroRange(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Makes [offset, offset + length) read as zeros with its room kept, taken
// where it was not, so that writes there find room: in place where the file
// system can, written as zeros where it cannot. Fails as a write does.
MaybeError TryZeroKeepingRoom(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Flushes both files as TryFlush does, side by side; the first error.
MaybeError TryFlushSideBySide(FileHandle a, FileHandle b);

// A copy of source's first count bytes into destination, made and then
// flushed on a thread of its own while the caller goes on; source must not
// change meanwhile. Destroying it stops the copy and waits for the thread.
struct BackgroundCopy {
  FileHandle source;
  FileHandle destination;
  std::uint64_t count;
  std::unique_ptr<unsigned char[]> buffer;
  std::atomic<bool> stop{false};      // asked of the thread between pieces
  std::atomic<bool> finished{false};  // the thread's work is over
  MaybeError error;                   // the thread's, read once it has ended
  sys::Thread thread{};
  ~BackgroundCopy();
};

// Starts the copy; none where no thread or memory can be had.
std::unique_ptr<BackgroundCopy> StartBackgroundCopy(FileHandle source, FileHandle destination, std::uint64_t count);

// Waits for the copy to end: its failure, if any.
MaybeError FinishBackgroundCopy(std::unique_ptr<BackgroundCopy> copy);

// Gives back the room of [offset, offset + length) where the file system
// can; those bytes then read as zeros, elsewhere they stay as they are.
void GiveBackRoom(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Names below are of files in directory, which their paths (for messages)
// name too; nothing here follows a symbolic link.

enum class Rename {
  kReplace,   // the file named to is gone
  kExchange,  // the file named to takes from's place; not supported by every file system
};

// Puts the file named from in the place of the file named to, in one step:
// "Cannot rename '<fromPath>'".
MaybeError TryRenameIn(DirectoryHandle directory, const NativeChar* from, const NativeChar* to,
                       const NativeChar* fromPath, Rename how);

// Removes the name, if there is one (a link's name, never what it leads to),
// failing where what stands there cannot be removed (a directory): "Cannot
// remove '<path>'".
MaybeError TryRemoveIn(DirectoryHandle directory, const NativeChar* name, const NativeChar* path);

// What the name is, or nothing where there is none: "Cannot open '<path>'".
Expected<std::optional<sys::FileFacts>> TryFactsOfName(DirectoryHandle directory, const NativeChar* name,
                                                       const NativeChar* path);

// What the open file is: "Cannot open '<path>'".
Expected<sys::FileFacts> TryFactsOfFile(FileHandle file, const NativeChar* path);

// Marks copy as equal to original as it is now: "Cannot mark the copy
// '<path>'", path naming copy. Whether the mark is there and still holds,
// and taking it away, as sys::MarkCopy says.
MaybeError TryMarkCopy(FileHandle copy, FileHandle original, const NativeChar* path);
bool IsMarkedCopy(FileHandle copy, FileHandle original);
void UnmarkCopy(FileHandle copy);

// Whether the caller may create, rename and remove names in directory, which
// path names: "Cannot create '<path>'".
MaybeError TryMayChangeNames(DirectoryHandle directory, const NativeChar* path);

// Whether the name in directory is the open file.
bool NameIsFile(DirectoryHandle directory, const NativeChar* name, FileHandle file);

// Gives file the owner, group and mode of model: "Cannot keep the owner of
// '<path>'", path naming model.
MaybeError TryCopyOwnership(FileHandle model, FileHandle file, const NativeChar* path);
