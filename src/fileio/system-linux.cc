// The platform seam on Linux. Files are opened
// close-on-exec and locked with flock, which is how "without sharing" is
// kept here; transfers are positional and retried after signals.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>   // renameat2
#include <cstdlib>  // free
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "fileio/system.h"

namespace sys {
namespace {

int Descriptor(FileHandle file) { return static_cast<int>(file.native); }

// Runs a system call again while a signal interrupts it.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

int ErrorOf(int result) { return result < 0 ? errno : 0; }

bool IsDisk(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 && S_ISBLK(info.st_mode);
}

// Whether the refusal means the file system cannot reserve, not that the
// room is missing.
bool CannotReserve(int error) { return error == EOPNOTSUPP || error == ENOSYS; }

// The calls in use: a test's, or the real ones.
const FileCalls& Calls() {
  const FileCalls* calls = FileCallsPutInPlace();
  return calls != nullptr ? *calls : RealFileCalls();
}

}  // namespace

namespace {

// Where a link is not followed: as the kernel refuses a link in a sticky
// directory.
constexpr int kLinkNotFollowed = ELOOP;

// Whether a link owned by linkOwner may lead to the file: the caller owns
// the link, or the link and the file have one owner.
bool MayFollow(uid_t linkOwner, const struct stat& file) { return linkOwner == geteuid() || file.st_uid == linkOwner; }

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens the file a link's text names, from the link's directory, where
// MayFollow allows it. The file is first only looked at (O_PATH), so one
// that may not be followed is never opened; the open that follows must find
// that same file.
int FollowLink(int directory, const char* target, uid_t linkOwner, int flags, int* fd) {
  const int path = RetryOnInterrupt([&] { return openat(directory, target, O_PATH | O_CLOEXEC); });
  if (path < 0) return errno;
  struct stat seen {};
  const bool allowed = fstat(path, &seen) == 0 && MayFollow(linkOwner, seen);
  close(path);
  if (!allowed) return kLinkNotFollowed;
  *fd = RetryOnInterrupt([&] { return openat(directory, target, flags & ~(O_CREAT | O_EXCL | O_TRUNC)); });
  if (*fd < 0) return errno;
  struct stat opened {};
  if (fstat(*fd, &opened) == 0 && SameFile(seen, opened) && MayFollow(linkOwner, opened)) return 0;
  close(*fd);
  return kLinkNotFollowed;
}

// Opens name in directory with flags, following a symbolic link there only
// where MayFollow allows: the link is held open while its text is read, so
// the owner compared is that of the link whose text is followed. Following
// never creates. *fd is the open file.
int OpenTrustingLinks(int directory, const char* name, int flags, int* fd) {
  for (int tries = 0; tries < 3; ++tries) {
    *fd = RetryOnInterrupt([&] { return openat(directory, name, flags | O_NOFOLLOW, 0666); });
    if (*fd >= 0) return 0;
    const int error = errno;
    // A link as the last part: ELOOP, or ENOTDIR where a directory is wanted.
    if (error != ELOOP && error != ENOTDIR) return error;
    const int link = openat(directory, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (link < 0) return error;
    struct stat facts {};
    char target[4096];
    ssize_t length = -1;
    if (fstat(link, &facts) == 0 && S_ISLNK(facts.st_mode)) {
      length = readlinkat(link, "", target, sizeof target);
    }
    close(link);
    if (!S_ISLNK(facts.st_mode)) {
      if (error == ENOTDIR) return error;
      continue;  // replaced meanwhile: look again
    }
    if (length < 0 || length >= static_cast<ssize_t>(sizeof target)) return length < 0 ? errno : ENAMETOOLONG;
    target[length] = '\0';
    return FollowLink(directory, target, facts.st_uid, flags, fd);
  }
  return kLinkNotFollowed;
}

// Whether the file open as fd may be taken for one of directory's own: its
// owner's, or the caller's own with no other name.
bool BelongsIn(int directory, int fd) {
  struct stat holder;
  struct stat file;
  if (fstat(directory, &holder) != 0 || fstat(fd, &file) != 0) return false;
  return file.st_uid == holder.st_uid || (file.st_uid == geteuid() && file.st_nlink == 1);
}

// A file named by a path may have other names: where it is not the owner of
// the directory it is named in, that name may be a hard link someone made to
// a file they could not otherwise reach (the caller's own, for root).
bool NamedByItsOwner(int directory, const struct stat& file) {
  struct stat holder;
  if (file.st_nlink <= 1) return true;
  return fstatat(directory, "", &holder, AT_EMPTY_PATH) == 0 && holder.st_uid == file.st_uid;
}

int FlagsOf(OpenMode mode) {
  // Non-blocking until the file is known to be no pipe, so that a pipe
  // without a writer cannot hold the open.
  int flags = O_CLOEXEC | O_NONBLOCK;
  flags |= mode == OpenMode::kRead ? O_RDONLY : O_RDWR;
  if (mode == OpenMode::kCreate) flags |= O_CREAT;  // no O_TRUNC: only once locked
  if (mode == OpenMode::kCreateNew) flags |= O_CREAT | O_EXCL;
  return flags;
}

// Opens name in directory (see Open), checking with BelongsIn when inside.
int OpenLocked(int directory, const char* name, OpenMode mode, bool inside, FileHandle* file) {
  int fd = -1;
  if (const int error = OpenTrustingLinks(directory, name, FlagsOf(mode), &fd)) return error;
  struct stat info;
  int error = 0;
  if (RetryOnInterrupt([&] { return flock(fd, LOCK_EX | LOCK_NB); }) != 0 || fstat(fd, &info) != 0) {
    error = errno;
  } else if (S_ISDIR(info.st_mode)) {
    error = EISDIR;  // opened for reading on POSIX; refused as writing would be
  } else if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
    error = ENXIO;  // as an open of a socket fails
  } else if (inside ? !BelongsIn(directory, fd) : S_ISREG(info.st_mode) && !NamedByItsOwner(directory, info)) {
    error = kLinkNotFollowed;
  } else if (fcntl(fd, F_SETFL, 0) != 0) {  // blocking again
    error = errno;
  } else if (mode == OpenMode::kCreate && S_ISREG(info.st_mode) && (info.st_size != 0 || info.st_blocks != 0) &&
             RetryOnInterrupt([&] { return ftruncate(fd, 0); }) != 0) {
    // Only a file that holds something is cut (room reserved past an end of
    // 0 included): ext4 treats cutting a file to 0 as a replacement and
    // flushes it on close, which a new file need not pay.
    error = errno;
  }
  if (error != 0) {
    close(fd);
    return error;
  }
  if (mode == OpenMode::kRead) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  file->native = fd;
  return 0;
}

// Calls open(directory, name) for the last part of path, in the directory
// its other parts name (opened for the call, its links followed: the caller
// chose them).
template <typename OpenName>
int InParent(const char* path, OpenName openName) {
  const std::string_view whole(path);
  const std::size_t slash = whole.rfind('/');
  if (slash == std::string_view::npos) return openName(AT_FDCWD, path);
  const std::string parent(whole.substr(0, slash == 0 ? 1 : slash));
  const int directory = RetryOnInterrupt([&] { return open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); });
  if (directory < 0) return errno;
  const int error = openName(directory, path + slash + 1);
  close(directory);
  return error;
}

}  // namespace

int Open(const NativeChar* path, OpenMode mode, FileHandle* file) {
  return InParent(path,
                  [&](int directory, const char* name) { return OpenLocked(directory, name, mode, false, file); });
}

int OpenDirectory(const NativeChar* path, DirectoryHandle* directory) {
  std::string named(path);
  while (named.size() > 1 && named.back() == '/') named.pop_back();  // "d/" is d
  return InParent(named.c_str(), [&](int parent, const char* name) {
    int fd = -1;
    int error = OpenTrustingLinks(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC, &fd);
    // A directory the caller may search but not list is reached all the same.
    if (error == EACCES) error = OpenTrustingLinks(parent, name, O_PATH | O_DIRECTORY | O_CLOEXEC, &fd);
    if (error == 0) directory->native = fd;
    return error;
  });
}

void CloseDirectory(DirectoryHandle directory) noexcept { close(static_cast<int>(directory.native)); }

namespace {

int RealOpenIn(DirectoryHandle directory, const NativeChar* name, const NativeChar*, OpenMode mode, FileHandle* file) {
  return OpenLocked(static_cast<int>(directory.native), name, mode, true, file);
}

int RealCreate(DirectoryHandle directory, const NativeChar* name, const NativeChar* path, FileHandle* file) {
  return RealOpenIn(directory, name, path, OpenMode::kCreateNew, file);
}

}  // namespace

int OpenIn(DirectoryHandle directory, const NativeChar* name, const NativeChar* path, OpenMode mode, FileHandle* file) {
  if (mode == OpenMode::kCreateNew) return Calls().create(directory, name, path, file);
  return RealOpenIn(directory, name, path, mode, file);
}

void Close(FileHandle file) noexcept { close(Descriptor(file)); }

namespace {

// Moves count bytes with move(at), which transfers from byte at on; again
// after signals and partial transfers. *done falls short of count only when
// the system moves nothing more.
template <typename Move>
int Transfer(std::size_t count, std::size_t* done, Move move) {
  for (*done = 0; *done < count;) {
    const ssize_t moved = RetryOnInterrupt([&] { return move(*done); });
    if (moved < 0) return errno;
    if (moved == 0) break;
    *done += static_cast<std::size_t>(moved);
  }
  return 0;
}

}  // namespace

int ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count, std::size_t* done) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  return Transfer(count, done, [&](std::size_t at) {
    return pread(Descriptor(file), bytes + at, count - at, static_cast<off_t>(offset + at));
  });
}

void ReadCachedAt(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count, std::size_t* done) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  // Any failure, "not in memory" (EAGAIN) and "cannot tell" included, ends
  // it: the caller reads the rest and waits.
  Transfer(count, done, [&](std::size_t at) {
    const iovec piece{bytes + at, count - at};
    return preadv2(Descriptor(file), &piece, 1, static_cast<off_t>(offset + at), RWF_NOWAIT);
  });
}

namespace {

int RealWrite(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count, std::size_t* done) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  return Transfer(count, done, [&](std::size_t at) {
    return pwrite(Descriptor(file), bytes + at, count - at, static_cast<off_t>(offset + at));
  });
}

}  // namespace

int Size(FileHandle file, std::uint64_t* size) {
  const int fd = Descriptor(file);
  struct stat info;
  if (fstat(fd, &info) != 0) return errno;
  if (S_ISBLK(info.st_mode)) {
    // A disk's inode has no length; the device knows its size.
    return ErrorOf(ioctl(fd, BLKGETSIZE64, size));
  }
  *size = static_cast<std::uint64_t>(info.st_size);
  return 0;
}

namespace {

// A disk keeps its size: any length up to it fits, a longer one lacks room.
int FitOnDisk(FileHandle file, std::uint64_t end) {
  std::uint64_t size = 0;
  if (const int error = Size(file, &size)) return error;
  return end <= size ? 0 : ENOSPC;
}

}  // namespace

int Seek(FileHandle file, std::uint64_t offset) {
  return lseek(Descriptor(file), static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
}

namespace {

int RealTruncate(FileHandle file, std::uint64_t length) {
  const int fd = Descriptor(file);
  if (IsDisk(fd)) return FitOnDisk(file, length);
  return ErrorOf(RetryOnInterrupt([&] { return ftruncate(fd, static_cast<off_t>(length)); }));
}

int RealReserve(FileHandle file, std::uint64_t offset, std::uint64_t length, Reservation how, bool* reserved) {
  *reserved = false;
  if (length == 0) return 0;
  const int fd = Descriptor(file);
  if (IsDisk(fd)) return FitOnDisk(file, offset + length);
  struct stat before;
  if (fstat(fd, &before) != 0) return errno;
  const int result = RetryOnInterrupt([&] {
    return fallocate(fd, how == Reservation::kKeepLength ? FALLOC_FL_KEEP_SIZE : 0, static_cast<off_t>(offset),
                     static_cast<off_t>(length));
  });
  if (result == 0) {
    *reserved = true;
    return 0;
  }
  const int error = errno;
  if (CannotReserve(error)) return 0;
  // A refused reservation may keep what it got before the refusal, past the
  // end or as a longer file; cutting to the old length gives it all back.
  RetryOnInterrupt([&] { return ftruncate(fd, before.st_size); });
  return error;
}

int RealCopyRange(FileHandle source, std::uint64_t from, FileHandle destination, std::uint64_t to, std::uint64_t count,
                  std::uint64_t* done) {
  for (*done = 0; *done < count;) {
    auto in = static_cast<off_t>(from + *done);
    auto out = static_cast<off_t>(to + *done);
    const ssize_t copied = RetryOnInterrupt([&] {
      return copy_file_range(Descriptor(source), &in, Descriptor(destination), &out,
                             static_cast<std::size_t>(std::min<std::uint64_t>(count - *done, 1 << 30)), 0);
    });
    if (copied < 0) {
      // Declined: the caller copies the rest itself.
      if (errno == EXDEV || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS) return 0;
      return errno;
    }
    if (copied == 0) return 0;
    *done += static_cast<std::uint64_t>(copied);
  }
  return 0;
}

}  // namespace

void ReadAhead(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  posix_fadvise(Descriptor(file), static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

void StartWriteback(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  sync_file_range(Descriptor(file), static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
}

namespace {

// A file that has no flush at all (a special file, some file systems'
// directories) says so with EINVAL; there is nothing to wait for then. Any
// other error, EROFS from a journal that aborted included, means the data
// may not be on storage.
int FlushError(int result) {
  if (result == 0) return 0;
  return errno == EINVAL ? 0 : errno;
}

int RealFlush(FileHandle file) {
  return FlushError(RetryOnInterrupt([&] { return fdatasync(Descriptor(file)); }));
}

struct ThreadJob {
  void (*job)(void*);
  void* argument;
};

void* RunJob(void* started) {
  const ThreadJob job = *static_cast<ThreadJob*>(started);
  delete static_cast<ThreadJob*>(started);
  job.job(job.argument);
  return nullptr;
}

struct FlushJob {
  FileHandle file;
  int error;
};

void RunFlush(void* job) {
  auto* flush = static_cast<FlushJob*>(job);
  flush->error = Flush(flush->file);
}

bool RealStartThread(void (*job)(void*), void* argument, Thread* thread) {
  auto* started = new (std::nothrow) ThreadJob{job, argument};
  if (started == nullptr) return false;
  pthread_t native;
  if (pthread_create(&native, nullptr, RunJob, started) != 0) {
    delete started;
    return false;
  }
  static_assert(sizeof(pthread_t) <= sizeof(thread->native));
  thread->native = static_cast<std::uint64_t>(native);
  thread->started = true;
  return true;
}

int RealFlushDirectory(DirectoryHandle directory) {
  return FlushError(RetryOnInterrupt([&] { return fsync(static_cast<int>(directory.native)); }));
}

}  // namespace

void Join(Thread* thread) {
  if (!thread->started) return;
  pthread_join(static_cast<pthread_t>(thread->native), nullptr);
  thread->started = false;
}

void FlushSideBySide(FileHandle a, FileHandle b, int* errorA, int* errorB) {
  FlushJob job{a, 0};
  Thread thread;
  if (!StartThread(RunFlush, &job, &thread)) RunFlush(&job);
  *errorB = Flush(b);
  Join(&thread);
  *errorA = job.error;
}

int FlushParentDirectory(const NativeChar* path) {
  // The new entry is in the directory of the file the links lead to.
  char* real = realpath(path, nullptr);
  std::string parent = real != nullptr ? real : path;
  std::free(real);
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const std::size_t slash = parent.rfind('/');
  if (slash != std::string::npos) parent.erase(slash == 0 ? 1 : slash);
  const int fd = RetryOnInterrupt(
      [&] { return open(slash == std::string::npos ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return errno;
  const int error = FlushDirectory(DirectoryHandle{fd});
  close(fd);
  return error;
}

int MakeDirectory(const NativeChar* path) { return ErrorOf(mkdir(path, 0777)); }

namespace {

int RealPunchHole(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  return ErrorOf(RetryOnInterrupt([&] {
    return fallocate(Descriptor(file), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                     static_cast<off_t>(length));
  }));
}

int RealZeroRange(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  const int number = ErrorOf(RetryOnInterrupt([&] {
    return fallocate(Descriptor(file), FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                     static_cast<off_t>(length));
  }));
  return number == ENOSYS ? EOPNOTSUPP : number;
}

int At(DirectoryHandle directory) { return static_cast<int>(directory.native); }

FileFacts FactsOf(const struct stat& status) {
  const FileFacts::Kind kind = S_ISREG(status.st_mode)   ? FileFacts::kRegular
                               : S_ISDIR(status.st_mode) ? FileFacts::kDirectory
                               : S_ISLNK(status.st_mode) ? FileFacts::kSymbolicLink
                                                         : FileFacts::kOther;
  return FileFacts{kind, static_cast<std::uint64_t>(status.st_nlink), static_cast<std::uint64_t>(status.st_dev),
                   static_cast<std::uint64_t>(status.st_ino)};
}

int RealRenameIn(DirectoryHandle directory, const NativeChar* from, const NativeChar* to) {
  return ErrorOf(renameat(At(directory), from, At(directory), to));
}

int RealExchangeIn(DirectoryHandle directory, const NativeChar* a, const NativeChar* b) {
  const int number = ErrorOf(renameat2(At(directory), a, At(directory), b, RENAME_EXCHANGE));
  return number == EINVAL || number == ENOSYS ? EOPNOTSUPP : number;
}

int RealRemoveIn(DirectoryHandle directory, const NativeChar* name) {
  return ErrorOf(unlinkat(At(directory), name, 0));
}

}  // namespace

int FactsOfName(DirectoryHandle directory, const NativeChar* name, FileFacts* facts) {
  struct stat status {};
  if (fstatat(At(directory), name, &status, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  *facts = FactsOf(status);
  return 0;
}

int FactsOfFile(FileHandle file, FileFacts* facts) {
  struct stat status {};
  if (fstat(Descriptor(file), &status) != 0) return errno;
  *facts = FactsOf(status);
  return 0;
}

namespace {

int RealCopyOwnership(FileHandle model, FileHandle file) {
  struct stat wanted {};
  struct stat now {};
  if (fstat(Descriptor(model), &wanted) != 0 || fstat(Descriptor(file), &now) != 0) return errno;
  if ((wanted.st_uid != now.st_uid || wanted.st_gid != now.st_gid) &&
      fchown(Descriptor(file), wanted.st_uid, wanted.st_gid) != 0) {
    return errno;
  }
  return ErrorOf(fchmod(Descriptor(file), wanted.st_mode & 07777));
}

// The mark of a copy: what the original and the copy were when the copy was
// made equal (setting the mark changes neither, nor the copy's time of
// change: a write to either does).
constexpr const char* kCopyMark = "user.quillon.copy-of";

std::string MarkOf(FileHandle copy, FileHandle original) {
  struct stat was {};
  struct stat is {};
  if (fstat(Descriptor(original), &was) != 0 || fstat(Descriptor(copy), &is) != 0) return std::string();
  char text[192];
  std::snprintf(text, sizeof text, "%llu:%llu:%lld:%lld.%09ld:%lld.%09ld/%lld:%lld.%09ld",
                static_cast<unsigned long long>(was.st_dev), static_cast<unsigned long long>(was.st_ino),
                static_cast<long long>(was.st_size), static_cast<long long>(was.st_mtim.tv_sec), was.st_mtim.tv_nsec,
                static_cast<long long>(was.st_ctim.tv_sec), was.st_ctim.tv_nsec, static_cast<long long>(is.st_size),
                static_cast<long long>(is.st_mtim.tv_sec), is.st_mtim.tv_nsec);
  return text;
}

int RealMarkCopy(FileHandle copy, FileHandle original) {
  const std::string mark = MarkOf(copy, original);
  if (mark.empty()) return errno;
  const int number = ErrorOf(fsetxattr(Descriptor(copy), kCopyMark, mark.data(), mark.size(), 0));
  return number == ENOTSUP || number == EPERM ? EOPNOTSUPP : number;
}

}  // namespace

bool IsMarkedCopy(FileHandle copy, FileHandle original) {
  char mark[192];
  const ssize_t length = fgetxattr(Descriptor(copy), kCopyMark, mark, sizeof mark);
  const std::string now = MarkOf(copy, original);
  return length > 0 && !now.empty() && std::string_view(mark, static_cast<std::size_t>(length)) == now;
}

void UnmarkCopy(FileHandle copy) { fremovexattr(Descriptor(copy), kCopyMark); }

int MayChangeNames(DirectoryHandle directory) {
  return ErrorOf(faccessat(At(directory), ".", W_OK | X_OK, AT_EACCESS));
}

std::optional<DataRange> NextDataRange(FileHandle file, std::uint64_t offset, std::uint64_t limit) {
  if (offset >= limit) return std::nullopt;
  const int fd = Descriptor(file);
  const off_t data = lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) return std::nullopt;  // only a hole up to the end
    return DataRange{offset, limit};          // cannot tell: all may be data
  }
  const auto begin = static_cast<std::uint64_t>(data);
  if (begin >= limit) return std::nullopt;
  const off_t hole = lseek(fd, data, SEEK_HOLE);
  const std::uint64_t end = hole < 0 ? limit : std::min(limit, static_cast<std::uint64_t>(hole));
  return DataRange{begin, std::max(end, begin + 1)};
}

void CutTo(FileHandle file, std::uint64_t length) {
  const int fd = Descriptor(file);
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return;
  // Cutting to the length a file has still gives back what lies past it.
  const off_t end = length == kCurrentLength ? info.st_size : static_cast<off_t>(length);
  RetryOnInterrupt([&] { return ftruncate(fd, end); });
}

const FileCalls& RealFileCalls() {
  static constexpr FileCalls kReal{RealWrite,      RealTruncate, RealReserve,        RealPunchHole, RealZeroRange,
                                   RealCopyRange,  RealFlush,    RealFlushDirectory, RealCreate,    RealRenameIn,
                                   RealExchangeIn, RealRemoveIn, RealCopyOwnership,  RealMarkCopy,  RealStartThread};
  return kReal;
}

int WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count, std::size_t* done) {
  return Calls().write(file, offset, buffer, count, done);
}

int Truncate(FileHandle file, std::uint64_t length) { return Calls().truncate(file, length); }

int Reserve(FileHandle file, std::uint64_t offset, std::uint64_t length, Reservation how, bool* reserved) {
  return Calls().reserve(file, offset, length, how, reserved);
}

int PunchHole(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  return Calls().punchHole(file, offset, length);
}

int ZeroRange(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  return Calls().zeroRange(file, offset, length);
}

int CopyRange(FileHandle source, std::uint64_t from, FileHandle destination, std::uint64_t to, std::uint64_t count,
              std::uint64_t* done) {
  return Calls().copyRange(source, from, destination, to, count, done);
}

int Flush(FileHandle file) { return Calls().flush(file); }

int FlushDirectory(DirectoryHandle directory) { return Calls().flushDirectory(directory); }

int RenameIn(DirectoryHandle directory, const NativeChar* from, const NativeChar* to) {
  return Calls().rename(directory, from, to);
}

int ExchangeIn(DirectoryHandle directory, const NativeChar* a, const NativeChar* b) {
  return Calls().exchange(directory, a, b);
}

int RemoveIn(DirectoryHandle directory, const NativeChar* name) { return Calls().remove(directory, name); }

int CopyOwnership(FileHandle model, FileHandle file) { return Calls().copyOwnership(model, file); }

int MarkCopy(FileHandle copy, FileHandle original) { return Calls().markCopy(copy, original); }

bool StartThread(void (*job)(void*), void* argument, Thread* thread) {
  return Calls().startThread(job, argument, thread);
}
}  // namespace sys
