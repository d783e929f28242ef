// Preloaded into quillon by the end-to-end tests to act at an exact point of
// its work: before the n-th write to a file (not a standard stream) it either
// cuts another file short, as a second program might, or pauses while the
// test starts a competing process. Controlled by QUILLON_HOOK_* variables.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using WriteFunction = ssize_t (*)(int, const void*, size_t);

int g_writes = 0;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void Act() {
  const char* action = std::getenv("QUILLON_HOOK_ACTION");
  const char* path = std::getenv("QUILLON_HOOK_PATH");
  if (action == nullptr || path == nullptr) return;
  if (std::strcmp(action, "truncate") == 0) {
    if (truncate(path, std::strtoll(std::getenv("QUILLON_HOOK_SIZE"), nullptr, 10)) != 0) {
      std::abort();
    }
    return;
  }
  const std::string dir = path;
  const std::string paused = dir + "/paused";
  close(creat(paused.c_str(), 0644));
  // Wait for the test, but never for ever.
  for (int i = 0; i < 3000 && !Exists(dir + "/resume"); ++i) usleep(10000);
}

void Count(int fd) {
  if (fd > 2) {
    const char* at = std::getenv("QUILLON_HOOK_AT");
    if (at != nullptr && ++g_writes == std::atoi(at)) Act();
  }
}

}  // namespace

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
  static auto real = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
  Count(fd);
  return real(fd, buffer, count);
}

extern "C" ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  using PwriteFunction = ssize_t (*)(int, const void*, size_t, off_t);
  static auto real = reinterpret_cast<PwriteFunction>(dlsym(RTLD_NEXT, "pwrite"));
  Count(fd);
  return real(fd, buffer, count, offset);
}
