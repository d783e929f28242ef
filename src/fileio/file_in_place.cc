#include "fileio/file_in_place.h"

#include <algorithm>
#include <cerrno>

MaybeError TryZeroRange(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  if (sys::PunchHole(file, offset, length) == 0) return std::nullopt;
  static const unsigned char zeros[64 << 10] = {};
  for (std::uint64_t done = 0; done < length;) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, sizeof zeros));
    if (auto error = TryWrite(file, offset + done, zeros, piece)) return error;
    done += piece;
  }
  return std::nullopt;
}

void GiveBackRoom(FileHandle file, std::uint64_t offset, std::uint64_t length) { sys::PunchHole(file, offset, length); }

MaybeError TryRename(const NativeChar* from, const NativeChar* to, Rename how) {
  const int number = how == Rename::kReplace ? sys::Rename(from, to) : sys::Exchange(from, to);
  if (number) return PathError("Cannot rename", from, number);
  return std::nullopt;
}

void RemoveFile(const NativeChar* path) { sys::Remove(path); }

MaybeError TryRemoveFile(const NativeChar* path) {
  const int number = sys::Remove(path);
  if (number != 0 && number != ENOENT) return PathError("Cannot remove", path, number);
  return std::nullopt;
}

Expected<sys::NameFacts> TryFactsOfName(const NativeChar* path) {
  sys::NameFacts facts{};
  if (const int number = sys::FactsOfName(path, &facts)) return PathError("Cannot open", path, number);
  return facts;
}

MaybeError TryCopyOwnership(FileHandle model, FileHandle file, const NativeChar* path) {
  if (const int number = sys::CopyOwnership(model, file)) return PathError("Cannot keep the owner of", path, number);
  return std::nullopt;
}
