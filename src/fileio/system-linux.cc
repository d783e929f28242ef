// The platform seam on Linux. Files are opened
// close-on-exec and locked with flock, which is how "without sharing" is
// kept here; transfers are positional and retried after signals.
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>  // PATH_MAX
#include <cstdio>   // renameat2
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

// Links one path may lead through, as the kernel counts them.
constexpr int kMostLinks = 40;

// Supplementary groups a caller acting as another may have to give back.
constexpr int kMostGroups = 256;

// A descriptor, closed when its owner goes unless only borrowed.
struct Held {
  int fd = -1;
  bool owned = false;
  Held() = default;
  Held(int descriptor, bool own) : fd(descriptor), owned(own && descriptor >= 0) {}
  Held(Held&& other) noexcept : fd(other.fd), owned(other.owned) { other.owned = false; }
  Held& operator=(Held&& other) noexcept {
    std::swap(fd, other.fd);
    std::swap(owned, other.owned);
    return *this;
  }
  ~Held() {
    if (owned) close(fd);
  }
  int Release() {
    owned = false;
    return fd;
  }
};

// Who calls, and whether they may bypass file permissions: asked at each
// call, so that a server that drops root once started (nbdkit -u) is seen
// to have dropped it.
struct Caller {
  uid_t uid;
  bool privileged;
};

Caller TheCaller() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  const bool asked = syscall(SYS_capget, &header, data) == 0;
  return Caller{geteuid(), asked && (data[CAP_TO_INDEX(CAP_DAC_OVERRIDE)].effective & CAP_TO_MASK(CAP_DAC_OVERRIDE))};
}

// The file-system identity names are looked up and made with: the caller's
// own, or another user's with a group of theirs and no other.
struct Identity {
  bool theirs = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

// A caller who could bypass the permissions of a directory another user
// owns acts there as that user, so that the kernel refuses what the owner
// could not do, and what is made there is theirs. Root's directories are
// the caller's to act in.
Identity IdentityIn(const Caller& caller, const struct stat& directory) {
  if (!caller.privileged || directory.st_uid == caller.uid || directory.st_uid == 0) return Identity{};
  return Identity{true, directory.st_uid, directory.st_gid};
}

// The thread's own identity while it acts as another's, given back when
// this goes. Linux keeps identities per thread; glibc's setgroups would
// change every thread's, the system call changes only this one's.
struct ActingAs {
  bool switched = false;
  uid_t uid = 0;
  gid_t gid = 0;
  int groupCount = 0;
  gid_t groups[kMostGroups];
  ~ActingAs() {
    if (!switched) return;
    const int saved = errno;
    setfsuid(uid);
    setfsgid(gid);
    syscall(SYS_setgroups, groupCount, groups);
    errno = saved;
  }
};

// Takes who's identity; EPERM where any part of it did not take, never
// going on with the caller's rights.
int ActAs(const Identity& who, ActingAs* acting) {
  if (!who.theirs) return 0;
  acting->groupCount = getgroups(kMostGroups, acting->groups);
  if (acting->groupCount < 0) return EPERM;
  acting->uid = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
  acting->gid = static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)));
  acting->switched = true;
  if (syscall(SYS_setgroups, 0, nullptr) != 0) return EPERM;
  setfsgid(who.gid);
  setfsuid(who.uid);
  // Either call answers the identity it replaced: asking to change to an
  // impossible one tells what holds now.
  const bool took = static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == who.gid &&
                    static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == who.uid;
  return took ? 0 : EPERM;
}

// Runs call() as who: its result, or -1 with errno EPERM where who's
// identity could not be taken.
template <typename Call>
auto As(const Identity& who, Call call) -> decltype(call()) {
  ActingAs acting;
  if (const int error = ActAs(who, &acting)) {
    errno = error;
    return -1;
  }
  return call();
}

// Links on a proc file system (/proc/self, /proc/<pid>/root, /proc/<pid>/fd/N)
// lead where their text does not say: into another process's mounts and
// files. None is followed.
bool OnProc(int fd) {
  struct statfs facts {};
  return fstatfs(fd, &facts) != 0 || facts.f_type == PROC_SUPER_MAGIC;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool SameMount(int a, int b) {
  struct statx x {};
  struct statx y {};
  return statx(a, "", AT_EMPTY_PATH, STATX_MNT_ID, &x) == 0 && statx(b, "", AT_EMPTY_PATH, STATX_MNT_ID, &y) == 0 &&
         (x.stx_mask & y.stx_mask & STATX_MNT_ID) != 0 && x.stx_mnt_id == y.stx_mnt_id;
}

// A link being walked, and where its text ends.
struct Followed {
  uid_t linkOwner;
  uid_t directoryOwner;   // of the directory the link is in
  std::size_t restAfter;  // how much of the path is left once its text is walked
  Identity outer;         // the identity names were looked up with before it
};

// Whether a link may lead to what owner owns (or, for a link that dangles,
// to a file made in a directory owner owns): the caller owns the link, or
// the link and the file have one owner, the rule Linux keeps in sticky
// directories; and a link in a directory of a user who is neither the
// caller nor root leads only to that user's files, so that whoever may put
// links somewhere cannot lead a caller to files they could not reach.
bool MayLead(const Followed& link, uid_t caller, uid_t owner) {
  return (link.linkOwner == caller || link.linkOwner == owner) &&
         (link.directoryOwner == caller || link.directoryOwner == 0 || link.directoryOwner == owner);
}

// Where a walk ends: the directory holding the last name, that name, the
// identity it is opened or made with, and what it names (no object where
// nothing has it yet).
struct Place {
  Held directory;
  std::string name;
  Identity who;
  bool throughTheirLink = false;  // reached by the text of a link found as another user
  Held object;
  struct stat facts {};
};

enum class Last {
  kFollow,  // the last name must be there, its links followed
  kCreate,  // the same, or missing where a file may be made (through a link that dangles too)
  kKeep,    // the last name is only named, neither looked up nor followed
};

// Walks path from start (a directory, or AT_FDCWD) a name at a time, each
// step only looked at (O_PATH, never following a link) with the identity
// of the directory it is in, holding the directory reached, so that no
// name can be swapped for a link between a check and its use. At a link:
// one on proc is never followed, the rules of MayLead hold for what its
// text leads to, and that text is walked with the identity the link was
// found with, to its end.
int Walk(const Caller& caller, int start, std::string_view path, Last last, Place* place) {
  if (path.empty()) return ENOENT;
  std::string rest(path);
  std::size_t at = 0;
  Followed followed[kMostLinks];
  int links = 0;
  int walking = 0;  // links whose text is not walked to its end yet
  Identity inherited;
  const auto top = [](bool absolute, int from) {
    if (absolute) return Held(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC), true);
    if (from != AT_FDCWD) return Held(from, false);
    return Held(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC), true);
  };
  Held directory = top(rest[0] == '/', start);
  for (;;) {
    if (directory.fd < 0) return errno;
    while (at < rest.size() && rest[at] == '/') ++at;
    struct stat here {};
    if (fstat(directory.fd, &here) != 0) return errno;
    while (walking > 0 && followed[walking - 1].restAfter >= rest.size() - at) {
      if (!MayLead(followed[walking - 1], caller.uid, here.st_uid)) return kLinkNotFollowed;
      inherited = followed[--walking].outer;
    }
    const std::size_t end = std::min(rest.find('/', at), rest.size());
    // A path that ends in a directory ("/", "a/..", a link to ".") names it.
    const std::string name = at == rest.size() ? std::string(".") : rest.substr(at, end - at);
    std::size_t next = end;
    while (next < rest.size() && rest[next] == '/') ++next;
    const bool isLast = next == rest.size();
    const Identity who = inherited.theirs ? inherited : IdentityIn(caller, here);
    if (isLast && last == Last::kKeep) {
      *place = Place{std::move(directory), name, who, inherited.theirs, Held(), {}};
      return 0;
    }
    Held found(As(who, [&] { return openat(directory.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); }), true);
    if (found.fd < 0) {
      if (errno != ENOENT || !isLast || last != Last::kCreate) return errno;
      for (int i = 0; i < walking; ++i) {
        if (!MayLead(followed[i], caller.uid, here.st_uid)) return kLinkNotFollowed;
      }
      *place = Place{std::move(directory), name, who, inherited.theirs, Held(), {}};
      return 0;
    }
    struct stat facts {};
    if (fstat(found.fd, &facts) != 0) return errno;
    if (S_ISLNK(facts.st_mode)) {
      if (OnProc(found.fd) || links == kMostLinks) return kLinkNotFollowed;
      char text[PATH_MAX];
      const ssize_t length = As(who, [&] { return readlinkat(found.fd, "", text, sizeof text); });
      if (length < 0) return errno;
      if (length == 0 || length == sizeof text) return length == 0 ? ENOENT : ENAMETOOLONG;
      ++links;
      followed[walking++] = Followed{facts.st_uid, here.st_uid, rest.size() - next, inherited};
      if (who.theirs) inherited = who;
      rest = std::string(text, static_cast<std::size_t>(length)) + (isLast ? "" : "/" + rest.substr(next));
      at = 0;
      if (text[0] == '/') directory = top(true, start);
      continue;
    }
    if (isLast) {
      for (int i = 0; i < walking; ++i) {
        if (!MayLead(followed[i], caller.uid, facts.st_uid)) return kLinkNotFollowed;
      }
      *place = Place{std::move(directory), name, who, inherited.theirs, std::move(found), facts};
      return 0;
    }
    if (!S_ISDIR(facts.st_mode)) return ENOTDIR;
    directory = std::move(found);
    at = next;
  }
}

// What OpenFound answers where the name changed between its look and its
// open: the walk is made again.
constexpr int kChanged = -1;

// Opens the file place names with flags, or makes it where nothing has the
// name. What was looked at is opened only where it is a file or a disk (a
// pipe, socket or terminal is never opened, so neither waited on nor taken
// as a controlling terminal), and the open must find that same file. A
// file of the caller's own in another user's directory, refused to that
// user, is opened with the caller's rights where it is shown to be the
// caller's: one name, on the directory's own mount, reached by no link of
// theirs.
int OpenFound(const Caller& caller, Place* place, int flags, int* fd) {
  const int base = (flags & ~(O_CREAT | O_EXCL)) | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  const int directory = place->directory.fd;
  const char* name = place->name.c_str();
  if (place->object.fd < 0) {
    if ((flags & O_CREAT) == 0) return ENOENT;
    *fd = As(place->who, [&] { return openat(directory, name, base | O_CREAT | O_EXCL, 0666); });
    if (*fd >= 0) return 0;
    return errno == EEXIST && (flags & O_EXCL) == 0 ? kChanged : errno;
  }
  const struct stat& seen = place->facts;
  if ((flags & O_EXCL) != 0) return EEXIST;
  if (S_ISFIFO(seen.st_mode) || S_ISSOCK(seen.st_mode) || S_ISCHR(seen.st_mode)) return ENXIO;
  if (S_ISDIR(seen.st_mode) && (flags & O_DIRECTORY) == 0) return EISDIR;
  *fd = As(place->who, [&] { return openat(directory, name, base); });
  const bool mine = S_ISREG(seen.st_mode) && seen.st_uid == caller.uid && !place->throughTheirLink;
  if (*fd < 0 && (errno == EACCES || errno == EPERM) && place->who.theirs && mine) {
    if (seen.st_nlink != 1 || !SameMount(directory, place->object.fd)) return kLinkNotFollowed;
    *fd = RetryOnInterrupt([&] { return openat(directory, name, base); });
    struct stat opened {};
    if (*fd >= 0 && (fstat(*fd, &opened) != 0 || opened.st_uid != caller.uid || opened.st_nlink != 1 ||
                     !SameMount(directory, *fd))) {
      close(*fd);
      return kChanged;
    }
  }
  if (*fd < 0) return errno == ENOENT || errno == ELOOP ? kChanged : errno;
  struct stat opened {};
  if (fstat(*fd, &opened) == 0 && SameFile(seen, opened)) return 0;
  close(*fd);
  return kChanged;
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
  return fstat(directory, &holder) == 0 && holder.st_uid == file.st_uid;
}

int FlagsOf(OpenMode mode) {
  // Non-blocking until the file is known to be no pipe, so that a pipe
  // without a writer cannot hold the open.
  int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  flags |= mode == OpenMode::kRead ? O_RDONLY : O_RDWR;
  if (mode == OpenMode::kCreate) flags |= O_CREAT;  // no O_TRUNC: only once locked
  if (mode == OpenMode::kCreateNew) flags |= O_CREAT | O_EXCL;
  return flags;
}

// Opens path from start (see Open); holder, where it is not -1, is the
// directory whose own the file must be (BelongsIn).
int OpenLocked(int start, const char* path, OpenMode mode, int holder, FileHandle* file) {
  const Caller caller = TheCaller();
  const int flags = FlagsOf(mode);
  Place place;
  int fd = -1;
  for (int tries = 0;; ++tries) {
    if (const int error = Walk(caller, start, path, flags & O_CREAT ? Last::kCreate : Last::kFollow, &place)) {
      return error;
    }
    const int result = OpenFound(caller, &place, flags, &fd);
    if (result == 0) break;
    if (result != kChanged) return result;
    if (tries == 2) return kLinkNotFollowed;  // changed at each look
  }
  struct stat info;
  int error = 0;
  if (RetryOnInterrupt([&] { return flock(fd, LOCK_EX | LOCK_NB); }) != 0 || fstat(fd, &info) != 0) {
    error = errno;
  } else if (S_ISDIR(info.st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
    error = ENXIO;  // as an open of a socket fails
  } else if (holder >= 0 ? !BelongsIn(holder, fd)
                         : S_ISREG(info.st_mode) && !NamedByItsOwner(place.directory.fd, info)) {
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

// Opens the directory place found to read and flush it. "." of a directory
// held is that directory whoever renames it, so this is the caller's own;
// one the caller may search but not list is kept as it was looked at.
int Listed(Place* place) {
  const int listed = openat(place->object.fd, ".", O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC);
  return listed >= 0 ? listed : place->object.Release();
}

}  // namespace

int Open(const NativeChar* path, OpenMode mode, FileHandle* file) { return OpenLocked(AT_FDCWD, path, mode, -1, file); }

int OpenDirectory(const NativeChar* path, DirectoryHandle* directory) {
  Place place;
  if (const int error = Walk(TheCaller(), AT_FDCWD, path, Last::kFollow, &place)) return error;
  if (!S_ISDIR(place.facts.st_mode)) return ENOTDIR;
  directory->native = Listed(&place);
  return 0;
}

void CloseDirectory(DirectoryHandle directory) noexcept { close(static_cast<int>(directory.native)); }

namespace {

int RealOpenIn(DirectoryHandle directory, const NativeChar* name, const NativeChar*, OpenMode mode, FileHandle* file) {
  const int held = static_cast<int>(directory.native);
  return OpenLocked(held, name, mode, held, file);
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
  // The new entry is in the directory the walk found the file in.
  Place place;
  if (const int error = Walk(TheCaller(), AT_FDCWD, path, Last::kCreate, &place)) return error;
  const Held listed(openat(place.directory.fd, ".", O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC), true);
  if (listed.fd < 0) return errno;
  return FlushDirectory(DirectoryHandle{listed.fd});
}

int MakeDirectory(const NativeChar* path) {
  Place place;
  if (const int error = Walk(TheCaller(), AT_FDCWD, path, Last::kKeep, &place)) return error;
  return ErrorOf(As(place.who, [&] { return mkdirat(place.directory.fd, place.name.c_str(), 0777); }));
}

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
  return number == ENOSYS || number == EINVAL ? EOPNOTSUPP : number;
}

int At(DirectoryHandle directory) { return static_cast<int>(directory.native); }

// Runs call(), a system call on a name in directory, with the identity of
// that directory (see IdentityIn): 0 or its error number.
template <typename Call>
int InDirectory(DirectoryHandle directory, Call call) {
  struct stat holder {};
  if (fstat(At(directory), &holder) != 0) return errno;
  return ErrorOf(As(IdentityIn(TheCaller(), holder), call));
}

FileFacts FactsOf(const struct stat& status) {
  const FileFacts::Kind kind = S_ISREG(status.st_mode)   ? FileFacts::kRegular
                               : S_ISDIR(status.st_mode) ? FileFacts::kDirectory
                               : S_ISLNK(status.st_mode) ? FileFacts::kSymbolicLink
                                                         : FileFacts::kOther;
  return FileFacts{kind, static_cast<std::uint64_t>(status.st_nlink), static_cast<std::uint64_t>(status.st_dev),
                   static_cast<std::uint64_t>(status.st_ino)};
}

int RealRenameIn(DirectoryHandle directory, const NativeChar* from, const NativeChar* to) {
  return InDirectory(directory, [&] { return renameat(At(directory), from, At(directory), to); });
}

int RealExchangeIn(DirectoryHandle directory, const NativeChar* a, const NativeChar* b) {
  const int number =
      InDirectory(directory, [&] { return renameat2(At(directory), a, At(directory), b, RENAME_EXCHANGE); });
  return number == EINVAL || number == ENOSYS ? EOPNOTSUPP : number;
}

int RealRemoveIn(DirectoryHandle directory, const NativeChar* name) {
  return InDirectory(directory, [&] { return unlinkat(At(directory), name, 0); });
}

}  // namespace

int FactsOfName(DirectoryHandle directory, const NativeChar* name, FileFacts* facts) {
  struct stat status {};
  if (const int error =
          InDirectory(directory, [&] { return fstatat(At(directory), name, &status, AT_SYMLINK_NOFOLLOW); })) {
    return error;
  }
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
  return InDirectory(directory, [&] { return faccessat(At(directory), ".", W_OK | X_OK, AT_EACCESS); });
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
