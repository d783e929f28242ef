// A sparse device served in place: reads, writes, zeroing and flushes at
// byte offsets, shared by every connection of one server. Every request
// answers with an error value and leaves the device valid; nothing here ends
// the process.
//
// Its parts, each with its own state and lock:
//   served_map.h    the Map as the server sees it, and the slots
//   map_commit.h    commits of the Map, and the failed-flush state
//   store_space.h   chunks moved between slots (unsharing, compaction)
//   slot_users.h    requests that use a slot they looked up
// served_open.cc opens a device and readies it for writing; served_device.cc
// answers the requests with them.
//
// The device's files are reached only through its directory, opened once.
// Nothing in the directory changes until the first connection that may
// write, so a read-only server changes nothing. A new chunk's data is
// written into a free slot before any entry names it, and a slot a trim
// frees is handed out again only once the commit that freed it is on stable
// storage and no request that looked it up still uses it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>

#include "fileio/error.h"
#include "fileio/native_text.h"

// Runs a request, or any other call into the device: the one place a failed
// allocation is caught, and answered as ENOMEM with no message (which would
// allocate), so that nothing is thrown past it and nothing ends the server.
template <typename Request>
MaybeError Guarded(Request request) {
  try {
    return request();
  } catch (const std::bad_alloc&) {
    return Error{NativeString(), ENOMEM};
  }
}

struct ServedDevice;
struct ServedDeviceDeleter {
  void operator()(ServedDevice* served) const;
};
using OwnedServedDevice = std::unique_ptr<ServedDevice, ServedDeviceDeleter>;

// Opens and verifies the device in directory, writable when it can be and a
// commit can keep the Map's name and its other names (ReadOnlyWhy says why
// not), changing nothing. Paths in the messages of the opening are as given;
// later messages name files by absolutePath.
Expected<OwnedServedDevice> OpenServedDevice(NativeStringView directory, NativeStringView absolutePath);

// Before the first connection that may write, once: flushes what a server
// before this one may have left unflushed (a failure breaks the device, as
// a failed flush does), removes a file where the copy of the Map goes and
// makes a copy there, begun beside the requests (where it cannot be made or
// keep the Map's owner and mode, the device is served read-only from then
// on), then reclaims the slots the Map does not name, and compacts a Store
// more than half free (one that cannot be is served as it is).
struct WritingStarted {
  std::optional<Error> readOnlyWhy;   // found now
  std::optional<Error> notCompacted;  // why the Store is served as it was
};
Expected<WritingStarted> StartWriting(ServedDevice* served);

// Whether the device is served writable, and why not where it could have
// been.
bool MayWrite(ServedDevice* served);
std::optional<Error> ReadOnlyWhy(ServedDevice* served);

std::uint64_t ServedSize(ServedDevice* served);

MaybeError ReadServed(ServedDevice* served, void* buffer, std::uint32_t count, std::uint64_t offset);
MaybeError WriteServed(ServedDevice* served, const void* buffer, std::uint32_t count, std::uint64_t offset);

// How a range is zeroed: mayTrim lets whole stored chunks become absent and
// give their room back (else the range stays or becomes provisioned: every
// chunk in it keeps or takes a slot); fast asks for an answer of ENOTSUP at
// once where zeroing would have to write data.
struct ZeroFlags {
  bool mayTrim = true;
  bool fast = false;
};

// Makes the range read as zeros, as flags say.
MaybeError ZeroServed(ServedDevice* served, std::uint32_t count, std::uint64_t offset, ZeroFlags flags = {});

// Everything acknowledged so far reaches stable storage. Once a flush has
// failed, every later flush and write answers its error until the server
// restarts.
MaybeError FlushServed(ServedDevice* served);

// Once, after a flush failed: what it means and what to do, for the log.
std::optional<NativeString> TakeBrokenNotice(ServedDevice* served);

// At the end of serving: what was written is committed, flushed or not, as
// a file keeps what was written to it, the Store is cut (its chunks moved
// first where it is more than half free), and the Map's copy is kept, equal
// to the Map and marked so, for the next server.
MaybeError CloseServed(ServedDevice* served);

// Calls add(offset, length, kind) for the runs of chunks from offset on,
// within count bytes (maybe fewer, never none): absent chunks are holes, a
// chunk zeroed keeping its room (and not written since, as this server
// knows) is zeros, and the rest is data.
enum class Extent { kData, kZero, kHole };
using AddExtent = std::function<void(std::uint64_t offset, std::uint64_t length, Extent kind)>;
MaybeError ServedExtents(ServedDevice* served, std::uint32_t count, std::uint64_t offset, const AddExtent& add);
