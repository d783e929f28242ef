// What only a server of a live device does to its files: zeroing ranges and
// giving their room back, swapping or replacing a file by name, removing
// one, and keeping an owner across a replacement. Each returns its failure,
// as file.h does. Linux only: the Windows program serves nothing, so its
// platform file does not have them and this file is not built there.
#pragma once

#include <cstdint>

#include "fileio/error.h"
#include "fileio/file.h"
#include "fileio/handle.h"
#include "fileio/native_text.h"
#include "fileio/system.h"

// Makes [offset, offset + length) read as zeros: its room is given back
// where the file system can, and zeros are written where it cannot.
MaybeError TryZeroRange(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Gives back the room of [offset, offset + length) where the file system
// can; those bytes then read as zeros, elsewhere they stay as they are.
void GiveBackRoom(FileHandle file, std::uint64_t offset, std::uint64_t length);

enum class Rename {
  kReplace,   // the file at to is gone
  kExchange,  // the file at to takes from's place; not supported by every file system
};

// Puts the file at from in the place of the file at to, in one step:
// "Cannot rename '<from>'".
MaybeError TryRename(const NativeChar* from, const NativeChar* to, Rename how = Rename::kReplace);

// Removes the file at path, if there is one.
void RemoveFile(const NativeChar* path);

// The same, failing when something stands at path that cannot be removed (a
// directory): "Cannot remove '<path>'".
MaybeError TryRemoveFile(const NativeChar* path);

// Whether the name path is a symbolic link and how many names its file has:
// "Cannot open '<path>'".
Expected<sys::NameFacts> TryFactsOfName(const NativeChar* path);

// Gives file the owner, group and mode of model: "Cannot keep the owner of
// '<path>'", path naming model.
MaybeError TryCopyOwnership(FileHandle model, FileHandle file, const NativeChar* path);
