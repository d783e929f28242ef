// Creation and extension of sparse devices, and the steps the commands that
// make a device share.
#include "sparsedev/commands/sparse_commands.h"

#include "fileio/checked/checked_file.h"
#include "fileio/checked/progress.h"
#include "fileio/checked/report.h"

namespace {

void WriteAbsentEntries(FileHandle map, std::uint32_t first, std::uint32_t count) {
  WriteFill(map, EntryOffset(first), std::uint64_t{count} * kMapEntrySize, 0xFF);
}

}  // namespace

std::uint32_t ChunkCountOrExit(std::uint64_t bytes, std::uint32_t chunkLength) {
  const std::optional<std::uint32_t> count = ChunkCountFor(bytes, chunkLength);
  if (!count) Fatal(TooLarge(bytes));
  return *count;
}

void PrintNewDeviceSize(std::uint64_t bytes) {
  PrintProgress("Creating sparse block device of %llu bytes\n", static_cast<unsigned long long>(bytes));
}

void CreateMap(NewSparseDevice* device, std::uint32_t chunkCount) {
  PrintProgress("Chunk length = %u\n", DEFAULT_CHUNK_LENGTH);
  PrintProgress("Chunk count = %u\n", chunkCount);
  PrintProgress("Creating map...\n");
  OrExit(CreateMapFile(device));
}

void CreateStore(NewSparseDevice* device) {
  PrintProgress("Creating store...\n");
  OrExit(CreateStoreFile(device));
}

void CreateSparse(std::uint64_t bytes, const NativeChar* path) {
  NewSparseDevice device{OrExit(SparsePathsOf(path)), OwnedDirectory(), OwnedFile(), OwnedFile()};
  PrintNewDeviceSize(bytes);
  const std::uint32_t chunkCount = ChunkCountOrExit(bytes, DEFAULT_CHUNK_LENGTH);
  OrExit(MakeDeviceDirectory(&device));
  CreateMap(&device, chunkCount);
  WriteAbsentEntries(device.map.get(), 0, chunkCount);
  CreateStore(&device);
  OrExit(FinishNewDevice(device, NewMapHeader(chunkCount, 0)));
  PrintProgress("Cleaning up...\n");
}

void ExtendSparse(std::uint64_t bytes, const NativeChar* path) {
  SparsePaths paths = OrExit(SparsePathsOf(path, false));
  PrintProgress("Extending sparse block device\n");
  SparseDevice device = OrExit(OpenDeviceMap(std::move(paths), Access::kReadWrite));
  OrExit(VerifyDevice(&device));
  MapHeader header = device.header;
  const std::uint32_t oldCount = header.chunkCount;
  PrintOldSize(DeviceSize(header));
  header.chunkCount = ChunkCountOrExit(bytes, header.chunkLength);
  if (!PrintNewSize(DeviceSize(device.header), DeviceSize(header), "\n")) return;
  const FileHandle map = device.map.get();
  // Bytes after the last entry go first. Until the header lands the Map
  // describes the old device, with the new entries as ignored bytes after
  // its last one; they are on storage before the header that counts them.
  if (device.mapLength > EntryOffset(oldCount)) SetSize(map, EntryOffset(oldCount));
  if (header.chunkCount > oldCount) {
    WriteAbsentEntries(map, oldCount, header.chunkCount - oldCount);
    FlushFile(map);
    OrExit(WriteMapHeader(map, header));
  }
  FlushFile(map);
}
