#include "sparsedev/sparse_format.h"

#include <array>
#include <cstring>

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

bool IsAllZero(const unsigned char* bytes, std::size_t length) {
  // Every byte equals the one after it and the first is zero: one memcmp of
  // the range against itself runs at memory speed.
  return length == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, length - 1) == 0);
}

bool AllAbsent(const unsigned char* entries, std::uint32_t count) {
  // Every byte equal to the next and the first 0xFF: found at memory speed,
  // as most of a large Map is.
  const std::size_t bytes = std::size_t{count} * kMapEntrySize;
  return bytes == 0 || (entries[0] == 0xFF && std::memcmp(entries, entries + 1, bytes - 1) == 0);
}

std::uint32_t NextStoredEntry(const unsigned char* entries, std::uint32_t from, std::uint32_t count) {
  constexpr std::uint32_t kSpan = 16;  // entries compared at once
  static const auto absent = [] {
    std::array<unsigned char, kSpan * kMapEntrySize> bytes{};
    bytes.fill(0xFF);
    return bytes;
  }();
  while (from + kSpan <= count &&
         std::memcmp(entries + std::size_t{from} * kMapEntrySize, absent.data(), absent.size()) == 0) {
    from += kSpan;
  }
  while (from < count && LoadLittleEndian32(entries + std::size_t{from} * kMapEntrySize) == ABSENT_CHUNK) ++from;
  return from;
}

std::optional<std::uint32_t> ChunkCountFor(std::uint64_t bytes, std::uint32_t chunkLength) {
  const std::uint64_t roundUp = chunkLength - 1;
  if (bytes > UINT64_MAX - roundUp || (bytes + roundUp) / chunkLength > kMaxChunkCount) return std::nullopt;
  return static_cast<std::uint32_t>((bytes + roundUp) / chunkLength);
}
