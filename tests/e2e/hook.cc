// Preloaded into quillon by the tests to act at exact points of its work on
// files. QUILLON_HOOK_FAIL="<kind> <n>" fails the n-th write, reserve,
// truncate, flush (EIO) or create (ENOSPC otherwise); QUILLON_HOOK_NORESERVE
// makes reserving unsupported; QUILLON_HOOK_PAUSE="<n> <dir>" waits before
// the n-th write for dir/resume, after making dir/paused;
// QUILLON_HOOK_CUT="<n> <path> <size>" cuts path before the n-th write;
// QUILLON_HOOK_SHORT makes each read and write move at most half its bytes;
// and
// QUILLON_HOOK_RECORD=<file> appends each change and flush there, a line
// "<op> <a> <b> <path>" each: C created, D directory made, W b bytes at a
// (the bytes follow), T length set to a, G length grown to b, F flushed.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
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

// Whether this call of a kind is the one to fail; then errno is set.
bool Fails(const char* kind, int error) {
  static int calls[8];
  static const std::string kinds = "write reserve truncate flush create";
  const char* setting = std::getenv("QUILLON_HOOK_FAIL");
  char wanted[16];
  int n = 0;
  const int count = ++calls[kinds.find(kind) / 5];
  if (setting == nullptr || std::sscanf(setting, "%15s %d", wanted, &n) != 2) return false;
  errno = error;
  return std::strcmp(wanted, kind) == 0 && count == n;
}

std::string PathOf(int fd) {
  char path[4096];
  const ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
  return std::string(path, length > 0 ? length : 0);
}

std::string Absolute(const char* path) {
  char cwd[4096];
  return path[0] == '/' ? path : std::string(getcwd(cwd, sizeof cwd)) + "/" + path;
}

void Record(char op, long long a, long long b, const std::string& path, const void* data = nullptr) {
  const char* file = std::getenv("QUILLON_HOOK_RECORD");
  if (file == nullptr) return;
  FILE* out = std::fopen(file, "a");
  std::fprintf(out, "%c %lld %lld %s\n", op, a, b, path.c_str());
  if (data != nullptr) std::fwrite(data, 1, b, out);
  std::fclose(out);
}

void BeforeWrite() {
  static int writes = 0;
  ++writes;
  char where[4096];
  int n = 0;
  long long size = 0;
  const char* pause = std::getenv("QUILLON_HOOK_PAUSE");
  if (pause != nullptr && std::sscanf(pause, "%d %4095s", &n, where) == 2 && n == writes) {
    close(creat((std::string(where) + "/paused").c_str(), 0644));
    for (int i = 0; i < 3000 && access((std::string(where) + "/resume").c_str(), F_OK) != 0; ++i) usleep(10000);
  }
  const char* cut = std::getenv("QUILLON_HOOK_CUT");
  if (cut != nullptr && std::sscanf(cut, "%d %4095s %lld", &n, where, &size) == 3 && n == writes) {
    if (truncate(where, size) != 0) std::abort();
  }
}

int Flush(const char* name, int fd) {
  if (Fails("flush", EIO)) return -1;
  const int result = Real<int (*)(int)>(name)(fd);
  if (result == 0) Record('F', 0, 0, PathOf(fd));
  return result;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(arguments, mode_t) : 0;
  va_end(arguments);
  const bool creates = (flags & O_CREAT) != 0 && access(path, F_OK) != 0;
  if (creates && Fails("create", ENOSPC)) return -1;
  const int fd = Real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
  if (fd >= 0 && creates) Record('C', 0, 0, Absolute(path));
  return fd;
}

int mkdir(const char* path, mode_t mode) {
  const int result = Real<int (*)(const char*, mode_t)>("mkdir")(path, mode);
  if (result == 0) Record('D', 0, 0, Absolute(path));
  return result;
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  if (std::getenv("QUILLON_HOOK_SHORT") != nullptr) count -= count / 2;
  return Real<ssize_t (*)(int, void*, size_t, off_t)>("pread")(fd, buffer, count, offset);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  if (std::getenv("QUILLON_HOOK_SHORT") != nullptr) count -= count / 2;
  if (fd > 2) BeforeWrite();
  if (fd > 2 && Fails("write", ENOSPC)) return -1;
  const ssize_t put = Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, buffer, count, offset);
  if (fd > 2 && put > 0) Record('W', offset, put, PathOf(fd), buffer);
  return put;
}

int ftruncate(int fd, off_t length) {
  if (Fails("truncate", ENOSPC)) return -1;
  const int result = Real<int (*)(int, off_t)>("ftruncate")(fd, length);
  if (result == 0) Record('T', length, 0, PathOf(fd));
  return result;
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  errno = EOPNOTSUPP;
  if (std::getenv("QUILLON_HOOK_NORESERVE") != nullptr || Fails("reserve", ENOSPC)) return -1;
  const int result = Real<int (*)(int, int, off_t, off_t)>("fallocate")(fd, mode, offset, length);
  // Only a reservation that lengthens the file changes what a reader sees.
  if (result == 0 && (mode & FALLOC_FL_KEEP_SIZE) == 0) Record('G', 0, offset + length, PathOf(fd));
  return result;
}

int fdatasync(int fd) { return Flush("fdatasync", fd); }
int fsync(int fd) { return Flush("fsync", fd); }

}  // extern "C"
