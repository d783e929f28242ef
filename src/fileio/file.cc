#include "fileio/file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fileio/system.h"

namespace {

// TryWriteFill writes from a block of this size.
constexpr std::size_t kFillBlockSize = 1 << 20;

// Written data is handed to writeback in steps of this size.
constexpr std::uint64_t kWritebackStep = 8 << 20;

// A failed write, flush or reservation of room to write into.
constexpr const NativeChar* kCannotWrite = NATIVE("Cannot write to file");

Error WriteError(int number) { return Error{kCannotWrite, number}; }

// The error for a failed system call, or nothing.
MaybeError Failed(int number, const NativeChar* message) {
  if (number == 0) return std::nullopt;
  return Error{message, number};
}

}  // namespace

bool FlushesSkipped() {
  static const bool skipped = [] {
    const char* value = std::getenv("QUILLON_NO_FLUSH");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return skipped;
}

Error ShortRead() { return Error{NATIVE("Short read from file")}; }

namespace {

sys::OpenMode ModeOf(Access access) {
  return access == Access::kReadOnly ? sys::OpenMode::kRead : sys::OpenMode::kReadWrite;
}

// The file opened, or the error "<what> '<path>'" with the number.
Expected<OwnedFile> Opened(int number, FileHandle file, const char* what, const NativeChar* path) {
  if (number != 0) return PathError(what, path, number);
  return OwnedFile(file);
}

}  // namespace

Expected<OwnedFile> TryOpen(const NativeChar* path, Access access) {
  FileHandle file{};
  return Opened(sys::Open(path, ModeOf(access), &file), file, "Cannot open", path);
}

Expected<OwnedFile> TryCreate(const NativeChar* path) {
  FileHandle file{};
  return Opened(sys::Open(path, sys::OpenMode::kCreate, &file), file, "Cannot create", path);
}

Expected<OwnedDirectory> TryOpenDirectory(const NativeChar* path, const char* what, const NativeChar* named) {
  DirectoryHandle directory{};
  if (const int number = sys::OpenDirectory(path, &directory)) return PathError(what, named, number);
  return OwnedDirectory(directory);
}

Expected<OwnedFile> TryOpenIn(DirectoryHandle directory, const NativeChar* name, const NativeChar* path,
                              Access access) {
  FileHandle file{};
  return Opened(sys::OpenIn(directory, name, path, ModeOf(access), &file), file, "Cannot open", path);
}

Expected<OwnedFile> TryCreateNewIn(DirectoryHandle directory, const NativeChar* name, const NativeChar* path) {
  FileHandle file{};
  return Opened(sys::OpenIn(directory, name, path, sys::OpenMode::kCreateNew, &file), file, "Cannot create", path);
}

MaybeError TryRead(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count) {
  // Past the largest offset there is nothing: a short read, not a refused one.
  if (offset >= kOffsetLimit || count >= kOffsetLimit - offset) return ShortRead();
  std::size_t done = 0;
  if (auto error = Failed(sys::ReadAt(file, offset, buffer, count, &done), NATIVE("Cannot read from file"))) {
    return error;
  }
  if (done < count) return ShortRead();
  return std::nullopt;
}

std::size_t ReadCached(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count) {
  std::size_t done = 0;
  sys::ReadCachedAt(file, offset, buffer, count, &done);
  return done;
}

MaybeError TryWrite(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count) {
  std::size_t done = 0;
  if (const int number = sys::WriteAt(file, offset, buffer, count, &done)) return WriteError(number);
  if (done < count) return Error{NATIVE("Short write to file")};
  return std::nullopt;
}

Expected<std::uint64_t> TrySize(FileHandle file) {
  std::uint64_t size = 0;
  if (auto error = Failed(sys::Size(file, &size), NATIVE("Cannot get file size"))) return *error;
  return size;
}

MaybeError TryFlush(FileHandle file) {
  if (FlushesSkipped()) return std::nullopt;
  return Failed(sys::Flush(file), kCannotWrite);
}

MaybeError TryFlushDirectory(DirectoryHandle directory) {
  if (FlushesSkipped()) return std::nullopt;
  return Failed(sys::FlushDirectory(directory), kCannotWrite);
}

MaybeError TryFlushParentDirectory(const NativeChar* path) {
  if (FlushesSkipped()) return std::nullopt;
  return Failed(sys::FlushParentDirectory(path), kCannotWrite);
}

MaybeError TryMakeDirectory(const NativeChar* path) {
  if (const int number = sys::MakeDirectory(path)) return PathError("Cannot create directory", path, number);
  return std::nullopt;
}

MaybeError TryCopyBytes(FileHandle source, std::uint64_t from, FileHandle destination, std::uint64_t to,
                        std::uint64_t count, unsigned char* buffer, std::size_t bufferSize) {
  std::uint64_t done = 0;
  if (const int number = sys::CopyRange(source, from, destination, to, count, &done)) return WriteError(number);
  while (done < count) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, bufferSize));
    if (auto error = TryRead(source, from + done, buffer, piece)) return error;
    if (auto error = TryWrite(destination, to + done, buffer, piece)) return error;
    done += piece;
  }
  return std::nullopt;
}

MaybeError TrySetLength(FileHandle file, std::uint64_t length) {
  return Failed(sys::Truncate(file, length), NATIVE("Cannot set end of file"));
}

MaybeError TryWriteFill(FileHandle file, std::uint64_t offset, std::uint64_t count, unsigned char byte) {
  const auto blockSize = static_cast<std::size_t>(std::min<std::uint64_t>(count, kFillBlockSize));
  const auto block = std::make_unique_for_overwrite<unsigned char[]>(blockSize);
  std::memset(block.get(), byte, blockSize);
  while (count > 0) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, kFillBlockSize));
    if (auto error = TryWrite(file, offset, block.get(), piece)) return error;
    offset += piece;
    count -= piece;
  }
  return std::nullopt;
}

MaybeError TryAppendZeros(FileHandle file, std::uint64_t offset, std::uint64_t count) {
  bool reserved = false;
  if (auto error = Failed(sys::Reserve(file, offset, count, sys::Reservation::kLengthen, &reserved), kCannotWrite)) {
    return error;
  }
  if (!reserved) return TryWriteFill(file, offset, count, 0);
  return std::nullopt;
}

Expected<bool> TryReserveSpace(FileHandle file, std::uint64_t size) {
  bool reserved = false;
  if (auto error = Failed(sys::Reserve(file, 0, size, sys::Reservation::kKeepLength, &reserved), kCannotWrite)) {
    return *error;
  }
  return reserved;
}

namespace {

enum class Room { kReserve, kReserved };

MaybeError ChangeSize(FileHandle file, std::uint64_t size, Room room) {
  // The seek comes first so that a size past any offset fails as the seek.
  if (auto error = Failed(sys::Seek(file, size), NATIVE("Cannot set file pointer"))) return error;
  const Expected<std::uint64_t> old = TrySize(file);
  if (!old) return old.error();
  bool reserved = false;
  if (room == Room::kReserve && size > *old) {
    if (auto error = Failed(sys::Reserve(file, *old, size - *old, sys::Reservation::kKeepLength, &reserved),
                            NATIVE("Cannot set end of file"))) {
      return error;
    }
  }
  if (auto error = TrySetLength(file, size)) return error;
  return Failed(sys::Seek(file, 0), NATIVE("Cannot rewind file pointer"));
}

}  // namespace

MaybeError TrySetSize(FileHandle file, std::uint64_t size) { return ChangeSize(file, size, Room::kReserve); }

MaybeError TrySetSizeWithoutReserving(FileHandle file, std::uint64_t size) {
  return ChangeSize(file, size, Room::kReserved);
}

std::optional<DataRange> NextDataRange(FileHandle file, std::uint64_t offset, std::uint64_t limit) {
  return sys::NextDataRange(file, offset, limit);
}

void ReadAhead(FileHandle file, std::uint64_t offset, std::uint64_t length) { sys::ReadAhead(file, offset, length); }

void StartWriteback(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  if (!FlushesSkipped()) sys::StartWriteback(file, offset, length);
}

void NoteWritten(Writeback* w, std::uint64_t offset, std::uint64_t length) {
  if (offset != w->to || w->to - w->from >= kWritebackStep) {
    if (w->to > w->from) StartWriteback(w->file, w->from, w->to - w->from);
    w->from = offset;
  }
  w->to = offset + length;
}
