#include "sparsedev/sparse_device.h"

#include "fileio/console.h"
#include "fileio/file.h"
#include "fileio/report.h"
#include "sparsedev/sparse_map.h"

namespace {

// Writes the longer Map of an extension from oldCount to header.chunkCount
// chunks. The header goes last: until it is written the Map still describes
// the old device, with any new entries as ignored bytes after its last one.
void WriteExtension(const LoadedMap& map, const MapHeader& header, std::uint32_t oldCount) {
  const std::uint64_t entriesEnd = kMapHeaderSize + std::uint64_t{kMapEntrySize} * oldCount;
  if (map.length > entriesEnd) SetSize(map.file, entriesEnd);
  if (header.chunkCount == oldCount) return;
  SeekTo(map.file, entriesEnd);
  WriteAbsentEntries(map.file, header.chunkCount - oldCount);
  SeekTo(map.file, 0);
  WriteMapHeader(map.file, header);
}

}  // namespace

void CreateSparse(std::uint64_t bytes, const NativeChar* path) {
  const NativeString mapPath = MapPath(path);
  const NativeString storePath = StorePath(path);
  PrintProgress("Creating sparse block device of %llu bytes\n",
                static_cast<unsigned long long>(bytes));
  const std::uint32_t chunkCount = ChunkCountFor(bytes, DEFAULT_CHUNK_LENGTH);
  MakeDirectory(path);
  PrintProgress("Chunk length = %u\n", DEFAULT_CHUNK_LENGTH);
  PrintProgress("Chunk count = %u\n", chunkCount);
  PrintProgress("Creating map...\n");
  const FileHandle map = CreateAlways(mapPath.c_str());
  WriteMapHeader(map, NewMapHeader(chunkCount, 0));
  WriteAbsentEntries(map, chunkCount);
  PrintProgress("Creating store...\n");
  const FileHandle store = CreateAlways(storePath.c_str());
  PrintProgress("Cleaning up...\n");
  CloseFile(map);
  CloseFile(store);
}

void ExtendSparse(std::uint64_t bytes, const NativeChar* path) {
  const NativeString mapPath = MapPath(path);
  PrintProgress("Extending sparse block device\n");
  const LoadedMap map = LoadMap(mapPath, true);
  VerifyMap(map.bytes, map.length);
  MapHeader header = DecodeMapHeader(map.bytes);
  const std::uint32_t oldCount = header.chunkCount;
  PrintProgress("Old block device size is %llu\n",
                static_cast<unsigned long long>(std::uint64_t{oldCount} * header.chunkLength));
  header.chunkCount = ChunkCountFor(bytes, header.chunkLength);
  PrintProgress("New block device size is %llu\n",
                static_cast<unsigned long long>(std::uint64_t{header.chunkCount} *
                                                header.chunkLength));
  if (header.chunkCount < oldCount) {
    PrintProgress("Refusing to shorten block device\n");
  } else {
    WriteExtension(map, header, oldCount);
  }
  FreeBuffer(map.bytes);
  CloseFile(map.file);
}
