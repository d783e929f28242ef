// File operations. Each returns its failure as an error value naming it
// (and, for a failed system call, the platform's error number); nothing here
// ends the process, so a server may use all of it. The commands use the
// checked forms (checked_file.h). Files are locked against other processes
// while open, and every transfer names its offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "fileio/error.h"
#include "fileio/handle.h"
#include "fileio/native_text.h"
#include "fileio/system.h"

enum class Access { kReadOnly, kReadWrite };

// An open file or directory, closed when its owner goes (a file is then
// unlocked too).
template <typename Handle, void (*CloseHandle)(Handle) noexcept>
class Owned {
 public:
  Owned() : handle_{kNone} {}
  explicit Owned(Handle handle) : handle_(handle) {}
  Owned(Owned&& other) noexcept : handle_(other.handle_) { other.handle_ = kNone; }
  Owned& operator=(Owned&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  ~Owned() {
    if (is_open()) CloseHandle(handle_);
  }
  Handle get() const { return handle_; }
  bool is_open() const { return handle_.native != kNone.native; }

 private:
  static constexpr Handle kNone{-1};
  Handle handle_;
};
using OwnedFile = Owned<FileHandle, sys::Close>;
using OwnedDirectory = Owned<DirectoryHandle, sys::CloseDirectory>;

// Opens an existing file: "Cannot open '<path>'". A symbolic link is followed
// only as sys::Open says.
Expected<OwnedFile> TryOpen(const NativeChar* path, Access access);

// Creates the file, or empties an existing one, for reading and writing; a
// disk is written in place: "Cannot create '<path>'".
Expected<OwnedFile> TryCreate(const NativeChar* path);

// Opens the directory path to reach its files by name; a failure is told as
// what ("Cannot open", "Cannot create") of named, the file that was to be
// reached through it.
Expected<OwnedDirectory> TryOpenDirectory(const NativeChar* path, const char* what, const NativeChar* named);

// Opens or creates (a new file, that nothing has the name of) the file name
// in directory, which path names: "Cannot open '<path>'", "Cannot create
// '<path>'". A file that is not the directory's own is refused as
// sys::OpenIn says.
Expected<OwnedFile> TryOpenIn(DirectoryHandle directory, const NativeChar* name, const NativeChar* path, Access access);
Expected<OwnedFile> TryCreateNewIn(DirectoryHandle directory, const NativeChar* name, const NativeChar* path);

// "Short read from file": a file ended before the bytes asked for.
Error ShortRead();

// Reads count bytes at offset; a file that ends before them, wherever the
// offset lies, is a short read.
MaybeError TryRead(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count);

// Reads what of count bytes at offset is in memory without waiting, and
// returns how many came, from the start (0 where that cannot be told).
std::size_t ReadCached(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count);

// Writes count bytes at offset: "Cannot write to file" or "Short write to
// file".
MaybeError TryWrite(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count);

// The file's length (a disk's size): "Cannot get file size".
Expected<std::uint64_t> TrySize(FileHandle file);

// Whether QUILLON_NO_FLUSH is 1: flushes are skipped, for tests and
// benchmarks only.
bool FlushesSkipped();

// Waits until the file's data is on stable storage, unless flushes are
// skipped; fails as a write does.
MaybeError TryFlush(FileHandle file);

// The same for the new entries of the directory, or of the directory that
// holds path.
MaybeError TryFlushDirectory(DirectoryHandle directory);
MaybeError TryFlushParentDirectory(const NativeChar* path);

// Creates a directory that must not exist yet: "Cannot create directory
// '<path>'".
MaybeError TryMakeDirectory(const NativeChar* path);

// Ranges at least this long are worth handing to the file system to copy or
// share; shorter ones cost more that way than they gain (measured).
constexpr std::uint64_t kShareAtLeast = 512 << 10;

// What the file system declines to copy goes through a buffer of this size.
constexpr std::size_t kCopyBufferBytes = 1 << 20;

// Copies count bytes at offset from in source to offset to in destination:
// handed to the file system, which shares blocks where it can, and what it
// declines through buffer (of bufferSize bytes). Fails as a read or a write
// does.
MaybeError TryCopyBytes(FileHandle source, std::uint64_t from, FileHandle destination, std::uint64_t to,
                        std::uint64_t count, unsigned char* buffer, std::size_t bufferSize);

// Sets the file's length without asking for room: "Cannot set end of file".
MaybeError TrySetLength(FileHandle file, std::uint64_t length);

// Writes count bytes of the value byte at offset, a block at a time.
MaybeError TryWriteFill(FileHandle file, std::uint64_t offset, std::uint64_t count, unsigned char byte);

// Makes [offset, offset + count) zeros that own their space: reserved where
// the file system can, written otherwise. Fails as a write does.
MaybeError TryAppendZeros(FileHandle file, std::uint64_t offset, std::uint64_t count);

// Reserves room for the file's first size bytes without changing its length,
// and returns whether it could; fails as a write does when the room is not
// there. Bytes not written later read as zeros once the length covers them.
Expected<bool> TryReserveSpace(FileHandle file, std::uint64_t size);

// Sets the file's length, reserving any added range where the file system
// can. Fails with "Cannot set file pointer", "Cannot set end of file" (a
// lack of room included, the old length kept) or "Cannot rewind file
// pointer".
MaybeError TrySetSize(FileHandle file, std::uint64_t size);

// Sets the file's length without asking for room: an added range reads as
// zeros. For a file whose room TryReserveSpace already took (some file
// systems would count it twice), or one whose zeros need no room.
MaybeError TrySetSizeWithoutReserving(FileHandle file, std::uint64_t size);

// The first range at or after offset (and before limit) that may hold data,
// or nothing when the rest up to limit reads as zeros.
std::optional<DataRange> NextDataRange(FileHandle file, std::uint64_t offset, std::uint64_t limit);

// Asks for the range to be read into memory without waiting.
void ReadAhead(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Starts writing the range back to storage, so a later flush waits little.
void StartWriteback(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Output written but not yet handed to writeback.
struct Writeback {
  FileHandle file;
  std::uint64_t from;
  std::uint64_t to;
};

// Notes that [offset, offset + length) was written; writeback is started in
// steps of a few MiB of adjacent output, so a final flush finds little to do.
void NoteWritten(Writeback* w, std::uint64_t offset, std::uint64_t length);
