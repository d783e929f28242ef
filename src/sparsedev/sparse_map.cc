#include "sparsedev/sparse_map.h"

#include <algorithm>

#include "fileio/file.h"

namespace {

// The checks that need only the header and the Map's length; bytes holds the
// header, or the whole Map when it is shorter.
MaybeError CheckHeader(const unsigned char* bytes, std::uint64_t length) {
  if (length < kMapHeaderSize) return Error{NATIVE("Sparse block device map too short for header")};
  const MapHeader header = DecodeMapHeader(bytes);
  if (header.magic != SPARSE_MAGIC) return FormatError("Invalid sparse block device magic 0x%08x", header.magic);
  if (header.allocatedChunkCount > header.chunkCount) {
    return FormatError("Sparse block device allocated chunk count greater than total chunk count, %u > %u",
                       header.allocatedChunkCount, header.chunkCount);
  }
  if (length < EntryOffset(header.chunkCount)) {
    return FormatError("Sparse block device map too short for total chunk count %u", header.chunkCount);
  }
  return std::nullopt;
}

// The checks that follow the count of stored entries.
MaybeError CheckCount(const MapHeader& header, std::uint32_t stored) {
  if (stored != header.allocatedChunkCount) {
    return FormatError("Sparse block device allocated chunk count is wrong, %u != %u", stored,
                       header.allocatedChunkCount);
  }
  if (header.chunkLength == 0) return Error{NATIVE("Sparse block device chunk length is zero")};
  return std::nullopt;
}

}  // namespace

std::unique_ptr<unsigned char[]> NewEntryBlock() {
  return std::make_unique_for_overwrite<unsigned char[]>(kEntryBlockBytes);
}

MaybeError ReadEntries(FileHandle map, std::uint32_t first, std::uint32_t count, unsigned char* out) {
  return TryRead(map, EntryOffset(first), out, std::size_t{count} * kMapEntrySize);
}

MaybeError VerifyMap(FileHandle map, std::uint64_t length, MapHeader* header, const StoredVisit& visit) {
  unsigned char head[kMapHeaderSize] = {};
  if (auto error = TryRead(map, 0, head, std::min<std::uint64_t>(length, kMapHeaderSize))) return error;
  if (auto error = CheckHeader(head, length)) return error;
  *header = DecodeMapHeader(head);
  std::uint32_t stored = 0;
  if (auto error = EachStoredEntry(map, header->chunkCount, [&](std::uint32_t chunk, std::uint32_t entry) {
        ++stored;
        return visit ? visit(chunk, entry) : MaybeError();
      })) {
    return error;
  }
  return CheckCount(*header, stored);
}
