// Preloaded into quillon by the end-to-end tests, to act at exact points of
// its work on files (descriptors above 2). Set by the environment:
//   QUILLON_HOOK_FAIL="<kind> <n>"  the n-th write, reserve, truncate, flush
//                                   or create fails (EIO for a flush,
//                                   ENOSPC otherwise)
//   QUILLON_HOOK_NORESERVE=1        every reservation is unsupported
//   QUILLON_HOOK_PAUSE="<n> <dir>"  before the n-th write, create dir/paused
//                                   and wait for dir/resume
//   QUILLON_HOOK_CUT="<n> <path> <size>"  before the n-th write, cut path
//   QUILLON_HOOK_RECORD=<path>      append every creation, write,
//                                   truncation, reservation and flush there
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

template <typename Function>
Function Real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Whether this call is the one QUILLON_HOOK_FAIL names; counts calls by kind.
bool Fails(const char* kind) {
  static int calls[5];
  static const char* const kKinds[] = {"write", "reserve", "truncate", "flush", "create"};
  const char* setting = std::getenv("QUILLON_HOOK_FAIL");
  for (int i = 0; i < 5; ++i) {
    if (std::strcmp(kind, kKinds[i]) != 0) continue;
    ++calls[i];
    char wanted[16];
    int n = 0;
    return setting != nullptr && std::sscanf(setting, "%15s %d", wanted, &n) == 2 &&
           std::strcmp(wanted, kind) == 0 && calls[i] == n;
  }
  return false;
}

std::string PathOf(int fd) {
  char link[64];
  char path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, sizeof path);
  return std::string(path, length > 0 ? length : 0);
}

std::string Absolute(const char* path) {
  if (path[0] == '/') return path;
  char cwd[4096];
  return std::string(getcwd(cwd, sizeof cwd)) + "/" + path;
}

// One line per operation, "<op> <a> <b> <path>", a write's bytes straight
// after its line: C (created), D (directory made), W (write of b bytes at
// a), T (length set to a), G (length grown to at least b), F (flushed).
void Record(char op, long long a, long long b, const std::string& path,
            const void* data = nullptr) {
  const char* file = std::getenv("QUILLON_HOOK_RECORD");
  if (file == nullptr) return;
  FILE* out = std::fopen(file, "a");
  std::fprintf(out, "%c %lld %lld %s\n", op, a, b, path.c_str());
  if (data != nullptr) std::fwrite(data, 1, b, out);
  std::fclose(out);
}

// The pause and cut actions, before the n-th write.
void BeforeWrite() {
  static int writes = 0;
  ++writes;
  char where[4096];
  int n = 0;
  long long size = 0;
  if (const char* pause = std::getenv("QUILLON_HOOK_PAUSE");
      pause != nullptr && std::sscanf(pause, "%d %4095s", &n, where) == 2 && n == writes) {
    const std::string dir = where;
    close(creat((dir + "/paused").c_str(), 0644));
    for (int i = 0; i < 3000 && access((dir + "/resume").c_str(), F_OK) != 0; ++i) usleep(10000);
  }
  if (const char* cut = std::getenv("QUILLON_HOOK_CUT");
      cut != nullptr && std::sscanf(cut, "%d %4095s %lld", &n, where, &size) == 3 &&
      n == writes && truncate(where, size) != 0) {
    std::abort();
  }
}

int Failure(int error) {
  errno = error;
  return -1;
}

int OpenFile(const char* name, const char* path, int flags, mode_t mode) {
  const bool creates = (flags & O_CREAT) != 0 && access(path, F_OK) != 0;
  if (creates && Fails("create")) return Failure(ENOSPC);
  const int fd = Real<int (*)(const char*, int, ...)>(name)(path, flags, mode);
  if (fd >= 0 && creates) Record('C', 0, 0, Absolute(path));
  return fd;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(arguments, mode_t) : 0;
  va_end(arguments);
  return OpenFile("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(arguments, mode_t) : 0;
  va_end(arguments);
  return OpenFile("open64", path, flags, mode);
}

int mkdir(const char* path, mode_t mode) {
  const int result = Real<int (*)(const char*, mode_t)>("mkdir")(path, mode);
  if (result == 0) Record('D', 0, 0, Absolute(path));
  return result;
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  if (fd <= 2) return Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, buffer, count, offset);
  BeforeWrite();
  if (Fails("write")) return Failure(ENOSPC);
  const ssize_t put =
      Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, buffer, count, offset);
  if (put > 0) Record('W', offset, put, PathOf(fd), buffer);
  return put;
}

int ftruncate(int fd, off_t length) {
  if (Fails("truncate")) return Failure(ENOSPC);
  const int result = Real<int (*)(int, off_t)>("ftruncate")(fd, length);
  if (result == 0) Record('T', length, 0, PathOf(fd));
  return result;
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  if (std::getenv("QUILLON_HOOK_NORESERVE") != nullptr) return Failure(EOPNOTSUPP);
  if (Fails("reserve")) return Failure(ENOSPC);
  const int result = Real<int (*)(int, int, off_t, off_t)>("fallocate")(fd, mode, offset, length);
  // Only a reservation that lengthens the file changes what a reader sees.
  if (result == 0 && (mode & FALLOC_FL_KEEP_SIZE) == 0) Record('G', 0, offset + length, PathOf(fd));
  return result;
}

int fdatasync(int fd) {
  if (Fails("flush")) return Failure(EIO);
  const int result = Real<int (*)(int)>("fdatasync")(fd);
  if (result == 0) Record('F', 0, 0, PathOf(fd));
  return result;
}

int fsync(int fd) {
  if (Fails("flush")) return Failure(EIO);
  const int result = Real<int (*)(int)>("fsync")(fd);
  if (result == 0) Record('F', 0, 0, PathOf(fd));
  return result;
}

}  // extern "C"
