#include "sparsedev/sparse_device.h"

#include "fileio/progress.h"

namespace {

void WriteHeader(FileHandle map, const MapHeader& header) {
  unsigned char bytes[kMapHeaderSize];
  EncodeMapHeader(header, bytes);
  WriteBytes(map, 0, bytes, kMapHeaderSize);
}

void WriteAbsentEntries(FileHandle map, std::uint32_t first, std::uint32_t count) {
  WriteFill(map, EntryOffset(first), std::uint64_t{count} * kMapEntrySize, 0xFF);
}

}  // namespace

OwnedFile CreateMap(const NativeString& mapPath, std::uint32_t chunkCount) {
  PrintProgress("Chunk length = %u\n", DEFAULT_CHUNK_LENGTH);
  PrintProgress("Chunk count = %u\n", chunkCount);
  PrintProgress("Creating map...\n");
  // The new file reads as zeros where nothing is written yet: its header,
  // magic 0, fails verification until FinishSparseDevice writes the real one.
  return CreateAlways(mapPath.c_str());
}

OwnedFile CreateStore(const NativeString& storePath) {
  PrintProgress("Creating store...\n");
  return CreateAlways(storePath.c_str());
}

void FinishSparseDevice(const NativeChar* path, FileHandle map, FileHandle store, const MapHeader& header) {
  FlushFile(store);
  FlushFile(map);
  WriteHeader(map, header);
  FlushFile(map);
  FlushDirectory(path);
  FlushParentDirectory(path);
}

void CreateSparse(std::uint64_t bytes, const NativeChar* path) {
  const NativeString mapPath = MapPath(path);
  const NativeString storePath = StorePath(path);
  PrintProgress("Creating sparse block device of %llu bytes\n", static_cast<unsigned long long>(bytes));
  const std::uint32_t chunkCount = ChunkCountFor(bytes, DEFAULT_CHUNK_LENGTH);
  MakeDirectory(path);
  const OwnedFile map = CreateMap(mapPath, chunkCount);
  WriteAbsentEntries(map, 0, chunkCount);
  const OwnedFile store = CreateStore(storePath);
  FinishSparseDevice(path, map, store, NewMapHeader(chunkCount, 0));
  PrintProgress("Cleaning up...\n");
}

void ExtendSparse(std::uint64_t bytes, const NativeChar* path) {
  const NativeString mapPath = MapPath(path);
  PrintProgress("Extending sparse block device\n");
  const OpenedMap map = OpenMap(mapPath, Access::kReadWrite);
  MapHeader header = VerifyMap(map);
  const std::uint32_t oldCount = header.chunkCount;
  PrintProgress("Old block device size is %llu\n",
                static_cast<unsigned long long>(std::uint64_t{oldCount} * header.chunkLength));
  header.chunkCount = ChunkCountFor(bytes, header.chunkLength);
  PrintProgress("New block device size is %llu\n",
                static_cast<unsigned long long>(std::uint64_t{header.chunkCount} * header.chunkLength));
  if (header.chunkCount < oldCount) {
    PrintProgress("Refusing to shorten block device\n");
    return;
  }
  // Bytes after the last entry go first. Until the header lands the Map
  // describes the old device, with the new entries as ignored bytes after
  // its last one; they are on storage before the header that counts them.
  if (map.length > EntryOffset(oldCount)) SetSize(map.file, EntryOffset(oldCount));
  if (header.chunkCount > oldCount) {
    WriteAbsentEntries(map.file, oldCount, header.chunkCount - oldCount);
    FlushFile(map.file);
    WriteHeader(map.file, header);
  }
  FlushFile(map.file);
}
