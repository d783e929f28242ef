#include "sparsedev/sparse_map.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fileio/report.h"

namespace {

// Size of one batch of entries written at once.
constexpr std::uint32_t kEntryBatchBytes = 1 << 20;

NativeString DerivedPath(NativeStringView directory, NativeStringView name) {
  NativeString path = Concat({directory, NATIVE("/"), name});
  if (CountCodePoints(path) > kMaxDerivedPathCharacters) {
    Fatal(Concat({NATIVE("Sparse block device path too long '"), directory, NATIVE("'")}));
  }
  return path;
}

// The printf-style message as a string; Map messages are short.
std::string FormatList(const char* format, va_list arguments) {
  char text[256];
  std::vsnprintf(text, sizeof text, format, arguments);
  return text;
}

std::string Format(const char* format, ...) QUILLON_PRINTF_FORMAT(1, 2);
std::string Format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = FormatList(format, arguments);
  va_end(arguments);
  return text;
}

}  // namespace

NativeString MapPath(NativeStringView directory) {
  return DerivedPath(directory, NATIVE("Map"));
}

NativeString StorePath(NativeStringView directory) {
  return DerivedPath(directory, NATIVE("Store"));
}

std::uint32_t LoadLittleEndian32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) |
         static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 |
         static_cast<std::uint32_t>(bytes[3]) << 24;
}

void StoreLittleEndian32(unsigned char* bytes, std::uint32_t value) {
  bytes[0] = static_cast<unsigned char>(value);
  bytes[1] = static_cast<unsigned char>(value >> 8);
  bytes[2] = static_cast<unsigned char>(value >> 16);
  bytes[3] = static_cast<unsigned char>(value >> 24);
}

MapHeader DecodeMapHeader(const unsigned char* bytes) {
  return MapHeader{LoadLittleEndian32(bytes), LoadLittleEndian32(bytes + 4),
                   LoadLittleEndian32(bytes + 8), LoadLittleEndian32(bytes + 12)};
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

void WriteMapHeader(FileHandle map, const MapHeader& header) {
  unsigned char bytes[kMapHeaderSize];
  EncodeMapHeader(header, bytes);
  WriteBytes(map, bytes, kMapHeaderSize);
}

void WriteAbsentEntries(FileHandle map, std::uint64_t count) {
  static unsigned char batch[kEntryBatchBytes];
  std::memset(batch, 0xFF, sizeof batch);
  for (std::uint64_t left = count * kMapEntrySize; left > 0;) {
    const auto piece =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kEntryBatchBytes));
    WriteBytes(map, batch, piece);
    left -= piece;
  }
}

LoadedMap LoadMap(const NativeString& mapPath, bool writable) {
  const FileHandle file = OpenExisting(mapPath.c_str(), writable);
  const std::uint64_t size = GetSize(file);
  if (size > 0xFFFFFFFF) {
    MapFatal("Sparse block device map too large, %llu bytes",
             static_cast<unsigned long long>(size));
  }
  const auto length = static_cast<std::uint32_t>(size);
  unsigned char* bytes = AllocateZeroed(length);
  ReadBytes(file, bytes, length, false);
  return LoadedMap{file, bytes, length};
}

std::uint32_t CountStoredEntries(const unsigned char* entries, std::uint32_t count) {
  std::uint32_t stored = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    stored += LoadLittleEndian32(entries + std::size_t{i} * kMapEntrySize) != ABSENT_CHUNK;
  }
  return stored;
}

std::string FindMapProblem(const unsigned char* bytes, std::uint32_t length) {
  if (length < kMapHeaderSize) return "Sparse block device map too short for header";
  const MapHeader header = DecodeMapHeader(bytes);
  if (header.magic != SPARSE_MAGIC) {
    return Format("Invalid sparse block device magic 0x%08x", header.magic);
  }
  if (header.allocatedChunkCount > header.chunkCount) {
    return Format(
        "Sparse block device allocated chunk count greater than total chunk count, %u > %u",
        header.allocatedChunkCount, header.chunkCount);
  }
  if (length < kMapHeaderSize + std::uint64_t{kMapEntrySize} * header.chunkCount) {
    return Format("Sparse block device map too short for total chunk count %u",
                  header.chunkCount);
  }
  const std::uint32_t stored = CountStoredEntries(bytes + kMapHeaderSize, header.chunkCount);
  if (stored != header.allocatedChunkCount) {
    return Format("Sparse block device allocated chunk count is wrong, %u != %u", stored,
                  header.allocatedChunkCount);
  }
  if (header.chunkLength == 0) return "Sparse block device chunk length is zero";
  return "";
}

void VerifyMap(const unsigned char* bytes, std::uint32_t length) {
  const std::string problem = FindMapProblem(bytes, length);
  if (!problem.empty()) MapFatal("%s", problem.c_str());
}

void MapFatal(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const std::string text = FormatList(format, arguments);
  va_end(arguments);
  FatalFormat("%s\n", text.c_str());
}

std::uint32_t ChunkCountFor(std::uint64_t bytes, std::uint32_t chunkLength) {
  const std::uint64_t roundUp = chunkLength - 1;
  if (bytes > UINT64_MAX - roundUp) FatalTooLarge(bytes);
  const std::uint64_t chunks = (bytes + roundUp) / chunkLength;
  if (chunks > kMaxChunkCount) FatalTooLarge(bytes);
  return static_cast<std::uint32_t>(chunks);
}
