// The file layer on Windows: every file opened with share mode 0, so a file
// that another process holds fails at its open with ERROR_SHARING_VIOLATION.
// Error numbers are GetLastError's, taken before anything else can change
// them. One system call per read or write, as the file system gives whole
// transfers on files.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "fileio/file.h"
#include "fileio/report.h"

namespace {

HANDLE Handle(FileHandle file) { return reinterpret_cast<HANDLE>(file.native); }

FileHandle Open(const NativeChar* path, DWORD access, DWORD disposition,
                const NativeChar* verb) {
  const HANDLE handle = CreateFileW(path, access, 0, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) FatalLastError(verb, path, L"'");
  return FileHandle{reinterpret_cast<std::intptr_t>(handle)};
}

bool MoveTo(FileHandle file, std::uint64_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(Handle(file), distance, nullptr, FILE_BEGIN) != 0;
}

// Narrow text for the console: characters up to U+00FF as the byte of the
// same value, any other character as "?".
std::string NarrowText(NativeStringView text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t c = NextCodePoint(text, &pos);
    narrow.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
  }
  return narrow;
}

}  // namespace

FileHandle OpenExisting(const NativeChar* path, bool writable) {
  const DWORD access = writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  return Open(path, access, OPEN_EXISTING, L"Cannot open '");
}

FileHandle CreateAlways(const NativeChar* path) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, L"Cannot create '");
}

std::uint32_t ReadBytes(FileHandle file, void* buffer, std::uint32_t count,
                        bool allowShort) {
  DWORD done = 0;
  if (!ReadFile(Handle(file), buffer, count, &done, nullptr)) {
    FatalLastError(L"Cannot read from file");
  }
  if (done < count && !allowShort) FatalShortRead();
  return done;
}

void WriteBytes(FileHandle file, const void* buffer, std::uint32_t count) {
  DWORD done = 0;
  if (!WriteFile(Handle(file), buffer, count, &done, nullptr)) {
    FatalLastError(L"Cannot write to file");
  }
  if (done < count) Fatal(L"Short write to file");
}

std::uint64_t GetSize(FileHandle file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(Handle(file), &size)) FatalLastError(L"Cannot get file size");
  return static_cast<std::uint64_t>(size.QuadPart);
}

void SetSize(FileHandle file, std::uint64_t size) {
  if (!MoveTo(file, size)) FatalLastError(L"Cannot set file pointer");
  if (!SetEndOfFile(Handle(file))) FatalLastError(L"Cannot set end of file");
  if (!MoveTo(file, 0)) FatalLastError(L"Cannot rewind file pointer");
}

void SeekTo(FileHandle file, std::uint64_t offset) {
  if (!MoveTo(file, offset)) {
    const int number = LastErrorNumber();
    FatalWithErrorNumber(Concat({L"Cannot set file pointer to ", NativeDecimal(offset)}),
                         number);
  }
}

void MakeDirectory(const NativeChar* path) {
  if (!CreateDirectoryW(path, nullptr)) {
    FatalLastError(L"Cannot create directory '", path, L"'");
  }
}

void CloseFile(FileHandle file) { CloseHandle(Handle(file)); }

// Space cannot be reserved without a privilege here: zeros are written.
void AppendZeros(FileHandle file, std::uint64_t count) { WriteZeros(file, count); }

bool ReserveSpace(FileHandle, std::uint64_t) { return false; }

std::optional<DataRange> NextDataRange(FileHandle, std::uint64_t offset, std::uint64_t limit) {
  // Every byte is read here; holes are only a saving.
  if (offset >= limit) return std::nullopt;
  return DataRange{offset, limit};
}

const unsigned char* MapView(FileHandle, std::uint64_t, std::size_t) { return nullptr; }

void UnmapView(const unsigned char*, std::size_t) {}

int LastErrorNumber() { return static_cast<int>(GetLastError()); }

void PrepareProcess() {
  // Text mode, so that each "\n" leaves as CR LF.
  _setmode(_fileno(stdout), _O_TEXT);
  _setmode(_fileno(stderr), _O_TEXT);
}

void WriteStandardErrorBytes(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void WriteStandardError(NativeStringView text) { WriteStandardErrorBytes(NarrowText(text)); }

bool StandardOutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }
