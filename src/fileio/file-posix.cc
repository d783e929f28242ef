// The file layer on POSIX systems: descriptors opened close-on-exec and
// locked with flock, which is how "without sharing" is kept here.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "fileio/file.h"
#include "fileio/report.h"

namespace {

int Descriptor(FileHandle file) { return static_cast<int>(file.native); }

// Takes an exclusive lock that fails at once when another process holds one.
bool LockExclusively(int fd) {
  int result;
  do {
    result = flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

[[noreturn]] void FailOpen(const NativeChar* verb, const NativeChar* path,
                           int number) {
  FatalWithErrorNumber(Concat({verb, path, "'"}), number);
}

}  // namespace

FileHandle OpenExisting(const NativeChar* path, bool writable) {
  const int fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) FailOpen("Cannot open '", path, errno);
  if (!LockExclusively(fd)) FailOpen("Cannot open '", path, errno);
  // A directory opens for reading on POSIX; refuse it here, as opening it
  // for writing would, instead of failing at the first read.
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    FailOpen("Cannot open '", path, EISDIR);
  }
  return FileHandle{fd};
}

FileHandle CreateAlways(const NativeChar* path) {
  // No O_TRUNC: the file is emptied only once the lock is ours, so a file
  // that another process holds is never cut.
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) FailOpen("Cannot create '", path, errno);
  if (!LockExclusively(fd)) FailOpen("Cannot create '", path, errno);
  // Only a file with data is cut: ext4 treats cutting a file to 0 as a
  // replacement and flushes it when it is closed, which a new file need not pay.
  struct stat info;
  if (fstat(fd, &info) != 0) FailOpen("Cannot create '", path, errno);
  if (info.st_size != 0 && ftruncate(fd, 0) != 0) FailOpen("Cannot create '", path, errno);
  return FileHandle{fd};
}

std::uint32_t ReadBytes(FileHandle file, void* buffer, std::uint32_t count,
                        bool allowShort) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t done = 0;
  while (done < count) {
    const ssize_t got = read(Descriptor(file), bytes + done, count - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      FatalLastError("Cannot read from file");
    }
    if (got == 0) break;
    done += static_cast<std::uint32_t>(got);
  }
  if (done < count && !allowShort) FatalShortRead();
  return done;
}

void WriteBytes(FileHandle file, const void* buffer, std::uint32_t count) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  std::uint32_t done = 0;
  while (done < count) {
    const ssize_t put = write(Descriptor(file), bytes + done, count - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      // The only memory a write can fault on is a view whose file was cut
      // short under it: the bytes to write are gone.
      if (errno == EFAULT) FatalShortRead();
      FatalLastError("Cannot write to file");
    }
    if (put == 0) Fatal("Short write to file");
    done += static_cast<std::uint32_t>(put);
  }
}

std::uint64_t GetSize(FileHandle file) {
  struct stat info;
  if (fstat(Descriptor(file), &info) != 0) FatalLastError("Cannot get file size");
  return static_cast<std::uint64_t>(info.st_size);
}

void SetSize(FileHandle file, std::uint64_t size) {
  const int fd = Descriptor(file);
  if (lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) {
    FatalLastError("Cannot set file pointer");
  }
  int result;
  do {
    result = ftruncate(fd, static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  if (result != 0) FatalLastError("Cannot set end of file");
  if (lseek(fd, 0, SEEK_SET) < 0) FatalLastError("Cannot rewind file pointer");
}

void SeekTo(FileHandle file, std::uint64_t offset) {
  if (lseek(Descriptor(file), static_cast<off_t>(offset), SEEK_SET) < 0) {
    const int number = errno;
    FatalWithErrorNumber(Concat({"Cannot set file pointer to ", NativeDecimal(offset)}),
                         number);
  }
}

void MakeDirectory(const NativeChar* path) {
  if (mkdir(path, 0777) != 0) FailOpen("Cannot create directory '", path, errno);
}

void CloseFile(FileHandle file) { close(Descriptor(file)); }

void AppendZeros(FileHandle file, std::uint64_t count) {
  if (count == 0) return;
  const int fd = Descriptor(file);
  const off_t end = lseek(fd, 0, SEEK_CUR);
  if (end < 0) FatalLastError("Cannot write to file");
  int result;
  do {
    result = fallocate(fd, 0, end, static_cast<off_t>(count));
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    SeekTo(file, static_cast<std::uint64_t>(end) + count);
    return;
  }
  // A file system that cannot reserve space gets the zeros written; any
  // other refusal (no space, too large) is the failure the writes would meet.
  if (errno != EOPNOTSUPP && errno != ENOSYS) FatalLastError("Cannot write to file");
  WriteZeros(file, count);
}

bool ReserveSpace(FileHandle file, std::uint64_t size) {
  if (size == 0) return true;
  int result;
  do {
    result = fallocate(Descriptor(file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  if (result == 0) return true;
  if (errno == EOPNOTSUPP || errno == ENOSYS) return false;
  FatalLastError("Cannot write to file");
}

std::optional<DataRange> NextDataRange(FileHandle file, std::uint64_t offset,
                                       std::uint64_t limit) {
  if (offset >= limit) return std::nullopt;
  const int fd = Descriptor(file);
  const off_t data = lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) return std::nullopt;  // only a hole up to the end
    return DataRange{offset, limit};           // cannot tell: all may be data
  }
  const auto begin = static_cast<std::uint64_t>(data);
  if (begin >= limit) return std::nullopt;
  const off_t hole = lseek(fd, data, SEEK_HOLE);
  const std::uint64_t end =
      hole < 0 ? limit : std::min(limit, static_cast<std::uint64_t>(hole));
  return DataRange{begin, std::max(end, begin + 1)};
}

const unsigned char* MapView(FileHandle file, std::uint64_t offset, std::size_t length) {
  if (length == 0) return nullptr;
  void* view = mmap(nullptr, length, PROT_READ, MAP_SHARED, Descriptor(file),
                    static_cast<off_t>(offset));
  if (view == MAP_FAILED) return nullptr;
  madvise(view, length, MADV_SEQUENTIAL);
  return static_cast<const unsigned char*>(view);
}

void UnmapView(const unsigned char* view, std::size_t length) {
  munmap(const_cast<unsigned char*>(view), length);
}

int LastErrorNumber() { return errno; }

namespace {

// A view's bytes vanish when another process cuts the file short; reading
// them raises SIGBUS, which is reported as the short read it is. The signal
// arrives synchronously from our own read of the view, never inside stdio
// or the allocator, so the ordinary report is safe to make here.
void ReportVanishedBytes(int) { FatalShortRead(); }

}  // namespace

void PrepareProcess() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGBUS, ReportVanishedBytes);
}

void WriteStandardErrorBytes(std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

void WriteStandardError(NativeStringView text) { WriteStandardErrorBytes(text); }

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }
