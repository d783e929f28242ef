#include "fileio/file_in_place.h"

#include <algorithm>
#include <cerrno>
#include <new>

namespace {

MaybeError WriteZeros(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  static const unsigned char zeros[64 << 10] = {};
  for (std::uint64_t done = 0; done < length;) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, sizeof zeros));
    if (auto error = TryWrite(file, offset + done, zeros, piece)) return error;
    done += piece;
  }
  return std::nullopt;
}

}  // namespace

MaybeError TryZeroRange(FileHandle file, std::uint64_t offset, std::uint64_t length, Zeroing how, bool onlyFast) {
  const int number =
      how == Zeroing::kGiveBack ? sys::PunchHole(file, offset, length) : sys::ZeroRange(file, offset, length);
  if (number == 0) return std::nullopt;
  const bool cannot = number == EOPNOTSUPP || number == ENOSYS;
  if (onlyFast && cannot) return Error{NATIVE("Zeroing would write zeros"), ENOTSUP};
  // A punch refused for any reason still leaves zeros to write; a range
  // whose room cannot be kept (a full disk) fails as a write would.
  if (onlyFast || (how == Zeroing::kKeep && !cannot)) return Error{NATIVE("Cannot write to file"), number};
  return WriteZeros(file, offset, length);
}

MaybeError TryFlushSideBySide(FileHandle a, FileHandle b) {
  if (FlushesSkipped()) return std::nullopt;
  int errorA = 0;
  int errorB = 0;
  sys::FlushSideBySide(a, b, &errorA, &errorB);
  if (errorA == 0 && errorB == 0) return std::nullopt;
  return Error{NATIVE("Cannot write to file"), errorA != 0 ? errorA : errorB};
}

namespace {

// Pieces between which a background copy looks whether it should stop.
constexpr std::uint64_t kBackgroundPiece = 64 << 20;

void CopyAndFlush(BackgroundCopy* copy) {
  for (std::uint64_t done = 0; done < copy->count && !copy->error; done += kBackgroundPiece) {
    if (copy->stop) {
      copy->error = Error{NATIVE("The copy was stopped"), ECANCELED};
      return;
    }
    copy->error = TryCopyBytes(copy->source, done, copy->destination, done,
                               std::min(kBackgroundPiece, copy->count - done), copy->buffer.get(), kCopyBufferBytes);
  }
  if (!copy->error) copy->error = TryFlush(copy->destination);
}

void RunBackgroundCopy(void* started) {
  auto* copy = static_cast<BackgroundCopy*>(started);
  CopyAndFlush(copy);
  copy->finished = true;
}

}  // namespace

BackgroundCopy::~BackgroundCopy() {
  stop = true;
  sys::Join(&thread);
}

std::unique_ptr<BackgroundCopy> StartBackgroundCopy(FileHandle source, FileHandle destination, std::uint64_t count) {
  std::unique_ptr<BackgroundCopy> copy(new (std::nothrow)
                                           BackgroundCopy{source, destination, count, nullptr, {}, {}, {}, {}});
  if (copy == nullptr) return nullptr;
  copy->buffer.reset(new (std::nothrow) unsigned char[kCopyBufferBytes]);
  if (copy->buffer == nullptr) return nullptr;
  if (!sys::StartThread(RunBackgroundCopy, copy.get(), &copy->thread)) return nullptr;
  return copy;
}

MaybeError FinishBackgroundCopy(std::unique_ptr<BackgroundCopy> copy) {
  sys::Join(&copy->thread);
  return copy->error;
}

void GiveBackRoom(FileHandle file, std::uint64_t offset, std::uint64_t length) { sys::PunchHole(file, offset, length); }

MaybeError TryRenameIn(DirectoryHandle directory, const NativeChar* from, const NativeChar* to,
                       const NativeChar* fromPath, Rename how) {
  const int number =
      how == Rename::kReplace ? sys::RenameIn(directory, from, to) : sys::ExchangeIn(directory, from, to);
  if (number) return PathError("Cannot rename", fromPath, number);
  return std::nullopt;
}

MaybeError TryRemoveIn(DirectoryHandle directory, const NativeChar* name, const NativeChar* path) {
  const int number = sys::RemoveIn(directory, name);
  if (number != 0 && number != ENOENT) return PathError("Cannot remove", path, number);
  return std::nullopt;
}

Expected<std::optional<sys::FileFacts>> TryFactsOfName(DirectoryHandle directory, const NativeChar* name,
                                                       const NativeChar* path) {
  sys::FileFacts facts{};
  const int number = sys::FactsOfName(directory, name, &facts);
  if (number == ENOENT) return std::optional<sys::FileFacts>();
  if (number != 0) return PathError("Cannot open", path, number);
  return std::optional<sys::FileFacts>(facts);
}

Expected<sys::FileFacts> TryFactsOfFile(FileHandle file, const NativeChar* path) {
  sys::FileFacts facts{};
  if (const int number = sys::FactsOfFile(file, &facts)) return PathError("Cannot open", path, number);
  return facts;
}

bool NameIsFile(DirectoryHandle directory, const NativeChar* name, FileHandle file) {
  sys::FileFacts named{};
  sys::FileFacts opened{};
  return sys::FactsOfName(directory, name, &named) == 0 && sys::FactsOfFile(file, &opened) == 0 &&
         named.device == opened.device && named.inode == opened.inode;
}

MaybeError TryCopyOwnership(FileHandle model, FileHandle file, const NativeChar* path) {
  if (const int number = sys::CopyOwnership(model, file)) return PathError("Cannot keep the owner of", path, number);
  return std::nullopt;
}

MaybeError TryMarkCopy(FileHandle copy, FileHandle original, const NativeChar* path) {
  if (const int number = sys::MarkCopy(copy, original)) return PathError("Cannot mark the copy", path, number);
  return std::nullopt;
}

bool IsMarkedCopy(FileHandle copy, FileHandle original) { return sys::IsMarkedCopy(copy, original); }

void UnmarkCopy(FileHandle copy) { sys::UnmarkCopy(copy); }

MaybeError TryMayChangeNames(DirectoryHandle directory, const NativeChar* path) {
  if (const int number = sys::MayChangeNames(directory)) return PathError("Cannot create", path, number);
  return std::nullopt;
}
