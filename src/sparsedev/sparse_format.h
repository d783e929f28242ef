// The sparse device format, apart from any file. A sparse device is a
// directory holding a Map and a Store. The device is cut into chunks of
// equal length; the Store holds only chunks with a non-zero byte, one per
// slot, and the Map has a 32-byte header followed by one little-endian
// 32-bit entry per chunk: the slot that holds the chunk, or ABSENT_CHUNK for
// a chunk of zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

constexpr std::uint32_t SPARSE_MAGIC = 0x73706673;  // "sfps" on disk
constexpr std::uint32_t ABSENT_CHUNK = 0xFFFFFFFF;
constexpr std::uint32_t DEFAULT_CHUNK_LENGTH = 65536;
constexpr std::uint32_t kMapHeaderSize = 32;
constexpr std::uint32_t kMapEntrySize = 4;

// A Map is shorter than 4 GiB, so most chunks a device may have follow.
constexpr std::uint64_t kMapLengthLimit = std::uint64_t{1} << 32;
constexpr std::uint64_t kMaxChunkCount = (kMapLengthLimit - 1 - kMapHeaderSize) / kMapEntrySize;

// Entries read or written at once; the Map is never held whole.
constexpr std::uint32_t kEntriesPerBlock = 1 << 18;
constexpr std::size_t kEntryBlockBytes = std::size_t{kEntriesPerBlock} * kMapEntrySize;

// The Map's header fields; the 16 reserved bytes are written as zeros.
struct MapHeader {
  std::uint32_t magic;
  std::uint32_t chunkLength;
  std::uint32_t chunkCount;
  std::uint32_t allocatedChunkCount;
};

// The little-endian 32-bit number at bytes, and the reverse.
std::uint32_t LoadLittleEndian32(const unsigned char* bytes);
void StoreLittleEndian32(unsigned char* bytes, std::uint32_t value);

// The header in the first kMapHeaderSize bytes, and the reverse.
MapHeader DecodeMapHeader(const unsigned char* bytes);
void EncodeMapHeader(const MapHeader& header, unsigned char* out);

// The header of a new device of chunkCount chunks of DEFAULT_CHUNK_LENGTH.
MapHeader NewMapHeader(std::uint32_t chunkCount, std::uint32_t allocatedChunkCount);

// Byte offset of entry index in the Map.
constexpr std::uint64_t EntryOffset(std::uint64_t index) { return kMapHeaderSize + kMapEntrySize * index; }

// The device's size in bytes.
constexpr std::uint64_t DeviceSize(const MapHeader& header) {
  return std::uint64_t{header.chunkCount} * header.chunkLength;
}

// Whether all length bytes are zero (true for a length of 0): such a chunk
// is absent.
bool IsAllZero(const unsigned char* bytes, std::size_t length);

// Whether all of the first count entries are ABSENT_CHUNK.
bool AllAbsent(const unsigned char* entries, std::uint32_t count);

// The index of the first entry from from on (before count) that is not
// ABSENT_CHUNK, or count: runs of absent entries pass at memory speed.
std::uint32_t NextStoredEntry(const unsigned char* entries, std::uint32_t from, std::uint32_t count);

// The chunk count a size of bytes needs with chunks of chunkLength bytes,
// rounded up; nothing when the Map could not hold it or the rounding would
// wrap.
std::optional<std::uint32_t> ChunkCountFor(std::uint64_t bytes, std::uint32_t chunkLength);
