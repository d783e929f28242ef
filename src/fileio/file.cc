#include "fileio/file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fileio/report.h"
#include "fileio/system.h"

namespace {

// WriteFill writes from a block of this size.
constexpr std::size_t kFillBlockSize = 1 << 20;

// Written data is handed to writeback in steps of this size.
constexpr std::uint64_t kWritebackStep = 8 << 20;

[[noreturn]] void FatalShortRead() { Fatal(NATIVE("Short read from file")); }

[[noreturn]] void FatalWrite(int error) { Fatal(NATIVE("Cannot write to file"), error); }

void Check(int error, const NativeChar* message) {
  if (error != 0) Fatal(message, error);
}

bool FlushesSkipped() {
  static const bool skipped = [] {
    const char* value = std::getenv("QUILLON_NO_FLUSH");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return skipped;
}

}  // namespace

OwnedFile& OwnedFile::operator=(OwnedFile&& other) noexcept {
  std::swap(file_, other.file_);
  return *this;
}

OwnedFile::~OwnedFile() {
  if (file_.native != kNoFile.native) sys::Close(file_);
}

OwnedFile OpenExisting(const NativeChar* path, Access access) {
  FileHandle file{};
  const auto mode = access == Access::kReadOnly ? sys::OpenMode::kRead : sys::OpenMode::kReadWrite;
  if (const int error = sys::Open(path, mode, &file)) {
    Fatal(Concat({NATIVE("Cannot open '"), path, NATIVE("'")}), error);
  }
  return OwnedFile(file);
}

OwnedFile CreateAlways(const NativeChar* path) {
  FileHandle file{};
  if (const int error = sys::Open(path, sys::OpenMode::kCreate, &file)) {
    Fatal(Concat({NATIVE("Cannot create '"), path, NATIVE("'")}), error);
  }
  return OwnedFile(file);
}

void ReadBytes(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count) {
  // Past the largest offset there is nothing: a short read, not a refused one.
  if (offset >= kOffsetLimit || count >= kOffsetLimit - offset) FatalShortRead();
  std::size_t done = 0;
  Check(sys::ReadAt(file, offset, buffer, count, &done), NATIVE("Cannot read from file"));
  if (done < count) FatalShortRead();
}

void WriteBytes(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count) {
  std::size_t done = 0;
  if (const int error = sys::WriteAt(file, offset, buffer, count, &done)) FatalWrite(error);
  if (done < count) Fatal(NATIVE("Short write to file"));
}

void CopyBytes(FileHandle source, std::uint64_t from, FileHandle destination, std::uint64_t to, std::uint64_t count,
               unsigned char* buffer, std::size_t bufferSize) {
  std::uint64_t done = 0;
  if (const int error = sys::CopyRange(source, from, destination, to, count, &done)) {
    FatalWrite(error);
  }
  while (done < count) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, bufferSize));
    ReadBytes(source, from + done, buffer, piece);
    WriteBytes(destination, to + done, buffer, piece);
    done += piece;
  }
}

void WriteFill(FileHandle file, std::uint64_t offset, std::uint64_t count, unsigned char byte) {
  static unsigned char block[kFillBlockSize];
  std::memset(block, byte, static_cast<std::size_t>(std::min<std::uint64_t>(count, kFillBlockSize)));
  while (count > 0) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, kFillBlockSize));
    WriteBytes(file, offset, block, piece);
    offset += piece;
    count -= piece;
  }
}

void AppendZeros(FileHandle file, std::uint64_t offset, std::uint64_t count) {
  bool reserved = false;
  if (const int error = sys::Reserve(file, offset, count, sys::Reservation::kLengthen, &reserved)) {
    FatalWrite(error);
  }
  if (!reserved) WriteFill(file, offset, count, 0);
}

bool ReserveSpace(FileHandle file, std::uint64_t size) {
  bool reserved = false;
  if (const int error = sys::Reserve(file, 0, size, sys::Reservation::kKeepLength, &reserved)) {
    FatalWrite(error);
  }
  return reserved;
}

std::uint64_t GetSize(FileHandle file) {
  std::uint64_t size = 0;
  Check(sys::Size(file, &size), NATIVE("Cannot get file size"));
  return size;
}

namespace {

enum class Room { kReserve, kReserved };

void ChangeSize(FileHandle file, std::uint64_t size, Room room) {
  // The seek comes first so that a size past any offset fails as the seek.
  Check(sys::Seek(file, size), NATIVE("Cannot set file pointer"));
  const std::uint64_t old = GetSize(file);
  bool reserved = false;
  if (room == Room::kReserve && size > old) {
    Check(sys::Reserve(file, old, size - old, sys::Reservation::kKeepLength, &reserved),
          NATIVE("Cannot set end of file"));
  }
  Check(sys::Truncate(file, size), NATIVE("Cannot set end of file"));
  Check(sys::Seek(file, 0), NATIVE("Cannot rewind file pointer"));
}

}  // namespace

void SetSize(FileHandle file, std::uint64_t size) { ChangeSize(file, size, Room::kReserve); }

void SetSizeWithoutReserving(FileHandle file, std::uint64_t size) { ChangeSize(file, size, Room::kReserved); }

CutOnFailure::CutOnFailure(FileHandle file, std::uint64_t length) : slot_(sys::RegisterCut(file, length)) {
  if (slot_ < 0) Fatal(NATIVE("Too many files to cut on failure"));
}

CutOnFailure::~CutOnFailure() { sys::UnregisterCut(slot_); }

std::optional<DataRange> NextDataRange(FileHandle file, std::uint64_t offset, std::uint64_t limit) {
  return sys::NextDataRange(file, offset, limit);
}

void ReadAhead(FileHandle file, std::uint64_t offset, std::uint64_t length) { sys::ReadAhead(file, offset, length); }

void FlushFile(FileHandle file) {
  if (!FlushesSkipped()) Check(sys::Flush(file), NATIVE("Cannot write to file"));
}

void FlushDirectory(const NativeChar* path) {
  if (!FlushesSkipped()) Check(sys::FlushDirectory(path), NATIVE("Cannot write to file"));
}

void FlushParentDirectory(const NativeChar* path) {
  if (!FlushesSkipped()) Check(sys::FlushParentDirectory(path), NATIVE("Cannot write to file"));
}

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

void MakeDirectory(const NativeChar* path) {
  if (const int error = sys::MakeDirectory(path)) {
    Fatal(Concat({NATIVE("Cannot create directory '"), path, NATIVE("'")}), error);
  }
}
