#include "sparsedev/sparse_map.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "fileio/report.h"

namespace {

NativeString DerivedPath(NativeStringView directory, NativeStringView name) {
  NativeString path = Concat({directory, NATIVE("/"), name});
  if (CountCodePoints(path) > kMaxPathCharacters) {
    Fatal(Concat({NATIVE("Sparse block device path too long '"), directory, NATIVE("'")}));
  }
  return path;
}

std::string Format(const char* format, ...) QUILLON_PRINTF_FORMAT(1, 2);
std::string Format(const char* format, ...) {
  char text[256];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

// The checks that need only the header and the Map's length; bytes holds the
// header, or the whole Map when it is shorter.
std::string FindHeaderProblem(const unsigned char* bytes, std::uint64_t length) {
  if (length < kMapHeaderSize) return "Sparse block device map too short for header";
  const MapHeader header = DecodeMapHeader(bytes);
  if (header.magic != SPARSE_MAGIC) {
    return Format("Invalid sparse block device magic 0x%08x", header.magic);
  }
  if (header.allocatedChunkCount > header.chunkCount) {
    return Format("Sparse block device allocated chunk count greater than total chunk count, %u > %u",
                  header.allocatedChunkCount, header.chunkCount);
  }
  if (length < EntryOffset(header.chunkCount)) {
    return Format("Sparse block device map too short for total chunk count %u", header.chunkCount);
  }
  return "";
}

// The checks that follow the count of stored entries.
std::string FindCountProblem(const MapHeader& header, std::uint32_t stored) {
  if (stored != header.allocatedChunkCount) {
    return Format("Sparse block device allocated chunk count is wrong, %u != %u", stored, header.allocatedChunkCount);
  }
  if (header.chunkLength == 0) return "Sparse block device chunk length is zero";
  return "";
}

}  // namespace

NativeString MapPath(NativeStringView directory) { return DerivedPath(directory, NATIVE("Map")); }

NativeString StorePath(NativeStringView directory) { return DerivedPath(directory, NATIVE("Store")); }

std::uint32_t LoadLittleEndian32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void StoreLittleEndian32(unsigned char* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

MapHeader DecodeMapHeader(const unsigned char* bytes) {
  return MapHeader{LoadLittleEndian32(bytes), LoadLittleEndian32(bytes + 4), LoadLittleEndian32(bytes + 8),
                   LoadLittleEndian32(bytes + 12)};
}

void EncodeMapHeader(const MapHeader& header, unsigned char* out) {
  std::memset(out, 0, kMapHeaderSize);
  StoreLittleEndian32(out, header.magic);
  StoreLittleEndian32(out + 4, header.chunkLength);
  StoreLittleEndian32(out + 8, header.chunkCount);
  StoreLittleEndian32(out + 12, header.allocatedChunkCount);
}

MapHeader NewMapHeader(std::uint32_t chunkCount, std::uint32_t allocatedChunkCount) {
  return MapHeader{SPARSE_MAGIC, DEFAULT_CHUNK_LENGTH, chunkCount, allocatedChunkCount};
}

OpenedMap OpenMap(const NativeString& mapPath, Access access) {
  OwnedFile file = OpenExisting(mapPath.c_str(), access);
  const std::uint64_t length = GetSize(file);
  if (length >= kMapLengthLimit) {
    FatalFormat("Sparse block device map too large, %llu bytes\n", static_cast<unsigned long long>(length));
  }
  return OpenedMap{std::move(file), length};
}

std::string FindMapProblem(const OpenedMap& map, MapHeader* header) {
  unsigned char head[kMapHeaderSize] = {};
  ReadBytes(map.file, 0, head, std::min<std::uint64_t>(map.length, kMapHeaderSize));
  if (std::string problem = FindHeaderProblem(head, map.length); !problem.empty()) return problem;
  *header = DecodeMapHeader(head);
  const auto block = std::make_unique_for_overwrite<unsigned char[]>(std::size_t{kEntriesPerBlock} * kMapEntrySize);
  std::uint32_t stored = 0;
  for (std::uint32_t first = 0; first < header->chunkCount;) {
    const std::uint32_t count = std::min(kEntriesPerBlock, header->chunkCount - first);
    ReadEntries(map.file, first, count, block.get());
    stored += CountStoredEntries(block.get(), count);
    first += count;
  }
  return FindCountProblem(*header, stored);
}

MapHeader VerifyMap(const OpenedMap& map) {
  MapHeader header{};
  if (const std::string problem = FindMapProblem(map, &header); !problem.empty()) {
    FatalFormat("%s\n", problem.c_str());
  }
  return header;
}

bool AllAbsent(const unsigned char* entries, std::uint32_t count) {
  // Every byte equal to the next and the first 0xFF: found at memory speed,
  // as most of a large Map is.
  const std::size_t bytes = std::size_t{count} * kMapEntrySize;
  return bytes == 0 || (entries[0] == 0xFF && std::memcmp(entries, entries + 1, bytes - 1) == 0);
}

std::uint32_t CountStoredEntries(const unsigned char* entries, std::uint32_t count) {
  if (AllAbsent(entries, count)) return 0;
  const std::size_t bytes = std::size_t{count} * kMapEntrySize;
  std::uint32_t stored = 0;
  for (std::size_t at = 0; at < bytes; at += kMapEntrySize) {
    std::uint32_t entry;
    std::memcpy(&entry, entries + at, sizeof entry);  // ABSENT_CHUNK reads alike either way
    stored += entry != ABSENT_CHUNK;
  }
  return stored;
}

void ReadEntries(FileHandle map, std::uint32_t first, std::uint32_t count, unsigned char* out) {
  ReadBytes(map, EntryOffset(first), out, std::size_t{count} * kMapEntrySize);
}

std::uint32_t ChunkCountFor(std::uint64_t bytes, std::uint32_t chunkLength) {
  const std::uint64_t roundUp = chunkLength - 1;
  if (bytes > UINT64_MAX - roundUp || (bytes + roundUp) / chunkLength > kMaxChunkCount) {
    FatalFormat("Block device size %llu is too large\n", static_cast<unsigned long long>(bytes));
  }
  return static_cast<std::uint32_t>((bytes + roundUp) / chunkLength);
}
