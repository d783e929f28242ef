// nbdkit-quillon-plugin: nbdkit serves a sparse device, this answers its
// requests. "nbdkit quillon disk.sparsefs" (the device is the plugin's first
// parameter, "device=" spelled out or not). The device is opened, locked and
// verified before nbdkit starts serving, so a bad one is refused at once;
// every connection shares it, and the first that may write readies it. A failed request answers with its error
// number; the server goes on.
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nbdplugin/served_device.h"

#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

namespace {

std::string g_path;  // as given
OwnedServedDevice g_served;

// Answers a request that failed: its message in the log, its error number
// (EIO where the failure had none) to the client. A failed allocation
// (Guarded's, without a message) allocates nothing more.
int Fail(const Error& error) {
  if (error.message.empty()) {
    nbdkit_error("Cannot allocate memory");
  } else {
    nbdkit_error("%s", ErrorText(error).c_str());
    if (const std::optional<NativeString> notice = g_served ? TakeBrokenNotice(g_served.get()) : std::nullopt) {
      nbdkit_error("%s", notice->c_str());
    }
  }
  nbdkit_set_error(error.number != 0 ? error.number : EIO);
  return -1;
}

// Runs a request, or any other call of nbdkit's into the device, and answers
// it; the answer's message is made inside Guarded too, as it allocates.
template <typename Request>
int Answer(Request request) {
  int answer = 0;
  const MaybeError unanswered = Guarded([&]() -> MaybeError {
    if (const MaybeError error = request()) answer = Fail(*error);
    return std::nullopt;
  });
  return unanswered ? Fail(*unanswered) : answer;
}

int Config(const char* key, const char* value) {
  if (std::string(key) != "device") {
    nbdkit_error("unknown parameter '%s'", key);
    return -1;
  }
  g_path = value;
  return 0;
}

int ConfigComplete() {
  if (g_path.empty()) {
    nbdkit_error("a sparse device to serve is needed: nbdkit quillon DEVICE.sparsefs");
    return -1;
  }
  // As the commands: a sparse device is named by its extension (a separator
  // after it, as Tab completion leaves, is no part of it).
  const std::string_view named = std::string_view(g_path).substr(0, g_path.find_last_not_of('/') + 1);
  if (HasExtension(named, "fs")) {
    nbdkit_error("'%s' is a flat device: nbdkit's file plugin serves flat devices (nbdkit file %s)", g_path.c_str(),
                 g_path.c_str());
    return -1;
  }
  if (!HasExtension(named, "sparsefs")) {
    nbdkit_error("Sparse block device must have extension 'sparsefs'");
    return -1;
  }
  // nbdkit leaves the working directory when it goes into the background:
  // later names are absolute. The files stay open, and locked, across that.
  const std::unique_ptr<char, decltype(&std::free)> absolute(nbdkit_absolute_path(g_path.c_str()), &std::free);
  if (absolute == nullptr) return -1;
  return Answer([&]() -> MaybeError {
    Expected<OwnedServedDevice> served = OpenServedDevice(g_path, absolute.get());
    if (!served) return served.error();
    g_served = std::move(*served);
    if (const std::optional<Error> why = ReadOnlyWhy(g_served.get())) {
      nbdkit_error("serving '%s' read-only: %s", g_path.c_str(), ErrorText(*why).c_str());
    }
    return std::nullopt;
  });
}

// A connection that may write readies the device first (once): until then
// nothing in its directory changes.
void* Open(int readonly) {
  if (readonly != 0) return g_served.get();
  const int answer = Answer([]() -> MaybeError {
    const Expected<WritingStarted> started = StartWriting(g_served.get());
    if (!started) return started.error();
    if (const std::optional<Error>& why = started->readOnlyWhy) {
      nbdkit_error("serving '%s' read-only: %s", g_path.c_str(), ErrorText(*why).c_str());
    }
    if (const std::optional<Error>& why = started->notCompacted) {
      nbdkit_error("serving '%s' with its Store as it was, not compacted: %s", g_path.c_str(), ErrorText(*why).c_str());
    }
    return std::nullopt;
  });
  return answer == 0 ? g_served.get() : nullptr;
}

std::int64_t GetSize(void*) { return static_cast<std::int64_t>(ServedSize(g_served.get())); }

int CanWrite(void*) { return MayWrite(g_served.get()) ? 1 : 0; }

int Yes(void*) { return 1; }

int CanFua(void*) { return NBDKIT_FUA_NATIVE; }

int CanZero(void*) { return 1; }

// A zero that would have to write data answers ENOTSUP at once.
int CanFastZero(void*) { return 1; }

// After a request with FUA, what it wrote is on stable storage.
MaybeError FlushIf(std::uint32_t flags) {
  return (flags & NBDKIT_FLAG_FUA) != 0 ? FlushServed(g_served.get()) : std::nullopt;
}

int Pread(void*, void* buffer, std::uint32_t count, std::uint64_t offset, std::uint32_t) {
  return Answer([&] { return ReadServed(g_served.get(), buffer, count, offset); });
}

int Pwrite(void*, const void* buffer, std::uint32_t count, std::uint64_t offset, std::uint32_t flags) {
  return Answer([&] {
    MaybeError error = WriteServed(g_served.get(), buffer, count, offset);
    return error ? error : FlushIf(flags);
  });
}

// A zero without NBDKIT_FLAG_MAY_TRIM leaves the range provisioned (the
// client asked for no hole); a trim frees what it covers.
int Zero(void*, std::uint32_t count, std::uint64_t offset, std::uint32_t flags) {
  return Answer([&] {
    const ZeroFlags how{(flags & NBDKIT_FLAG_MAY_TRIM) != 0, (flags & NBDKIT_FLAG_FAST_ZERO) != 0};
    MaybeError error = ZeroServed(g_served.get(), count, offset, how);
    return error ? error : FlushIf(flags);
  });
}

int Trim(void*, std::uint32_t count, std::uint64_t offset, std::uint32_t flags) {
  return Answer([&] {
    MaybeError error = ZeroServed(g_served.get(), count, offset, ZeroFlags{true, false});
    return error ? error : FlushIf(flags);
  });
}

int Flush(void*, std::uint32_t) {
  return Answer([&] { return FlushServed(g_served.get()); });
}

int Extents(void*, std::uint32_t count, std::uint64_t offset, std::uint32_t, nbdkit_extents* extents) {
  return Answer([&]() -> MaybeError {
    MaybeError failed;
    MaybeError error =
        ServedExtents(g_served.get(), count, offset, [&](std::uint64_t at, std::uint64_t length, Extent kind) {
          const std::uint32_t type = kind == Extent::kHole   ? NBDKIT_EXTENT_HOLE | NBDKIT_EXTENT_ZERO
                                     : kind == Extent::kZero ? NBDKIT_EXTENT_ZERO
                                                             : 0;
          if (!failed && nbdkit_add_extent(extents, at, length, type)) failed = Error{"Cannot add an extent", errno};
        });
    return error ? error : failed;
  });
}

void Unload() {
  if (!g_served) return;
  Answer([] { return CloseServed(g_served.get()); });
  g_served.reset();
}

nbdkit_plugin MakePlugin() {
  nbdkit_plugin plugin{};
  plugin.name = "quillon";
  plugin.longname = "Quillon sparse devices";
  plugin.version = QUILLON_VERSION;
  plugin.description = "Serves a Quillon sparse device (a .sparsefs directory) in place";
  plugin.config = Config;
  plugin.config_complete = ConfigComplete;
  plugin.config_help = "[device=]DEVICE.sparsefs  The sparse device to serve.";
  plugin.magic_config_key = "device";
  plugin.open = Open;
  plugin.get_size = GetSize;
  plugin.can_write = CanWrite;
  plugin.can_flush = Yes;
  plugin.can_trim = Yes;
  plugin.can_zero = CanZero;
  plugin.can_fast_zero = CanFastZero;
  plugin.can_fua = CanFua;
  plugin.can_multi_conn = Yes;
  plugin.can_extents = Yes;
  plugin.pread = Pread;
  plugin.pwrite = Pwrite;
  plugin.flush = Flush;
  plugin.trim = Trim;
  plugin.zero = Zero;
  plugin.extents = Extents;
  plugin.unload = Unload;
  plugin.errno_is_preserved = 0;
  return plugin;
}

nbdkit_plugin g_plugin = MakePlugin();

}  // namespace

NBDKIT_REGISTER_PLUGIN(g_plugin)
