// The platform seam on Windows: every file opened with share mode 0, so a
// file that another process holds fails at its open with
// ERROR_SHARING_VIOLATION. Transfers name their offset through OVERLAPPED
// on synchronous handles. Space is not reserved: zeros are written, and
// every byte is read.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "fileio/system.h"

namespace sys {
namespace {

HANDLE Handle(FileHandle file) { return reinterpret_cast<HANDLE>(file.native); }

int LastError() { return static_cast<int>(GetLastError()); }

// Largest single ReadFile or WriteFile.
constexpr std::size_t kMaxTransfer = 1 << 30;

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

bool MoveTo(FileHandle file, std::uint64_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(Handle(file), distance, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

int Open(const NativeChar* path, OpenMode mode, FileHandle* file) {
  const DWORD access = mode == OpenMode::kRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  const DWORD disposition = mode == OpenMode::kCreate      ? CREATE_ALWAYS
                            : mode == OpenMode::kCreateNew ? CREATE_NEW
                                                           : OPEN_EXISTING;
  const HANDLE handle = CreateFileW(path, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  if (GetFileType(handle) != FILE_TYPE_DISK) {  // a pipe or a console
    CloseHandle(handle);
    return ERROR_BAD_FILE_TYPE;
  }
  file->native = reinterpret_cast<std::intptr_t>(handle);
  return 0;
}

void Close(FileHandle file) noexcept { CloseHandle(Handle(file)); }

// Links need an administrator here: files are reached by their whole paths.
int OpenDirectory(const NativeChar*, DirectoryHandle* directory) {
  directory->native = 0;
  return 0;
}

void CloseDirectory(DirectoryHandle) noexcept {}

int OpenIn(DirectoryHandle, const NativeChar*, const NativeChar* path, OpenMode mode, FileHandle* file) {
  return Open(path, mode, file);
}

int ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count, std::size_t* done) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  *done = 0;
  while (*done < count) {
    OVERLAPPED overlapped = At(offset + *done);
    DWORD got = 0;
    const auto piece = static_cast<DWORD>(std::min(count - *done, kMaxTransfer));
    if (!ReadFile(Handle(file), bytes + *done, piece, &got, &overlapped)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return LastError();
    }
    if (got == 0) break;
    *done += got;
  }
  return 0;
}

void ReadCachedAt(FileHandle, std::uint64_t, void*, std::size_t, std::size_t* done) {
  *done = 0;  // the cache cannot be asked: the caller reads and waits
}

int WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count, std::size_t* done) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  *done = 0;
  while (*done < count) {
    OVERLAPPED overlapped = At(offset + *done);
    DWORD put = 0;
    const auto piece = static_cast<DWORD>(std::min(count - *done, kMaxTransfer));
    if (!WriteFile(Handle(file), bytes + *done, piece, &put, &overlapped)) return LastError();
    if (put == 0) break;
    *done += put;
  }
  return 0;
}

int Size(FileHandle file, std::uint64_t* size) {
  LARGE_INTEGER length;
  if (!GetFileSizeEx(Handle(file), &length)) return LastError();
  *size = static_cast<std::uint64_t>(length.QuadPart);
  return 0;
}

int Seek(FileHandle file, std::uint64_t offset) { return MoveTo(file, offset) ? 0 : LastError(); }

int Truncate(FileHandle file, std::uint64_t length) {
  if (!MoveTo(file, length) || !SetEndOfFile(Handle(file))) return LastError();
  return 0;
}

int Reserve(FileHandle, std::uint64_t, std::uint64_t, Reservation, bool* reserved) {
  *reserved = false;  // reserving needs a privilege here: zeros are written
  return 0;
}

int CopyRange(FileHandle, std::uint64_t, FileHandle, std::uint64_t, std::uint64_t, std::uint64_t* done) {
  *done = 0;  // block cloning (ReFS) is not built: the caller copies
  return 0;
}

void ReadAhead(FileHandle, std::uint64_t, std::uint64_t) {}

void StartWriteback(FileHandle, std::uint64_t, std::uint64_t) {}

int Flush(FileHandle file) { return FlushFileBuffers(Handle(file)) ? 0 : LastError(); }

// NTFS journals its directories; there is no handle to flush them through.
int FlushDirectory(DirectoryHandle) { return 0; }
int FlushParentDirectory(const NativeChar*) { return 0; }

int MakeDirectory(const NativeChar* path) { return CreateDirectoryW(path, nullptr) ? 0 : LastError(); }

std::optional<DataRange> NextDataRange(FileHandle, std::uint64_t offset, std::uint64_t limit) {
  // Every byte is read here; holes are only a saving.
  if (offset >= limit) return std::nullopt;
  return DataRange{offset, limit};
}

void CutTo(FileHandle file, std::uint64_t length) {
  // Nothing is reserved past a file's end here, so only a length to cut to
  // needs work.
  if (length != kCurrentLength) Truncate(file, length);
}
}  // namespace sys
