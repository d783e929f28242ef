// The sparse device format. A sparse device is a directory holding a Map and
// a Store. The device is cut into chunks of equal length; the Store holds
// only chunks with a non-zero byte, one per slot, and the Map has a 32-byte
// header followed by one little-endian 32-bit entry per chunk: the slot that
// holds the chunk, or ABSENT_CHUNK for a chunk of zeros.
#pragma once

#include <cstdint>
#include <string>

#include "fileio/file.h"
#include "fileio/native_text.h"

constexpr std::uint32_t SPARSE_MAGIC = 0x73706673;  // "sfps" on disk
constexpr std::uint32_t ABSENT_CHUNK = 0xFFFFFFFF;
constexpr std::uint32_t DEFAULT_CHUNK_LENGTH = 65536;
constexpr std::uint32_t kMapHeaderSize = 32;
constexpr std::uint32_t kMapEntrySize = 4;

// Most chunks a device may have: its Map must stay below 4 GiB to be loaded.
constexpr std::uint64_t kMaxChunkCount =
    (std::uint64_t{0xFFFFFFFF} - kMapHeaderSize) / kMapEntrySize;

// Longest derived path, in characters, terminator excluded.
constexpr std::size_t kMaxDerivedPathCharacters = 259;

// The Map's header fields; the 16 reserved bytes are written as zeros.
struct MapHeader {
  std::uint32_t magic;
  std::uint32_t chunkLength;
  std::uint32_t chunkCount;
  std::uint32_t allocatedChunkCount;
};

// A whole Map read into memory, with its still open file.
struct LoadedMap {
  FileHandle file;
  unsigned char* bytes;  // zero-filled heap buffer, FreeBuffer to release
  std::uint32_t length;
};

// "<directory>/Map" and "<directory>/Store". A path longer than its limit
// ends the process with "Sparse block device path too long '<directory>'".
NativeString MapPath(NativeStringView directory);
NativeString StorePath(NativeStringView directory);

// The little-endian 32-bit number at bytes.
std::uint32_t LoadLittleEndian32(const unsigned char* bytes);

// Stores value at bytes as a little-endian 32-bit number.
void StoreLittleEndian32(unsigned char* bytes, std::uint32_t value);

// The header of a Map of at least kMapHeaderSize bytes.
MapHeader DecodeMapHeader(const unsigned char* bytes);

// Writes header and the zero reserved bytes to out[0..kMapHeaderSize).
void EncodeMapHeader(const MapHeader& header, unsigned char* out);

// A header for a new device of chunkCount chunks of DEFAULT_CHUNK_LENGTH.
MapHeader NewMapHeader(std::uint32_t chunkCount, std::uint32_t allocatedChunkCount);

// Writes header at the Map's file position.
void WriteMapHeader(FileHandle map, const MapHeader& header);

// Appends count ABSENT_CHUNK entries at the Map's file position, in batches.
void WriteAbsentEntries(FileHandle map, std::uint64_t count);

// Opens the Map at mapPath and reads it whole. A Map of 4 GiB or more ends
// the process with "Sparse block device map too large, <n> bytes".
LoadedMap LoadMap(const NativeString& mapPath, bool writable);

// The message naming the first check that the Map fails, or an empty string
// for a consistent Map.
std::string FindMapProblem(const unsigned char* bytes, std::uint32_t length);

// Returns only if the Map is consistent; otherwise ends the process with a
// message naming the first check that failed.
void VerifyMap(const unsigned char* bytes, std::uint32_t length);

// Ends the process with the printf-style message and a newline.
[[noreturn]] void MapFatal(const char* format, ...)
    QUILLON_PRINTF_FORMAT(1, 2);

// The number of entries among the first count that are not ABSENT_CHUNK.
std::uint32_t CountStoredEntries(const unsigned char* entries, std::uint32_t count);

// The chunk count a size of bytes needs with chunks of chunkLength bytes,
// rounded up; ends the process with "Block device size <bytes> is too large"
// when the Map could not hold it or the rounding would wrap.
std::uint32_t ChunkCountFor(std::uint64_t bytes, std::uint32_t chunkLength);
